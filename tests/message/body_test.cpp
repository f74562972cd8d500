#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::ExpectRecorded;
using testing::Fields;
using testing::kBase;
using testing::PairList;
using testing::Raised;

const std::string kDocType = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">";
const std::string kParagraph =
    "\r\n<p class=MsoNormal><font size=2 face=Arial><span style='font-size:10.0pt;Font-family: "
    "Arial'><o:p>&nbsp;</o:p>\r\n";

class BodyTest : public ::testing::Test {
 protected:
  std::string TextOf() { return body_->Text().ToString(); }
  std::string Field(const char* key) { return body_->Values()->GetValue(key); }

  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  std::shared_ptr<Body> body_ = mail_->Body();
};

TEST_F(BodyTest, TextChoosesContentTypeAndEncoding) {
  EXPECT_EQ(body_->ContentType(), emxCustomBodyContent) << "no field yet";
  EXPECT_EQ(body_->EncodeType(), emxCustomEncode);
  const std::pair<std::string, bool> cases[] = {
      // text, read as HTML
      // clang-format off
      {"Hello there.", false}, {"   <HTML><body>x</body></HTML>", true},
      {"<!doctype html><p>x", true}, {"<!DOCTYPE", true}, {"<htm", false}, {"", false},
      // Attributes are not recognised; a tab is not trimmed.
      {"<html lang=en>x</html>", false}, {"\t<html>", false},
      // clang-format on
  };
  for (const auto& [text, html] : cases) {
    body_->SetText(text);
    EXPECT_EQ(Fields(*body_->Values()),
              (PairList{{"Content-Type", html ? "text/html" : "text/plain"},
                        {"Content-Transfer-Encoding", html ? "quoted-printable" : "Binary"}}))
        << text;
    EXPECT_EQ(body_->ContentType(), html ? emxBodyContentTypeHTML : emxBodyContentTypeText);
  }
  // The text replaces the parameters of the content type.
  body_->Values()->LetValue("text/plain;charset=utf-8", "Content-Type");
  body_->SetText("plain");
  EXPECT_EQ(Field("Content-Type"), "text/plain");
}

