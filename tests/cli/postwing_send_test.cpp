// postwing-send as a user runs it: the binary against the capture SMTP server on 127.0.0.1,
// each arrived message checked by Python's email package (scripts/show_received.py).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_harness.hpp"
#include "support/loopback.hpp"
#include "support/scripted_peer.hpp"

namespace cli_test {
namespace {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::optional<std::string>>;
using Args = std::vector<std::string>;

const std::string kSend = POSTWING_SEND_BIN;
const std::string kSendmail = (fs::path(kSend).parent_path() / "postwing-sendmail").string();
const std::string kShow = std::string(POSTWING_TESTS_DIR) + "/../scripts/show_received.py";

Args Join(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs postwing-send with the arguments; POSTWING_PASSWORD is removed unless given.
ProcessResult Send(const Args& args, Env env = {}, std::string stdin_text = {},
                   const std::string& program = kSend) {
  env.insert({"POSTWING_PASSWORD", std::nullopt});
  return RunProcess({Join({program}, args), std::move(env), std::move(stdin_text)});
}

// Checks a received message with the independent parser; returns its report on failure.
::testing::AssertionResult Received(const fs::path& eml, const Args& checks) {
  const ProcessResult r =
      RunProcess({Join({POSTWING_PYTHON, kShow, eml.string()}, checks), {}, {}});
  if (r.exit_code == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "show_received.py exit " << r.exit_code << "\n"
                                       << r.out << r.err;
}

std::string Describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exit_code) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class PostwingSend : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& data) {
    fs::create_directories((files_ / name).parent_path());
    support::WriteFile(files_ / name, data);
    return (files_ / name).string();
  }
  static Args Server(const CaptureServer& s) {
    return {"-s", "127.0.0.1", "-p", s.port_text(), "--timeout", "10"};
  }

