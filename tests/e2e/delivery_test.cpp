// Messages sent to a real SMTP server (aiosmtpd) and read back by Python's email package.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"

namespace {

using namespace postwing;
using Outcome = support::SendOutcome;
using e2e::Parsed;
namespace fs = std::filesystem;

// A capture server of its own for each test, and a SendMail aimed at it.
class Delivery : public ::testing::Test {
 protected:
  void StartServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {e2e::ServersDir() + "capture_server.py", "--dir",
                                     (dir_ / "inbox").string(), "--lifetime", "120"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<e2e::PythonServer>(args);
    NewMail();
  }
  void NewMail() {
    mail_ = SendMail::Create();
    mail_->SetSMTPServer("127.0.0.1");
    mail_->SetSMTPServerPort(server_->port());
    mail_->SetTimeOut(10);
    auto h = mail_->Header();
    h->SetFrom("Sender Name <sender@example.org>");
    h->SetToList("to@example.org");
    h->SetSubject("postwing test");
  }
  void SetUp() override { StartServer(); }

  fs::path Inbox(int n, const char* extension = ".eml") const {
    char name[16];
    std::snprintf(name, sizeof name, "%04d%s", n, extension);
    return dir_ / "inbox" / name;
  }
  bool Received(int n) const { return fs::exists(Inbox(n)); }
  std::string Eml() const { return e2e::ReadFile(Inbox(1)); }
  std::string Envelope() const { return e2e::ReadFile(Inbox(1, ".json")); }
  std::string Transcript() const { return e2e::ReadFile(dir_ / "inbox" / "transcript.jsonl"); }
  Parsed ParseReceived() { return e2e::Parse(Inbox(1), dir_ / "parsed"); }
  // Sends and expects acceptance: the 250 after ">>Sending", no error, one SendComplete.
  Outcome SendOk() {
    Outcome o = support::SendAndWait(mail_);
    EXPECT_TRUE((o.completes > 0)) << o.Transcript();
    EXPECT_EQ(o.completes, 1);
    EXPECT_TRUE(o.errors.empty()) << (o.errors.empty() ? "" : o.errors[0].description);
    EXPECT_TRUE(Received(1)) << o.Transcript();
    return o;
  }

