// Attachments and Attachment: defaults, the file-name quirks, the MIME-only rules and
// every error with its record.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"
#include "postwing/values.hpp"
#include "support/temp_dir.hpp"

namespace postwing {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kBase = vbObjectError;

const char* const kNoFileNameText =
    "You must specify (invent) a fileName when the Source parameter is data (when the Source "
    "parameter does not represent an actual file). This is because postWing uses the "
    "extension to determine the MIME type. Note: non-MIME files also require a filename.";
const char* const kEncodeTypeMimeOnly =
    "The EncodeType property can only be used with MIME types. Set MIMECompliant property to "
    "true and try again. The only allowable EncodeType for non-MIME attachments is UUEncode.";

// The number, source, description and method of every record, for comparing logs.
struct Record {
  int32_t number;
  std::string source;
  std::string description;
  std::string method;
  friend bool operator==(const Record&, const Record&) = default;
};
std::vector<Record> Log(const SendMail& mail) {
  std::vector<Record> records;
  for (const auto& e : *mail.Errors()) {
    EXPECT_EQ(e->HelpFile(), "");
    EXPECT_EQ(e->HelpContext(), 0);
    records.push_back({e->Number(), e->Source(), e->Description(), e->Method()});
  }
  return records;
}
std::ostream& operator<<(std::ostream& os, const Record& r) {
  return os << "{" << r.number << ", " << r.source << ", " << r.description << ", " << r.method
            << "}";
}

// Runs f, which must raise; returns the exception.
template <class F>
Exception Raised(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return Exception(0, "", "");
}

std::vector<std::pair<std::string, std::string>> Fields(const Attachment& a) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& v : *a.Values()) fields.emplace_back(v->Key(), v->Text());
  return fields;
}
using FieldList = std::vector<std::pair<std::string, std::string>>;

class AttachmentsTest : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> mail = SendMail::Create();
  std::shared_ptr<Attachments> list = mail->Attachments();
  support::TempDir scratch;
};

// ---- defaults --------------------------------------------------------------------------

TEST_F(AttachmentsTest, FileByFullPathTakesItsLastSegmentAndTypesFromTheExtension) {
  const std::string path = scratch.File("report.pdf");
  auto a = list->Add(path);
  EXPECT_EQ(a->FileName(), "report.pdf");
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(a->Source(), Variant(path));
  EXPECT_EQ(a->ContentType(), "application/pdf");
  EXPECT_EQ(a->EncodeType(), emxBase64);
  EXPECT_EQ(a->Parent(), list);
  // The parameter update writes "Name", and the default content type right after it sets
  // the field anew, so "Name" does not survive; "Content-Disposition" keeps its name.
  EXPECT_EQ(Fields(*a), (FieldList{{"Content-Type", "application/pdf"},
                                   {"Content-Disposition", "attachment;Filename=report.pdf"},
                                   {"Content-Transfer-Encoding", "Base64"}}));
  EXPECT_EQ(a->Values()->Item("Content-Disposition")->SubValues()->GetValue("filename"),
            "report.pdf");
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Item("REPORT.PDF"), a);
  EXPECT_EQ(mail->Errors()->Count(), 0);
}

TEST_F(AttachmentsTest, GivenFileNameIsUsedForTheFieldsAndTheKey) {
  auto a = list->Add(scratch.File("scan-0001.png"), "holiday.jpg");
  EXPECT_EQ(a->FileName(), "holiday.jpg");
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(Fields(*a), (FieldList{{"Content-Type", "image/jpeg"},
                                   {"Content-Disposition", "attachment;Filename=holiday.jpg"},
                                   {"Content-Transfer-Encoding", "Base64"}}));
  EXPECT_EQ(list->Item("holiday.jpg"), a);
  EXPECT_THROW(list->Item("scan-0001.png"), Exception);
}