  support::TempDir files_;
};

// Each exit status and its reason. What the tool or the library refuses before sending exits 2
// (a usage or host-call error) and nothing reaches the server; --help exits 0. Refusals, and
// servers that refuse the connection, stay silent or hang up, exit 1 promptly. Several --raw
// files go out in order over one connection, a result line each; with --allow-partial a
// message goes to the recipients the server accepts (exit 3 when it refused some, listed on
// standard error; 1 when it refused all); the worst message sets the status.
TEST_F(PostwingSend, ExitStatusesAndTheirReasons) {
  support::LoopbackSocket refusing(-1);
  // A full queue: the kernel drops the SYN, so the connection is never made.
  support::LoopbackSocket silent(0);
  silent.FillQueue();
  support::ScriptedPeer hangup;  // greets, reads the HELO and closes without a word
  hangup.lifetime = 240s;        // it waits through the rows before its own
  hangup.Serve({support::Reply("220 hello"), support::Expect("HELO"), support::Close()});
  const std::string a = File("one/same.txt", "1"), b = File("two/same.txt", "2");
  const std::string t1 = "Subject: one\r\n\r\nfirst\r\n", t2 = "Subject: 2\r\n\r\n.dot\r\n";
  const std::string m1 = File("1.eml", t1), m2 = File("2.eml", t2);
  const std::string big = File("big.eml", "Subject: big\r\n\r\n" + std::string(200, 'x') + "\r\n");
  const std::string ok = ": accepted: 250 OK: message accepted\n", bad = "bad@example.org";
  const std::string refused = "refused bad@example.org: 550 5.1.1 No such user\n";
  const Args to = {"-f", "a@example.org", "-t", "b@example.org"}, from = {"-f", "a@example.org"};
  const Args refuse_bad = {"--refuse", "RCPT:bad@example.org:550 5.1.1 No such user"};
  struct Case {
    Args args;
    int exit;
    std::string out, err;  // what standard output and standard error hold
    int messages = 0;      // what the capture server keeps, also of what it refuses at the end
    Args server = {};      // the capture server's options
    int port = 0;          // 0: the capture server's; -1: no server named
  } cases[] = {
      // clang-format off
      {{"--help"}, 0, "--show-account", "", 0, {}, -1},
      {{"-p", "seventy"}, 2, "", "invalid port 'seventy'"},
      {Join(to, {"--body-file", (files_ / "missing.txt").string()}), 2, "", "missing.txt"},
      {Join(to, {"-a", (files_ / "nope.pdf").string()}), 2, "", "nope.pdf"},
      {Join(to, {"-a", files_.path().string()}), 2, "", "not a regular file"},
      {Join(to, {"--password-file", (files_ / "pw").string(), "-u", "ann"}), 2, "", "pw"},
      {Join(to, {"--raw", (files_ / "none.eml").string()}), 2, "", "none.eml"},
      {Join(to, {"--starttls", "--ca-file", (files_ / "ca.pem").string()}), 2, "", "ca.pem"},
      // The checks Send makes are the library's: its numbers and texts reach the user.
      {to, 2, "", "error 12000: A required property 'EmailHost' was not specified", 0, {}, -1},
      {{"-t", "b@example.org"}, 2, "", "error 12001: A required property 'From' address"},
      {{"-f", "a@example.org", "-c", "c@example.org"}, 2, "", "error 12002: A required property"},
      // A field that would inject a line, two attachments under one name.
      {Join(to, {"-S", "hi\r\nBcc: evil@example.org"}), 2, "", "error 12013: "},
      {{"-f", "a@example.org", "-t", "b@example.org\r\nRCPT TO: evil@x"}, 2, "", "error 12013: "},
      {Join(to, {"-a", a, "-a", b}), 2, "", "error 457: "},
      // On the wire.
      {Join(to, {"-u", "ann"}), 1, "", "error 12003: 535", 0, {"--auth", "ann:right"}},
      {Join(to, {"-t", bad}), 1, "", "error 12003: 550 5.1.1 No such user", 0, refuse_bad},
      {to, 1, "", "error 12003: 554 5.6.0 Rejected", 1, {"--data-reply", "554 5.6.0 Rejected"}},
      // Refused is final: no need to sit out the 10-second connect wait.
      {to, 1, "", "error 10061", 0, {}, refusing.port()},
      {Join(to, {"--timeout", "1"}), 1, "", "error 10060", 0, {}, silent.port()},
      // Said by the library (its own error for a close mid-dialogue) or by the tool.
      {to, 1, "", "before the", 0, {}, hangup.port()},
      // Several messages, partial delivery.
      {Join(from, {"-t", "x@example.org", "--raw", m1, "--raw", m2, "--raw", m1}), 0,
       m1 + ok + m2 + ok + m1 + ok, "", 3, refuse_bad},
      {Join(from, {"--allow-partial", "-t", bad, "-c", "x@example.org", "--raw", m1}), 3, "",
       refused, 1, refuse_bad},
      {Join(from, {"--allow-partial", "-t", bad, "--raw", m1}), 1, "", refused, 0, refuse_bad},
      {Join(from, {"--allow-partial", "-c", bad, "-t", "x@example.org", "--raw", m1, "--raw", m2}),
       3, m1 + ": partial: 250 OK: message accepted\n", refused + "postwing-send: " + refused, 2,
       refuse_bad},
      {Join(from, {"-t", bad, "--raw", m1, "--raw", m2}), 1,
       m2 + ": failed: error 12003: 550 5.1.1 No such user\n", "error 12003: 550 5.1.1", 0,
       refuse_bad},
      // The worst message sets the status, wherever it stands among the accepted ones.
      {Join(to, {"--raw", m1, "--raw", big, "--raw", m1}), 1, m1 + ok + big + ": failed: error",
       "12017: The message (218 bytes) is larger", 2, {"--data-size-limit", "100"}},
      // clang-format on
  };
  for (const auto& c : cases) {
    CaptureServer server(c.server);
    Args args = c.port < 0 ? Args{} : Server(server);
    if (c.port > 0) args[3] = std::to_string(c.port);
    const ProcessResult r = Send(Join(args, c.args), {{"POSTWING_PASSWORD", "wrong"}});
    EXPECT_EQ(r.exit_code, c.exit) << Describe(r);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << Describe(r);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << Describe(r);
    EXPECT_EQ(server.MessageCount(), c.messages) << Describe(r);
    EXPECT_LT(r.elapsed, 8s);
    // A send uses one connection and ends it with QUIT; a refused command line none.
    const std::string log = server.Transcript();
    const bool sent = c.port == 0 && c.exit != 2;
    for (const std::string once : {"\"CONNECT\"", "\"QUIT\""}) {
      EXPECT_EQ(log.find(once) != log.npos && log.find(once) == log.rfind(once), sent) << log;
    }
    EXPECT_TRUE(c.messages != 3 ||
                support::ReadFile(server.message(2)) + support::ReadFile(server.message(3)) ==
                    t2 + t1);
  }
}

// Each field and switch reaches the message or the dialogue: what arrives holds (or lacks) a
// text, and the independent parser confirms it; attachments arrive byte for byte.
TEST_F(PostwingSend, FieldsAndSwitchesReachTheMessageAndTheDialogue) {
  const std::string body = File("body.txt", "Hello Bob,\nthe figures are attached.\n\nAnn\n");
  const std::string csv = File("dir/figures.csv", "a,b\tc\r\n1,2\t3\r\n.leading dot\r\n");
  const std::string blob = File("blob.bin", support::RandomBytes(200000, 7));
  const std::string empty = File("empty.dat", "");
  const std::string html =
      "<html><body><h1>Hi</h1>\n<p>Caf\xc3\xa9 = 5&euro;</p>\n</body></html>\n";
  const std::string raw =
      "From: Raw <raw@example.org>\r\nTo: x@example.org\r\nSubject: raw mode\r\n"
      "X-Test: 1\r\n\r\nFirst line\r\n.dot line\r\nlast\r\n";
  const std::string bin = File("plain.bin", support::RandomBytes(1000, 3));
  struct Case {
    Args args;
    std::string stdin_text, holds, lacks;
    Args checks;
    std::string transcript_holds = "";
  } cases[] = {
      // clang-format off
      // The envelope never leaks the blind copy into the data.
      {{"-f", "Ann <ann@example.org>", "-t", "bob@example.org", "-t", "Carl <carl@example.org>",
        "-c", "dee@example.org", "-b", "eve@example.org", "-S", "Figures", "-r", "re@example.org",
        "--body-file", body, "-a", csv, "--attach-as", blob + "=data.bin", "-a", empty}, "", "",
       "eve@example.org",
       {"--expect-header", "Subject=Figures", "--expect-header", "From=Ann <ann@example.org>",
        "--expect-header", "To=x@example.org, bob@example.org, Carl <carl@example.org>",
        "--expect-header", "Cc=dee@example.org", "--expect-header", "Reply-To=re@example.org",
        "--expect-no-header", "Bcc", "--expect-body-type", "text/plain", "--expect-body-file", body,
        "--expect-attachment", "figures.csv=" + csv, "--expect-attachment", "data.bin=" + blob,
        "--expect-attachment", "empty.dat=" + empty, "--expect-attachment-count", "3",
        "--expect-mail-from", "ann@example.org", "--expect-rcpt", "x@example.org",
        "--expect-rcpt", "bob@example.org", "--expect-rcpt", "carl@example.org",
        "--expect-rcpt", "dee@example.org", "--expect-rcpt", "eve@example.org"}},
      {{"--body-file", "-"}, html, "", "",
       {"--expect-body-type", "text/html", "--expect-body-contains-file", File("e.html", html)}},
      // The raw file is the whole message: no Message-ID is added.
      {{"-b", "y@example.org", "--raw", File("m.eml", raw)}, "", raw, "Message-ID",
       {"--expect-header", "Subject=raw mode", "--expect-rcpt", "x@example.org", "--expect-rcpt",
        "y@example.org"}},
      {{"--no-mime", "--body-file", File("b.txt", "plain body\n"), "-a", bin}, "",
       "begin 644 plain.bin", "MIME-Version", {"--expect-attachment", "plain.bin=" + bin}},
      {{"--verify", "--domain-for-helo", "--no-keepalive", "-t", "c@example.org"}, "", "", "",
       {"--expect-rcpt", "x@example.org", "--expect-rcpt", "c@example.org"},
       R"("event": "VRFY", "arg": "c@example.org")"},
      // clang-format on
  };
  for (const auto& c : cases) {
    CaptureServer server;
    const ProcessResult r =
        Send(Join(Join(Server(server), {"-f", "raw@example.org", "-t", "x@example.org"}), c.args),
             {}, c.stdin_text);
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.MessageCount(), 1);
    const std::string got = support::ReadFile(server.message(1));
    EXPECT_NE(got.find(c.holds), std::string::npos) << got;
    EXPECT_TRUE(c.lacks.empty() || got.find(c.lacks) == std::string::npos) << got;
    EXPECT_TRUE(Received(server.message(1), c.checks));
    EXPECT_NE(server.Transcript().find(c.transcript_holds), std::string::npos);
  }
}

