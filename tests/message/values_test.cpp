#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "message/field_check.hpp"
#include "message/field_split.hpp"
#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::Fields;
using testing::Methods;
using testing::Parts;
using testing::Raised;
using PartList = std::vector<std::pair<std::string, std::string>>;

class ValuesTest : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  // A collection of the mail's own, without the body's automatic fields.
  std::shared_ptr<Values> values_ = mail_->Body()->Values();
};

// ---- parsing a field text into its parts ----

struct ParseCase {
  const char* name;
  std::string key;
  std::string text;
  PartList parts;
};

class ParseTest : public ValuesTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, SplitsTheTextIntoParts) {
  const ParseCase& c = GetParam();
  const auto value = values_->Add(c.text, c.key);
  EXPECT_EQ(value->Text(), c.text) << "the text keeps exactly what was assigned";
  EXPECT_EQ(Parts(*value), c.parts);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

// Bytes that the shift-by-128 masking would have confused with masked quotes, semicolons
// and equals signs: 0xA2 (quote), 0xBB (";"), 0xBD ("=").
const std::string k8Bit = "\xE9\xA2\xBB\xBD\xFF\x80";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTest,
    ::testing::Values(
        ParseCase{"MainAndParameter",
                  "Content-Type",
                  "text/plain;charset=us-ascii",
                  {{"Content-Type", "text/plain"}, {"charset", "us-ascii"}}},
        ParseCase{"BlankBeforeKeyTrimmedBlankAfterEqualsKept",
                  "Content-Type",
                  "text/plain; charset= us-ascii",
                  {{"Content-Type", "text/plain"}, {"charset", " us-ascii"}}},
        ParseCase{"NoSemicolonOnePart", "Subject", "hello = world", {{"Subject", "hello = world"}}},
        ParseCase{"EmptyTextOnePart", "Content-Type", "", {{"Content-Type", ""}}},
        ParseCase{"KeyTrimmedWithoutSemicolon", " X ", " a ", {{"X", " a "}}},
        ParseCase{"KeyAsItIsWithSemicolon", " X ", "a;b", {{" X ", "a"}, {"", "b"}}},
        ParseCase{"TrailingSemicolonGivesEmptyKeylessPart", "K", "a;", {{"K", "a"}, {"", ""}}},
        ParseCase{"EmptyPiecesCount", "K", "a;;b", {{"K", "a"}, {"", ""}, {"", "b"}}},
        ParseCase{"QuotedBoundaryKeepsQuotesAndEquals",
                  "Content-type",
                  "multipart/mixed;boundary=\"=_x_part\";charset=us-ascii",
                  {{"Content-type", "multipart/mixed"},
                   {"boundary", "\"=_x_part\""},
                   {"charset", "us-ascii"}}},
        ParseCase{"QuotedSemicolon",
                  "Content-Disposition",
                  "attachment;filename=\"a;b.txt\"",
                  {{"Content-Disposition", "attachment"}, {"filename", "\"a;b.txt\""}}},
        ParseCase{"SecondEqualsEndsTheText", "K", "x;a=b=c", {{"K", "x"}, {"a", "b"}}},
        ParseCase{"EmptyKeyBeforeEqualsIsKeyless", "K", "x; =v", {{"K", "x"}, {"", "v"}}},
        ParseCase{"TwoSpans",
                  "K",
                  "a;b=\"x;y\";c=\"p=q\";d",
                  {{"K", "a"}, {"b", "\"x;y\""}, {"c", "\"p=q\""}, {"", "d"}}},
        ParseCase{"QuotedKey", "K", "x;\"k;1\"=v", {{"K", "x"}, {"\"k;1\"", "v"}}},
        ParseCase{"UnmatchedQuoteRestSplitNormally",
                  "K",
                  "x;name=\"a;b=c",
                  {{"K", "x"}, {"name", "\"a"}, {"b", "c"}}},
        ParseCase{"UnmatchedQuoteAfterAPair",
                  "K",
                  "x;a=\"1;2\";b=\"3;c=4",
                  {{"K", "x"}, {"a", "\"1;2\""}, {"b", "\"3"}, {"c", "4"}}},
        ParseCase{"EightBitInsideQuotes",
                  "K",
                  "x;name=\"" + k8Bit + ";=\"",
                  {{"K", "x"}, {"name", "\"" + k8Bit + ";=\""}}},
        ParseCase{
            "EightBitOutsideQuotes", "K", k8Bit + ";a=" + k8Bit, {{"K", k8Bit}, {"a", k8Bit}}},
        ParseCase{"RepeatedNameKeptReachedByIndex",
                  "K",
                  "x;a=1;A=2",
                  {{"K", "x"}, {"a", "1"}, {"A", "2"}}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST_F(ValuesTest, EveryByteInsideQuotesSurvivesTheParse) {
  std::string inner;
  for (int b = 0; b < 256; ++b) {
    if (b != '"') inner += static_cast<char>(b);
  }
  const std::string quoted = "\"" + inner + "\"";
  const auto value = values_->Add("main;p=" + quoted + ";q=" + quoted, "K");
  EXPECT_EQ(value->SubValues()->GetValue("p"), quoted);
  EXPECT_EQ(value->SubValues()->GetValue("q"), quoted);
  // Rendering writes them back unchanged.
  value->SubValues()->Item("q")->SetText("z");
  EXPECT_EQ(value->Text(), "main;p=" + quoted + ";q=z");
  EXPECT_EQ(value->SubValues()->GetValue("p"), quoted);
}

TEST_F(ValuesTest, RepeatedParameterNameReachesTheFirstAndRendersAll) {
  const auto value = values_->Add("x;a=1;A=2", "K");
  const auto parts = value->SubValues();
  EXPECT_EQ(parts->GetValue("a"), "1");
  EXPECT_EQ(parts->Item(3)->Key(), "A");
  parts->Item(1)->SetText("y");
  EXPECT_EQ(value->Text(), "y;a=1;A=2");
  parts->Remove("a");
  EXPECT_EQ(value->Text(), "y;A=2");
  EXPECT_EQ(value->SubValues()->GetValue("a"), "2");
}

TEST(FieldSplitTest, TrimsBlanksOnly) {
  EXPECT_EQ(detail::TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(detail::TrimBlanks("\ta\t"), "\ta\t");
}

// The masking rule as first described: shift quoted spans by 128, split, shift back.
// Exact for 7-bit text, which is all it is compared on.
std::vector<std::string> SplitByMasking(const std::string& text, char separator) {
  std::string masked = text;
  for (size_t open = masked.find('"'); open != std::string::npos; open = masked.find('"')) {
    const size_t close = masked.find('"', open + 1);
    if (close == std::string::npos) break;
    for (size_t i = open; i <= close; ++i) masked[i] = static_cast<char>(masked[i] + 128);
  }
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= masked.size(); ++i) {
    if (i == masked.size() || masked[i] == separator) {
      std::string piece = masked.substr(start, i - start);
      for (char& c : piece) {
        if (static_cast<unsigned char>(c) >= 128) c = static_cast<char>(c - 128);
      }
      pieces.push_back(piece);
      start = i + 1;
    }
  }
  return pieces;
}

TEST(FieldSplitTest, MatchesTheMaskingRuleOn7BitText) {
  std::mt19937 random(20261207);
  const std::string alphabet = "a\";=\" ";
  for (const char* text : {"", ";", "a\"b;c\"d;e", "\"\";\"", "\"a;b"}) {
    const auto split = detail::SplitOutsideQuotes(text, ';');
    EXPECT_EQ(std::vector<std::string>(split.begin(), split.end()), SplitByMasking(text, ';'));
  }
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    const size_t length = random() % 12;
    for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    for (char separator : {';', '='}) {
      const auto split = detail::SplitOutsideQuotes(text, separator);
      const std::vector<std::string> actual(split.begin(), split.end());
      EXPECT_EQ(actual, SplitByMasking(text, separator)) << text;
    }
  }
}

// ---- rendering the parts into the field text ----

TEST_F(ValuesTest, SettingAPartRewritesTheFieldCanonicallyWithNewParts) {
  const auto value = values_->Add("text/plain; charset=us-ascii", "Content-Type");
  const auto held = value->SubValues()->Item("charset");
  held->SetText("utf-8");
  EXPECT_EQ(value->Text(), "text/plain;charset=utf-8");
  EXPECT_EQ(Parts(*value), (PartList{{"Content-Type", "text/plain"}, {"charset", "utf-8"}}));
  EXPECT_NE(value->SubValues()->Item("charset"), held) << "the parts are parsed anew";
  EXPECT_EQ(held->Text(), "utf-8");
}

TEST_F(ValuesTest, RenderingAddsNoQuotesAndKeylessPartsWriteTheirTextOnly) {
  const auto value = values_->Add("a;b;k=\"v\"", "K");
  value->SubValues()->Item(1)->SetText("a2");
  EXPECT_EQ(value->Text(), "a2;b;k=\"v\"");
}

TEST_F(ValuesTest, RemovingTheMainPartPromotesTheNextWithTheFieldKey) {
  const auto value = values_->Add("text/plain;charset=us-ascii;format=flowed", "Content-Type");
  value->SubValues()->Remove(1);
  EXPECT_EQ(value->Text(), "us-ascii;format=flowed");
  EXPECT_EQ(Parts(*value), (PartList{{"Content-Type", "us-ascii"}, {"format", "flowed"}}));
}

TEST_F(ValuesTest, RemovingTheLastPartLeavesOneEmptyMainPart) {
  const auto value = values_->Add("only", "K");
  value->SubValues()->Remove("K");
  EXPECT_EQ(value->Text(), "");
  EXPECT_EQ(Parts(*value), (PartList{{"K", ""}}));
}

TEST_F(ValuesTest, SubValuesAddAppendsToTheTextWithoutReparsing) {
  const auto value = values_->Add("text/plain; format=flowed", "Content-Type");
  const auto parts = value->SubValues();
  const auto main = parts->Item(1);
  const auto added = parts->Add("us-ascii", "charset");
  EXPECT_EQ(value->Text(), "text/plain;format=flowed;charset=us-ascii");
  EXPECT_EQ(parts->Item(1), main) << "no re-parse: the objects stay";
  EXPECT_EQ(parts->Item("CHARSET"), added);
  EXPECT_EQ(added->ParentValue(), parts);
  parts->Add("keyless");
  EXPECT_EQ(value->Text(), "text/plain;format=flowed;charset=us-ascii;keyless");
  EXPECT_EQ(parts->Count(), 4);
  EXPECT_EQ(parts->Item(4)->Key(), "");
}

TEST_F(ValuesTest, SubValuesAddOfAPresentKeyIsRecordedAndChangesNothing) {
  const auto value = values_->Add("text/plain; charset=us-ascii", "Content-Type");
  const Exception e = Raised([&] { value->SubValues()->Add("x", "Charset"); });
  EXPECT_EQ(e.Number(), 457);
  EXPECT_EQ(e.Description(), "This key is already associated with an element of this collection");
  testing::ExpectLastRecord(*mail_, 457, "postwing",
                            "This key is already associated with an element of this collection",
                            "SubValues.Add");
  EXPECT_EQ(mail_->Errors()->Count(), 1);
  EXPECT_EQ(value->Text(), "text/plain; charset=us-ascii");
  EXPECT_EQ(value->SubValues()->Count(), 2);
}

TEST_F(ValuesTest, SubValuesLetValueSetsOrAddsAndGetValueNeverFails) {
  const auto value = values_->Add("text/plain", "Content-Type");
  const auto parts = value->SubValues();
  EXPECT_TRUE(parts->LetValue("utf-8", "charset").IsEmpty());
  EXPECT_EQ(value->Text(), "text/plain;charset=utf-8");
  parts->LetValue("text/html", "content-type");
  EXPECT_EQ(value->Text(), "text/html;charset=utf-8");
  EXPECT_EQ(parts->GetValue("missing"), "");
  EXPECT_FALSE(parts->Exists("missing"));
  EXPECT_TRUE(parts->Exists(2));
}

TEST_F(ValuesTest, SubValueKeyChangeOnlyStores) {
  const auto value = values_->Add("a;k=v", "K");
  value->SubValues()->Item(2)->SetKey("n");
  EXPECT_EQ(value->Text(), "a;k=v");
  EXPECT_TRUE(value->SubValues()->Exists("k")) << "the collection is not re-keyed";
  value->SubValues()->Item(1)->SetText("b");
  EXPECT_EQ(value->Text(), "b;n=v") << "the next rendering uses the new key";
}

TEST_F(ValuesTest, ValueTextSetReparses) {
  const auto value = values_->Add("a;k=v", "K");
  const auto old_parts = value->SubValues();
  value->SetText("b; x=1 ;y");
  EXPECT_EQ(value->SubValues(), old_parts) << "the collection stays, its parts are new";
  EXPECT_EQ(Parts(*value), (PartList{{"K", "b"}, {"x", "1 "}, {"", "y"}}));
}

// ---- the collection ----

TEST_F(ValuesTest, KeysCompareWithoutCaseAndLookupsByIndexOrName) {
  values_->Add("1", "First");
  values_->Add("2", "Second");
  EXPECT_EQ(values_->Count(), 2);
  EXPECT_EQ(values_->Item("FIRST")->Text(), "1");
  EXPECT_EQ(values_->Item(2)->Key(), "Second");
  EXPECT_EQ(values_->Item(Variant(2.0))->Key(), "Second");
  EXPECT_EQ(values_->Item(Variant(std::string("second")))->Text(), "2");
  const std::string name = "first";
  EXPECT_EQ(values_->Item(name)->Text(), "1");
  EXPECT_EQ(values_->Item(name)->SubValues()->Item(std::string("First"))->Text(), "1");
  EXPECT_EQ(values_->GetValue("sEcOnD"), "2");
  EXPECT_EQ(values_->GetValue("missing"), "");
  EXPECT_TRUE(values_->Exists("first"));
  EXPECT_FALSE(values_->Exists("missing"));
  EXPECT_FALSE(values_->Exists(0));
  EXPECT_FALSE(values_->Exists(3));
  EXPECT_FALSE(values_->Exists(Variant()));
  EXPECT_FALSE(values_->Exists(Variant(Variant::Array{})));
  EXPECT_FALSE(values_->Exists("2")) << "a string is always a name";
}

TEST_F(ValuesTest, LookupFailuresGoToTheCallerUnrecorded) {
  values_->Add("1", "First");
  EXPECT_EQ(Raised([&] { values_->Item(0); }).Number(), 9);
  EXPECT_EQ(Raised([&] { values_->Item(2); }).Number(), 9);
  EXPECT_EQ(Raised([&] { values_->Item("missing"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Remove("missing"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(1)->SubValues()->Item(2); }).Number(), 9);
  EXPECT_EQ(Raised([&] { values_->Item(1)->SubValues()->Remove("x"); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(Variant()); }).Number(), 5);
  EXPECT_EQ(Raised([&] { values_->Item(Variant(Date())); }).Number(), 13);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(ValuesTest, AddOfAKeyDifferingOnlyInCaseIsRecordedAsValuesAdd) {
  values_->Add("text/plain", "Content-Type");
  const Exception e = Raised([&] { values_->Add("text/html", "content-type"); });
  EXPECT_EQ(e.Number(), 457);
  EXPECT_EQ(e.Source(), "postwing");
  testing::ExpectLastRecord(*mail_, 457, "postwing",
                            "This key is already associated with an element of this collection",
                            "Values.Add");
  EXPECT_EQ(values_->Count(), 1);
  EXPECT_EQ(values_->GetValue("Content-Type"), "text/plain");
}

TEST_F(ValuesTest, LetValueChangesInPlaceOrAppends) {
  values_->Add("a", "A");
  values_->Add("b", "B");
  EXPECT_TRUE(values_->LetValue("a2", "a").IsEmpty());
  values_->LetValue("c", "C");
  EXPECT_EQ(Fields(*values_), (PartList{{"A", "a2"}, {"B", "b"}, {"C", "c"}}));
}

TEST_F(ValuesTest, RemoveByIndexOrNameAndTheKeyIsFreeAgain) {
  values_->Add("a", "A");
  values_->Add("b", "B");
  values_->Add("c", "C");
  values_->Remove(2);
  values_->Remove("a");
  EXPECT_EQ(Fields(*values_), (PartList{{"C", "c"}}));
  values_->Add("b2", "b");
  EXPECT_EQ(Fields(*values_), (PartList{{"C", "c"}, {"b", "b2"}}));
}

TEST_F(ValuesTest, KeylessFieldsRepeatAndAreReachedByIndexOnly) {
  values_->Add("x", "");
  values_->Add("y", "");
  EXPECT_EQ(values_->Count(), 2);
  EXPECT_FALSE(values_->Exists(""));
  EXPECT_EQ(values_->Item(2)->Text(), "y");
}

TEST_F(ValuesTest, ValueKeyChangeDoesNotRekey) {
  const auto value = values_->Add("a", "A");
  value->SetKey("Z");
  EXPECT_TRUE(values_->Exists("A"));
  EXPECT_FALSE(values_->Exists("Z"));
  EXPECT_EQ(value->Key(), "Z");
}

TEST_F(ValuesTest, ForEachVisitsTheItemsPresentWhenItBegan) {
  values_->Add("a", "A");
  values_->Add("b", "B");
  values_->Add("c", "C");
  std::vector<std::string> seen;
  for (const auto& value : *values_) {
    seen.push_back(value->Key());
    if (value->Key() == "A") {
      values_->Remove("B");
      values_->Add("d", "D");
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(Fields(*values_), (PartList{{"A", "a"}, {"C", "c"}, {"D", "d"}}));
  // Standard algorithms work on the enumerator too.
  EXPECT_EQ(std::distance(values_->begin(), values_->end()), 3);
}

TEST_F(ValuesTest, BackReferencesAreWeak) {
  const auto value = values_->Add("a;b=c", "A");
  const auto parts = value->SubValues();
  EXPECT_EQ(values_->RootParent(), mail_);
  EXPECT_EQ(parts->RootParent(), mail_);
  EXPECT_EQ(parts->ParentValue(), value);
  EXPECT_EQ(parts->Item(2)->ParentValue(), parts);
  mail_.reset();
  EXPECT_EQ(values_->RootParent(), nullptr);
  EXPECT_EQ(parts->RootParent(), nullptr);
  // Errors with nobody to record them still reach the caller.
  EXPECT_EQ(Raised([&] { values_->Add("x", "a"); }).Number(), 457);
}

TEST_F(ValuesTest, PartsOfAFieldAddedBeforeTheRootWasSetStillRecord) {
  // The header adds its first fields before SendMail sets its parent.
  const auto field = mail_->Header()->Values()->Item("Content-Type");
  EXPECT_EQ(field->SubValues()->RootParent(), mail_);
  EXPECT_THROW(field->SubValues()->Add("x", "charset"), Exception);
  EXPECT_EQ(Methods(*mail_), std::vector<std::string>{"SubValues.Add"});
}

// ---- the field check used before a send ----

TEST(FieldCheckTest, RefusesLineBreaksAndNulButAllowsFolds) {
  using detail::IsLegalFieldText;
  EXPECT_TRUE(IsLegalFieldText(""));
  EXPECT_TRUE(IsLegalFieldText("a\r\n b"));
  EXPECT_TRUE(IsLegalFieldText("a\r\n\tb\r\n c"));
  EXPECT_TRUE(IsLegalFieldText("caf\xC3\xA9"));
  EXPECT_FALSE(IsLegalFieldText("a\r\nBcc: x"));
  EXPECT_FALSE(IsLegalFieldText("a\nb"));
  EXPECT_FALSE(IsLegalFieldText("a\rb"));
  EXPECT_FALSE(IsLegalFieldText("a\r\n"));
  EXPECT_FALSE(IsLegalFieldText("a\r\n "));
  EXPECT_FALSE(IsLegalFieldText(std::string("a\0b", 3)));
  EXPECT_TRUE(detail::IsLegalFieldKey("X-Mailer"));
  EXPECT_FALSE(detail::IsLegalFieldKey("X\r\n Y"));
}

TEST_F(ValuesTest, FirstIllegalFieldNamesTheField) {
  values_->Add("fine", "A");
  EXPECT_EQ(detail::FirstIllegalField(*values_), nullptr);
  values_->Add("bad\r\nInjected: 1", "B");
  values_->Add("bad\n", "C");
  const auto bad = detail::FirstIllegalField(*values_);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->Key(), "B");
}

}  // namespace
}  // namespace postwing
