// Attachments and Attachment: defaults, the file-name quirks, the MIME-only rules and
// every error with its record.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::ExpectRecorded;
using testing::kBase;
using testing::Methods;
using testing::PairList;
using testing::Raised;

class AttachmentsTest : public ::testing::Test {
 protected:
  static PairList Fields(const Attachment& a) { return testing::Fields(*a.Values()); }

  std::shared_ptr<SendMail> mail = SendMail::Create();
  std::shared_ptr<Attachments> list = mail->Attachments();
  support::TempDir scratch;
};

TEST_F(AttachmentsTest, FileTakesItsLastSegmentOrTheGivenNameAndTypesFromTheExtension) {
  const std::string path = scratch.File("report.pdf");
  auto a = list->Add(path);
  EXPECT_EQ(a->FileName(), "report.pdf");
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(a->Source(), Variant(path));
  EXPECT_EQ(a->Parent(), list);
  // The parameter update writes "Name", and the default content type right after it sets
  // the field anew, so "Name" does not survive; "Content-Disposition" keeps its name.
  EXPECT_EQ(Fields(*a), (PairList{{"Content-Type", "application/pdf"},
                                  {"Content-Disposition", "attachment;Filename=report.pdf"},
                                  {"Content-Transfer-Encoding", "Base64"}}));
  EXPECT_EQ(list->Item("REPORT.PDF"), a);
  auto b = list->Add(scratch.File("scan-0001.png"), "holiday.jpg");
  EXPECT_EQ(b->ContentType(), "image/jpeg");
  EXPECT_EQ(list->Item("holiday.jpg"), b);
  const std::tuple<const char*, const char*, EncodeTypes> cases[] = {
      // clang-format off
      {"notes.txt", "text/plain", emxBinary}, {"table.csv", "text/csv", emxQuotedPrintable},
      {"picture.PNG", "image/png", emxBase64},
      // A name that tells nothing of the content is bytes, not text.
      {"unknown.zzqx", "application/octet-stream", emxBase64},
      // clang-format on
  };
  for (const auto& [name, content_type, encode_type] : cases) {
    auto x = list->Add(scratch.File(name));
    EXPECT_EQ(x->ContentType(), content_type) << name;
    EXPECT_EQ(x->EncodeType(), encode_type) << name;
  }
  EXPECT_EQ(mail->Errors()->Count(), 0);
}

TEST_F(AttachmentsTest, ContentTypeSetChoosesTheEncodingUnlessOneWasSet) {
  auto a = list->Add("some text", "a.txt");
  // "text/plain" with a parameter counts as another text type.
  a->SetContentType("text/plain; charset=utf-8");
  EXPECT_EQ(a->EncodeType(), emxQuotedPrintable);
  a->SetContentType(" TEXT/PLAIN ");
  EXPECT_EQ(a->EncodeType(), emxBinary);
  a->SetContentType("application/octet-stream");
  EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
  auto b = list->Add("more", "b.txt", "", emx7Bit);
  b->SetContentType("image/png");
  EXPECT_EQ(b->Values()->GetValue("Content-Transfer-Encoding"), "7Bit");
  // Nor does a new file name bring a default back once a content type was set.
  b->SetFileName("c.html");
  EXPECT_EQ(b->ContentType(), "image/png");
  // The encoding field reads back in any case and with blanks (the rule Body uses too).
  b->Values()->LetValue(" BaSe64  ", "content-transfer-encoding");
  EXPECT_EQ(b->EncodeType(), emxBase64);
  b->Values()->Remove("Content-Transfer-Encoding");
  EXPECT_EQ(b->EncodeType(), emxCustomEncode);
}

TEST_F(AttachmentsTest, AddSetsEveryArgumentInItsOrder) {
  auto a = list->Add("<p>hi</p>", "index.html", "text/html; charset=utf-8", emx8Bit,
                     "http://example.org/index.html", "http://example.org/");
  EXPECT_EQ(a->SourceType(), emxData);
  EXPECT_EQ(a->ContentLocation(), "http://example.org/index.html");
  EXPECT_EQ(a->ContentBase(), "http://example.org/");
  // ContentBase is set before ContentLocation, so its field comes first.
  EXPECT_EQ(Fields(*a), (PairList{{"Content-Type", "text/html; charset=utf-8"},
                                  {"Content-Disposition", "attachment;Filename=index.html"},
                                  {"Content-Transfer-Encoding", "8Bit"},
                                  {"Content-Base", "http://example.org/"},
                                  {"Content-Location", "http://example.org/index.html"}}));
}