// sendmail's way: the message from standard input, sent as it is but for its Bcc fields.
TEST_F(PostwingSend, MessageFromStandardInputGoesToItsHeaderRecipients) {
  const std::string head =
      "From: Ann <ann@example.org>\nTo: \"Doe, Bob\" <bob@example.org>,\n carl@example.org\n"
      "Cc: Team: dee@example.org;\nBCC: eve@example.org,\n\tfay@example.org\nSubject: s\n\n";
  const std::string kept =
      "From: Ann <ann@example.org>\r\nTo: \"Doe, Bob\" <bob@example.org>,\r\n "
      "carl@example.org\r\nCc: Team: dee@example.org;\r\nSubject: s\r\n\r\n";
  const Args all = {"bob@example.org", "carl@example.org", "dee@example.org", "eve@example.org",
                    "fay@example.org"};
  struct Case {
    std::string program;
    Args args;
    std::string body, arrives, from;
    Args rcpts;
  } cases[] = {
      // clang-format off
      {kSend, {"-t"}, ".x\n.\nlost\n", ".x\r\n", "ann@example.org", all},
      {kSend, {"-t", "-i", "-f", "env@example.org", "gus@example.org"}, ".\nkept\n",
       ".\r\nkept\r\n", "env@example.org", Join(all, {"gus@example.org"})},
      {kSendmail, {"-oi", "-odi", "-oem", "-F", "Ann", "gus@example.org"}, ".\n", ".\r\n",
       "ann@example.org", {"gus@example.org"}},
      // clang-format on
  };
  for (auto& c : cases) {
    CaptureServer server;
    const ProcessResult r =
        Send(Join({"--server=127.0.0.1", "--port=" + server.port_text()}, c.args), {},
             head + c.body, c.program);
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_EQ(support::ReadFile(server.message(1)), kept + c.arrives);
    Args checks = {"--expect-mail-from", c.from};
    for (const auto& a : c.rcpts) checks.insert(checks.end(), {"--expect-rcpt", a});
    EXPECT_TRUE(Received(server.message(1), checks));
  }
}

