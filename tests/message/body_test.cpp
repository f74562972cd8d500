#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::Fields;
using testing::kBase;
using testing::Raised;
using FieldList = std::vector<std::pair<std::string, std::string>>;

const std::string kDocType = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">";
const std::string kParagraph =
    "\r\n<p class=MsoNormal><font size=2 face=Arial><span style='font-size:10.0pt;Font-family: "
    "Arial'><o:p>&nbsp;</o:p>\r\n";

class BodyTest : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  std::shared_ptr<Body> body_ = mail_->Body();

  std::string TextOf() { return body_->Text().ToString(); }
};

TEST_F(BodyTest, FreshBodyHasNoFieldsAndTheDefaults) {
  EXPECT_EQ(body_->Values()->Count(), 0);
  EXPECT_TRUE(body_->Text().IsEmpty());
  EXPECT_EQ(body_->DocType(), kDocType);
  EXPECT_EQ(body_->Parent(), mail_);
  EXPECT_EQ(body_->Values()->RootParent(), mail_);
  EXPECT_EQ(body_->ContentType(), emxCustomBodyContent) << "no field yet";
  EXPECT_EQ(body_->EncodeType(), emxCustomEncode);
}

// ---- the automatic content type and encoding ----

struct ChoiceCase {
  const char* name;
  std::string text;
  std::string content_type;
  std::string encoding;
  BodyContentTypes code;
};

class BodyChoiceTest : public BodyTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(BodyChoiceTest, TextChoosesContentTypeAndEncoding) {
  const ChoiceCase& c = GetParam();
  body_->SetText(c.text);
  EXPECT_EQ(Fields(*body_->Values()), (FieldList{{"Content-Type", c.content_type},
                                                 {"Content-Transfer-Encoding", c.encoding}}));
  EXPECT_EQ(body_->ContentType(), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BodyChoiceTest,
    ::testing::Values(
        ChoiceCase{"PlainSentence", "Hello there.", "text/plain", "Binary", emxBodyContentTypeText},
        ChoiceCase{"BlanksThenUpperHtml", "   <HTML><body>x</body></HTML>", "text/html",
                   "quoted-printable", emxBodyContentTypeHTML},
        ChoiceCase{"DocTypeAnyCase", "<!doctype html><p>x", "text/html", "quoted-printable",
                   emxBodyContentTypeHTML},
        ChoiceCase{"BareDocTypeWordPaddedWithBlanks", "<!DOCTYPE", "text/html", "quoted-printable",
                   emxBodyContentTypeHTML},
        ChoiceCase{"HtmlWithAttributesIsNotRecognised", "<html lang=en>x</html>", "text/plain",
                   "Binary", emxBodyContentTypeText},
        ChoiceCase{"ShortText", "<htm", "text/plain", "Binary", emxBodyContentTypeText},
        ChoiceCase{"TabBeforeHtmlIsNotTrimmed", "\t<html>", "text/plain", "Binary",
                   emxBodyContentTypeText},
        ChoiceCase{"Empty", "", "text/plain", "Binary", emxBodyContentTypeText}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST_F(BodyTest, TextReplacesParametersOfTheContentType) {
  body_->Values()->Add("text/plain;charset=utf-8", "Content-Type");
  body_->SetText("plain");
  EXPECT_EQ(body_->Values()->GetValue("Content-Type"), "text/plain");
}

TEST_F(BodyTest, AnEncodeTypeSetByTheHostStays) {
  body_->SetEncodeType(emxBase64);
  body_->SetText("<html><body>x</body></html>");
  EXPECT_EQ(body_->Values()->GetValue("Content-Type"), "text/html");
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
  EXPECT_EQ(body_->EncodeType(), emxBase64);
}

TEST_F(BodyTest, AContentTypeSetByTheHostStays) {
  body_->SetContentType(emxBodyContentTypeText);
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "Binary");
  body_->SetText("<html>x</html>");
  EXPECT_EQ(body_->Values()->GetValue("Content-Type"), "text/plain");
  EXPECT_EQ(body_->ContentType(), emxBodyContentTypeText);
}

TEST_F(BodyTest, ParametrisedTextPlainIsCustomAndGetsQuotedPrintable) {
  body_->SetContentType(emxBodyContentTypeText);
  body_->Values()->LetValue("text/plain;charset=iso-8859-1", "Content-Type");
  EXPECT_EQ(body_->ContentType(), emxCustomBodyContent);
  body_->SetText("caf\xE9");
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(body_->EncodeType(), emxQuotedPrintable);
}

TEST_F(BodyTest, ContentTypeSetWritesTheFieldAndChoosesTheEncoding) {
  body_->SetContentType(emxBodyContentTypeHTML);
  EXPECT_EQ(Fields(*body_->Values()),
            (FieldList{{"Content-Type", "text/html"},
                       {"Content-Transfer-Encoding", "quoted-printable"}}));
  body_->Values()->LetValue("image/png", "Content-Type");
  body_->SetText("x");
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "Base64")
      << "a content type without text/ gives Base64";
}

TEST_F(BodyTest, EncodeTypeWritesTheTableTexts) {
  const std::vector<std::pair<EncodeTypes, std::string>> table = {
      {emxBase64, "Base64"}, {emxQuotedPrintable, "quoted-printable"},
      {emx8Bit, "8Bit"},     {emx7Bit, "7Bit"},
      {emxBinary, "Binary"}, {emxUUEncode, "UUEncode"}};
  for (const auto& [type, text] : table) {
    body_->SetEncodeType(type);
    EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), text);
    EXPECT_EQ(body_->EncodeType(), type);
  }
  body_->SetEncodeType(static_cast<EncodeTypes>(42));
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "UUEncode")
      << "other values write nothing";
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(BodyTest, EncodeTypeReadsTheFieldWithoutCaseOrBlanks) {
  const std::vector<std::pair<std::string, EncodeTypes>> table = {
      {" BASE64 ", emxBase64},
      {"Quoted-Printable", emxQuotedPrintable},
      {"8BIT", emx8Bit},
      {"7bit", emx7Bit},
      {"binary", emxBinary},
      {"UUENCODE", emxUUEncode},
      {"x-custom", emxCustomEncode},
      {"", emxCustomEncode}};
  for (const auto& [text, type] : table) {
    body_->Values()->LetValue(text, "content-transfer-encoding");
    EXPECT_EQ(body_->EncodeType(), type) << text;
  }
}