TEST_F(AttachmentsTest, DataNeedsAFileName) {
  const std::string bytes = testing::AllBytes();
  auto a = list->Add(bytes, "all-bytes.bin");
  EXPECT_EQ(a->SourceType(), emxData);
  EXPECT_EQ(a->Source().AsString(), bytes);
  EXPECT_EQ(a->ContentType(), "application/octet-stream");
  // Empty data, a directory and a path to no file are data too.
  EXPECT_EQ(list->Add("", "empty.txt")->SourceType(), emxData);
  EXPECT_EQ(list->Add(scratch.path().string(), "dir.txt")->SourceType(), emxData);
  EXPECT_EQ(list->Add((scratch / "missing.pdf").string(), "m.txt")->SourceType(), emxData);
  EXPECT_EQ(Raised([&] { list->Add("just some text"); }).Number(), kBase + 12005);
  EXPECT_EQ(list->Count(), 4);
  EXPECT_EQ(Methods(*mail), (std::vector<std::string>{"Attachment.SetFile", "Attachments.Add"}));
  // Source set on its own stores the value before it fails.
  a->SetSource(scratch.File("other.pdf"));
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(a->FileName(), "all-bytes.bin");  // a set file name is kept
  auto b = list->Add(scratch.File("picture.png"));
  // No file name was set: data clears the derived one and fails, keeping the data.
  ExpectRecorded(*mail, kBase + 12005, "Attachment.SetFile", [&] { b->SetSource("raw bytes"); });
  EXPECT_EQ(b->Source().AsString(), "raw bytes");
  EXPECT_EQ(b->FileName(), "");
  EXPECT_FALSE(b->Values()->Exists("Content-Disposition"));
  EXPECT_EQ(b->ContentType(), "text/plain");
}

TEST_F(AttachmentsTest, FileNameParameters) {
  // Name stays when the content type was set before the first file name.
  auto a = list->Add(scratch.File("scan.tiff"));
  a->SetContentType("image/png");
  a->SetFileName("photo.png");
  EXPECT_EQ(a->ContentType(), "image/png;Name=photo.png");
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "attachment;Filename=photo.png");
  EXPECT_EQ(list->Item("scan.tiff"), a) << "the key it was added under";
  // A second file name leaves the parameters of the first; the type still follows it.
  auto b = list->Add("%PDF", "first.pdf");
  b->SetFileName("second.png");
  EXPECT_EQ(b->Values()->GetValue("Content-Disposition"), "attachment;Filename=first.pdf");
  EXPECT_EQ(b->ContentType(), "image/png");
  // A disposition the host added is rewritten.
  auto c = list->Add(scratch.File("pic.gif"));
  c->Values()->LetValue("inline;filename=old.gif;size=3", "content-disposition");
  c->SetFileName("new.gif");
  EXPECT_EQ(c->Values()->GetValue("Content-Disposition"), "attachment;filename=new.gif;size=3");
  // Names that are no token are quoted.
  for (const auto& [name, parameter] : {std::pair{"my report;v2.pdf", "\"my report;v2.pdf\""},
                                        {"a=b.pdf", "\"a=b.pdf\""},
                                        {"say \"hi\".pdf", "\"say \\\"hi\\\".pdf\""},
                                        {"plain_name-1.0.pdf", "plain_name-1.0.pdf"}}) {
    auto d = list->Add("%PDF", name);
    EXPECT_EQ(d->Values()->Item("Content-Disposition")->SubValues()->GetValue("Filename"),
              parameter);
    list->Remove(name);
  }
  a->SetFileName("two words.png");
  EXPECT_EQ(a->ContentType(), "image/png;Name=photo.png") << "set once";
  auto e = list->Add(scratch.File("x.bin"));
  e->SetContentType("application/pdf");
  e->SetFileName("two words.pdf");
  EXPECT_EQ(e->ContentType(), "application/pdf;Name=\"two words.pdf\"");
  // With multipart/alternative no disposition is written.
  mail->Header()->SetContentType(emxMultipartAlternative);
  EXPECT_FALSE(list->Add(scratch.File("doc.pdf"))->Values()->Exists("Content-Disposition"));
}

