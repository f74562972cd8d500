// Helpers of the codec tests: a private temporary directory, a scripted event loop that counts
// the codecs' yields, and Python as an independent decoder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "platform/module.hpp"
#include "postwing/event_loop.hpp"

namespace postwing::testing {

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

inline std::string AllBytes(size_t repeat = 1) {
  std::string s;
  for (size_t r = 0; r < repeat; ++r)
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
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
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old) saved_tmpdir_ = old;
    had_tmpdir_ = old != nullptr;
    std::string pattern = (std::filesystem::temp_directory_path() / "pwcodec-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("TMPDIR", dir_.c_str(), 1);
    loop_ = std::make_shared<CountingLoop>();
    SetThreadEventLoop(loop_);
  }
  void TearDown() override {
    SetThreadEventLoop(nullptr);
    if (had_tmpdir_)
      setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // The library's temporary files ("~pw...") in its TempPath.
  int TempFileCount() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform::TempPath()))
      if (entry.path().filename().string().rfind("~pw", 0) == 0) ++count;
    return count;
  }

  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }

  std::filesystem::path WriteFile(const std::string& name, const std::string& data) const {
    WriteBytes(Path(name), data);
    return Path(name);
  }

  // Runs a Python script with the input in a file (argv[1]); returns what it writes to the
  // file argv[2]. The test fails on a non-zero exit.
  std::string Python(const std::string& script, const std::string& input) {
    const auto script_path = Path("script.py");
    const auto in_path = Path("py-in.bin");
    const auto out_path = Path("py-out.bin");
    WriteBytes(script_path, script);
    WriteBytes(in_path, input);
    const std::string command = std::string(POSTWING_PYTHON) + " " + script_path.string() + " " +
                                in_path.string() + " " + out_path.string();
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << command;
    return ReadBytes(out_path);
  }

  std::filesystem::path dir_;
  std::shared_ptr<CountingLoop> loop_;

 private:
  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
};

}  // namespace postwing::testing
