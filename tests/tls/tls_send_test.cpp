// Sends over STARTTLS and implicit TLS to aiosmtpd, with certificates made for the test by
// the openssl command; refusals of untrusted or misnamed certificates and of servers
// without STARTTLS.
#include <gtest/gtest.h>

#include <random>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"
#include "session/capabilities.hpp"
#include "tls/tls_support.hpp"

namespace {

using namespace postwing;
using e2e::Outcome;
using tls_test::Certificates;
namespace fs = std::filesystem;

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Certificates::Get().ok) << "openssl could not make the test certificates";
  }

  // mode: starttls, implicit or plain (no STARTTLS offered).
  void Start(const std::string& mode, bool wrong_name = false, bool auth = true) {
    auto args = tls_test::ServerArgs(dir_ / "inbox", mode, wrong_name);
    if (auth) args.insert(args.end(), {"--auth", "joe@example.org:s3cret!"});
    server_ = std::make_unique<e2e::PythonServer>(args);
    mail_ = SendMail::Create();
    mail_->SetSMTPServer("127.0.0.1");
    mail_->SetSMTPServerPort(server_->port());
    mail_->SetTimeOut(10);
    mail_->SetSecurity(mode == "implicit" ? emxImplicitTLS : emxStartTLS);
    mail_->SetCertificateFile(Certificates::Get().ca.string());
    auto h = mail_->Header();
    h->SetFrom("Sender <sender@example.org>");
    h->SetToList("to@example.org");
    h->SetSubject("over TLS");
    mail_->Body()->SetText("encrypted hello");
  }
  void Login() {
    mail_->SetUser("joe@example.org");
    mail_->SetPassword("s3cret!");
  }

  fs::path Inbox(const std::string& name) const { return dir_ / "inbox" / name; }
  std::string Envelope() const { return e2e::ReadFile(Inbox("0001.json")); }
  std::string Transcript() const { return e2e::ReadFile(Inbox("transcript.jsonl")); }
  bool ServerSaw(const std::string& command) const {
    return Transcript().find("\"event\": \"" + command + "\"") != std::string::npos;
  }
  static bool SawPrefix(const Outcome& o, const std::string& prefix) {
    for (const auto& s : o.status) {
      if (s.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  // The last error recorded in the log.
  std::shared_ptr<Error> LastRecord() const {
    auto errors = mail_->Errors();
    return errors->Count() > 0 ? errors->Item(errors->Count()) : nullptr;
  }
  void ExpectRefused(const Outcome& o, int32_t number, const std::string& words) {
    EXPECT_TRUE(o.completed) << o.Transcript();
    EXPECT_EQ(o.complete_count, 1);
    ASSERT_EQ(o.errors.size(), 1u) << o.Transcript();
    EXPECT_EQ(o.errors[0].number, number);
    EXPECT_NE(o.errors[0].description.find(words), std::string::npos) << o.errors[0].description;
    auto record = LastRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->Number(), number);
    EXPECT_EQ(record->Description(), o.errors[0].description);
    EXPECT_FALSE(ServerSaw("AUTH")) << Transcript();
    EXPECT_FALSE(ServerSaw("MAIL")) << Transcript();
    EXPECT_FALSE(fs::exists(Inbox("0001.eml")));
  }

  e2e::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
  std::shared_ptr<SendMail> mail_;
};

TEST_F(Tls, StartTlsVerifiedWithAuthLogin) {
  Start("starttls");
  Login();
  Outcome o = e2e::SendAndWait(mail_);
  ASSERT_TRUE(o.completed) << o.Transcript();
  EXPECT_EQ(o.complete_count, 1);
  EXPECT_TRUE(o.errors.empty()) << o.errors[0].description;
  ASSERT_TRUE(fs::exists(Inbox("0001.eml"))) << o.Transcript() << Transcript();
  // The server decoded the credentials, over TLS.
  EXPECT_NE(Envelope().find("\"login\": \"joe@example.org\""), std::string::npos) << Envelope();
  EXPECT_NE(Envelope().find("\"password\": \"s3cret!\""), std::string::npos);
  EXPECT_NE(Envelope().find("\"tls\": \"TLSv1."), std::string::npos);
  EXPECT_NE(Envelope().find("\"helo\": \"joe@example.org\""), std::string::npos);
  EXPECT_TRUE(o.Saw(">>STARTTLS\r\n")) << o.Transcript();
  EXPECT_TRUE(SawPrefix(o, ">>TLS established: TLSv1.")) << o.Transcript();
  // EHLO, STARTTLS, handshake, EHLO again, then the login.
  const std::string t = o.Transcript();
  const size_t ehlo1 = t.find(">>EHLO joe@example.org\r\n");
  const size_t starttls = t.find(">>STARTTLS\r\n");
  const size_t established = t.find(">>TLS established: ");
  const size_t ehlo2 = t.find(">>EHLO joe@example.org\r\n", established);
  const size_t auth = t.find(">>AUTH LOGIN\r\n");
  ASSERT_NE(ehlo2, std::string::npos) << t;
  EXPECT_LT(ehlo1, starttls);
  EXPECT_LT(starttls, established);
  EXPECT_LT(established, ehlo2);
  EXPECT_LT(ehlo2, auth);
  EXPECT_EQ(e2e::ReadFile(Inbox("0001.eml")).find("encrypted hello") != std::string::npos, true);
}

TEST_F(Tls, StartTlsWithoutUserGoesOnWithMailFrom) {
  Start("starttls", false, false);
  Outcome o = e2e::SendAndWait(mail_);
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  ASSERT_TRUE(fs::exists(Inbox("0001.eml"))) << o.Transcript();
  EXPECT_NE(Envelope().find("\"tls\": \"TLSv1."), std::string::npos);
  EXPECT_FALSE(SawPrefix(o, ">>HELO")) << o.Transcript();
  EXPECT_FALSE(o.Saw(">>AUTH LOGIN\r\n"));
}

TEST_F(Tls, ImplicitTlsToTheHostName) {
  Start("implicit");
  mail_->SetSMTPServer("localhost");  // the name is checked, and sent as SNI
  Login();
  Outcome o = e2e::SendAndWait(mail_);
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  ASSERT_TRUE(fs::exists(Inbox("0001.eml"))) << o.Transcript();
  EXPECT_NE(Envelope().find("\"tls\": \"TLSv1."), std::string::npos);
  EXPECT_NE(Envelope().find("\"password\": \"s3cret!\""), std::string::npos);
  EXPECT_FALSE(o.Saw(">>STARTTLS\r\n"));
  // The handshake comes before the greeting.
  const std::string t = o.Transcript();
  EXPECT_LT(t.find(">>TLS established: "), t.find("<<220")) << t;
}

TEST_F(Tls, UntrustedCertificateIsRefusedBeforeAnyAuth) {
  Start("starttls");
  Login();
  mail_->SetCertificateFile("");  // the system's store does not know the test CA
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSFailed, "certificate");
  EXPECT_EQ(LastRecord()->Method(), "SendMail.StartTLS");
  EXPECT_FALSE(SawPrefix(o, ">>TLS established"));
}