TEST_F(AttachmentsTest, EncodeTypeFollowsTheContentTypeOfTheExtension) {
  struct Case {
    const char* name;
    const char* content_type;
    EncodeTypes encode_type;
    const char* field;
  };
  const Case cases[] = {
      {"notes.txt", "text/plain", emxBinary, "Binary"},
      {"page.html", "text/html", emxQuotedPrintable, "quoted-printable"},
      {"table.csv", "text/csv", emxQuotedPrintable, "quoted-printable"},
      {"archive.zip", "application/zip", emxBase64, "Base64"},
      {"picture.PNG", "image/png", emxBase64, "Base64"},
      // A name that tells nothing of the content is bytes, not text.
      {"unknown.zzqx", "application/octet-stream", emxBase64, "Base64"},
      {"no-extension", "application/octet-stream", emxBase64, "Base64"},
      {"image.iso", "application/x-iso9660-image", emxBase64, "Base64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = list->Add(scratch.File(c.name));
    EXPECT_EQ(a->ContentType(), c.content_type);
    EXPECT_EQ(a->EncodeType(), c.encode_type);
    EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), c.field);
  }
}

TEST_F(AttachmentsTest, ContentTypeSetChoosesTheEncodingUnlessOneWasSet) {
  auto a = list->Add("some text", "a.txt");
  EXPECT_EQ(a->EncodeType(), emxBinary);
  // "text/plain" with a parameter counts as another text type.
  a->SetContentType("text/plain; charset=utf-8");
  EXPECT_EQ(a->EncodeType(), emxQuotedPrintable);
  a->SetContentType(" TEXT/PLAIN ");
  EXPECT_EQ(a->EncodeType(), emxBinary);
  a->SetContentType("application/octet-stream");
  EXPECT_EQ(a->EncodeType(), emxBase64);
  EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), "Base64");

  auto b = list->Add("more", "b.txt", "", emx7Bit);
  b->SetContentType("image/png");
  EXPECT_EQ(b->EncodeType(), emx7Bit);
  EXPECT_EQ(b->Values()->GetValue("Content-Transfer-Encoding"), "7Bit");
  // Nor does a new file name bring a default back once a content type was set.
  b->SetFileName("c.html");
  EXPECT_EQ(b->ContentType(), "image/png");
}

TEST_F(AttachmentsTest, AddSetsEveryArgumentInItsOrder) {
  auto a = list->Add("<p>hi</p>", "index.html", "text/html; charset=utf-8", emx8Bit,
                     "http://example.org/index.html", "http://example.org/");
  EXPECT_EQ(a->SourceType(), emxData);
  EXPECT_EQ(a->ContentType(), "text/html; charset=utf-8");
  EXPECT_EQ(a->EncodeType(), emx8Bit);
  EXPECT_EQ(a->ContentLocation(), "http://example.org/index.html");
  EXPECT_EQ(a->ContentBase(), "http://example.org/");
  // ContentBase is set before ContentLocation, so its field comes first.
  EXPECT_EQ(Fields(*a), (FieldList{{"Content-Type", "text/html; charset=utf-8"},
                                   {"Content-Disposition", "attachment;Filename=index.html"},
                                   {"Content-Transfer-Encoding", "8Bit"},
                                   {"Content-Base", "http://example.org/"},
                                   {"Content-Location", "http://example.org/index.html"}}));
}

TEST_F(AttachmentsTest, EncodeTypeReadsTheFieldBack) {
  auto a = list->Add("x", "x.bin");
  const std::pair<const char*, EncodeTypes> cases[] = {
      {" BaSe64  ", emxBase64},
      {"7BIT", emx7Bit},
      {"8bit", emx8Bit},
      {"Binary", emxBinary},
      {"uuencode", emxUUEncode},
      {"Quoted-Printable", emxQuotedPrintable},
      {"x-custom", emxCustomEncode},
      {"", emxCustomEncode},
  };
  for (const auto& [text, type] : cases) {
    a->Values()->LetValue(text, "content-transfer-encoding");
    EXPECT_EQ(a->EncodeType(), type) << text;
  }
  a->Values()->Remove("Content-Transfer-Encoding");
  EXPECT_EQ(a->EncodeType(), emxCustomEncode);
}

