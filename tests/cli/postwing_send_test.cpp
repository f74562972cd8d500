// postwing-send as a user runs it: the binary against the capture SMTP server on 127.0.0.1,
// each arrived message checked by Python's email package (scripts/show_received.py).
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_harness.hpp"
#include "support/loopback.hpp"

namespace cli_test {
namespace {

using namespace std::chrono_literals;

const std::string kSend = POSTWING_SEND_BIN;
const std::string kSendmail = (fs::path(kSend).parent_path() / "postwing-sendmail").string();
const std::string kShow = std::string(POSTWING_TESTS_DIR) + "/../scripts/show_received.py";

// Runs postwing-send with the arguments; POSTWING_PASSWORD is removed unless given.
ProcessResult Send(std::vector<std::string> args,
                   std::map<std::string, std::optional<std::string>> env = {},
                   std::string stdin_text = {}, const std::string& program = kSend) {
  ProcessSpec job;
  job.argv = {program};
  job.argv.insert(job.argv.end(), args.begin(), args.end());
  job.env = std::move(env);
  job.env.insert({"POSTWING_PASSWORD", std::nullopt});
  job.stdin_text = std::move(stdin_text);
  job.limit = 60s;
  return RunProcess(job);
}

// Checks a received message with the independent parser; returns its report on failure.
::testing::AssertionResult Received(const fs::path& eml, std::vector<std::string> checks) {
  ProcessSpec job;
  job.argv = {POSTWING_PYTHON, kShow, eml.string()};
  job.argv.insert(job.argv.end(), checks.begin(), checks.end());
  ProcessResult r = RunProcess(job);
  if (r.exit_code == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "show_received.py exit " << r.exit_code << "\n"
                                       << r.out << r.err;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exit_code) + " signal " + std::to_string(r.signal) +
         (r.timed_out ? " (timed out)" : "") + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class PostwingSend : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& data) {
    fs::path p = files_ / name;
    fs::create_directories(p.parent_path());
    e2e::WriteFile(p, data);
    return p.string();
  }
  std::vector<std::string> Server(const CaptureServer& s) {
    return {"-s", "127.0.0.1", "-p", s.port_text(), "--timeout", "10"};
  }
  static std::vector<std::string> Join(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  e2e::TempDir files_;
};

// --- the command line itself ---------------------------------------------------------------

TEST_F(PostwingSend, HelpListsEveryOptionAndExitsZero) {
  ProcessResult r = Send({"--help"});
  EXPECT_EQ(r.exit_code, 0) << Describe(r);
  std::istringstream options(
      "--server --port --user --password-file POSTWING_PASSWORD --from --to --cc --bcc --subject "
      "--reply-to --body-file --attach --attach-as --timeout --verify --domain-for-helo --no-mime "
      "--no-keepalive --raw --verbose --read-recipients --ignore-dots --account --show-account");
  for (std::string opt; options >> opt;) EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
  EXPECT_TRUE(r.err.empty());
}

TEST_F(PostwingSend, UsageErrorsExitTwoWithAReason) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-p", "seventy"}, "invalid port 'seventy'"},
      {{"--timeout", "-3"}, "invalid time-out"},
      {{"extra"}, "unexpected argument 'extra'"},
      {{"-s"}, "needs a value"},
  };
  for (const auto& c : cases) {
    ProcessResult r = Send(c.args);
    EXPECT_EQ(r.exit_code, 2) << Describe(r);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << Describe(r);
    EXPECT_NE(r.err.find("--help"), std::string::npos) << Describe(r);
  }
}

