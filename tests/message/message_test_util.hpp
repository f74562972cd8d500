// Helpers shared by the message-model tests (and the other unit tests that change the
// environment for a scope).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "postwing/postwing.hpp"
#include "postwing/values.hpp"
#include "support/temp_dir.hpp"

namespace postwing::testing {

inline constexpr int32_t kBase = vbObjectError;
using PairList = std::vector<std::pair<std::string, std::string>>;

// The (key, text) pairs of a collection's fields or of a field's parts, in order.
template <class Collection>
inline PairList Fields(const Collection& values) {
  PairList fields;
  for (const auto& value : values) fields.emplace_back(value->Key(), value->Text());
  return fields;
}
inline PairList Parts(const Value& value) {
  return Fields(*value.SubValues());
}

// Every byte value, in order, repeat times.
inline std::string AllBytes(size_t repeat = 1) {
  std::string s;
  for (size_t i = 0; i < 256 * repeat; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// Runs call, expects a postwing::Exception and returns it.
inline Exception Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e;
  }
  ADD_FAILURE() << "no exception raised";
  return Exception(0, "", "");
}

// The methods of mail's log records, in order.
inline std::vector<std::string> Methods(const SendMail& mail) {
  std::vector<std::string> methods;
  for (const auto& record : *mail.Errors()) methods.push_back(record->Method());
  return methods;
}

// Expects call to raise number and to leave one new record of it under method.
inline void ExpectRecorded(const SendMail& mail, int32_t number, const std::string& method,
                           const std::function<void()>& call) {
  const int32_t before = mail.Errors()->Count();
  const Exception e = Raised(call);
  EXPECT_EQ(e.Number(), number) << method;
  ASSERT_EQ(mail.Errors()->Count(), before + 1) << method;
  const auto record = mail.Errors()->Item(before + 1);
  EXPECT_EQ(record->Number(), number);
  EXPECT_EQ(record->Source(), e.Source());
  EXPECT_EQ(record->Description(), e.Description());
  EXPECT_EQ(record->Method(), method);
}

// Sets (or with nullptr removes) an environment variable for one scope; TZ takes effect.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
    tzset();
  }
  ~ScopedEnv() {
    old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
    tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs a Python script (Debian's python3) with the input in the file argv[1]; returns what it
// wrote to the file argv[2]. The test fails on a non-zero exit.
inline std::string RunPython(const std::string& script, const std::string& input) {
  support::TempDir dir;
  const std::string command = std::string(POSTWING_PYTHON) + " " + dir.File("script.py", script) +
                              " " + dir.File("in", input) + " " + (dir / "out").string();
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return support::ReadFile(dir / "out");
}

// The process's local zone (a POSIX TZ text) for one scope.
struct ScopedZone : ScopedEnv {
  explicit ScopedZone(const char* zone) : ScopedEnv("TZ", zone) {}
};

}  // namespace postwing::testing
