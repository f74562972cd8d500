// postwing-send's --starttls, --tls, --ca-file and --insecure against aiosmtpd, a real TLS server.
#include <gtest/gtest.h>

#include "cli/cli_harness.hpp"
#include "support/scripted_peer.hpp"

namespace {

using Certificates = support::TestCertificates;

TEST(SendTls, TheTlsOptionsAgainstARealTlsServer) {
  ASSERT_TRUE(Certificates::Get().ok);
  const Certificates& c = Certificates::Get();
  struct {
    const char* mode;  // the server's --tls ("plain": none)
    bool wrong_name;   // the server's certificate names another host
    std::vector<std::string> options;
    int exit_code;
    std::vector<std::string> says;  // in standard error
  } cases[] = {
      {"starttls", false, {"--starttls", "--ca-file", c.ca.string()}, 0, {}},
      {"implicit", true, {"--tls", "--insecure"}, 0, {}},
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