TEST_F(PostwingSend, UnreadableFilesAreUsageErrorsBeforeAnythingIsSent) {
  CaptureServer server;
  const auto base = Join(Server(server), {"-f", "a@example.org", "-t", "b@example.org"});
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--body-file", (files_ / "missing.txt").string()}, "missing.txt"},
      {{"-a", (files_ / "nope.pdf").string()}, "nope.pdf"},
      {{"-a", files_.path().string()}, "not a regular file"},
      {{"--password-file", (files_ / "pw").string(), "-u", "ann"}, "pw"},
      {{"--raw", (files_ / "none.eml").string()}, "none.eml"},
      {{"--starttls", "--ca-file", (files_ / "ca.pem").string()}, "ca.pem"},
  };
  for (const auto& c : cases) {
    ProcessResult r = Send(Join(base, c.args));
    EXPECT_EQ(r.exit_code, 2) << Describe(r);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << Describe(r);
  }
  EXPECT_EQ(server.MessageCount(), 0);
  EXPECT_EQ(server.Transcript().find("CONNECT"), std::string::npos) << server.Transcript();
}

// The checks Send makes are the library's: its numbers and texts reach the user.
TEST_F(PostwingSend, MissingServerSenderOrRecipientsGiveTheLibrarysError) {
  struct Case {
    std::vector<std::string> args;
    std::string number;
    std::string text;
  } cases[] = {
      {{"-f", "a@example.org", "-t", "b@example.org"},
       "error 12000",
       "A required property 'EmailHost' was not specified"},
      {{"-s", "", "-f", "a@example.org", "-t", "b@example.org"},
       "error 12000",
       "A required property 'EmailHost' was not specified"},
      {{"-s", "127.0.0.1", "-t", "b@example.org"},
       "error 12001",
       "A required property 'From' address was not specified"},
      {{"-s", "127.0.0.1", "-f", "a@example.org", "-c", "c@example.org"},
       "error 12002",
       "A required property 'ToList' was not specified"},
  };
  for (const auto& c : cases) {
    ProcessResult r = Send(c.args);
    EXPECT_EQ(r.exit_code, 2) << Describe(r);
    EXPECT_NE(r.err.find(c.number + ": " + c.text), std::string::npos) << Describe(r);
  }
}

// What the library refuses from the host (a field that would inject a line, two attachments
// under one name) is a host-call error: exit 2, and nothing reaches the server.
TEST_F(PostwingSend, FieldsTheLibraryRefusesExitTwoBeforeConnecting) {
  CaptureServer server;
  const std::string a = File("one/same.txt", "1");
  const std::string b = File("two/same.txt", "2");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"-t", "b@example.org", "-S", "hi\r\nBcc: evil@example.org"}, "error 12013: "},
      {{"-t", "b@example.org\r\nRCPT TO: evil@example.org"}, "error 12013: "},
      {{"-t", "b@example.org", "-a", a, "-a", b}, "error 457: "},
  };
  for (const auto& c : cases) {
    ProcessResult r = Send(Join(Join(Server(server), {"-f", "a@example.org"}), c.args));
    EXPECT_EQ(r.exit_code, 2) << Describe(r);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << Describe(r);
  }
  EXPECT_EQ(server.Transcript().find("CONNECT"), std::string::npos) << server.Transcript();
}

// --- sending --------------------------------------------------------------------------------

TEST_F(PostwingSend, SendsTextBodyAndAttachmentsThatArriveByteForByte) {
  CaptureServer server;
  const std::string body = File("body.txt", "Hello Bob,\nthe figures are attached.\n\nAnn\n");
  const std::string csv = File("dir/figures.csv", "a,b\tc\r\n1,2\t3\r\n.leading dot\r\n");
  const std::string bin = File("blob.bin", RandomBytes(200000, 7));
  const std::string empty = File("empty.dat", "");
  ProcessResult r = Send(Join(Server(server), {"-f",          "Ann <ann@example.org>",
                                               "-t",          "bob@example.org",
                                               "-t",          "Carl <carl@example.org>",
                                               "-c",          "dee@example.org",
                                               "-b",          "eve@example.org",
                                               "-S",          "Figures",
                                               "-r",          "replies@example.org",
                                               "--body-file", body,
                                               "-a",          csv,
                                               "--attach-as", bin + "=data.bin",
                                               "-a",          empty}));
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  EXPECT_TRUE(r.err.empty()) << r.err;
  ASSERT_EQ(server.MessageCount(), 1);
  EXPECT_TRUE(Received(server.message(1), {"--expect-header",
                                           "Subject=Figures",
                                           "--expect-header",
                                           "From=Ann <ann@example.org>",
                                           "--expect-header",
                                           "To=bob@example.org, Carl <carl@example.org>",
                                           "--expect-header",
                                           "Cc=dee@example.org",
                                           "--expect-header",
                                           "Reply-To=replies@example.org",
                                           "--expect-no-header",
                                           "Bcc",
                                           "--expect-body-type",
                                           "text/plain",
                                           "--expect-body-file",
                                           body,
                                           "--expect-attachment",
                                           "figures.csv=" + csv,
                                           "--expect-attachment",
                                           "data.bin=" + bin,
                                           "--expect-attachment",
                                           "empty.dat=" + empty,
                                           "--expect-attachment-count",
                                           "3",
                                           "--expect-mail-from",
                                           "ann@example.org",
                                           "--expect-rcpt",
                                           "bob@example.org",
                                           "--expect-rcpt",
                                           "carl@example.org",
                                           "--expect-rcpt",
                                           "dee@example.org",
                                           "--expect-rcpt",
                                           "eve@example.org"}));
  // The envelope never leaks the blind copy into the data.
  EXPECT_EQ(e2e::ReadFile(server.message(1)).find("eve@example.org"), std::string::npos);
}

