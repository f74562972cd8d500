#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "message/field_check.hpp"
#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::Fields;
using testing::PairList;
using testing::Parts;
using testing::Raised;

class ValuesTest : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  // A collection of the mail's own, without the body's automatic fields.
  std::shared_ptr<Values> values_ = mail_->Body()->Values();
};

// Bytes that the shift-by-128 masking would have confused with masked quotes, semicolons
// and equals signs: 0xA2 (quote), 0xBB (";"), 0xBD ("=").
const std::string k8Bit = "\xE9\xA2\xBB\xBD\xFF\x80";

TEST_F(ValuesTest, ParseSplitsTheTextIntoParts) {
  const std::tuple<std::string, std::string, PairList> cases[] = {
      // key, text, parts
      // clang-format off
      {"Content-Type", "text/plain;charset=us-ascii", {{"Content-Type", "text/plain"}, {"charset", "us-ascii"}}},
      // The blank before a key is trimmed, the one after "=" kept.
      {"Content-Type", "text/plain; charset= us-ascii", {{"Content-Type", "text/plain"}, {"charset", " us-ascii"}}},
      {"Subject", "hello = world", {{"Subject", "hello = world"}}},
      {"Content-Type", "", {{"Content-Type", ""}}},
      // Blanks are trimmed, tabs are not.
      {" X ", " a ", {{"X", " a "}}}, {"\tX\t", "a", {{"\tX\t", "a"}}},
      {" X ", "a;b", {{" X ", "a"}, {"", "b"}}},
      {"K", "a;", {{"K", "a"}, {"", ""}}}, {"K", "a;;b", {{"K", "a"}, {"", ""}, {"", "b"}}},
      {"Content-type", "multipart/mixed;boundary=\"=_x_part\";charset=us-ascii",
       {{"Content-type", "multipart/mixed"}, {"boundary", "\"=_x_part\""}, {"charset", "us-ascii"}}},
      {"K", "x;a=b=c", {{"K", "x"}, {"a", "b"}}}, {"K", "x; =v", {{"K", "x"}, {"", "v"}}},
      {"K", "a;b=\"x;y\";c=\"p=q\";d", {{"K", "a"}, {"b", "\"x;y\""}, {"c", "\"p=q\""}, {"", "d"}}},
      {"K", "x;\"k;1\"=v", {{"K", "x"}, {"\"k;1\"", "v"}}},
      // An unmatched quote: the rest splits as if unquoted.
      {"K", "x;a=\"1;2\";b=\"3;c=4", {{"K", "x"}, {"a", "\"1;2\""}, {"b", "\"3"}, {"c", "4"}}},
      {"K", "x;name=\"" + k8Bit + ";=\"", {{"K", "x"}, {"name", "\"" + k8Bit + ";=\""}}},
      {"K", k8Bit + ";a=" + k8Bit, {{"K", k8Bit}, {"a", k8Bit}}},
      // clang-format on
  };
  for (const auto& [key, text, parts] : cases) {
    const auto value = values_->Add(text, key);
    EXPECT_EQ(value->Text(), text);
    EXPECT_EQ(Parts(*value), parts) << text;
    values_->Remove(1);
  }
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

// ---- rendering the parts into the field text ----

TEST_F(ValuesTest, SettingAPartRewritesTheFieldCanonicallyWithNewParts) {
  const auto value = values_->Add("text/plain; charset=us-ascii;k=\"v\";keyless", "Content-Type");
  const auto held = value->SubValues()->Item("charset");
  held->SetText("utf-8");
  EXPECT_EQ(value->Text(), "text/plain;charset=utf-8;k=\"v\";keyless");
  EXPECT_NE(value->SubValues()->Item("charset"), held) << "the parts are parsed anew";
  // Removing the main part promotes the next under the field's key; the last leaves one
  // empty main part.
  value->SubValues()->Remove(1);
  EXPECT_EQ(Parts(*value), (PairList{{"Content-Type", "utf-8"}, {"k", "\"v\""}, {"", "keyless"}}));
  for (int i = 0; i < 3; ++i) value->SubValues()->Remove(1);
  EXPECT_EQ(Parts(*value), (PairList{{"Content-Type", ""}}));
  // A repeated parameter name reaches the first; the rendering keeps them all.
  const auto parts = values_->Add("x;a=1;A=2", "K")->SubValues();
  EXPECT_EQ(parts->GetValue("a"), "1");
  parts->Item(1)->SetText("y");
  parts->Remove("a");
  EXPECT_EQ(values_->GetValue("K"), "y;A=2");
  EXPECT_EQ(parts->GetValue("a"), "2");
}

TEST_F(ValuesTest, SubValuesAddLetValueAndKeys) {
  const auto value = values_->Add("text/plain; format=flowed", "Content-Type");
  const auto parts = value->SubValues();
  const auto main = parts->Item(1);
  const auto added = parts->Add("us-ascii", "charset");
  parts->Add("keyless");
  EXPECT_EQ(value->Text(), "text/plain;format=flowed;charset=us-ascii;keyless");
  EXPECT_EQ(parts->Item(1), main) << "Add appends without a re-parse";
  EXPECT_EQ(parts->Item("CHARSET"), added);
  EXPECT_EQ(added->ParentValue(), parts);
  EXPECT_TRUE(parts->LetValue("text/html", "content-type").IsEmpty());
  parts->LetValue("x", "new");
  EXPECT_EQ(value->Text(), "text/html;format=flowed;charset=us-ascii;keyless;new=x");
  // A part's key change only stores: the next rendering uses it.
  parts->Item("format")->SetKey("f");
  EXPECT_TRUE(parts->Exists("format"));
  parts->Item(1)->SetText("b");
  EXPECT_EQ(value->Text(), "b;f=flowed;charset=us-ascii;keyless;new=x");
  // A present key is refused, recorded, and changes nothing.
  testing::ExpectRecorded(*mail_, 457, "SubValues.Add", [&] { parts->Add("x", "Charset"); });
  EXPECT_EQ(value->Text(), "b;f=flowed;charset=us-ascii;keyless;new=x");
  // Setting the field's text keeps the collection and parses new parts.
  value->SetText("c; x=1 ;y");
  EXPECT_EQ(value->SubValues(), parts);
  EXPECT_EQ(Parts(*value), (PairList{{"Content-Type", "c"}, {"x", "1 "}, {"", "y"}}));
}

// ---- the collection ----

TEST_F(ValuesTest, LookupsByIndexOrNameWithoutCase) {
  values_->Add("1", "First");
  values_->Add("2", "Second");
  EXPECT_EQ(values_->Item("FIRST")->Text(), "1");
  EXPECT_EQ(values_->Item(2)->Key(), "Second");
  EXPECT_EQ(values_->Item(Variant(2.0))->Key(), "Second");
  EXPECT_EQ(values_->Item(Variant(std::string("second")))->Text(), "2");
  const std::string name = "first";  // the std::string overloads
  EXPECT_EQ(values_->Item(name)->SubValues()->Item(std::string("First"))->Text(), "1");
  EXPECT_EQ(values_->GetValue("sEcOnD"), "2");
  EXPECT_EQ(values_->GetValue("missing"), "");
  EXPECT_TRUE(values_->Exists("first"));
  for (const Variant& absent : {Variant("missing"), Variant(0), Variant(3), Variant(),
                                Variant(Variant::Array{}), Variant("2")}) {
    EXPECT_FALSE(values_->Exists(absent)) << "a string is always a name";
  }
  // Lookup failures go to the caller unrecorded.
  EXPECT_EQ(Raised([&] { values_->Item(0); }).Number(), 9);
  EXPECT_EQ(Raised([&] { values_->Item("missing"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Remove("missing"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(1)->SubValues()->Item(2); }).Number(), 9);
  EXPECT_EQ(Raised([&] { values_->Item(1)->SubValues()->Remove("x"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(Variant()); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(Variant(Date())); }).Number(), 13);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(ValuesTest, AddLetValueRemoveAndKeys) {
  values_->Add("text/plain", "Content-Type");
  testing::ExpectRecorded(*mail_, 457, "Values.Add",
                          [&] { values_->Add("text/html", "content-type"); });
  values_->Add("b", "B");
  EXPECT_TRUE(values_->LetValue("a2", "content-TYPE").IsEmpty());
  values_->LetValue("c", "C");
  EXPECT_EQ(Fields(*values_), (PairList{{"Content-Type", "a2"}, {"B", "b"}, {"C", "c"}}));
  values_->Remove(2);
  values_->Remove("content-type");
  values_->Add("b2", "b");
  EXPECT_EQ(Fields(*values_), (PairList{{"C", "c"}, {"b", "b2"}}));
  // Keyless fields repeat and are reached by index only; a key change does not re-key.
  values_->Add("x", "");
  values_->Add("y", "");
  EXPECT_FALSE(values_->Exists(""));
  EXPECT_EQ(values_->Item(4)->Text(), "y");
  values_->Item("C")->SetKey("Z");
  EXPECT_TRUE(values_->Exists("C"));
  EXPECT_FALSE(values_->Exists("Z"));
}

TEST_F(ValuesTest, BackReferencesAreWeak) {
  const auto parts = values_->Add("a;b=c", "A")->SubValues();
  EXPECT_EQ(parts->RootParent(), mail_);
  EXPECT_EQ(parts->Item(2)->ParentValue(), parts);
  // The header adds its first fields before SendMail sets its parent; they still record.
  const auto field = mail_->Header()->Values()->Item("Content-Type");
  EXPECT_THROW(field->SubValues()->Add("x", "charset"), Exception);
  EXPECT_EQ(testing::Methods(*mail_), std::vector<std::string>{"SubValues.Add"});
  mail_.reset();
  EXPECT_EQ(parts->RootParent(), nullptr);
  // Errors with nobody to record them still reach the caller.
  EXPECT_EQ(Raised([&] { values_->Add("x", "a"); }).Number(), 457);
}

// ---- the field check used before a send ----

TEST_F(ValuesTest, FieldCheckRefusesLineBreaksAndNulButAllowsFolds) {
  for (const char* legal : {"", "a\r\n b", "a\r\n\tb\r\n c", "caf\xC3\xA9"}) {
    EXPECT_TRUE(detail::IsLegalFieldText(legal)) << legal;
  }
  for (const std::string& illegal : std::vector<std::string>{"a\r\nBcc: x", "a\nb", "a\rb", "a\r\n",
                                                             "a\r\n ", std::string("a\0b", 3)}) {
    EXPECT_FALSE(detail::IsLegalFieldText(illegal)) << illegal;
  }
  EXPECT_TRUE(detail::IsLegalFieldKey("X-Mailer"));
  EXPECT_FALSE(detail::IsLegalFieldKey("X\r\n Y"));
  values_->Add("fine", "A");
  EXPECT_EQ(detail::FirstIllegalField(*values_), nullptr);
  values_->Add("bad\r\nInjected: 1", "B");
  values_->Add("bad\n", "C");
  ASSERT_NE(detail::FirstIllegalField(*values_), nullptr);
  EXPECT_EQ(detail::FirstIllegalField(*values_)->Key(), "B");
}

}  // namespace
}  // namespace postwing