TEST_F(BodyTest, WhatTheHostSetStays) {
  body_->SetEncodeType(emxBase64);
  body_->SetText("<html><body>x</body></html>");
  EXPECT_EQ(Field("Content-Type"), "text/html");
  EXPECT_EQ(Field("Content-Transfer-Encoding"), "Base64");

  const auto other = SendMail::Create()->Body();
  other->SetContentType(emxBodyContentTypeText);
  EXPECT_EQ(other->Values()->GetValue("Content-Transfer-Encoding"), "Binary");
  other->SetText("<html>x</html>");
  EXPECT_EQ(other->ContentType(), emxBodyContentTypeText);
  // "text/plain" with a parameter is custom and gets quoted-printable.
  other->Values()->LetValue("text/plain;charset=iso-8859-1", "Content-Type");
  EXPECT_EQ(other->ContentType(), emxCustomBodyContent);
  other->SetText("caf\xE9");
  EXPECT_EQ(other->EncodeType(), emxQuotedPrintable);
  // A content type without text/ gives Base64.
  other->Values()->LetValue("image/png", "Content-Type");
  other->SetText("x");
  EXPECT_EQ(other->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
}

TEST_F(BodyTest, EncodeTypeWritesAndReadsTheField) {
  // Written in these words; read back in any case and with blanks.
  const std::tuple<EncodeTypes, const char*, const char*> types[] = {
      // clang-format off
      {emxBase64, "Base64", " BASE64 "}, {emx8Bit, "8Bit", "8BIT"},
      {emxQuotedPrintable, "quoted-printable", "Quoted-Printable"}, {emxBinary, "Binary", "binary"},
      {emxUUEncode, "UUEncode", "UUENCODE"}, {emx7Bit, "7Bit", "7bit"}};
  // clang-format on
  for (const auto& [type, written, read] : types) {
    body_->SetEncodeType(type);
    EXPECT_EQ(Field("Content-Transfer-Encoding"), written);
    body_->Values()->LetValue(read, "content-transfer-encoding");
    EXPECT_EQ(body_->EncodeType(), type) << read;
  }
  body_->SetEncodeType(static_cast<EncodeTypes>(42));
  EXPECT_EQ(Field("Content-Transfer-Encoding"), "7bit") << "other values write nothing";
  for (const char* custom : {"x-custom", ""}) {
    body_->Values()->LetValue(custom, "content-transfer-encoding");
    EXPECT_EQ(body_->EncodeType(), emxCustomEncode) << custom;
  }
}

TEST_F(BodyTest, CustomTypesAreRefusedAndCountAsNoChoice) {
  ExpectRecorded(*mail_, kBase + 12009, "Body.ContentType",
                 [&] { body_->SetContentType(emxCustomBodyContent); });
  ExpectRecorded(*mail_, kBase + 12009, "Body.EncodeType",
                 [&] { body_->SetEncodeType(emxCustomEncode); });
  EXPECT_EQ(body_->Values()->Count(), 0);
  body_->SetText("<html>");
  EXPECT_EQ(Field("Content-Transfer-Encoding"), "quoted-printable");
  body_->SetContentBase("http://x.org/");
  body_->SetContentLocation("index.html");
  EXPECT_EQ(body_->ContentBase(), "http://x.org/");
  EXPECT_EQ(body_->ContentLocation(), "index.html");
}

TEST_F(BodyTest, MimeOffWritesNoFieldAndGuardsEveryMimeProperty) {
  mail_->Header()->SetMIMECompliant(false);
  body_->SetText("<html>x</html>");
  EXPECT_EQ(body_->Values()->Count(), 0);
  EXPECT_EQ(TextOf(), "<html>x</html>");
  EXPECT_EQ(body_->DocType(), kDocType) << "DocType get works in every case";
  const std::pair<std::function<void()>, const char*> guarded[] = {
      // clang-format off
      {[&] { body_->ContentType(); }, "Body.ContentType"},
      {[&] { body_->SetContentType(emxBodyContentTypeHTML); }, "Body.ContentType"},
      {[&] { body_->ContentBase(); }, "Body.ContentBase"},
      {[&] { body_->SetContentBase("x"); }, "Body.ContentBase"},
      {[&] { body_->ContentLocation(); }, "Body.ContentLocation"},
      {[&] { body_->SetContentLocation("x"); }, "Body.ContentLocation"},
      {[&] { body_->EncodeType(); }, "Body.EncodeType"},
      {[&] { body_->SetEncodeType(emxBase64); }, "Body.EncodeType"},
      {[&] { body_->SetDocType(""); }, "Body.DocType"},
      {[&] { body_->AlternativeText(); }, "Body.AlternativeText"},
      {[&] { body_->SetAlternativeText("x"); }, "Body.AlternativeText"},
      // clang-format on
  };
  for (const auto& [call, method] : guarded) ExpectRecorded(*mail_, kBase + 12008, method, call);
  EXPECT_EQ(body_->Values()->Count(), 0);
}

// ---- the text as sent ----

TEST_F(BodyTest, HtmlGetsTheDocTypeLineAndTheParagraph) {
  const std::string html = "<html>x</html>";
  // Outlook's paragraph, the document type (nullptr: the default), the text and as it reads.
  const std::tuple<bool, const char*, std::string, std::string> cases[] = {
      {true, nullptr, html, kDocType + "\r\n" + html + kParagraph},
      {false, nullptr, html, kDocType + "\r\n" + html},
      // A text with its own document type line gets no second one, but still the paragraph.
      {true, nullptr, "<!DOCTYPE html>" + html, "<!DOCTYPE html>" + html + kParagraph},
      {false, nullptr, "  <!DOCTYPE html>" + html, "  <!DOCTYPE html>" + html + kParagraph},
      {false, "", html, html + kParagraph},
      {true, "<!DOCTYPE html>", html, "<!DOCTYPE html>\r\n" + html + kParagraph},
  };
  for (const auto& [outlook, doc_type, text, read] : cases) {
    mail_->SetAddOutlookHTML(outlook);
    body_->SetDocType(doc_type ? doc_type : kDocType);
    body_->SetText(text);
    EXPECT_EQ(TextOf(), read) << outlook << " " << text;
  }
}

TEST_F(BodyTest, TextKeepsItsKindAndEveryByteAndRefusesArraysAndObjects) {
  body_->SetText(42);
  EXPECT_TRUE(body_->Text().IsInteger());
  EXPECT_EQ(Field("Content-Type"), "text/plain");
  const std::string all = testing::AllBytes();
  body_->SetText(all);
  EXPECT_EQ(Raised([&] { body_->SetText(Variant(Variant::Array{Variant("a")})); }).Number(), 13);
  EXPECT_EQ(Raised([&] { body_->SetText(Variant(ObjectRef(mail_))); }).Number(), 13);
  EXPECT_EQ(TextOf(), all);
}

TEST_F(BodyTest, ReplacedValuesAndADetachedBody) {
  const auto other = SendMail::Create()->Body()->Values();
  other->Add("text/html", "Content-Type");
  body_->SetValues(other);
  EXPECT_EQ(body_->ContentType(), emxBodyContentTypeHTML);
  EXPECT_EQ(Raised([&] { body_->SetValues(nullptr); }).Number(), 91);
  EXPECT_EQ(body_->Values(), other);
  // A body whose SendMail is gone still works.
  const auto detached = SendMail::Create()->Body();
  detached->SetText("<html>x</html>");
  EXPECT_EQ(detached->Text().ToString(), kDocType + "\r\n<html>x</html>" + kParagraph);
}

// ---- Utilities: the platform's file reading and type table, with their records ----

TEST(UtilitiesTest, ReadFileAndContentTypeForExtRecordWhatFails) {
  auto mail = SendMail::Create();
  const auto utilities = mail->Utilities();
  EXPECT_EQ(utilities->Parent(), mail);
  support::TempDir dir;
  const std::string all = testing::AllBytes();  // one character per byte
  EXPECT_EQ(utilities->ReadFile(dir.File("all", all)).AsString(), all);
  ExpectRecorded(*mail, 53, "Utilities.ReadFile",
                 [&] { utilities->ReadFile((dir / "missing").string()); });
  EXPECT_EQ(utilities->GetContentTypeForExt(".ZIP"), "application/zip");
  for (const char* extension : {"no-such-extension-42", "", "..."}) {
    mail->Errors()->Clear();
    EXPECT_EQ(Raised([&] { utilities->GetContentTypeForExt(extension); }).Number(), kBase + 12012);
    EXPECT_EQ(testing::Methods(*mail),
              std::vector<std::string>(2, "Utilities.GetContentTypeForExt"))
        << extension;
  }
  mail.reset();  // detached utilities still raise
  EXPECT_EQ(Raised([&] { utilities->GetContentTypeForExt("zzz"); }).Number(), kBase + 12012);
}

}  // namespace
}  // namespace postwing