  e2e::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
  std::shared_ptr<SendMail> mail_;
};

// "Ddd, D MON YYYY HH:MM:SS +ZZZZ" (std::regex trips gcc's uninitialized-use warning
// in sanitizer builds).
bool IsHeaderDate(const std::string& s) {
  char day[4] = {}, month[4] = {}, sign = 0;
  int d = 0, year = 0, h = 0, m = 0, sec = 0, zone = 0, used = 0;
  if (std::sscanf(s.c_str(), "%3[A-Za-z], %2d %3[A-Z] %4d %2d:%2d:%2d %c%4d%n", day, &d, month,
                  &year, &h, &m, &sec, &sign, &zone, &used) != 9) {
    return false;
  }
  const std::string days = "Sun Mon Tue Wed Thu Fri Sat",
                    months = "JAN FEB MAR APR MAY JUN JUL AUG SEP OCT NOV DEC";
  return static_cast<size_t>(used) == s.size() && std::strlen(day) == 3 &&
         days.find(day) % 4 == 0 && std::strlen(month) == 3 && months.find(month) % 4 == 0 &&
         s[5] != '0' && year > 2000 && (sign == '+' || sign == '-') &&
         s.find_first_not_of("0123456789", s.size() - 4) == std::string::npos &&
         s[s.size() - 5] == sign && s[s.size() - 9] == ':';
}

// "<" 32 upper-case hex digits "@" a name ">".
bool IsMessageId(const std::string& s) {
  return s.size() >= 36 && s.front() == '<' && s.back() == '>' && s[33] == '@' &&
         s.find_first_not_of("0123456789ABCDEF", 1) == 33 && s.find('>') == s.size() - 1;
}

TEST_F(Delivery, TextBodyWithTheFreshHeader) {
  mail_->Header()->SetCcList("cc@example.org");
  mail_->Header()->SetBccList("hidden@example.org");
  mail_->Header()->SetReplyTo("reply@example.org");
  const std::string text = ".starts with a dot\r\n.\r\nline two\r\n\r\n..";
  mail_->Body()->SetText(text);
  SendOk();

  Parsed p = ParseReceived();
  EXPECT_EQ(p.defects, 0);
  // The fresh header's order, the host's fields in the order set, Message-ID last.
  std::vector<std::string> names;
  for (const auto& [k, v] : p.headers) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"Content-type", "MIME-Version", "DATE", "FROM", "TO",
                                             "SUBJECT", "CC", "REPLY-TO", "Message-ID"}));
  EXPECT_EQ(p.Header("FROM"), "Sender Name <sender@example.org>");
  EXPECT_EQ(p.Header("SUBJECT"), "postwing test");
  EXPECT_TRUE(IsHeaderDate(p.Header("DATE"))) << p.Header("DATE");
  EXPECT_TRUE(IsMessageId(p.Header("Message-ID"))) << p.Header("Message-ID");
  ASSERT_EQ(p.parts.size(), 1u);
  EXPECT_EQ(p.parts[0].content_type, "text/plain");
  EXPECT_EQ(p.parts[0].data, text);
  // The envelope: MAIL FROM takes the bracketed address; each recipient gets its RCPT TO.
  EXPECT_NE(Envelope().find("\"mail_from\": \"sender@example.org\""), std::string::npos);
  EXPECT_NE(Envelope().find("\"cc@example.org\""), std::string::npos);
  // Bcc is in the envelope only; HELO names the local address.
  EXPECT_NE(Envelope().find("\"hidden@example.org\""), std::string::npos) << Envelope();
  EXPECT_EQ(Eml().find("hidden"), std::string::npos);
  EXPECT_NE(Envelope().find("\"helo\": \"127.0.0.1\""), std::string::npos) << Envelope();
  EXPECT_NE(Envelope().find("\"esmtp\": false"), std::string::npos);
}

TEST_F(Delivery, NonMimeMessageWithUuencodedAttachments) {
  const std::string binary = e2e::RandomBytes(4500, 11);  // a multiple of 45
  const std::string odd = e2e::RandomBytes(1001, 12);
  e2e::WriteFile(dir_ / "a.bin", binary);
  mail_->Header()->SetMIMECompliant(false);
  mail_->Body()->SetText("Plain body\r\n");
  mail_->Attachments()->Add((dir_ / "a.bin").string());
  mail_->Attachments()->Add(odd, "b.dat", {}, emxUUEncode);
  Outcome o = SendOk();
  EXPECT_TRUE(o.Saw(">>Sending Body\r\n"));
  Parsed p = ParseReceived();
  EXPECT_EQ(p.Header("MIME-Version"), "<absent>");
  ASSERT_EQ(p.uu.size(), 2u);
  EXPECT_EQ(p.uu[0].first, "a.bin");
  EXPECT_EQ(p.uu[0].second, binary);
  EXPECT_EQ(p.uu[1].first, "b.dat");
  EXPECT_EQ(p.uu[1].second, odd);
}

