// The command-line parser of postwing-send, tested as a unit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The parser is a unit of the tool, not of the library: compile it into this test.
#include "../../tools/postwing-send/options.cpp"

namespace postwing_send {
namespace {

ParseResult Parse(std::vector<std::string> args) {
  return ParseArguments(args);
}

Options ParseOk(std::vector<std::string> args) {
  auto r = ParseArguments(args);
  EXPECT_EQ(r.action, ParseResult::kSend) << r.error;
  return r.options;
}

TEST(CliOptions, NothingGivenLeavesEverythingToTheLibrary) {
  Options o = ParseOk({});
  EXPECT_FALSE(o.server);
  EXPECT_FALSE(o.port);
  EXPECT_FALSE(o.from);
  EXPECT_FALSE(o.to);
  EXPECT_FALSE(o.timeout);
  EXPECT_TRUE(o.attachments.empty());
  EXPECT_FALSE(o.verbose);
}

TEST(CliOptions, ShortAndLongFormsSetTheSameFields) {
  Options s = ParseOk({"-s", "mx", "-p", "2525", "-u", "ann", "-f", "a@x", "-t", "b@y", "-c", "c@y",
                       "-b", "d@y", "-S", "Hi", "-r", "r@x", "-v"});
  Options l =
      ParseOk({"--server", "mx", "--port", "2525", "--user", "ann", "--from", "a@x", "--to", "b@y",
               "--cc", "c@y", "--bcc", "d@y", "--subject", "Hi", "--reply-to", "r@x", "--verbose"});
  for (const Options* o : {&s, &l}) {
    EXPECT_EQ(o->server, "mx");
    EXPECT_EQ(o->port, 2525);
    EXPECT_EQ(o->user, "ann");
    EXPECT_EQ(o->from, "a@x");
    EXPECT_EQ(o->to, "b@y");
    EXPECT_EQ(o->cc, "c@y");
    EXPECT_EQ(o->bcc, "d@y");
    EXPECT_EQ(o->subject, "Hi");
    EXPECT_EQ(o->reply_to, "r@x");
    EXPECT_TRUE(o->verbose);
  }
}

TEST(CliOptions, ValueFormsAttachedEqualsAndBundled) {
  Options o = ParseOk({"-smx", "--port=26", "-vS", "Subject with -dash", "--to=", "--cc=x=y"});
  EXPECT_EQ(o.server, "mx");
  EXPECT_EQ(o.port, 26);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.subject, "Subject with -dash");
  EXPECT_EQ(o.to, "");
  EXPECT_EQ(o.cc, "x=y");
  // A value may itself look like an option.
  EXPECT_EQ(ParseOk({"-S", "--verbose"}).subject, "--verbose");
  EXPECT_FALSE(ParseOk({"-S", "--verbose"}).verbose);
}

TEST(CliOptions, RepeatedRecipientOptionsAppendWithSemicolon) {
  Options o = ParseOk(
      {"-t", "a@x", "--to", "b@x;c@x", "-t", "Dee <d@x>", "-c", "e@x", "-b", "f@x", "--bcc=g@x"});
  EXPECT_EQ(o.to, "a@x;b@x;c@x;Dee <d@x>");
  EXPECT_EQ(o.cc, "e@x");
  EXPECT_EQ(o.bcc, "f@x;g@x");
}

TEST(CliOptions, RepeatedSingleValuesKeepTheLast) {
  Options o = ParseOk({"-s", "one", "-s", "two", "-f", "a@x", "--from", "b@x"});
  EXPECT_EQ(o.server, "two");
  EXPECT_EQ(o.from, "b@x");
}

TEST(CliOptions, AttachmentsKeepTheirOrderAndNames) {
  Options o = ParseOk({"-a", "/tmp/dir/report.pdf", "--attach-as", "data/raw.bin=photo.png",
                       "--attach", "notes.txt", "--attach-as=/a=b/c.txt=renamed.txt"});
  ASSERT_EQ(o.attachments.size(), 4u);
  EXPECT_EQ(o.attachments[0].path, "/tmp/dir/report.pdf");
  EXPECT_EQ(o.attachments[0].file_name, "report.pdf");
  EXPECT_EQ(o.attachments[1].path, "data/raw.bin");
  EXPECT_EQ(o.attachments[1].file_name, "photo.png");
  EXPECT_EQ(o.attachments[2].path, "notes.txt");
  EXPECT_EQ(o.attachments[2].file_name, "notes.txt");
  // The name follows the last "=", so a path may hold one.
  EXPECT_EQ(o.attachments[3].path, "/a=b/c.txt");
  EXPECT_EQ(o.attachments[3].file_name, "renamed.txt");
}

TEST(CliOptions, SwitchesAndFiles) {
  Options o = ParseOk({"--verify", "--domain-for-helo", "--no-mime", "--no-keepalive",
                       "--body-file", "-", "--password-file", "pw.txt", "--timeout", "0"});
  EXPECT_TRUE(o.verify);
  EXPECT_TRUE(o.domain_for_helo);
  EXPECT_TRUE(o.no_mime);
  EXPECT_TRUE(o.no_keepalive);
  EXPECT_EQ(o.body_file, "-");
  EXPECT_EQ(o.password_file, "pw.txt");
  EXPECT_EQ(o.timeout, 0);
  EXPECT_EQ(ParseOk({"--raw", "m.eml", "-f", "a@x", "-t", "b@x", "-b", "c@x"}).raw_file, "m.eml");
}

TEST(CliOptions, HelpWinsWhereverItStands) {
  EXPECT_EQ(Parse({"--help"}).action, ParseResult::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, ParseResult::kHelp);
  EXPECT_EQ(Parse({"--bogus", "--help"}).action, ParseResult::kHelp);
  EXPECT_EQ(Parse({"-p", "x", "--help"}).action, ParseResult::kHelp);
  // After "--" it is an argument, and arguments are not taken.
  EXPECT_EQ(Parse({"--", "--help"}).action, ParseResult::kUsageError);
}

struct BadLine {
  std::vector<std::string> args;
  std::string error_part;
};

class CliOptionsUsageError : public ::testing::TestWithParam<BadLine> {};

// Some checks wait for the account's settings: CheckSettings makes them after it.
TEST_P(CliOptionsUsageError, IsRefusedWithAClearReason) {
  auto r = ParseArguments(GetParam().args);
  const std::string error = r.action == ParseResult::kSend ? CheckSettings(r.options) : r.error;
  EXPECT_NE(error.find(GetParam().error_part), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliOptionsUsageError,
    ::testing::Values(
        BadLine{{"--bogus"}, "unknown option '--bogus'"}, BadLine{{"-x"}, "unknown option '-x'"},
        BadLine{{"-vx"}, "unknown option '-x'"},
        BadLine{{"--serv", "x"}, "unknown option '--serv'"},  // no abbreviations
        BadLine{{"--password", "secret"}, "unknown option '--password'"},
        BadLine{{"-s"}, "option '-s' needs a value"},
        BadLine{{"--to"}, "option '--to' needs a value"},
        BadLine{{"--verbose=yes"}, "takes no value"}, BadLine{{"-p", "0"}, "invalid port '0'"},
        BadLine{{"-p", "65536"}, "invalid port"}, BadLine{{"-p", "25x"}, "invalid port"},
        BadLine{{"-p", ""}, "invalid port"}, BadLine{{"-p", "-25"}, "invalid port"},
        BadLine{{"--timeout", "-1"}, "invalid time-out '-1'"},
        BadLine{{"--timeout", "32768"}, "invalid time-out"},
        BadLine{{"--timeout", "1.5"}, "invalid time-out"},
        BadLine{{"--attach-as", "file"}, "PATH=NAME"},
        BadLine{{"--attach-as", "file="}, "PATH=NAME"},
        BadLine{{"--attach-as", "=name"}, "PATH=NAME"}, BadLine{{"-a", ""}, "needs a file path"},
        BadLine{{"to@example.org"}, "unexpected argument 'to@example.org'"},
        BadLine{{"-"}, "unexpected argument '-'"}, BadLine{{"--", "x"}, "unexpected argument 'x'"},
        BadLine{{"--raw", "m", "-a", "x"}, "cannot be combined with --attach"},
        BadLine{{"--raw", "m", "-S", "s", "--body-file", "b"}, "--subject, --body-file"},
        BadLine{{"--raw", "m", "--no-mime"}, "--no-mime"},
        BadLine{{"--body-file", "-", "--password-file", "-"}, "standard input"},
        BadLine{{"--raw", "-", "--password-file", "-"}, "standard input"},
        BadLine{{"-t", "--password-file", "-"}, "standard input"},
        BadLine{{"-t", "--raw", "m"}, "cannot be combined with --raw"},
        BadLine{{"-t", "-S", "s"}, "cannot be combined with --subject"},
        BadLine{{"-ox"}, "unknown option '-ox'"},
        BadLine{{"--starttls", "--tls"}, "cannot be combined"},
        BadLine{{"--insecure"}, "--insecure needs --starttls or --tls"},
        BadLine{{"--ca-file", "ca.pem"}, "--ca-file needs --starttls or --tls"},
        BadLine{{"--tls", "--ca-file", "ca.pem", "--insecure"}, "cannot be combined"}));

// A bare -t reads the message (sendmail's flag); with a value it is --to.
TEST(CliOptions, ReadRecipientsAndSendmailFlags) {
  struct Case {
    std::vector<std::string> args;
    Dialect dialect;
    bool reads, from_header, ignore_dots;
    std::optional<std::string> to;
    std::vector<std::string> recipients;
  } cases[] = {
      // clang-format off
      {{"-t"}, Dialect::kPostwingSend, true, true, false, {}, {}},
      {{"-t", "b@x"}, Dialect::kPostwingSend, false, false, false, "b@x", {}},
      {{"-tb@x", "-i"}, Dialect::kPostwingSend, false, false, true, "b@x", {}},
      {{"-t", "-oi", "r@x", "--", "-s@x"}, Dialect::kPostwingSend, true, true, true, {},
       {"r@x", "-s@x"}},
      {{"--read-recipients", "--ignore-dots"}, Dialect::kPostwingSend, true, true, true, {}, {}},
      {{"-t", "-fa@x", "-F", "Ann", "-odi", "-oem", "-bm", "-h", "9", "r@x"}, Dialect::kSendmail,
       true, true, false, {}, {"r@x"}},
      {{"-oi", "r@x"}, Dialect::kSendmail, true, false, true, {}, {"r@x"}},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto r = ParseArguments(c.args, c.dialect);
    ASSERT_EQ(r.action, ParseResult::kSend) << c.args[0] << " " << r.error;
    EXPECT_EQ(r.options.read_message, c.reads) << c.args[0];
    EXPECT_EQ(r.options.header_recipients, c.from_header) << c.args[0];
    EXPECT_EQ(r.options.ignore_dots, c.ignore_dots) << c.args[0];
    EXPECT_EQ(r.options.to, c.to) << c.args[0];
    EXPECT_EQ(r.options.recipients, c.recipients) << c.args[0];
  }
  EXPECT_EQ(ParseArguments({"-bp"}, Dialect::kSendmail).action, ParseResult::kUsageError);
}

TEST(CliOptions, EncryptionSwitches) {
  Options o = ParseOk({"--starttls", "--ca-file", "ca.pem"});
  EXPECT_TRUE(o.starttls);
  EXPECT_FALSE(o.tls);
  EXPECT_EQ(o.ca_file, "ca.pem");
  Options t = ParseOk({"--tls", "--insecure"});
  EXPECT_TRUE(t.tls);
  EXPECT_TRUE(t.insecure);
}

TEST(CliOptions, PathAndPasswordHelpers) {
  EXPECT_EQ(LastPathSegment("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(LastPathSegment("c.txt"), "c.txt");
  EXPECT_EQ(LastPathSegment("dir/"), "");
  EXPECT_EQ(PasswordFromFileText("s3cret\n"), "s3cret");
  EXPECT_EQ(PasswordFromFileText("s3cret\r\n\n"), "s3cret");
  EXPECT_EQ(PasswordFromFileText(" spaced pass \n"), " spaced pass ");
  EXPECT_EQ(PasswordFromFileText("no newline"), "no newline");
  EXPECT_EQ(PasswordFromFileText(""), "");
}

TEST(CliOptions, HelpListsEveryOption) {
  const std::string help = HelpText("postwing-send");
  for (const char* name : {"-s, --server",
                           "-p, --port",
                           "-u, --user",
                           "--password-file",
                           "POSTWING_PASSWORD",
                           "-f, --from",
                           "-t, --to",
                           "-c, --cc",
                           "-b, --bcc",
                           "-S, --subject",
                           "-r, --reply-to",
                           "--body-file",
                           "-a, --attach",
                           "--attach-as PATH=NAME",
                           "--timeout",
                           "--verify",
                           "--domain-for-helo",
                           "--no-mime",
                           "--no-keepalive",
                           "--raw",
                           "-v, --verbose",
                           "-h, --help",
                           "--account NAME",
                           "--show-account",
                           "-t, --read-recipients",
                           "-i, --ignore-dots",
                           "Exit status"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace postwing_send
