// Sends over STARTTLS and implicit TLS to the scripted peer, with certificates made for the
// test; refusals of untrusted or misnamed certificates and of servers without STARTTLS; and
// postwing-send's TLS options against aiosmtpd.
#include <gtest/gtest.h>

#include "cli/cli_harness.hpp"
#include "codecs/base64.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace postwing;
using namespace support;
using namespace std::chrono_literals;

const Steps kOffer = {Reply("220 tls.test ESMTP"), Expect("EHLO joe@example.org"),
                      Reply("250-tls.test\n250-STARTTLS\n250 AUTH LOGIN"), Expect("STARTTLS"),
                      Reply("220 go ahead")};
// After the handshake: EHLO again, the login, the message.
const Steps kAfter = Steps{Expect("EHLO joe@example.org"), Reply("250-tls.test\n250 AUTH LOGIN"),
                           Expect("AUTH LOGIN"),           Reply("334 VXNlcm5hbWU6"),
                           Expect("am9lQGV4YW1wbGUub3Jn"), Reply("334 UGFzc3dvcmQ6"),
                           Expect("czNjcmV0IQ=="),         Reply("235 welcome")} +
                     Transaction();
// Offered PLAIN beside LOGIN over TLS, the login chooses PLAIN by itself.
const Steps kAfterPlain =
    Steps{Expect("EHLO joe@example.org"), Reply("250-tls.test\n250 AUTH LOGIN PLAIN"),
          Expect("AUTH PLAIN AGpvZUBleGFtcGxlLm9yZwBzM2NyZXQh"), Reply("235 welcome")} +
    Transaction();
const Steps kImplicit = {StartTls(), Reply("220 tls.test ESMTP")};

class Tls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TestCertificates::Get().ok) << "openssl failed"; }
  std::shared_ptr<SendMail> Mail(ScriptedPeer& peer, SecurityTypes security) {
    auto mail = NewMail(peer.port(), 10);
    mail->SetSecurity(security);
    mail->SetCertificateFile(TestCertificates::Get().ca.string());
    mail->SetUser("joe@example.org");
    mail->SetPassword("s3cret!");
    return mail;
  }
};

TEST_F(Tls, StartTlsAndImplicitTlsDeliver) {
  struct {
    const char* name;
    Steps steps;
    SecurityTypes security;
    const char* host;
    bool verify, login = true;
  } cases[] = {
      // EHLO, STARTTLS, handshake, EHLO again, then the login: the script holds the order.
      {"STARTTLS", kOffer + Steps{StartTls()} + kAfter, emxStartTLS, "127.0.0.1", true},
      // The name is checked, and sent as SNI.
      {"implicit TLS to a name", kImplicit + kAfter, emxImplicitTLS, "localhost", true},
      {"a misnamed certificate, unchecked", kOffer + Steps{StartTls(true)} + kAfter, emxStartTLS,
       "127.0.0.1", false},
      // Replies injected in clear behind the 220 to STARTTLS are dropped, and the
      // capabilities offered before the upgrade are forgotten: the first words over TLS are
      // EHLO (CVE-2016-0772 style).
      {"replies injected before the handshake",
       Steps(kOffer.begin(), kOffer.end() - 1) +
           Steps{Raw({"220 go ahead\r\n250-forged\r\n250 AUTH LOGIN\r\n334 VXNlcm5hbWU6\r\n"}),
                 StartTls()} +
           kAfter,
       emxStartTLS, "127.0.0.1", true},
      {"PLAIN chosen over STARTTLS", kOffer + Steps{StartTls()} + kAfterPlain, emxStartTLS,
       "127.0.0.1", true},
      {"no login: MAIL FROM after the second EHLO",
       Steps{Reply("220 tls.test ESMTP"), Expect("EHLO"), Reply("250-tls.test\n250 STARTTLS"),
             Expect("STARTTLS"), Reply("220 go ahead"), StartTls(), Expect("EHLO"),
             Reply("250 tls.test")} +
           Transaction(),
       emxStartTLS, "127.0.0.1", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.steps);
    auto mail = Mail(peer, c.security);
    mail->SetSMTPServer(c.host);
    mail->SetVerifyCertificate(c.verify);
    if (!c.verify) mail->SetCertificateFile("");
    if (!c.login) mail->SetUser("");
    const SendOutcome o = SendAndWait(mail);
    EXPECT_EQ(o.completes, 1);
    EXPECT_EQ(o.error(), 0) << o.Transcript();
    EXPECT_TRUE(peer.Completed()) << peer.Failure() << o.Transcript();
    EXPECT_TRUE(o.SawPrefix(">>TLS established: TLSv1.")) << o.Transcript();
    EXPECT_FALSE(o.Saw("<<250-forged\r\n250 AUTH LOGIN\r\n"));
    const std::string t = o.Transcript();
    EXPECT_TRUE(c.security != emxImplicitTLS || t.find(">>TLS established") < t.find("<<220"));
  }
}

