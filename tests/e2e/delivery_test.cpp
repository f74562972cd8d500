// Messages sent to a real SMTP server (aiosmtpd) and read back by Python's email package.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/cli_harness.hpp"
#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"

namespace {

using namespace postwing;
using Outcome = support::SendOutcome;
using e2e::Parsed;
namespace fs = std::filesystem;

// A capture server of its own for each test (the CLI suite's), and a SendMail aimed at it.
class Delivery : public ::testing::Test {
 protected:
  void SetUp() override { StartServer(); }
  void StartServer() {
    server_ = std::make_unique<cli_test::CaptureServer>(
        std::vector<std::string>{"--refuse", "VRFY:unknown@example.org:550"});
    NewMail();
  }
  void NewMail() {
    mail_ = SendMail::Create();
    mail_->SetSMTPServer("127.0.0.1");
    mail_->SetSMTPServerPort(server_->port());
    mail_->SetTimeOut(10);
    mail_->Header()->SetFrom("Sender Name <sender@example.org>");
    mail_->Header()->SetToList("to@example.org");
    mail_->Header()->SetSubject("postwing test");
  }

  bool Received(int n) const { return fs::exists(server_->message(n)); }
  std::string Transcript() const { return server_->Transcript(); }
  // Sends and expects acceptance: no error, one SendComplete, the message in the inbox.
  void SendOk() {
    Outcome o = support::SendAndWait(mail_);
    EXPECT_TRUE(o.completes == 1 && o.errors.empty() && Received(1)) << o.Transcript();
  }

  e2e::TempDir dir_;
  std::unique_ptr<cli_test::CaptureServer> server_;
  std::shared_ptr<SendMail> mail_;
};

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
    Parsed p = e2e::Parse(server_->message(n));
    EXPECT_EQ(p.defects, 0) << p.defect_texts;
    EXPECT_EQ(p.tree, row.tree);
    std::vector<std::string> want;  // every leaf part's bytes, in order
    if (row.alternative) want.push_back(plain);
    if (row.body) want.push_back(body);
    for (const auto& image : images) want.push_back(image.second);
    if (row.attached) want.push_back(e2e::RandomBytes(100, 11));
    ASSERT_EQ(p.parts.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(p.parts[i].data == want[i]) << i;
    if (row.alternative) {
      EXPECT_EQ(p.parts[0].encoding + " " + p.parts[0].charset, "quoted-printable utf-8");
    }
    // Each "cid:" of the HTML names the part holding that image.
    for (size_t k = 0; k < images.size(); ++k) {
      EXPECT_EQ(p.parts[row.alternative + row.body + k].content_id, "<" + images[k].first + ">");
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
    const Outcome o = support::SendAndWait(mail_, std::chrono::milliseconds(0));
    EXPECT_EQ(o.raised, vbObjectError + emxContentNotSendable) << o.Transcript();
  }
  EXPECT_FALSE(Received(1));
}

TEST_F(Delivery, SecondSendWithoutClearClosesWithoutDelivering) {
  mail_->Body()->SetText("first");
  SendOk();
  Outcome o = support::SendAndWait(mail_);
  EXPECT_EQ(o.completes, 1);
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
    StartServer();
    mail_->Body()->SetText("body");
    auto connection = mail_->OnSendStatus([&](std::string& data) {
      if (data.rfind(c.at, 0) != 0) return;
      if (c.from) mail_->Header()->SetFrom(c.from);
      if (c.subject) mail_->Header()->SetSubject(c.subject);
    });
    Outcome o = support::SendAndWait(mail_);
    EXPECT_EQ(o.completes, 1);
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

// VRFY for each recipient before the envelope; a refused one stops the send before MAIL.
TEST_F(Delivery, VerifyEachRecipientBeforeTheEnvelope) {
  mail_->Header()->SetVerify(true);
  mail_->Header()->SetToList("unknown@example.org");
  mail_->Body()->SetText("verified");
  Outcome o = support::SendAndWait(mail_);
  ASSERT_EQ(o.errors.size(), 1u);
  EXPECT_EQ(o.errors[0].number, 12003);
  EXPECT_EQ(Transcript().find("\"MAIL\""), std::string::npos);
  NewMail();
  mail_->Header()->SetVerify(true);
  mail_->Header()->SetToList("one@example.org");
  mail_->Header()->SetCcList("Two <two@example.org>");
  mail_->Body()->SetText("verified");
  SendOk();
  const std::string t = Transcript();
  std::vector<size_t> at;
  for (const char* event :
       {"\"VRFY\", \"arg\": \"one@example.org\"", "\"VRFY\", \"arg\": \"two@example.org\"",
        "\"MAIL\"", "\"RCPT\", \"arg\": \"TO: <one@example.org>\"",
        "\"RCPT\", \"arg\": \"TO: <two@example.org>\""}) {
    at.push_back(t.find(event));
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.back() != std::string::npos) << t;
}

}  // namespace