TEST_F(PostwingSend, HtmlBodyFromStandardInput) {
  CaptureServer server;
  const std::string html =
      "<html><body><h1>Hi</h1>\n<p>Caf\xc3\xa9 = 5&euro;</p>\n</body></html>\n";
  const std::string html_file = File("expected.html", html);
  ProcessResult r = Send(Join(Server(server), {"-f", "a@example.org", "-t", "b@example.org", "-S",
                                               "HTML", "--body-file", "-"}),
                         {}, html);
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  EXPECT_TRUE(Received(server.message(1), {"--expect-body-type", "text/html",
                                           "--expect-body-contains-file", html_file}));
}

TEST_F(PostwingSend, VerboseReportsEveryStatusLineInOrder) {
  CaptureServer server;
  ProcessResult r =
      Send(Join(Server(server), {"-v", "-f", "a@example.org", "-t", "b@example.org", "-S", "x"}));
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  size_t at = 0;
  for (const char* line :
       {">>Setting remote port to ", ">>Setting remote host to 127.0.0.1\r\n",
        ">>Setting time-out to 10\r\n", ">>Connecting\r\n", ">>Waiting for connect response\r\n",
        "<<220 ", ">>HELO ", ">>MAIL FROM: <a@example.org>\r\n", ">>RCPT TO: <b@example.org>\r\n",
        ">>DATA\r\n", "<<354", ">>SUBJECT: x\r\n", ">>.\r\n", ">>Sending\r\n", "<<250 ",
        ">>QUIT\r\n"}) {
    size_t found = r.err.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << r.err;
    at = found;
  }
  // The empty body is reported, and nothing else is said on success.
  EXPECT_NE(r.err.find("WARNING! Body is empty\r\n"), std::string::npos);
  EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
}

TEST_F(PostwingSend, RawFileIsTheWholeMessage) {
  CaptureServer server;
  const std::string raw =
      "From: Raw <raw@example.org>\r\nTo: x@example.org\r\nSubject: raw mode\r\n"
      "X-Test: 1\r\n\r\nFirst line\r\n.dot line\r\nlast\r\n";
  const std::string raw_file = File("m.eml", raw);
  ProcessResult r = Send(Join(Server(server), {"-f", "raw@example.org", "-t", "x@example.org", "-b",
                                               "y@example.org", "--raw", raw_file}));
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  const std::string got = e2e::ReadFile(server.message(1));
  EXPECT_EQ(got.find("Message-ID"), std::string::npos) << got;
  EXPECT_NE(got.find(raw), std::string::npos) << got;
  EXPECT_TRUE(Received(server.message(1), {"--expect-header", "Subject=raw mode", "--expect-rcpt",
                                           "x@example.org", "--expect-rcpt", "y@example.org"}));
}