// Each refusal ends the send once, before any AUTH or MAIL, with the text of its cause.
TEST_F(Tls, UntrustedMisnamedOrUnreadableCertificatesAreRefused) {
  TempDir dir;
  const std::string ca = TestCertificates::Get().ca.string();
  // clang-format off
  const Steps quit = {Expect("QUIT"), Reply("221 bye"), Close()};
  const Steps no_offer = Steps{Reply("220 tls.test ESMTP"), Expect("EHLO"),
                               Reply("250-tls.test\n250 AUTH LOGIN")} + quit;
  // clang-format on
  struct {
    const char* name;
    Steps steps;
    SecurityTypes security;
    const char* host;
    std::string ca_file;
    int32_t error;
    const char* words;
    const char* method;
  } cases[] = {
      // clang-format off
      // The system's store does not know the test CA.
      {"untrusted", kOffer + Steps{StartTls()}, emxStartTLS, "127.0.0.1", "", emxTLSFailed,
       "certificate", "SendMail.StartTLS"},
      {"untrusted, implicit", {StartTls()}, emxImplicitTLS, "127.0.0.1", "", emxTLSFailed,
       "certificate", ""},
      {"wrong name", kOffer + Steps{StartTls(true)}, emxStartTLS, "127.0.0.1", ca, emxTLSFailed,
       "mismatch", ""},
      {"wrong host name, implicit", {StartTls(true)}, emxImplicitTLS, "localhost", ca,
       emxTLSFailed, "hostname mismatch", ""},
      {"unreadable CA file", kOffer, emxStartTLS, "127.0.0.1", (dir / "missing.pem").string(),
       emxTLSFailed, "missing.pem", ""},
      {"no STARTTLS offered", no_offer, emxStartTLS, "127.0.0.1", "", emxTLSNotAvailable,
       "STARTTLS", "SendMail.Process"},
      // Offered, then refused: nothing but QUIT in clear.
      {"STARTTLS refused", Steps(kOffer.begin(), kOffer.end() - 1) +
       Steps{Reply("454 4.7.0 TLS not available")} + quit, emxStartTLS, "127.0.0.1", "",
       emxTLSNotAvailable, "454 4.7.0 TLS not available", "SendMail.Process"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.steps);
    auto mail = Mail(peer, c.security);
    mail->SetSMTPServer(c.host);
    mail->SetCertificateFile(c.ca_file);
    const SendOutcome o = SendAndWait(mail);
    EXPECT_EQ(o.completes, 1);
    ASSERT_EQ(o.errors.size(), 1u) << o.Transcript();
    EXPECT_EQ(o.error(), c.error);
    EXPECT_NE(o.errors[0].description.find(c.words), std::string::npos) << o.errors[0].description;
    auto record = mail->Errors()->Item(mail->Errors()->Count());
    EXPECT_EQ(record->Description(), o.errors[0].description);
    EXPECT_TRUE(!*c.method || record->Method() == c.method) << record->Method();
    EXPECT_FALSE(o.SawPrefix(">>TLS established"));
    EXPECT_FALSE(o.SawPrefix(">>AUTH"));
    EXPECT_EQ(peer.Count("AUTH") + peer.Count("MAIL"), 0);
  }
}

