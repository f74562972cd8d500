#include <gtest/gtest.h>

#include <vector>

#include "message/message_test_util.hpp"

namespace postwing {
namespace {

TEST(ErrorsTest, RecordsGetRunningIndexesOutlivingClearAndForEach) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  const auto first = log->Add(1, "a", "first", "help.chm", 7, "X.One");
  log->Add(2, "b", "second", "", 0, "X.Two");
  EXPECT_EQ(log->Item(1), first);
  EXPECT_EQ(first->HelpFile(), "help.chm");
  EXPECT_EQ(first->HelpContext(), 7);
  EXPECT_EQ(log->Item(2)->Index(), 2);
  for (int32_t index : {0, 3, -1})
    EXPECT_EQ(testing::Raised([&] { log->Item(index); }).Number(), 9);
  std::vector<int32_t> seen;
  for (const auto& record : *log) {
    seen.push_back(record->Number());
    if (record->Index() == 1) log->Clear();  // the walk keeps what it began with
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(log->Add(3, "c", "third", "", 0, "X.Three")->Index(), 1);
  EXPECT_EQ(log->Count(), 1);
  mail.reset();
  log->Add(1, "a", "b", "", 0, "X.Y");
  EXPECT_EQ(log->Count(), 2) << "the log outlives its SendMail";
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