// Whatever a part holds, the reader gets exactly those bytes (the Postfix suite covers the
// contents that must be encoded): a large file, empty ones, data, and a host's unsuitable
// choice, which is replaced with a notice; 8-bit text carries its charset.
TEST_F(Delivery, EveryPartDecodesToItsBytes) {
  using namespace std::string_literals;
  struct Row {
    std::string name, data;
    bool file;
    EncodeTypes set;                      // 0: the default
    std::string type, encoding, charset;  // type empty: not checked
  };
  const Row rows[] = {
      {"data.bin", e2e::RandomBytes(4 << 20, 7) + "\r\n.\r\n\n.\n", true, {}, "", "Base64", ""},
      {"notes.txt", "line one\r\n.line two\r\n.\r\n", true, {}, "text/plain", "7bit", ""},
      {"empty.dat", "", true, {}, "", "", ""},
      {"nothing.txt", "", false, {}, "", "", ""},
      {"uu.dat", "uuencoded\0data"s, false, emxUUEncode, "application/octet-stream", "UUEncode",
       ""},
      {"forced.bin", "\0\x01bytes\r"s, false, emx8Bit, "application/octet-stream", "Base64", ""},
      {"forced.txt", "nul\0inside"s, false, emxBinary, "text/plain", "quoted-printable", ""},
      {"utf8.txt", "\xC3\xA9t\xC3\xA9\r\n", false, emx8Bit, "text/plain", "quoted-printable",
       "utf-8"},
  };
  mail_->Body()->SetText("Parts follow.");
  auto a = mail_->Attachments();
  for (const auto& row : rows) {
    if (row.file) {
      e2e::WriteFile(dir_ / row.name, row.data);
      auto added = a->Add((dir_ / row.name).string());
      if (row.set) added->SetEncodeType(row.set);
    } else {
      a->Add(row.data, row.name, {}, row.set);
    }
  }
  // An array of bytes that spells a file's path is data, not the file.
  const std::string path = (dir_ / "notes.txt").string();
  Variant::Array bytes;
  for (unsigned char c : path) bytes.emplace_back(static_cast<int32_t>(c));
  a->Add(Variant(bytes), "path.txt");
  Outcome o = SendOk();
  for (const char* replaced : {"Source: forced.bin", "Source: forced.txt", "Source: utf8.txt"}) {
    EXPECT_NE(
        o.Transcript().find(std::string("WARNING! ") + replaced + " cannot be sent unchanged"),
        std::string::npos)
        << replaced;
  }
  Parsed p = ParseReceived();
  EXPECT_EQ(p.defects, 0);
  ASSERT_EQ(p.parts.size(), std::size(rows) + 2);
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    const auto& part = p.parts[i + 1];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(part.filename, row.name);
    EXPECT_TRUE(part.data == row.data) << ::testing::PrintToString(part.data.substr(0, 40));
    if (!row.type.empty()) {
      EXPECT_EQ(part.content_type, row.type);
    }
    if (!row.encoding.empty()) {
      EXPECT_EQ(part.encoding, row.encoding);
    }
    if (!row.charset.empty()) {
      EXPECT_NE(Eml().find("text/plain; charset=" + row.charset), std::string::npos);
    }
  }
  EXPECT_EQ(p.parts.back().data, path);
}