TEST_F(AttachmentsTest, EveryEncodeTypeWritesItsFieldText) {
  auto a = list->Add("x", "x.bin");
  const std::pair<EncodeTypes, const char*> cases[] = {
      {emxBase64, "Base64"}, {emxQuotedPrintable, "quoted-printable"},
      {emx8Bit, "8Bit"},     {emx7Bit, "7Bit"},
      {emxBinary, "Binary"}, {emxUUEncode, "UUEncode"},
  };
  for (const auto& [type, text] : cases) {
    a->SetEncodeType(type);
    EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), text);
    EXPECT_EQ(a->EncodeType(), type);
  }
}

// ---- data ------------------------------------------------------------------------------

TEST_F(AttachmentsTest, DataWithAFileNameIsData) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  auto a = list->Add(bytes, "all-bytes.bin");
  EXPECT_EQ(a->SourceType(), emxData);
  EXPECT_EQ(a->Source().AsString(), bytes);
  EXPECT_EQ(a->FileName(), "all-bytes.bin");
  EXPECT_EQ(a->ContentType(), "application/octet-stream");
  EXPECT_EQ(a->EncodeType(), emxBase64);

  // Empty data, a directory and a path to no file are data too.
  EXPECT_EQ(list->Add("", "empty.txt")->SourceType(), emxData);
  EXPECT_EQ(list->Add(scratch.path().string(), "dir.txt")->SourceType(), emxData);
  EXPECT_EQ(list->Add((scratch.path() / "missing.pdf").string(), "m.txt")->SourceType(), emxData);
  EXPECT_EQ(list->Count(), 4);
}

TEST_F(AttachmentsTest, DataWithoutAFileNameFailsWith12005AndAddsNothing) {
  const auto e = Raised([&] { list->Add("just some text"); });
  EXPECT_EQ(e.Number(), kBase + 12005);
  EXPECT_EQ(e.Source(), "postWing");
  EXPECT_EQ(e.Description(), kNoFileNameText);
  EXPECT_EQ(list->Count(), 0);
  const Record expected{kBase + 12005, "postWing", kNoFileNameText, ""};
  auto log = Log(*mail);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].method, "Attachment.SetFile");
  EXPECT_EQ(log[1].method, "Attachments.Add");
  for (auto& r : log) {
    r.method.clear();
    EXPECT_EQ(r, expected);
  }
}

TEST_F(AttachmentsTest, SourceSetOnItsOwnStoresTheValueBeforeItFails) {
  auto a = list->Add("first", "first.txt");
  a->SetSource(scratch.File("other.pdf"));
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(a->FileName(), "first.txt");  // a set file name is kept

  auto b = list->Add(scratch.File("picture.png"));
  EXPECT_EQ(b->FileName(), "picture.png");
  // No file name was set: data clears the derived one and fails, keeping the data.
  const auto e = Raised([&] { b->SetSource("raw bytes"); });
  EXPECT_EQ(e.Number(), kBase + 12005);
  EXPECT_EQ(b->Source().AsString(), "raw bytes");
  EXPECT_EQ(b->SourceType(), emxData);
  EXPECT_EQ(b->FileName(), "");
  EXPECT_FALSE(b->Values()->Exists("Content-Disposition"));
  EXPECT_EQ(b->ContentType(), "text/plain");
  EXPECT_EQ(mail->Errors()->Count(), 1);
  EXPECT_EQ(mail->Errors()->Item(1)->Method(), "Attachment.SetFile");
}

// ---- paths -----------------------------------------------------------------------------

TEST_F(AttachmentsTest, FileNameIsTheTextAfterTheLastSlashOrBackslash) {
  fs::create_directory(scratch.path() / "sub dir");
  EXPECT_EQ(list->Add(scratch.File("sub dir/ spaced.txt "))->FileName(), "spaced.txt");
  // On Linux "\" is a character of a file name; the rule still cuts there.
  EXPECT_EQ(list->Add(scratch.File("win\\style\\name.gif"))->FileName(), "name.gif");
  // ":" is an ordinary character of a Linux file name and does not cut it.
  EXPECT_EQ(list->Add(scratch.File("at 10:30.txt"))->FileName(), "at 10:30.txt");
  EXPECT_EQ(list->Add(scratch.File("relative.txt"), "", "", {})->FileName(), "relative.txt");
}

