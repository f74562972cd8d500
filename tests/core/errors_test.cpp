#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error_report.hpp"
#include "postwing/postwing.hpp"

namespace postwing {
namespace {

TEST(ErrorsTest, RecordsGetRunningIndexesAndClearRestartsThem) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  EXPECT_EQ(log->Count(), 0);
  const auto first = log->Add(1, "a", "first", "help.chm", 7, "X.One");
  log->Add(2, "b", "second", "", 0, "X.Two");
  ASSERT_EQ(log->Count(), 2);
  EXPECT_EQ(log->Item(1), first);
  EXPECT_EQ(first->Number(), 1);
  EXPECT_EQ(first->Source(), "a");
  EXPECT_EQ(first->Description(), "first");
  EXPECT_EQ(first->HelpFile(), "help.chm");
  EXPECT_EQ(first->HelpContext(), 7);
  EXPECT_EQ(first->Method(), "X.One");
  EXPECT_EQ(first->Index(), 1);
  EXPECT_EQ(log->Item(2)->Index(), 2);
  log->Clear();
  EXPECT_EQ(log->Count(), 0);
  EXPECT_EQ(log->Add(3, "c", "third", "", 0, "X.Three")->Index(), 1);
  EXPECT_EQ(first->Index(), 1) << "records are never changed";
}

TEST(ErrorsTest, ItemOutsideTheLogFailsAndAddsNothing) {
  auto log = SendMail::Create()->Errors();
  for (int32_t index : {0, 1, -1}) EXPECT_THROW(log->Item(index), Exception);
  log->Add(1, "a", "x", "", 0, "X.One");
  EXPECT_THROW(log->Item(0), Exception);
  try {
    log->Item(2);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 9);
  }
  EXPECT_EQ(log->Count(), 1);
}

TEST(ErrorsTest, ForEachVisitsInOrderAndSurvivesChangesInTheLoop) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  for (int i = 1; i <= 3; ++i) log->Add(i, "s", "d", "", 0, "X.Y");
  std::vector<int32_t> seen;
  for (const auto& record : *log) {
    seen.push_back(record->Number());
    if (record->Index() == 1) {
      log->Clear();
      log->Add(9, "s", "d", "", 0, "X.Z");
    }
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3}));
  ASSERT_EQ(log->Count(), 1);
  EXPECT_EQ(log->Item(1)->Number(), 9);
  EXPECT_EQ(log->Item(1)->Index(), 1);
}

TEST(ErrorsTest, OwnErrorsCarryTheBase) {
  auto mail = SendMail::Create();
  try {
    detail::RaiseMailError(mail, emxEmailHostNotSpecified, detail::kSource,
                           "A required property 'EmailHost' was not specified", "SendMail.Send");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), -2147209504);
    EXPECT_EQ(e.Number() - vbObjectError, 12000);
    EXPECT_EQ(e.HelpFile(), "");
    EXPECT_EQ(e.HelpContext(), 0);
  }
  const auto record = mail->Errors()->Item(1);
  EXPECT_EQ(record->Number(), -2147209504);
  EXPECT_EQ(record->Source(), "postwing");
  EXPECT_EQ(record->Description(), "A required property 'EmailHost' was not specified");
  EXPECT_EQ(record->Method(), "SendMail.Send");
  EXPECT_EQ(record->Index(), 1);
}

TEST(ErrorsTest, AHandlerRecordsTheCaughtErrorWithItsOwnMethod) {
  auto mail = SendMail::Create();
  try {
    try {
      throw Exception(53, "postwing", "File not found", "h", 3);
    } catch (...) {
      detail::RecordAndRethrow(mail, "Utilities.ReadFile");
    }
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 53);
    EXPECT_EQ(e.HelpFile(), "h");
    EXPECT_EQ(e.HelpContext(), 3);
  }
  const auto record = mail->Errors()->Item(1);
  EXPECT_EQ(record->Number(), 53);
  EXPECT_EQ(record->HelpFile(), "h");
  EXPECT_EQ(record->HelpContext(), 3);
  EXPECT_EQ(record->Method(), "Utilities.ReadFile");
}

TEST(ErrorsTest, TheLogOutlivesItsSendMail) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  mail.reset();
  log->Add(1, "a", "b", "", 0, "X.Y");
  EXPECT_EQ(log->Count(), 1);
}

TEST(VariantTest, TextOfEachKind) {
  EXPECT_EQ(Variant().ToString(), "");
  EXPECT_EQ(Variant(42).ToString(), "42");
  EXPECT_EQ(Variant(true).ToString(), "True");
  EXPECT_EQ(Variant("x").ToString(), "x");
  EXPECT_EQ(Variant(Date::FromParts(2026, 12, 7, 1, 2, 3)).ToString(), "2026-12-07 01:02:03");
  EXPECT_THROW(Variant(Variant::Array{}).ToString(), Exception);
  EXPECT_EQ(Date::FromParts(2026, 12, 7).Weekday(), 1);
}

}  // namespace
}  // namespace postwing
