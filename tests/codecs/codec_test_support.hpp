// Helpers of the codec tests: a private temporary directory, a scripted event loop that counts
// the codecs' yields, and test data.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "message/message_test_util.hpp"
#include "platform/module.hpp"
#include "postwing/event_loop.hpp"
#include "support/temp_dir.hpp"

namespace postwing::testing {

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

inline std::string AllBytes(size_t repeat = 1) {
  std::string s;
  for (size_t i = 0; i < 256 * repeat; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// Counts the passes the codecs ask for; on_pass may call Cancel.
class CountingLoop : public EventLoop {
 public:
  Id Watch(int, unsigned, std::function<void(unsigned)>) override { return 1; }
  void UpdateWatch(Id, unsigned) override {}
  void Unwatch(Id) override {}
  Id AddTimer(std::chrono::milliseconds, std::function<void()>) override { return 1; }
  void CancelTimer(Id) override {}
  void Post(std::function<void()>) override {}
  void RunOnce(std::chrono::milliseconds) override {
    ++passes;
    if (on_pass) on_pass(passes);
  }

  int passes = 0;
  std::function<void(int)> on_pass;
};

// Each test gets its own TMPDIR (so temporary files can be counted exactly) and a counting
// loop on its thread.
class CodecTest : public ::testing::Test {
 protected:
  CodecTest() { SetThreadEventLoop(loop_); }
  ~CodecTest() override { SetThreadEventLoop(nullptr); }

  // The library's temporary files ("~pw...") in its TempPath.
  int TempFileCount() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform::TempPath()))
      count += entry.path().filename().string().rfind("~pw", 0) == 0;
    return count;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  support::TempDir dir_;
  ScopedEnv tmpdir_{"TMPDIR", dir_.path().c_str()};
  std::shared_ptr<CountingLoop> loop_ = std::make_shared<CountingLoop>();
};

}  // namespace postwing::testing
