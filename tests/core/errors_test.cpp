#include <gtest/gtest.h>

#include "postwing/postwing.hpp"

namespace postwing {
namespace {

TEST(ErrorsTest, RecordsGetRunningIndexesAndClearRestartsThem) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  EXPECT_EQ(log->Count(), 0);
  log->Add(1, "a", "first", "", 0, "X.One");
  log->Add(2, "b", "second", "", 0, "X.Two");
  ASSERT_EQ(log->Count(), 2);
  EXPECT_EQ(log->Item(2)->Index(), 2);
  EXPECT_EQ(log->Item(1)->Method(), "X.One");
  int expected = 1;
  for (const auto& record : *log) EXPECT_EQ(record->Index(), expected++);
  EXPECT_THROW(log->Item(0), Exception);
  EXPECT_THROW(log->Item(3), Exception);
  log->Clear();
  EXPECT_EQ(log->Count(), 0);
  EXPECT_EQ(log->Add(3, "c", "third", "", 0, "X.Three")->Index(), 1);
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