TEST_F(AttachmentsTest, BareNameOfAnExistingFileNamesItself) {
  scratch.File("bare.pdf");
  const fs::path before = fs::current_path();
  fs::current_path(scratch.path());
  auto a = list->Add("bare.pdf");
  EXPECT_EQ(a->SourceType(), emxFile);
  EXPECT_EQ(a->FileName(), "bare.pdf");
  EXPECT_EQ(a->ContentType(), "application/pdf");
  fs::current_path(before);
}

// ---- the file-name parameters ----------------------------------------------------------

TEST_F(AttachmentsTest, MultipartAlternativeWritesNoDisposition) {
  mail->Header()->SetContentType(emxMultipartAlternative);
  auto a = list->Add(scratch.File("doc.pdf"));
  EXPECT_EQ(Fields(*a), (FieldList{{"Content-Type", "application/pdf"},
                                   {"Content-Transfer-Encoding", "Base64"}}));
}

TEST_F(AttachmentsTest, NameStaysWhenTheContentTypeWasSetBeforeTheFirstFileName) {
  auto a = list->Add(scratch.File("scan.tiff"));
  a->SetContentType("image/png");
  a->SetFileName("photo.png");
  EXPECT_EQ(a->FileName(), "photo.png");
  EXPECT_EQ(a->ContentType(), "image/png;Name=photo.png");
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "attachment;Filename=photo.png");
  EXPECT_EQ(a->EncodeType(), emxBase64);
  // The collection keeps the key the attachment was added under.
  EXPECT_EQ(list->Item("scan.tiff"), a);
}

TEST_F(AttachmentsTest, SecondFileNameLeavesTheParametersOfTheFirst) {
  auto a = list->Add("%PDF", "first.pdf");
  a->SetFileName("second.png");
  EXPECT_EQ(a->FileName(), "second.png");
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "attachment;Filename=first.pdf");
  // The content type still follows the new name, as no ContentType was set.
  EXPECT_EQ(a->ContentType(), "image/png");
}

TEST_F(AttachmentsTest, DispositionTheHostAddedIsRewritten) {
  auto a = list->Add(scratch.File("pic.gif"));
  // The attachment was added from a path: the file-name flag is still clear.
  a->Values()->LetValue("inline;filename=old.gif;size=3", "content-disposition");
  a->SetFileName("new.gif");
  EXPECT_EQ(a->Values()->GetValue("Content-Disposition"), "attachment;filename=new.gif;size=3");
}

TEST_F(AttachmentsTest, InlineAndContentIdAreFields) {
  auto a = list->Add(scratch.File("logo.png"));
  a->SetInline(true);
  const std::string made = a->ContentID();
  EXPECT_EQ(Fields(*a), (FieldList{{"Content-Type", "image/png"},
                                   {"Content-Disposition", "inline;Filename=logo.png"},
                                   {"Content-Transfer-Encoding", "Base64"},
                                   {"Content-ID", "<" + made + ">"}}));
  EXPECT_EQ(made.find('@'), 32u);
  auto other = list->Add("x", "b.png");
  other->SetInline(true);
  EXPECT_NE(other->ContentID(), made);
  // The file-name update keeps a part made inline; a second Inline keeps its id.
  a->SetFileName("new.png");
  a->SetInline(true);
  EXPECT_TRUE(a->Inline());
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
  for (const auto& [id, code] : {std::pair{"a b@x", 12017},
                                 {"<a>b@x", 12017},
                                 {"caf\xC3\xA9@x", 12017},
                                 {"a\r\nb@x", 12013}}) {
    EXPECT_EQ(Raised([&] { a->SetContentID(id); }).Number(), kBase + code) << id;
  }
}

