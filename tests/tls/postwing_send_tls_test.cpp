// postwing-send's --starttls, --tls, --ca-file and --insecure against aiosmtpd, a real TLS server.
#include <gtest/gtest.h>

#include "cli/cli_harness.hpp"
#include "e2e/e2e_support.hpp"
#include "support/scripted_peer.hpp"

namespace {

namespace fs = std::filesystem;
using Certificates = support::TestCertificates;

class SendTls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Certificates::Get().ok); }
  void Start(const std::string& mode, bool wrong_name = false) {
    const Certificates& c = Certificates::Get();
    std::vector<std::string> args = {e2e::ServersDir() + "capture_server.py",
                                     "--dir",
                                     (dir_ / "inbox").string(),
                                     "--lifetime",
                                     "120",
                                     "--auth",
                                     "joe@example.org:pw",
                                     "--cert",
                                     (wrong_name ? c.wrong_cert : c.cert).string(),
                                     "--key",
                                     (wrong_name ? c.wrong_key : c.key).string()};
    if (mode != "plain") args.insert(args.end(), {"--tls", mode});
    server_ = std::make_unique<e2e::PythonServer>(args);
  }
  cli_test::ProcessResult Send(std::vector<std::string> extra) {
    cli_test::ProcessSpec job;
    job.argv = {POSTWING_SEND_BIN,
                "-s",
                "127.0.0.1",
                "-p",
                std::to_string(server_->port()),
                "-u",
                "joe@example.org",
                "-f",
                "joe@example.org",
                "-t",
                "to@example.org",
                "-S",
                "cli over TLS",
                "--timeout",
                "10"};
    job.argv.insert(job.argv.end(), extra.begin(), extra.end());
    job.env["POSTWING_PASSWORD"] = "pw";
    job.limit = std::chrono::seconds(60);
    return cli_test::RunProcess(job);
  }
  bool Received() const { return fs::exists(dir_ / "inbox" / "0001.eml"); }

  e2e::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
};

TEST_F(SendTls, StartTlsWithCaFile) {
  Start("starttls");
  auto r = Send({"--starttls", "--ca-file", Certificates::Get().ca.string()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Received());
}

TEST_F(SendTls, ImplicitTlsInsecureAcceptsAMisnamedCertificate) {
  Start("implicit", true);
  auto r = Send({"--tls", "--insecure"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Received());
}

TEST_F(SendTls, UntrustedCertificateFailsOnTheWire) {
  Start("implicit");
  auto r = Send({"--tls"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("12015"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;
  EXPECT_FALSE(Received());
}

// A server without STARTTLS: 12014, and the message is not sent in clear.
TEST_F(SendTls, NoStartTlsOfferedFailsWith12014) {
  Start("plain");
  auto r = Send({"--starttls"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("12014"), std::string::npos) << r.err;
  EXPECT_FALSE(Received());
}

}  // namespace