TEST_F(PostwingSend, AccountsFilesAreReadAsMsmtpReadsThem) {
  const std::string base =
      "# mail\ndefaults\ntls on\ntls_trust_file system\naccount home\nhost mx.example.org\n"
      "from ann@example.org\nuser ann\n";
  struct Case {
    std::string file;
    int mode;
    Args args;
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
    const ProcessResult r = Send(Join(c.args, {"--show-account"}), {{"POSTWING_ACCOUNTS", file}});
    EXPECT_EQ(r.exit_code, c.exit) << Describe(r);
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.file << Describe(r);
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
  }
}

// The password from a file, standard input or an account's command (the environment's: the
// ESMTP suite) reaches AUTH LOGIN, and never shows in the status lines, not even in Base64.
TEST_F(PostwingSend, PasswordReachesAuthLogin) {
  const std::string pw = File("pw.txt", "pa ss;word\n");
  const Args login = {"-v", "-u",           "ann@example.org", "-f", "ann@example.org",
                      "-t", "b@example.org"};
  struct Case {
    Args args;
    Env env;
    std::string stdin_text;
    bool account = false;
  } cases[] = {
      // The file wins over the environment.
      {Join(login, {"--password-file", pw}), {{"POSTWING_PASSWORD", "not this one"}}, ""},
      {Join(login, {"--password-file", "-"}), {}, "pa ss;word\n"},
      {{"-t", "-v"}, {}, "To: b@example.org\nSubject: via account\n\nHi\n", true},
  };
  for (auto& c : cases) {
    CaptureServer server({"--auth", "ann@example.org:pa ss;word"});
    const std::string account = File(
        "system",
        "account default\nhost 127.0.0.1\nport " + server.port_text() +
            "\nfrom Ann <ann@example.org>\nuser ann@example.org\n"
            "passwordeval read x; printf 'pa ss;word\\nnot this line\\n'; exec >&-; sleep 0.3\n");
    if (c.account) c.env["POSTWING_SYSTEM_ACCOUNTS"] = account;
    const ProcessResult r = Send(Join(Server(server), c.args), c.env, c.stdin_text);
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_TRUE(Received(server.message(1),
                         {"--expect-auth", "ann@example.org:pa ss;word", "--expect-mail-from",
                          "ann@example.org", "--expect-rcpt", "b@example.org"}));
    EXPECT_EQ(r.err.find("cGEgc3M7d29yZA=="), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(">>EHLO ann@example.org\r\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(">>AUTH LOGIN\r\n"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace cli_test