TEST_F(AttachmentsTest, FileNamesThatAreNoTokenAreQuoted) {
  const std::pair<const char*, const char*> cases[] = {
      {"my report;v2.pdf", "\"my report;v2.pdf\""},
      {"a=b.pdf", "\"a=b.pdf\""},
      {"Bericht M\xc3\xa4rz.pdf", "\"Bericht M\xc3\xa4rz.pdf\""},
      {"say \"hi\".pdf", "\"say \\\"hi\\\".pdf\""},
      {"plain_name-1.0.pdf", "plain_name-1.0.pdf"},
  };
  for (const auto& [name, parameter] : cases) {
    SCOPED_TRACE(name);
    auto a = list->Add("%PDF", name);
    EXPECT_EQ(a->FileName(), name);
    auto disposition = a->Values()->Item("Content-Disposition")->SubValues();
    EXPECT_EQ(disposition->Count(), 2);
    EXPECT_EQ(disposition->GetValue("Filename"), parameter);
    a->SetContentType("application/pdf");
    list->Remove(name);
  }
  // Name is quoted the same way where it stays.
  auto a = list->Add(scratch.File("x.bin"));
  a->SetContentType("application/pdf");
  a->SetFileName("two words.pdf");
  EXPECT_EQ(a->ContentType(), "application/pdf;Name=\"two words.pdf\"");
}

// ---- MIME-only rules -------------------------------------------------------------------

TEST_F(AttachmentsTest, NonMimeMessageAllowsOnlyUUEncode) {
  mail->Header()->SetMIMECompliant(false);
  const std::string path = scratch.File("tool.zip");
  auto a = list->Add(path, "", "", emxUUEncode);
  EXPECT_EQ(a->FileName(), "tool.zip");
  // No parameters without MIME; the defaults still write their fields.
  EXPECT_FALSE(a->Values()->Exists("Content-Disposition"));
  EXPECT_EQ(a->Values()->GetValue("Content-Type"), "application/zip");
  EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
  EXPECT_EQ(mail->Errors()->Count(), 0);

  const auto e = Raised([&] { list->Add(path, "other.zip", "", emxBase64); });
  EXPECT_EQ(e.Number(), kBase + 12008);
  EXPECT_EQ(e.Source(), "postwing");
  EXPECT_EQ(e.Description(), kEncodeTypeMimeOnly);
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(Log(*mail),
            (std::vector<Record>{
                {kBase + 12008, "postwing", kEncodeTypeMimeOnly, "Attachment.EncodeType"},
                {kBase + 12008, "postwing", kEncodeTypeMimeOnly, "Attachments.Add"}}));
}

TEST_F(AttachmentsTest, MimeOnlyPropertiesFailWithTheirOwnTextAndOneRecord) {
  mail->Header()->SetMIMECompliant(false);
  auto a = list->Add("data", "d.txt");
  struct Case {
    const char* property;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"ContentType", [&] { a->ContentType(); }},
      {"ContentType", [&] { a->SetContentType("text/html"); }},
      {"ContentBase", [&] { a->ContentBase(); }},
      {"ContentBase", [&] { a->SetContentBase("http://x/"); }},
      {"ContentLocation", [&] { a->ContentLocation(); }},
      {"ContentLocation", [&] { a->SetContentLocation("http://x/a"); }},
      {"Inline", [&] { a->SetInline(true); }},
      {"ContentID", [&] { a->ContentID(); }},
  };
  for (const auto& c : cases) {
    mail->Errors()->Clear();
    const std::string text = std::string("The ") + c.property +
                             " property can only be used with MIME types. Set MIMECompliant "
                             "property to true and try again.";
    const auto e = Raised(c.call);
    EXPECT_EQ(e.Number(), kBase + 12008);
    EXPECT_EQ(e.Description(), text);
    EXPECT_EQ(Log(*mail), (std::vector<Record>{{kBase + 12008, "postwing", text,
                                                std::string("Attachment.") + c.property}}));
  }
  // EncodeType get, FileName and Source work without MIME.
  EXPECT_NO_THROW(a->EncodeType());
  EXPECT_NO_THROW(a->SetFileName("e.txt"));
  EXPECT_FALSE(a->Values()->Exists("Content-Base"));
}