TEST_F(PostwingSend, NoMimeSendsUuencodedAttachments) {
  CaptureServer server;
  const std::string bin = File("plain.bin", RandomBytes(1000, 3));
  const std::string body = File("b.txt", "plain body\n");
  ProcessResult r = Send(Join(Server(server), {"--no-mime", "-f", "a@example.org", "-t",
                                               "b@example.org", "--body-file", body, "-a", bin}));
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  const std::string got = e2e::ReadFile(server.message(1));
  EXPECT_EQ(got.find("MIME-Version"), std::string::npos) << got;
  EXPECT_NE(got.find("begin 644 plain.bin"), std::string::npos) << got;
  EXPECT_TRUE(Received(server.message(1), {"--expect-attachment", "plain.bin=" + bin}));
}

TEST_F(PostwingSend, VerifyAndHeloSwitchesReachTheDialogue) {
  CaptureServer server;
  ProcessResult r =
      Send(Join(Server(server), {"--verify", "--domain-for-helo", "--no-keepalive", "-f",
                                 "a@example.org", "-t", "b@example.org;c@example.org"}));
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  const std::string t = server.Transcript();
  EXPECT_NE(t.find(R"("event": "VRFY", "arg": "b@example.org")"), std::string::npos) << t;
  EXPECT_NE(t.find(R"("event": "VRFY", "arg": "c@example.org")"), std::string::npos) << t;
  EXPECT_TRUE(Received(server.message(1),
                       {"--expect-rcpt", "b@example.org", "--expect-rcpt", "c@example.org"}));
}

// sendmail's way: the message from standard input, sent as it is but for its Bcc fields.
TEST_F(PostwingSend, MessageFromStandardInputGoesToItsHeaderRecipients) {
  const std::string head =
      "From: Ann <ann@example.org>\nTo: \"Doe, Bob\" <bob@example.org>,\n carl@example.org\n"
      "Cc: Team: dee@example.org;\nBCC: eve@example.org,\n\tfay@example.org\nSubject: s\n\n";
  const std::string kept =
      "From: Ann <ann@example.org>\r\nTo: \"Doe, Bob\" <bob@example.org>,\r\n "
      "carl@example.org\r\nCc: Team: dee@example.org;\r\nSubject: s\r\n\r\n";
  const std::vector<std::string> all = {"bob@example.org", "carl@example.org", "dee@example.org",
                                        "eve@example.org", "fay@example.org"};
  std::vector<std::string> with_gus = all;
  with_gus.push_back("gus@example.org");
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string body, arrives, from;
    std::vector<std::string> rcpts;
  } cases[] = {
      // clang-format off
      {kSend, {"-t"}, ".x\n.\nlost\n", ".x\r\n", "ann@example.org", all},
      {kSend, {"-t", "-i", "-f", "env@example.org", "gus@example.org"}, ".\nkept\n",
       ".\r\nkept\r\n", "env@example.org", with_gus},
      {kSendmail, {"-oi", "-odi", "-oem", "-F", "Ann", "gus@example.org"}, ".\n", ".\r\n",
       "ann@example.org", {"gus@example.org"}},
      // clang-format on
  };
  for (auto& c : cases) {
    CaptureServer server;
    ProcessResult r = Send(Join({"--server=127.0.0.1", "--port=" + server.port_text()}, c.args), {},
                           head + c.body, c.program);
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    const std::string got = e2e::ReadFile(server.message(1));
    EXPECT_EQ(got, kept + c.arrives);
    std::vector<std::string> checks = {"--expect-mail-from", c.from};
    for (const auto& a : c.rcpts) checks.insert(checks.end(), {"--expect-rcpt", a});
    EXPECT_TRUE(Received(server.message(1), checks));
  }
}

// --- accounts -------------------------------------------------------------------------------