// The STARTTLS keyword is read from the EHLO lines after the first, in any case.
TEST_F(Tls, TheStartTlsOfferIsReadFromTheEhloLines) {
  struct {
    const char* reply;
    bool offered;
  } cases[] = {
      // clang-format off
      {"250-tls.test\n250-STARTTLS\n250 HELP", true}, {"250-tls.test\n250 starttls", true},
      {"250-tls.test\n250-STARTTLS extra\n250 HELP", true},
      {"250-tls.test\n250-8BITMIME\n250 HELP", false},
      {"250-tls.test\n250-XSTARTTLS\n250 STARTTLSX", false},
      // The first line is the server's name.
      {"250 STARTTLS", false}, {"250 tls.test says STARTTLS", false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    ScriptedPeer peer({Reply("220 tls.test"), Expect("EHLO"), Reply(c.reply), Expect(""),
                       Reply("454 4.7.0 not now"), Close()});
    auto mail = Mail(peer, emxStartTLS);
    EXPECT_EQ(SendAndWait(mail).error(), emxTLSNotAvailable);
    EXPECT_EQ(peer.Count("STARTTLS"), c.offered ? 1 : 0);
  }
}

TEST_F(Tls, ThirtyMebibyteAttachmentArrivesWhole) {
  TempDir dir;
  const std::string big = RandomBytes(30 << 20, 8);
  WriteFile(dir / "big.bin", big);
  // The peer stops reading for a while inside the data: the send waits for room, then goes on.
  Steps steps = kOffer + Steps{StartTls()} + kAfter;
  steps.insert(steps.end() - 5, {DataPart(64), Stall(1s)});
  ScriptedPeer peer(steps);
  peer.lifetime = 120s;
  auto mail = Mail(peer, emxStartTLS);
  mail->Attachments()->Add((dir / "big.bin").string());
  mail->SetTimeOut(60);
  const SendOutcome o = SendAndWait(mail, 120s);
  EXPECT_EQ(o.error(), 0) << o.Transcript();
  // Plaintext is counted: the Base64 of 30 MiB with its line ends, not the TLS records.
  EXPECT_GT(o.progress_bytes, int64_t{40} << 20);
  EXPECT_LT(o.progress_bytes, int64_t{42} << 20);
  Base64 codec;
  codec.Init();
  int16_t span = 76;
  EXPECT_NE(peer.Messages().at(0).find("\r\n\r\n" + codec.EncodeLines(big, span) + "\r\n"),
            std::string::npos);
}

// postwing-send's --starttls, --tls, --ca-file and --insecure against aiosmtpd, a real TLS server.
TEST_F(Tls, PostwingSendOptionsAgainstARealTlsServer) {
  const TestCertificates& c = TestCertificates::Get();
  struct {
    const char* mode;  // the server's --tls ("plain": none)
    bool wrong_name;   // the server's certificate names another host
    std::vector<std::string> options;
    int exit_code;
    std::vector<std::string> says;  // in standard error
  } cases[] = {
      // clang-format off
      {"starttls", false, {"--starttls", "--ca-file", c.ca.string()}, 0, {}},
      {"implicit", true, {"--tls", "--insecure"}, 0, {}},
      // clang-format on
      // The system's store does not know the test CA.
      {"implicit", false, {"--tls"}, 1, {"12015", "certificate"}},
      // Without a STARTTLS offer the message is not sent in clear.
      {"plain", false, {"--starttls"}, 1, {"12014"}},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(t.mode) + " " + t.options[0]);
    std::vector<std::string> args = {"--auth", "joe@example.org:pw",
                                     "--cert", (t.wrong_name ? c.wrong_cert : c.cert).string(),
                                     "--key",  (t.wrong_name ? c.wrong_key : c.key).string()};
    if (std::string(t.mode) != "plain") args.insert(args.end(), {"--tls", t.mode});
    cli_test::CaptureServer server(args);
    cli_test::ProcessSpec job;
    // clang-format off
    job.argv = {POSTWING_SEND_BIN, "-s", "127.0.0.1", "-p", server.port_text(), "-u",
                "joe@example.org", "-f", "joe@example.org", "-t", "to@example.org", "-S",
                "cli over TLS", "--timeout", "10"};
    // clang-format on
    job.argv.insert(job.argv.end(), t.options.begin(), t.options.end());
    job.env["POSTWING_PASSWORD"] = "pw";
    const auto r = cli_test::RunProcess(job);
    EXPECT_EQ(r.exit_code, t.exit_code) << r.err;
    for (const auto& words : t.says) EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    EXPECT_EQ(server.MessageCount(), t.exit_code == 0 ? 1 : 0);
  }
}

}  // namespace