TEST_F(BodyTest, CustomTypesAreRefusedWith12009) {
  const std::string type_text =
      "A Custom content type (\"Content-Type\") can only be set using the Values object.";
  const std::string encoding_text =
      "A Custom encoding type (\"Content-Transfer-Encoding\") can only be set using the Values "
      "object.";
  Exception e = Raised([&] { body_->SetContentType(emxCustomBodyContent); });
  EXPECT_EQ(e.Number(), kBase + 12009);
  EXPECT_EQ(e.Description(), type_text);
  testing::ExpectLastRecord(*mail_, kBase + 12009, "postwing", type_text, "Body.ContentType");
  e = Raised([&] { body_->SetEncodeType(emxCustomEncode); });
  EXPECT_EQ(e.Number(), kBase + 12009);
  EXPECT_EQ(e.Description(), encoding_text);
  testing::ExpectLastRecord(*mail_, kBase + 12009, "postwing", encoding_text, "Body.EncodeType");
  EXPECT_EQ(body_->Values()->Count(), 0);
  // Neither failed set counts as a choice: the text still chooses both.
  body_->SetText("<html>");
  EXPECT_EQ(body_->Values()->GetValue("Content-Type"), "text/html");
  EXPECT_EQ(body_->Values()->GetValue("Content-Transfer-Encoding"), "quoted-printable");
}

TEST_F(BodyTest, ContentBaseAndLocationAreFields) {
  body_->SetContentBase("http://x.org/");
  body_->SetContentLocation("index.html");
  EXPECT_EQ(body_->ContentBase(), "http://x.org/");
  EXPECT_EQ(body_->ContentLocation(), "index.html");
  EXPECT_EQ(Fields(*body_->Values()),
            (FieldList{{"Content-Base", "http://x.org/"}, {"Content-Location", "index.html"}}));
}

// ---- MIME off ----

TEST_F(BodyTest, MimeOffWritesNoFieldAndReturnsTheTextAsStored) {
  mail_->Header()->SetMIMECompliant(false);
  body_->SetText("<html>x</html>");
  EXPECT_EQ(body_->Values()->Count(), 0);
  EXPECT_EQ(TextOf(), "<html>x</html>");
  EXPECT_EQ(body_->DocType(), kDocType) << "DocType get works in every case";
}

TEST_F(BodyTest, MimeOffGuardsEveryMimeProperty) {
  mail_->Header()->SetMIMECompliant(false);
  struct Guarded {
    std::function<void()> call;
    const char* property;
    const char* method;
  };
  const std::vector<Guarded> cases = {
      {[&] { body_->ContentType(); }, "ContentType", "Body.ContentType"},
      {[&] { body_->SetContentType(emxBodyContentTypeHTML); }, "ContentType", "Body.ContentType"},
      {[&] { body_->ContentBase(); }, "ContentBase", "Body.ContentBase"},
      {[&] { body_->SetContentBase("x"); }, "ContentBase", "Body.ContentBase"},
      {[&] { body_->ContentLocation(); }, "ContentLocation", "Body.ContentLocation"},
      {[&] { body_->SetContentLocation("x"); }, "ContentLocation", "Body.ContentLocation"},
      {[&] { body_->EncodeType(); }, "EncodeType", "Body.EncodeType"},
      {[&] { body_->SetEncodeType(emxBase64); }, "EncodeType", "Body.EncodeType"},
      {[&] { body_->SetDocType(""); }, "DocType", "Body.DocType"},
      {[&] { body_->AlternativeText(); }, "AlternativeText", "Body.AlternativeText"},
      {[&] { body_->SetAlternativeText("x"); }, "AlternativeText", "Body.AlternativeText"},
  };
  for (const auto& c : cases) {
    const Exception e = Raised(c.call);
    const std::string text = std::string("The ") + c.property +
                             " property can only be used with MIME types. Set MIMECompliant "
                             "property to true and try again.";
    EXPECT_EQ(e.Number(), kBase + 12008) << c.method;
    EXPECT_EQ(e.Source(), "postwing");
    EXPECT_EQ(e.Description(), text);
    testing::ExpectLastRecord(*mail_, kBase + 12008, "postwing", text, c.method);
  }
  EXPECT_EQ(mail_->Errors()->Count(), static_cast<int32_t>(cases.size()));
  EXPECT_EQ(body_->Values()->Count(), 0);
  EXPECT_EQ(body_->DocType(), kDocType);
}