// The body, its plain-text alternative, inline images and attachments nest as mail readers
// expect, each level only when needed; "cid:" references resolve and every part arrives whole.
TEST_F(Delivery, AlternativeTextAndInlinePartsNestAsReadersExpect) {
  const std::string png = "\x89PNG\r\n\x1A\n" + e2e::RandomBytes(3000, 9);
  const std::string jpeg = "\xFF\xD8" + e2e::RandomBytes(500, 10);
  e2e::WriteFile(dir_ / "logo.png", png);
  // Text that must be encoded: a line that opens like the inner delimiters, and 8-bit text.
  const std::string plain =
      "Caf\xC3\xA9 logo below.\r\n--=_rel_5550142857_quillfeather_5550171428_part";
  struct Row {
    bool body, alternative;
    int images;  // 1: logo.png from a file, inline; 2: also photo.jpg as data, a host's id
    bool attached;
    std::string tree;
  } rows[] = {
      {true, true, 0, false, "multipart/mixed[multipart/alternative[text/plain,text/html]]"},
      {true, false, 1, false, "multipart/mixed[multipart/related[text/html,image/png]]"},
      {true, true, 2, false,
       "multipart/mixed[multipart/related[multipart/alternative[text/plain,text/html],image/"
       "png,image/jpeg]]"},
      {true, true, 1, true,
       "multipart/mixed[multipart/related[multipart/alternative[text/plain,text/html],image/"
       "png],application/octet-stream]"},
      {true, false, 1, true,
       "multipart/mixed[multipart/related[text/html,image/png],application/octet-stream]"},
      {true, true, 0, true,
       "multipart/mixed[multipart/alternative[text/plain,text/html],application/octet-stream]"},
      {false, true, 1, false, "multipart/mixed[multipart/related[text/plain,image/png]]"},
      {false, false, 1, false, "multipart/mixed[image/png]"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tree);
    NewMail();
    auto a = mail_->Attachments();
    std::string html = "<html><body><p>Logo:";
    std::vector<std::pair<std::string, std::string>> images;  // Content-ID, bytes
    if (row.images >= 1) {
      auto logo = a->Add((dir_ / "logo.png").string());
      logo->SetInline(true);
      EXPECT_TRUE(IsMessageId("<" + logo->ContentID() + ">")) << logo->ContentID();
      images.emplace_back(logo->ContentID(), png);
    }
    if (row.images >= 2) {
      auto photo = a->Add(jpeg, "photo.jpg");
      photo->SetContentID("<photo.1@example.org>");
      photo->SetInline(true);
      images.emplace_back(photo->ContentID(), jpeg);
    }
    for (const auto& [id, bytes] : images) html += " <img src=\"cid:" + id + "\">";
    html += "</p></body></html>";
    if (row.attached) a->Add(e2e::RandomBytes(100, 11), "data.bin");
    if (row.body) mail_->Body()->SetText(html);
    if (row.alternative) mail_->Body()->SetAlternativeText(plain);
    const std::string body = mail_->Body()->Text().ToString();
    Outcome sent = support::SendAndWait(mail_);
    ASSERT_TRUE(Received(++n)) << sent.Transcript();
    Parsed p = e2e::Parse(Inbox(n), dir_ / ("tree" + std::to_string(n)));
    EXPECT_EQ(p.defects, 0);
    EXPECT_EQ(p.tree, row.tree);
    std::vector<std::string> want;  // every leaf part's bytes, in order
    if (row.alternative) want.push_back(plain);
    if (row.body) want.push_back(body);
    for (const auto& image : images) want.push_back(image.second);
    if (row.attached) want.push_back(e2e::RandomBytes(100, 11));
    ASSERT_EQ(p.parts.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(p.parts[i].data == want[i]) << i;
    if (row.alternative) {
      EXPECT_EQ(p.parts[0].encoding, "quoted-printable");
      EXPECT_NE(e2e::ReadFile(Inbox(n)).find("text/plain; charset=utf-8"), std::string::npos);
    }
    // Each "cid:" of the HTML names the part holding that image.
    for (const auto& [id, bytes] : images) {
      const auto part = std::find_if(p.parts.begin(), p.parts.end(),
                                     [&](const auto& q) { return q.content_id == "<" + id + ">"; });
      ASSERT_NE(part, p.parts.end()) << id;
      EXPECT_TRUE(part->data == bytes);
    }
  }
}

// A plain message declares no encoding: a body that would change on the way is refused.
TEST_F(Delivery, PlainBodyThatCannotGoIntactIsRefusedBeforeConnecting) {
  // The last has a plain-text alternative, set while MIME was on, that plain text has no place for.
  for (const auto& [body, alternative] : {std::pair<std::string, std::string>{"caf\xE9", ""},
                                          {std::string("a\0b", 3), ""},
                                          {std::string(999, 'x'), ""},
                                          {"plain", "alternative"}}) {
    NewMail();
    if (!alternative.empty()) mail_->Body()->SetAlternativeText(alternative);
    mail_->Header()->SetMIMECompliant(false);
    mail_->Body()->SetText(body);
    try {
      mail_->Send();
      ADD_FAILURE() << "sent";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), vbObjectError + emxContentNotSendable) << e.what();
    }
  }
  EXPECT_FALSE(Received(1));
}

TEST_F(Delivery, SecondSendWithoutClearClosesWithoutDelivering) {
  mail_->Body()->SetText("first");
  SendOk();
  Outcome o = support::SendAndWait(mail_);
  EXPECT_TRUE((o.completes > 0));
  ASSERT_FALSE(o.errors.empty());
  EXPECT_EQ(o.errors[0].number, 457) << o.errors[0].description;
  EXPECT_FALSE(o.Saw(">>.\r\n"));
  EXPECT_FALSE(Received(2));
  // The error is recorded as the dialogue's.
  auto errors = mail_->Errors();
  bool process_record = false;
  for (const auto& e : *errors) process_record |= e->Method() == "SendMail.Process";
  EXPECT_TRUE(process_record);
}