TEST_F(Tls, UntrustedCertificateOverImplicitTls) {
  Start("implicit");
  Login();
  mail_->SetCertificateFile("");
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSFailed, "certificate");
}

TEST_F(Tls, WrongNameIsRefused) {
  Start("starttls", true);
  Login();
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSFailed, "mismatch");
}

TEST_F(Tls, WrongHostNameOverImplicitTls) {
  Start("implicit", true);
  mail_->SetSMTPServer("localhost");
  Login();
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSFailed, "hostname mismatch");
}

TEST_F(Tls, InsecureAcceptsAnyCertificate) {
  Start("starttls", true);
  Login();
  mail_->SetCertificateFile("");
  mail_->SetVerifyCertificate(false);
  Outcome o = e2e::SendAndWait(mail_);
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  EXPECT_TRUE(fs::exists(Inbox("0001.eml")));
}

TEST_F(Tls, UnreadableCertificateFileFails) {
  Start("starttls");
  mail_->SetCertificateFile((dir_ / "missing.pem").string());
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSFailed, "missing.pem");
}

TEST_F(Tls, NoStartTlsOfferedSendsNothingMoreInClear) {
  Start("plain");
  Login();
  Outcome o = e2e::SendAndWait(mail_);
  ExpectRefused(o, emxTLSNotAvailable, "STARTTLS");
  EXPECT_EQ(LastRecord()->Method(), "SendMail.Process");
  EXPECT_FALSE(ServerSaw("STARTTLS"));
  EXPECT_TRUE(ServerSaw("QUIT")) << Transcript();
  EXPECT_FALSE(o.Saw(">>AUTH LOGIN\r\n"));
  EXPECT_FALSE(SawPrefix(o, ">>MAIL FROM"));
}

// A server that offers STARTTLS and then refuses it gets nothing but QUIT in clear.
TEST(TlsRefusal, StartTlsAnswered454FailsWithTlsNotAvailable) {
  e2e::TempDir dir;
  e2e::WriteFile(dir / "script.json", R"([
    {"send": "220 refuse.test ESMTP\r\n"}, {"expect": "EHLO"},
    {"send": "250-refuse.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"},
    {"expect": "STARTTLS"}, {"send": "454 4.7.0 TLS not available\r\n"},
    {"expect": "QUIT"}, {"send": "221 bye\r\n"}, {"close": true}])");
  e2e::PythonServer server({e2e::ServersDir() + "scripted_server.py", "--script",
                            (dir / "script.json").string(), "--log", (dir / "log.txt").string(),
                            "--lifetime", "30"});
  auto mail = SendMail::Create();
  mail->SetSMTPServer("127.0.0.1");
  mail->SetSMTPServerPort(server.port());
  mail->SetTimeOut(5);
  mail->SetSecurity(emxStartTLS);
  mail->SetUser("joe@example.org");
  mail->SetPassword("s3cret!");
  mail->Header()->SetFrom("joe@example.org");
  mail->Header()->SetToList("to@example.org");
  mail->Body()->SetText("x");
  Outcome o = e2e::SendAndWait(mail);
  server.Stop();
  EXPECT_TRUE(o.completed);
  EXPECT_EQ(o.complete_count, 1);
  ASSERT_EQ(o.errors.size(), 1u) << o.Transcript();
  EXPECT_EQ(o.errors[0].number, emxTLSNotAvailable);
  EXPECT_NE(o.errors[0].description.find("454 4.7.0 TLS not available"), std::string::npos)
      << o.errors[0].description;
  const std::vector<std::string> expected = {"EHLO joe@example.org\r\n", "STARTTLS\r\n", "QUIT\r\n",
                                             "CLOSED"};
  EXPECT_EQ(e2e::ScriptLog(dir / "log.txt"), expected) << o.Transcript();
}