TEST_F(PostwingSend, AccountsFilesAreReadAsMsmtpReadsThem) {
  const std::string base =
      "# mail\ndefaults\ntls on\ntls_trust_file system\naccount home\nhost mx.example.org\n"
      "from ann@example.org\nuser ann\n";
  struct Case {
    std::string file;
    int mode;
    std::vector<std::string> args;
    int exit;
    std::string says;
  } cases[] = {
      // clang-format off
      {base + "account work : home\nport 465\ntls_starttls off\naccount default : work\n", 0644,
       {"-p", "2465"}, 0, "# account default\nhost mx.example.org\nport 2465\n"
       "from ann@example.org\nauth on\nuser ann\ntls on\ntls_starttls off\n"},
      {base + "password \"p w\"\n", 0600, {"--account", "home", "--insecure"}, 0,
       "password ********\ntls on\ntls_starttls on\ntls_certcheck off\n"},
      // The account's password is its user's only.
      {base + "password x\n", 0600, {"--account", "home", "-u", "bob"}, 0, "user bob\ntls on\n"},
      {base + "password secret\n", 0644, {"--account", "home"}, 2, "holds a password but others"},
      {base + "\ntls_fingerprint AB:CD\n", 0600, {}, 2, "accounts:10: 'tls_fingerprint' is not"},
      {base + "hots mx\n", 0600, {}, 2, "accounts:9: unknown keyword 'hots'"},
      {base + "account x : nowhere\n", 0600, {}, 2, "accounts:9: account 'nowhere' is not defined"},
      {base + "auth cram-md5\n", 0600, {"--account", "home"}, 2, "'cram-md5' is not supported"},
      {base, 0600, {"--account", "work"}, 2, "no account 'work'"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const std::string file = File("accounts", c.file);
    fs::permissions(file, static_cast<fs::perms>(c.mode));
    ProcessResult r = Send(Join(c.args, {"--show-account"}), {{"POSTWING_ACCOUNTS", file}});
    EXPECT_EQ(r.exit_code, c.exit) << Describe(r);
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.file << Describe(r);
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
  }
}

TEST_F(PostwingSend, AccountSettingsReachTheDialogue) {
  CaptureServer server({"--auth", "ann@example.org:pa ss"});
  const std::string file =
      File("system", "account default\nhost 127.0.0.1\nport " + server.port_text() +
                         "\nfrom Ann <ann@example.org>\nuser ann@example.org\n"
                         "passwordeval read x; printf 'pa ss\\nnot this line\\n'\n");
  ProcessResult r = Send({"-t", "-v"}, {{"POSTWING_SYSTEM_ACCOUNTS", file}},
                         "To: bob@example.org\nSubject: via account\n\nHi\n");
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  EXPECT_NE(r.err.find(">>EHLO ann@example.org\r\n"), std::string::npos) << r.err;
  EXPECT_TRUE(
      Received(server.message(1),
               {"--expect-auth", "ann@example.org:pa ss", "--expect-mail-from", "ann@example.org",
                "--expect-rcpt", "bob@example.org", "--expect-header", "Subject=via account"}));
}

// --- login ----------------------------------------------------------------------------------

TEST_F(PostwingSend, PasswordFromFileEnvironmentOrStandardInputReachesAuthLogin) {
  const std::string pw = File("pw.txt", "pa ss;word\n");
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::optional<std::string>> env;
    std::string stdin_text;
  } cases[] = {
      // The file wins over the environment.
      {{"--password-file", pw}, {{"POSTWING_PASSWORD", "not this one"}}, ""},
      {{}, {{"POSTWING_PASSWORD", "pa ss;word"}}, ""},
      {{"--password-file", "-"}, {}, "pa ss;word\n"},
  };
  for (const auto& c : cases) {
    CaptureServer server({"--auth", "ann@example.org:pa ss;word"});
    ProcessResult r = Send(Join(Join(Server(server), {"-v", "-u", "ann@example.org", "-f",
                                                      "ann@example.org", "-t", "b@example.org"}),
                                c.args),
                           c.env, c.stdin_text);
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_TRUE(Received(server.message(1), {"--expect-auth", "ann@example.org:pa ss;word"}));
    // The password never shows in the status lines, not even in Base64.
    EXPECT_EQ(r.err.find("cGEgc3M7d29yZA=="), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(">>EHLO ann@example.org\r\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(">>AUTH LOGIN\r\n"), std::string::npos) << r.err;
  }
}

// --- failures on the wire -------------------------------------------------------------------

TEST_F(PostwingSend, RefusalsOnTheWireExitOneWithTheServersReplyAndQuitPromptly) {
  struct Case {
    std::vector<std::string> server, args;
    std::string says;
    int kept;  // the capture server keeps what it refuses at the end of the data
  } cases[] = {
      {{"--auth", "ann:right"}, {"-u", "ann", "-t", "b@example.org"}, "error 12003: 535", 0},
      {{"--refuse", "RCPT:bad@example.org:550 5.1.1 No such user"},
       {"-t", "good@example.org;bad@example.org"},
       "error 12003: 550 5.1.1 No such user",
       0},
      {{"--data-reply", "554 5.6.0 Message rejected"},
       {"-t", "b@example.org"},
       "error 12003: 554 5.6.0 Message rejected",
       1},
  };
  for (const auto& c : cases) {
    CaptureServer server(c.server);
    ProcessResult r = Send(Join(Join(Server(server), {"-f", "ann@example.org"}), c.args),
                           {{"POSTWING_PASSWORD", "wrong"}});
    EXPECT_EQ(r.exit_code, 1) << Describe(r);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << Describe(r);
    EXPECT_EQ(server.MessageCount(), c.kept);
    EXPECT_LT(r.elapsed, 8s);  // the 10-second time-out is not sat out
  }
}

TEST_F(PostwingSend, RefusedSilentOrHangingUpServersExitOne) {
  support::LoopbackSocket refusing(-1);
  // A full queue: the kernel drops the SYN, so the connection is never made (a greeting that
  // never comes is awaited 5 minutes, as RFC 5321 asks).
  support::LoopbackSocket silent(0);
  silent.FillQueue();
  // Greets, reads the HELO and closes without a word.
  e2e::WriteFile(files_ / "hangup.json",
                 R"([{"send": "220 hello\r\n"}, {"expect": "HELO"}, {"close": true}])");
  e2e::PythonServer hangup({e2e::ServersDir() + "scripted_server.py", "--script",
                            (files_ / "hangup.json").string(), "--log",
                            (files_ / "hangup.log").string(), "--lifetime", "30"});
  struct Case {
    int port;
    std::string timeout, says, or_says;
    std::chrono::seconds within;
  } cases[] = {
      // Refused is final: no need to sit out the 20-second connect wait.
      {refusing.port(), "20", "error 10061", "error 10061", 10s},
      {silent.port(), "1", "error 10060", "error 10060", 15s},
      // Said by the library (its own error for a close mid-dialogue) or by the tool.
      {hangup.port(), "10", "before the message was accepted",
       "before the server accepted the message", 8s},
  };
  for (const auto& c : cases) {
    ProcessResult r = Send({"-s", "127.0.0.1", "-p", std::to_string(c.port), "--timeout", c.timeout,
                            "-f", "a@example.org", "-t", "b@example.org"});
    EXPECT_EQ(r.exit_code, 1) << Describe(r);
    EXPECT_TRUE(r.err.find(c.says) != std::string::npos ||
                r.err.find(c.or_says) != std::string::npos)
        << Describe(r);
    EXPECT_LT(r.elapsed, c.within);
  }
}

// --- examples/ ------------------------------------------------------------------------------

TEST_F(PostwingSend, ExampleHostSendsItsAttachment) {
  const fs::path example =
      fs::path(kSend).parent_path().parent_path() / "examples" / "example_send_with_attachment";
  if (!fs::exists(example)) GTEST_SKIP() << "example not built: " << example;
  CaptureServer server;
  const std::string att = File("report.bin", RandomBytes(5000, 11));
  ProcessSpec job;
  job.argv = {example.string(),  "127.0.0.1",       server.port_text(),
              "ann@example.org", "bob@example.org", att};
  ProcessResult r = RunProcess(job);
  ASSERT_EQ(r.exit_code, 0) << Describe(r);
  EXPECT_NE(r.out.find("SendComplete"), std::string::npos) << r.out;
  EXPECT_TRUE(Received(server.message(1), {"--expect-attachment", "report.bin=" + att}));
}

}  // namespace
}  // namespace cli_test
