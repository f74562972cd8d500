// ESMTP against aiosmtpd and the scripted peer: the login mechanisms, what MAIL FROM declares
// (SIZE, 8BITMIME, SMTPUTF8), the result a host reads, and postwing-send's exit status from it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace postwing;

struct Case {
  const char* name;
  std::vector<std::string> server;  // capture_server options beyond --auth
  std::function<void(SendMail&)> set;
  int32_t error;                    // the error that ended the send; 0 when accepted
  std::string reply;                // the last reply's text starts so
  std::vector<std::string> found;   // in the envelope, the message or the status lines
  std::vector<std::string> absent;  // in none of the status lines nor the server's transcript
};

TEST(Esmtp, LoginsAndDeclarationsAgainstAiosmtpd) {
  auto login = [](const char* mechanism, const char* secret) {
    return [=](SendMail& m) {
      m.SetUser("joe@example.org");
      m.SetPassword(secret);
      m.SetAuthMechanism(mechanism);
    };
  };
  const std::string kBigBody(5000, 'x');
  const Case cases[] = {
      Case("LOGIN chosen in clear", {"--plain", "--data-reply", "250 2.0.0 Ok: queued"},
           login("", "s3cret!"), 0, "250 2.0.0 Ok: queued",
           {"\"mechanism\": \"LOGIN\"", ">>********\r\n"}, {"s3cret", "czNjcmV0IQ"}),
      Case("PLAIN named", {"--plain"}, login("plain", "s3cret!"), 0, "250 OK",
           {"\"mechanism\": \"PLAIN\"", ">>AUTH PLAIN ********\r\n"}, {"s3cret", "czNjcmV0IQ"}),
      Case("XOAUTH2 token", {}, login("XOAUTH2", "s3cret!"), 0, "250 OK",
           {"\"mechanism\": \"XOAUTH2\"", ">>AUTH XOAUTH2 ********\r\n"}, {"s3cret"}),
      Case("XOAUTH2 refused, QUIT follows", {}, login("XOAUTH2", "expired"), emxHostError,
           "535 5.7.8 Authentication credentials invalid", {"\"QUIT\""}, {"expired", "\"MAIL\""}),
      Case("larger than SIZE, refused before MAIL", {"--data-size-limit", "1000"},
           [&](SendMail& m) {
             login("", "s3cret!")(m);
             m.Body()->SetText(Variant(kBigBody));
           },
           emxContentNotSendable, "235 ",
           {"bytes) is larger than the server accepts (1000 bytes)."}, {"\"MAIL\"", "\"DATA\""}),
      Case("8-bit text as 8bit with BODY=8BITMIME and SIZE", {},
           [&](SendMail& m) {
             login("", "s3cret!")(m);
             m.Body()->SetText(
                 Variant("Gr\xC3\xBC\xC3\x9F"
                         "e aus K\xC3\xB6ln\r\n"));
           },
           0, "250 OK",
           {"\"BODY=8BITMIME\"", "Content-Transfer-Encoding: 8bit\r\n",
            "\r\n\r\nGr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln\r\n"},
           {"quoted-printable"}),
      Case("address outside ASCII with SMTPUTF8", {"--smtputf8"},
           [](SendMail& m) { m.Header()->SetToList("J <j\xC3\xBCrgen@example.org>"); }, 0, "250 OK",
           {"\"SMTPUTF8\"", ": J <j\xC3\xBCrgen@example.org>\r\n"}, {}),
      Case("address outside ASCII without SMTPUTF8: EHLO, then 12017 before MAIL", {},
           [](SendMail& m) { m.Header()->SetToList("j\xC3\xBCrgen@example.org"); },
           emxContentNotSendable, "250",
           {"\"EHLO\"", "The field 'To' cannot be sent: ", "\"QUIT\""}, {"\"MAIL\""}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir dir;
    std::vector<std::string> args = c.server;
    args.insert(args.begin(),
                {e2e::ServersDir() + "capture_server.py", "--dir", (dir / "in").string(),
                 "--lifetime", "60", "--auth", "joe@example.org:s3cret!"});
    e2e::PythonServer server(args);
    auto mail = support::NewMail(server.port());
    c.set(*mail);
    const support::SendOutcome o = support::SendAndWait(mail);
    EXPECT_EQ(o.completes, 1);
    const SendResult r = mail->Result();
    EXPECT_EQ(r.accepted, c.error == 0) << o.Transcript();
    EXPECT_EQ(r.error, c.error) << r.error_text;
    EXPECT_EQ(r.text.rfind(c.reply, 0), 0u) << r.text;
    const std::string shown =
        o.Transcript() + r.error_text + e2e::ReadFile(dir / "in" / "transcript.jsonl");
    const std::string seen = shown + (c.error ? ""
                                              : e2e::ReadFile(dir / "in" / "0001.json") +
                                                    e2e::ReadFile(dir / "in" / "0001.eml"));
    for (const auto& s : c.found) EXPECT_NE(seen.find(s), std::string::npos) << s << "\n" << seen;
    for (const auto& s : c.absent) EXPECT_EQ(shown.find(s), std::string::npos) << s;
    if (c.error == 0) {
      // SIZE= is the size of what went out, and each recipient has its reply.
      const std::string size = std::to_string(e2e::ReadFile(dir / "in" / "0001.eml").size());
      EXPECT_NE(seen.find("\"SIZE=" + size + "\""), std::string::npos) << size;
      ASSERT_EQ(r.recipients.size(), 1u);
      EXPECT_TRUE(r.recipients[0].address.ends_with("@example.org"));
      EXPECT_EQ(r.recipients[0].code, 250);
    }
  }
}

TEST(Esmtp, PostwingSendExitsOnTheResult) {
  e2e::TempDir dir;
  e2e::PythonServer server({e2e::ServersDir() + "capture_server.py", "--dir", (dir / "in").string(),
                            "--lifetime", "60", "--auth", "joe@example.org:tok", "--plain"});
  e2e::WriteFile(dir / "token", "tok\n");
  e2e::WriteFile(dir / "stale", "old\n");
  const std::string base = std::string(POSTWING_SEND_BIN) + " -s 127.0.0.1 -p " +
                           std::to_string(server.port()) +
                           " -f joe@example.org -t to@example.org -u joe@example.org ";
  const struct {
    std::string args;
    const char* says;
  } cases[] = {
      {"--oauth2-token-file " + (dir / "token").string(), "exit=0"},
      {"--auth xoauth2 --oauth2-token-file " + (dir / "stale").string(),
       "error 12003: 535 5.7.8 Authentication credentials invalid\nexit=1"},
      {"--auth PLAIN", "exit=0"},  // POSTWING_PASSWORD
      {"--auth CRAM-MD5", "--auth expects LOGIN, PLAIN or XOAUTH2, got 'CRAM-MD5'"},
  };
  for (const auto& c : cases) {
    const std::string out =
        e2e::Capture("POSTWING_PASSWORD=tok " + base + c.args + " </dev/null 2>&1; echo exit=$?");
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
    EXPECT_EQ(out.find("tok"), std::string::npos) << out;
  }
}

// An EHLO reply in two reads, keywords in lower case: read whole, its SIZE and 8BITMIME kept;
// SIZE= is the exact size of the data; the result tells the host what the server said.
TEST(Esmtp, TheEhloReplyIsReadWholeInAnyCaseAndTheResultSaysWhatTheServerSaid) {
  using namespace support;
  const Step ehlo =
      Raw({"250-peer.test\r\n250-size 100000\r\n250-auth plain ", "login\r\n", "250 8bitmime\r\n"});
  ScriptedPeer peer(Steps{Reply("220 peer.test"), Expect("EHLO joe@example.org"), ehlo,
                          Expect("AUTH LOGIN"), Reply("334 VXNlcm5hbWU6"), Expect("am9l"),
                          Reply("334 UGFzc3dvcmQ6"), Expect("cHc="), Reply("235 2.7.0 ok")} +
                    Steps{Expect("MAIL FROM:"), Reply("250 ok"), Expect("RCPT TO:"),
                          Reply("250 2.1.5 ok"), Expect("DATA"), Reply("354 go"), Data(),
                          Reply("250 2.0.0 queued as 42"), Expect("QUIT"), Reply("221 bye"),
                          Close()});
  auto mail = NewMail(peer.port());
  mail->SetUser("joe@example.org");
  mail->SetPassword("pw");
  mail->Body()->SetText(postwing::Variant(".Gr\xC3\xBC\xC3\x9F!\r\n"));
  const SendOutcome o = SendAndWait(mail);
  EXPECT_EQ(o.completes, 1);
  ASSERT_TRUE(peer.Completed()) << peer.Failure() << o.Transcript();
  const std::string data = peer.Messages().at(0);
  EXPECT_NE(data.find("\r\n..Gr\xC3\xBC\xC3\x9F!\r\n"), std::string::npos) << data;
  EXPECT_EQ(peer.Count("MAIL FROM: <from@example.org> SIZE=" + std::to_string(data.size()) +
                       " BODY=8BITMIME"),
            1)
      << o.Transcript();
  const postwing::SendResult r = mail->Result();
  EXPECT_TRUE(r.accepted);
  EXPECT_EQ(r.code, 250);
  EXPECT_EQ(r.text, "250 2.0.0 queued as 42");
  EXPECT_EQ(r.enhanced_code, "2.0.0");
  ASSERT_EQ(r.recipients.size(), 1u);
  EXPECT_EQ(r.recipients[0].text, "250 2.1.5 ok");
}

}  // namespace