TEST_F(Tls, ThirtyMebibyteAttachmentArrivesWhole) {
  Start("starttls");
  Login();
  std::mt19937 rng(8);
  std::string big(30 << 20, '\0');
  for (auto& c : big) c = static_cast<char>(rng() & 0xFF);
  e2e::WriteFile(dir_ / "big.bin", big);
  mail_->Attachments()->Add((dir_ / "big.bin").string());
  mail_->SetTimeOut(60);
  int64_t progress = 0;
  int32_t last_remaining = -1;
  auto c = mail_->OnSendProgress([&](int32_t& sent, int32_t& remaining) {
    progress += sent;
    last_remaining = remaining;
  });
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(120));
  c.Disconnect();
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  ASSERT_TRUE(fs::exists(Inbox("0001.eml"))) << o.Transcript();
  // Plaintext is counted: the Base64 of 30 MiB with its line ends, not the TLS records.
  EXPECT_GT(progress, int64_t{40} << 20);
  EXPECT_LT(progress, int64_t{42} << 20);
  EXPECT_EQ(last_remaining, 0);
  e2e::Parsed p = e2e::Parse(Inbox("0001.eml"), dir_ / "parsed");
  ASSERT_EQ(p.parts.size(), 2u);
  EXPECT_TRUE(p.parts[1].data == big);
}

TEST(TlsDialogue, StartTlsOfferIsReadFromTheEhloLines) {
  auto offers = [](const char* reply) {
    return postwing::session::Capabilities::Parse(reply).Has("STARTTLS");
  };
  struct Case {
    const char* reply;
    bool offered;
  } cases[] = {
      {"250-tls.test\r\n250-STARTTLS\r\n250 HELP\r\n", true},
      {"250-tls.test\r\n250 starttls\r\n", true},
      {"250-tls.test\r\n250-STARTTLS extra\r\n250 HELP\r\n", true},
      {"250-tls.test\r\n250-8BITMIME\r\n250 HELP\r\n", false},
      {"250-tls.test\r\n250-XSTARTTLS\r\n250 STARTTLSX\r\n", false},
      {"250 STARTTLS\r\n", false},  // the first line is the server's name
      {"250 tls.test says STARTTLS\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(offers(c.reply), c.offered) << c.reply;
}

}  // namespace

namespace {

// Replies injected in clear behind the 220 to STARTTLS are dropped, and the capabilities
// offered before the upgrade are forgotten: the client's first words over TLS are EHLO.
TEST(TlsInjection, CleartextAfterStartTlsIsDiscarded) {
  const Certificates& c = Certificates::Get();
  ASSERT_TRUE(c.ok);
  e2e::TempDir dir;
  const fs::path log = dir / "commands.log";
  e2e::PythonServer server({std::string(POSTWING_TESTS_DIR) + "/tls/servers/injecting_server.py",
                            "--log", log.string(), "--cert", c.cert.string(), "--key",
                            c.key.string()});
  auto mail = SendMail::Create();
  mail->SetSMTPServer("127.0.0.1");
  mail->SetSMTPServerPort(server.port());
  mail->SetTimeOut(10);
  mail->SetSecurity(emxStartTLS);
  mail->SetCertificateFile(c.ca.string());
  mail->SetUser("joe@example.org");
  mail->SetPassword("s3cret!");
  mail->Header()->SetFrom("joe@example.org");
  mail->Header()->SetToList("to@example.org");
  mail->Body()->SetText("x");
  Outcome o = e2e::SendAndWait(mail);
  server.Stop();
  const auto lines = e2e::ScriptLog(log);
  ASSERT_GE(lines.size(), 3u) << o.Transcript();
  EXPECT_EQ(lines[0], "EHLO joe@example.org");
  EXPECT_EQ(lines[1], "STARTTLS");
  // The first thing said over TLS is EHLO, not an answer to the forged 334 or 250.
  EXPECT_EQ(lines[2], "TLS EHLO joe@example.org");
  EXPECT_EQ(lines[3], "TLS AUTH LOGIN");
  for (const auto& line : lines) {
    EXPECT_EQ(line.rfind("TLS ", 0) != 0 && line.find("am9l") != std::string::npos, false)
        << "the user name went out in clear";
  }
  EXPECT_FALSE(o.Saw("<<250-forged\r\n250 AUTH LOGIN\r\n"));
  EXPECT_FALSE(o.Saw("<<334 VXNlcm5hbWU6\r\n") && lines.size() < 4);
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
}

}  // namespace