TEST_F(AttachmentsTest, InlineAndContentIdAreFields) {
  auto a = list->Add(scratch.File("logo.png"));
  EXPECT_FALSE(a->Inline());
  a->SetInline(true);
  const std::string made = a->ContentID();
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "inline;Filename=logo.png");
  EXPECT_EQ(a->Values()->GetValue("Content-ID"), "<" + made + ">");
  EXPECT_EQ(made.find('@'), 32u);
  auto other = list->Add("x", "b.png");
  other->SetInline(true);
  EXPECT_NE(other->ContentID(), made);
  // The file-name update keeps a part made inline; a second Inline keeps its id.
  a->SetFileName("new.png");
  a->SetInline(true);
  EXPECT_EQ(a->ContentID(), made);
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "inline;Filename=new.png");
  a->SetInline(false);
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "attachment;Filename=new.png");
  for (const char* id : {"<logo@example.org>", "logo@example.org"}) {
    a->SetContentID(id);
    EXPECT_EQ(a->Values()->GetValue("Content-ID"), "<logo@example.org>");
  }
  a->SetContentID("");
  EXPECT_FALSE(a->Values()->Exists("Content-ID"));
  // clang-format off
  for (const auto& [id, code] : {std::pair{"a b@x", 12017}, {"<a>b@x", 12017},
                                 {"caf\xC3\xA9@x", 12017}, {"a\r\nb@x", 12013}}) {
    // clang-format on
    EXPECT_EQ(Raised([&] { a->SetContentID(id); }).Number(), kBase + code) << id;
  }
}

TEST_F(AttachmentsTest, WithoutMimeOnlyUUEncodeAndNoMimeProperty) {
  mail->Header()->SetMIMECompliant(false);
  const std::string path = scratch.File("tool.zip");
  auto a = list->Add(path, "", "", emxUUEncode);
  EXPECT_EQ(a->FileName(), "tool.zip");
  EXPECT_FALSE(a->Values()->Exists("Content-Disposition"));
  EXPECT_EQ(mail->Errors()->Count(), 0);
  EXPECT_EQ(Raised([&] { list->Add(path, "other.zip", "", emxBase64); }).Number(), kBase + 12008);
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(Methods(*mail), (std::vector<std::string>{"Attachment.EncodeType", "Attachments.Add"}));
  const std::pair<std::function<void()>, const char*> guarded[] = {
      // clang-format off
      {[&] { a->ContentType(); }, "ContentType"},
      {[&] { a->SetContentType("text/html"); }, "ContentType"},
      {[&] { a->ContentBase(); }, "ContentBase"},
      {[&] { a->SetContentBase("http://x/"); }, "ContentBase"},
      {[&] { a->ContentLocation(); }, "ContentLocation"},
      {[&] { a->SetContentLocation("http://x/a"); }, "ContentLocation"},
      {[&] { a->SetInline(true); }, "Inline"}, {[&] { a->ContentID(); }, "ContentID"},
      // clang-format on
  };
  for (const auto& [call, property] : guarded) {
    ExpectRecorded(*mail, kBase + 12008, std::string("Attachment.") + property, call);
  }
  EXPECT_NO_THROW(a->EncodeType());
  EXPECT_NO_THROW(a->SetFileName("e.txt"));
}

TEST_F(AttachmentsTest, CustomAndUnknownEncodeTypesAreRefused) {
  auto a = list->Add("x", "x.bin");
  ExpectRecorded(*mail, kBase + 12009, "Attachment.EncodeType",
                 [&] { a->SetEncodeType(emxCustomEncode); });
  for (int type : {8, 0}) {
    ExpectRecorded(*mail, kBase + 12010, "Attachment.EncodeType",
                   [&] { a->SetEncodeType(static_cast<EncodeTypes>(type)); });
  }
  // A refused set changes nothing, and a later content type still picks the encoding.
  EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
  a->SetContentType("text/plain");
  EXPECT_EQ(a->EncodeType(), emxBinary);
}

// ---- the collection --------------------------------------------------------------------