// After Send's own checks, a handler slips a line break into a field: refused, not injected.
TEST_F(Delivery, FieldChangedDuringTheDialogueIsRefusedNotInjected) {
  mail_->Body()->SetText("body");
  struct Case {
    const char* at;
    const char* from;  // the new sender, or the new subject when null
    const char* subject;
    std::string says;
    bool mail_sent;
  } cases[] = {
      {"<<220", "<a@example.org\r\nRCPT TO:victim@example.org>", nullptr,
       "line break or NUL character", false},
      {"<<354", nullptr, "x\r\nBcc: victim@example.org",
       "The field 'SUBJECT' holds a line break or NUL character, which cannot be sent.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    fs::remove(dir_ / "inbox" / "transcript.jsonl");
    StartServer();
    mail_->Body()->SetText("body");
    auto connection = mail_->OnSendStatus([&](std::string& data) {
      if (data.rfind(c.at, 0) != 0) return;
      if (c.from) mail_->Header()->SetFrom(c.from);
      if (c.subject) mail_->Header()->SetSubject(c.subject);
    });
    Outcome o = support::SendAndWait(mail_);
    EXPECT_TRUE((o.completes > 0));
    ASSERT_FALSE(o.errors.empty());
    EXPECT_EQ(o.errors[0].number, vbObjectError + emxIllegalCharacter);
    EXPECT_NE(o.errors[0].description.find(c.says), std::string::npos) << o.errors[0].description;
    EXPECT_FALSE(o.Saw(">>.\r\n"));
    EXPECT_FALSE(Received(1));
    EXPECT_EQ(Transcript().find("victim"), std::string::npos);
    EXPECT_EQ(Transcript().find("\"MAIL\"") != std::string::npos, c.mail_sent);
    // Inside the message data the connection is closed instead.
    EXPECT_EQ(Transcript().find("\"QUIT\"") != std::string::npos, !c.mail_sent);
  }
}

class Login : public Delivery {
 protected:
  void SetUp() override {
    StartServer({"--auth", "joe@example.org:s3cret!", "--refuse", "VRFY:unknown@example.org:550"});
    mail_->SetUser("joe@example.org");
    mail_->SetPassword("s3cret!");
    mail_->Body()->SetText("logged in");
  }
};

TEST_F(Login, VerifyEachRecipientThenTheEnvelope) {
  mail_->Header()->SetVerify(true);
  mail_->Header()->SetToList("one@example.org");
  mail_->Header()->SetCcList("Two <two@example.org>");
  SendOk();
  const std::string t = Transcript();
  const auto v1 = t.find("\"VRFY\", \"arg\": \"one@example.org\"");
  const auto v2 = t.find("\"VRFY\", \"arg\": \"two@example.org\"");
  const auto mail = t.find("\"MAIL\"");
  const auto r1 = t.find("\"RCPT\", \"arg\": \"TO: <one@example.org>\"");
  const auto r2 = t.find("\"RCPT\", \"arg\": \"TO: <two@example.org>\"");
  ASSERT_NE(v1, std::string::npos) << t;
  EXPECT_LT(v1, v2);
  EXPECT_LT(v2, mail);
  EXPECT_LT(mail, r1);
  EXPECT_LT(r1, r2);
  EXPECT_NE(r2, std::string::npos);
}

TEST_F(Login, VerifyRefusalStopsTheSend) {
  mail_->Header()->SetVerify(true);
  mail_->Header()->SetToList("unknown@example.org");
  Outcome o = support::SendAndWait(mail_);
  ASSERT_EQ(o.errors.size(), 1u);
  EXPECT_EQ(o.errors[0].number, 12003);
  EXPECT_EQ(Transcript().find("\"MAIL\""), std::string::npos);
  EXPECT_FALSE(Received(1));
}

}  // namespace