TEST_F(AttachmentsTest, CustomAndUnknownEncodeTypesAreRefused) {
  auto a = list->Add("x", "x.bin");
  const std::string custom =
      "A Custom encoding type (\"Content-Transfer-Encoding\") can only be set using the "
      "Values object.";
  const std::string invalid = "An invalid EncodeType was specified.";
  EXPECT_EQ(Raised([&] { a->SetEncodeType(emxCustomEncode); }).Number(), kBase + 12009);
  EXPECT_EQ(Raised([&] { a->SetEncodeType(static_cast<EncodeTypes>(8)); }).Number(), kBase + 12010);
  EXPECT_EQ(Raised([&] { a->SetEncodeType(static_cast<EncodeTypes>(0)); }).Number(), kBase + 12010);
  EXPECT_EQ(Log(*mail),
            (std::vector<Record>{{kBase + 12009, "postwing", custom, "Attachment.EncodeType"},
                                 {kBase + 12010, "postwing", invalid, "Attachment.EncodeType"},
                                 {kBase + 12010, "postwing", invalid, "Attachment.EncodeType"}}));
  // A refused set changes nothing, and a later content type still picks the encoding.
  EXPECT_EQ(a->Values()->GetValue("Content-Transfer-Encoding"), "Base64");
  a->SetContentType("text/plain");
  EXPECT_EQ(a->EncodeType(), emxBinary);
}

TEST_F(AttachmentsTest, MimeCompliantIsFrozenOnceAnAttachmentExists) {
  list->Add("x", "x.txt");
  const std::string text =
      "Cannot set property at this time. The property 'MIMECompliant' must be set before any "
      "attachments are added. If using multiple sends use Clear after each send completes.";
  for (bool value : {true, false}) {
    const auto e = Raised([&] { mail->Header()->SetMIMECompliant(value); });
    EXPECT_EQ(e.Number(), kBase + 12004);
    EXPECT_EQ(e.Description(), text);
  }
  EXPECT_EQ(Log(*mail).back(), (Record{kBase + 12004, "postwing", text, "Header.MIMECompliant"}));
  EXPECT_TRUE(mail->Header()->MIMECompliant());
  list->Clear();
  EXPECT_NO_THROW(mail->Header()->SetMIMECompliant(false));
}

// ---- the collection --------------------------------------------------------------------

TEST_F(AttachmentsTest, ItemAndRemoveByIndexAndKey) {
  auto a = list->Add("1", "one.txt");
  auto b = list->Add("2", "Two.txt");
  auto c = list->Add("3", "three.txt");
  EXPECT_EQ(list->Item(1), a);
  EXPECT_EQ(list->Item(3.0), c);
  EXPECT_EQ(list->Item("TWO.TXT"), b);
  std::vector<std::shared_ptr<Attachment>> seen;
  for (const auto& item : *list) seen.push_back(item);
  EXPECT_EQ(seen, (std::vector<std::shared_ptr<Attachment>>{a, b, c}));

  EXPECT_TRUE(list->Remove("two.txt").IsEmpty());
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(list->Item(2), c);
  list->Remove(1);
  EXPECT_EQ(list->Item(1), c);
  // The removed attachment stays usable: it still knows its collection.
  EXPECT_EQ(a->Parent(), list);
  EXPECT_EQ(a->ContentType(), "text/plain");
  // Its name is free again.
  EXPECT_NO_THROW(list->Add("1 again", "ONE.txt"));
  list->Clear();
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(list->begin(), list->end());
  EXPECT_EQ(mail->Errors()->Count(), 0);
}

TEST_F(AttachmentsTest, DuplicateFileNameFailsWith457AndAddsNothing) {
  list->Add("a", "Report.TXT");
  const auto e = Raised([&] { list->Add("b", "report.txt"); });
  EXPECT_EQ(e.Number(), 457);
  EXPECT_EQ(list->Count(), 1);
  ASSERT_EQ(mail->Errors()->Count(), 1);
  EXPECT_EQ(mail->Errors()->Item(1)->Method(), "Attachments.Add");
  EXPECT_EQ(mail->Errors()->Item(1)->Number(), 457);
  EXPECT_EQ(mail->Errors()->Item(1)->Source(), "postwing");
}