TEST_F(AttachmentsTest, ItemRemoveAndForEach) {
  auto a = list->Add("1", "one.txt");
  auto b = list->Add("2", "Two.txt");
  auto c = list->Add("3", "three.txt");
  EXPECT_EQ(list->Item(3.0), c);
  EXPECT_EQ(list->Item("TWO.TXT"), b);
  EXPECT_TRUE(list->Remove("two.txt").IsEmpty());
  list->Remove(1);
  EXPECT_EQ(list->Item(1), c);
  // The removed attachment stays usable, and its name is free again.
  EXPECT_EQ(a->ContentType(), "text/plain");
  list->Add("1 again", "ONE.txt");
  ExpectRecorded(*mail, 457, "Attachments.Add", [&] { list->Add("b", "one.TXT"); });
  EXPECT_EQ(list->Count(), 2);
  // For-each visits what was there when it began.
  for (int i = 0; i < 3; ++i) list->Add("x", "f" + std::to_string(i) + ".txt");
  int visited = 0;
  for (const auto& item : *list) {
    ASSERT_TRUE(item);
    if (++visited == 1) list->Remove(2);
    if (visited == 2) list->Clear();
    if (visited == 3) list->Add("y", "late.txt");
  }
  EXPECT_EQ(visited, 5);
  EXPECT_EQ(list->Count(), 1);
  list->Clear();
  EXPECT_EQ(list->begin(), list->end());
}

TEST_F(AttachmentsTest, LookupErrorsAreRecordedWithTheirMethod) {
  const std::tuple<std::function<void()>, int32_t, const char*> cases[] = {
      // clang-format off
      {[&] { list->Remove(1); }, 9, "Attachments.Remove"},
      {[&] { list->Item(-1); }, 9, "Attachments.Item"},
      {[&] { list->Remove("nothing.txt"); }, 5, "Attachments.Remove"},
      {[&] { list->Item("nothing.txt"); }, 5, "Attachments.Item"},
      {[&] { list->Item(Variant()); }, 5, "Attachments.Item"},
      // clang-format on
      {[&] { list->Item(Variant(Variant::Array{})); }, 13, "Attachments.Item"},
  };
  for (const auto& [call, number, method] : cases) ExpectRecorded(*mail, number, method, call);
  // A field the host adds with a repeated key is refused and logged by the Values.
  auto a = list->Add("x", "x.txt");
  ExpectRecorded(*mail, 457, "Values.Add", [&] { a->Values()->Add("x", "content-type"); });
}

TEST_F(AttachmentsTest, AttachmentsOfAClearedOrGoneMailRaiseInsteadOfGuessing) {
  auto a = list->Add("x", "x.txt");
  // An attachment freezes the MIME switch; after Clear only the new collection would.
  for (bool value : {true, false}) {
    ExpectRecorded(*mail, kBase + 12004, "Header.MIMECompliant",
                   [&] { mail->Header()->SetMIMECompliant(value); });
  }
  EXPECT_TRUE(mail->Header()->MIMECompliant());
  mail->Clear();
  EXPECT_EQ(list->Parent(), nullptr);
  EXPECT_EQ(a->Values()->RootParent(), nullptr);
  EXPECT_EQ(Raised([&] { a->SetContentType("text/html"); }).Number(), 91);
  mail->Header()->SetMIMECompliant(false);
  EXPECT_FALSE(mail->Header()->MIMECompliant());
  mail->Header()->SetMIMECompliant(true);
  auto b = mail->Attachments()->Add("x", "x.txt");
  mail.reset();
  EXPECT_EQ(b->FileName(), "x.txt");
  EXPECT_EQ(b->EncodeType(), emxBinary);
  EXPECT_EQ(Raised([&] { b->ContentType(); }).Number(), 91);
  EXPECT_EQ(Raised([&] { b->SetEncodeType(emxBase64); }).Number(), 91);
}

TEST_F(AttachmentsTest, SourceOfOtherKinds) {
  EXPECT_EQ(list->Add(42, "answer.txt")->Source(), Variant(42));
  // An array of bytes is data even when it spells an existing file's path.
  Variant::Array path;
  for (unsigned char c : scratch.File("real.txt")) path.emplace_back(static_cast<int32_t>(c));
  EXPECT_EQ(list->Add(Variant(path), "arr.bin")->SourceType(), emxData);
  for (const Variant& bad : {Variant(256), Variant(-1), Variant("x"), Variant(1.5)}) {
    ExpectRecorded(*mail, 13, "Attachments.Add", [&] {
      list->Add(Variant(Variant::Array{Variant(1), bad}), "bad.bin");
    });
  }
  EXPECT_EQ(list->Count(), 2);
}

}  // namespace
}  // namespace postwing