// ---- the text as sent ----

TEST_F(BodyTest, HtmlWithoutDocTypeGetsTheLineAndTheParagraph) {
  body_->SetText("<html><body>Hi</body></html>");
  EXPECT_EQ(TextOf(), kDocType + "\r\n<html><body>Hi</body></html>" + kParagraph);
  EXPECT_EQ(kParagraph.substr(0, 2), "\r\n");
  EXPECT_EQ(kParagraph.substr(kParagraph.size() - 2), "\r\n");
}

TEST_F(BodyTest, WithoutAddOutlookHtmlOnlyTheDocTypeLineIsAdded) {
  mail_->SetAddOutlookHTML(false);
  body_->SetText("<html>x</html>");
  EXPECT_EQ(TextOf(), kDocType + "\r\n<html>x</html>");
  body_->SetText("  <!DOCTYPE html><html>x</html>");
  EXPECT_EQ(TextOf(), "  <!DOCTYPE html><html>x</html>" + kParagraph)
      << "a text with its own document type line still gets the paragraph";
}

TEST_F(BodyTest, ATextWithItsOwnDocTypeGetsNoSecondOne) {
  body_->SetText("<!DOCTYPE html><html>x</html>");
  EXPECT_EQ(TextOf(), "<!DOCTYPE html><html>x</html>" + kParagraph);
}

TEST_F(BodyTest, AnEmptyDocTypeAddsTheParagraphWhateverTheSwitch) {
  mail_->SetAddOutlookHTML(false);
  body_->SetDocType("");
  body_->SetText("<html>x</html>");
  EXPECT_EQ(TextOf(), "<html>x</html>" + kParagraph);
}

TEST_F(BodyTest, TheHtmlRuleReadsTheMainValueOfTheField) {
  body_->SetText("not html at all");
  EXPECT_EQ(TextOf(), "not html at all");
  body_->Values()->LetValue(" TEXT/HTML ; charset=utf-8", "Content-Type");
  EXPECT_EQ(TextOf(), kDocType + "\r\nnot html at all" + kParagraph);
  body_->Values()->LetValue("", "Content-Type");
  EXPECT_EQ(TextOf(), "not html at all");
  body_->Values()->Remove("Content-Type");
  EXPECT_EQ(TextOf(), "not html at all");
}

TEST_F(BodyTest, ACustomDocTypeIsUsed) {
  body_->SetDocType("<!DOCTYPE html>");
  body_->SetText("<html>x</html>");
  EXPECT_EQ(TextOf(), "<!DOCTYPE html>\r\n<html>x</html>" + kParagraph);
}

TEST_F(BodyTest, TextKeepsItsKindAndRefusesArraysAndObjects) {
  body_->SetText(42);
  EXPECT_TRUE(body_->Text().IsInteger());
  EXPECT_EQ(body_->Values()->GetValue("Content-Type"), "text/plain");
  body_->SetText("x");
  EXPECT_EQ(Raised([&] { body_->SetText(Variant(Variant::Array{Variant("a")})); }).Number(), 13);
  EXPECT_EQ(Raised([&] { body_->SetText(Variant(ObjectRef(mail_))); }).Number(), 13);
  EXPECT_EQ(TextOf(), "x");
}

TEST_F(BodyTest, EightBitTextIsKept) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  body_->SetText(all);
  EXPECT_EQ(TextOf(), all);
}

TEST_F(BodyTest, ReplacingTheValues) {
  const auto other = SendMail::Create()->Body()->Values();
  other->Add("text/html", "Content-Type");
  body_->SetValues(other);
  EXPECT_EQ(body_->Values(), other);
  EXPECT_EQ(body_->ContentType(), emxBodyContentTypeHTML);
  EXPECT_EQ(Raised([&] { body_->SetValues(nullptr); }).Number(), 91);
  EXPECT_EQ(body_->Values(), other);
}

TEST_F(BodyTest, ADetachedBodyStillWorks) {
  const auto old = body_;
  mail_->Clear();
  EXPECT_NE(mail_->Body(), old);
  mail_.reset();
  EXPECT_EQ(old->Parent(), nullptr);
  old->SetText("<html>x</html>");
  EXPECT_EQ(old->Text().ToString(), kDocType + "\r\n<html>x</html>" + kParagraph);
}

}  // namespace
}  // namespace postwing