TEST_F(AttachmentsTest, LookupErrorsAreRecordedWithTheirMethod) {
  struct Case {
    std::function<void()> call;
    int32_t number;
    const char* method;
  };
  const Case cases[] = {
      {[&] { list->Remove(1); }, 9, "Attachments.Remove"},
      {[&] { list->Remove("nothing.txt"); }, 5, "Attachments.Remove"},
      {[&] { list->Item(0); }, 9, "Attachments.Item"},
      {[&] { list->Item(-1); }, 9, "Attachments.Item"},
      {[&] { list->Item("nothing.txt"); }, 5, "Attachments.Item"},
      {[&] { list->Item(Variant()); }, 5, "Attachments.Item"},
      {[&] { list->Item(Variant(Variant::Array{})); }, 13, "Attachments.Item"},
  };
  for (const auto& c : cases) {
    mail->Errors()->Clear();
    const auto e = Raised(c.call);
    EXPECT_EQ(e.Number(), c.number) << c.method;
    ASSERT_EQ(mail->Errors()->Count(), 1);
    EXPECT_EQ(mail->Errors()->Item(1)->Method(), c.method);
    EXPECT_EQ(mail->Errors()->Item(1)->Number(), c.number);
    EXPECT_EQ(mail->Errors()->Item(1)->Description(), e.Description());
  }
}

TEST_F(AttachmentsTest, ForEachSurvivesChangesMadeDuringTheLoop) {
  for (int i = 0; i < 5; ++i) list->Add("x", "f" + std::to_string(i) + ".txt");
  int visited = 0;
  for (const auto& item : *list) {
    ASSERT_TRUE(item);
    ++visited;
    if (visited == 1) list->Remove(2);
    if (visited == 2) list->Clear();
    if (visited == 3) list->Add("y", "late.txt");
  }
  EXPECT_EQ(visited, 5);
  EXPECT_EQ(list->Count(), 1);
}

TEST_F(AttachmentsTest, ValuesPointAtTheOwningSendMail) {
  auto a = list->Add("x", "x.txt");
  EXPECT_EQ(a->Values()->RootParent(), mail);
  // A field the host adds with a repeated key is refused and logged by the Values.
  EXPECT_THROW(a->Values()->Add("x", "content-type"), Exception);
  EXPECT_EQ(mail->Errors()->Item(1)->Method(), "Values.Add");
}

TEST_F(AttachmentsTest, AttachmentsReplacedByClearAreDetached) {
  auto a = list->Add("x", "x.txt");
  mail->Clear();
  EXPECT_EQ(list->Parent(), nullptr);
  EXPECT_EQ(mail->Attachments()->Count(), 0);
  EXPECT_EQ(a->Values()->RootParent(), nullptr);
  EXPECT_EQ(Raised([&] { a->SetContentType("text/html"); }).Number(), 91);
  // The new collection is the one that freezes the MIME switch now.
  EXPECT_NO_THROW(mail->Header()->SetMIMECompliant(true));
  EXPECT_EQ(mail->Errors()->Count(), 0);
}

TEST_F(AttachmentsTest, AttachmentOfAGoneMailRaisesInsteadOfGuessing) {
  auto a = list->Add("x", "x.txt");
  mail.reset();
  list.reset();
  EXPECT_EQ(a->FileName(), "x.txt");
  EXPECT_EQ(a->Source().AsString(), "x");
  EXPECT_EQ(a->EncodeType(), emxBinary);
  EXPECT_EQ(Raised([&] { a->ContentType(); }).Number(), 91);
  EXPECT_EQ(Raised([&] { a->SetEncodeType(emxBase64); }).Number(), 91);
}

TEST_F(AttachmentsTest, SourceOfOtherKinds) {
  auto a = list->Add(42, "answer.txt");
  EXPECT_EQ(a->SourceType(), emxData);
  EXPECT_EQ(a->Source(), Variant(42));
  // An array of bytes is data even when it spells an existing file's path.
  Variant::Array path;
  for (unsigned char c : scratch.File("real.txt")) path.emplace_back(static_cast<int32_t>(c));
  EXPECT_EQ(list->Add(Variant(path), "arr.bin")->SourceType(), emxData);
  for (const Variant& bad : {Variant(256), Variant(-1), Variant("x"), Variant(1.5)}) {
    EXPECT_EQ(Raised([&] {
                list->Add(Variant(Variant::Array{Variant(1), bad}), "bad.bin");
              }).Number(),
              13);
  }
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(mail->Errors()->Item(1)->Method(), "Attachments.Add");
}

}  // namespace
}  // namespace postwing
