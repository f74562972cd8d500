// Helpers shared by the message-model tests.
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

namespace postwing::testing {

inline constexpr int32_t kBase = vbObjectError;

// The (key, text) pairs of a field's parts, in order.
inline std::vector<std::pair<std::string, std::string>> Parts(const Value& value) {
  std::vector<std::pair<std::string, std::string>> parts;
  for (const auto& part : *value.SubValues()) parts.emplace_back(part->Key(), part->Text());
  return parts;
}

// The (key, text) pairs of a collection's fields, in order.
inline std::vector<std::pair<std::string, std::string>> Fields(const Values& values) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& value : values) fields.emplace_back(value->Key(), value->Text());
  return fields;
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

// Expects the last record of mail's log to carry these values.
inline void ExpectLastRecord(const SendMail& mail, int32_t number, const std::string& source,
                             const std::string& description, const std::string& method) {
  const auto log = mail.Errors();
  ASSERT_GT(log->Count(), 0);
  const auto record = log->Item(log->Count());
  EXPECT_EQ(record->Number(), number);
  EXPECT_EQ(record->Source(), source);
  EXPECT_EQ(record->Description(), description);
  EXPECT_EQ(record->HelpFile(), "");
  EXPECT_EQ(record->HelpContext(), 0);
  EXPECT_EQ(record->Method(), method);
  EXPECT_EQ(record->Index(), log->Count());
}

// The methods of mail's log records, in order.
inline std::vector<std::string> Methods(const SendMail& mail) {
  std::vector<std::string> methods;
  for (const auto& record : *mail.Errors()) methods.push_back(record->Method());
  return methods;
}

// Switches the process's local zone (a POSIX TZ text) for one scope.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace postwing::testing
