// The command-line parser of postwing-send, tested as a unit.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// The parser is a unit of the tool, not of the library: compile it into this test.
#include "../../tools/postwing-send/options.cpp"

namespace postwing_send {
namespace {

// The options a command line set, in a fixed order: "name=value" or "name", blank-separated.
std::string Describe(const Options& o) {
  std::string d;
  // clang-format off
#define PW_VALUE(f) if (o.f) d += std::string(#f "=") + (std::ostringstream() << *o.f).str() + " ";
#define PW_FLAG(f) if (o.f) d += #f " ";
  PW_VALUE(server) PW_VALUE(port) PW_VALUE(user) PW_VALUE(password_file) PW_VALUE(from)
  PW_VALUE(to) PW_VALUE(cc) PW_VALUE(bcc) PW_VALUE(subject) PW_VALUE(reply_to)
  PW_VALUE(body_file) PW_VALUE(timeout) PW_FLAG(verify) PW_FLAG(domain_for_helo)
  PW_FLAG(no_mime) PW_FLAG(no_keepalive) PW_FLAG(starttls) PW_FLAG(tls) PW_VALUE(ca_file)
  PW_FLAG(insecure) PW_FLAG(allow_partial) PW_FLAG(verbose) PW_FLAG(read_message)
  PW_FLAG(header_recipients) PW_FLAG(ignore_dots) PW_VALUE(account) PW_FLAG(show_account);
#undef PW_VALUE
#undef PW_FLAG
  // clang-format on
  for (const auto& a : o.attachments) d += "attach=" + a.path + ">" + a.file_name + " ";
  for (const auto& r : o.recipients) d += "rcpt=" + r + " ";
  for (const auto& f : o.raw_files) d += "raw=" + f + " ";
  return d.empty() ? d : d.substr(0, d.size() - 1);
}

// A command line and what it gives: the options it sets (Describe), "help", or
// "error: " and a part of the reason it is refused for.
struct Line {
  std::vector<std::string> args;
  std::string gives;
  Dialect dialect = Dialect::kPostwingSend;
};

class CliOptions : public ::testing::TestWithParam<Line> {};

TEST_P(CliOptions, GiveTheirOptionsHelpOrAClearReason) {
  const Line& line = GetParam();
  const auto r = ParseArguments(line.args, line.dialect);
  // Some checks wait for the account's settings: CheckSettings makes them after it.
  const std::string error = r.action == ParseResult::kSend ? CheckSettings(r.options) : r.error;
  if (line.gives.rfind("error: ", 0) == 0) {
    EXPECT_EQ(r.action == ParseResult::kHelp, false);
    EXPECT_NE(error.find(line.gives.substr(7)), std::string::npos) << error;
  } else if (line.gives == "help") {
    EXPECT_EQ(r.action, ParseResult::kHelp);
  } else {
    ASSERT_EQ(r.action, ParseResult::kSend) << r.error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(Describe(r.options), line.gives);
  }
}

const std::string kAll =
    "server=mx port=2525 user=ann from=a@x to=b@y cc=c@y bcc=d@y subject=Hi reply_to=r@x verbose";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, CliOptions, ::testing::ValuesIn(std::vector<Line>{
    {{}, ""},
    {{"-s", "mx", "-p", "2525", "-u", "ann", "-f", "a@x", "-t", "b@y", "-c", "c@y", "-b", "d@y",
      "-S", "Hi", "-r", "r@x", "-v"}, kAll},
    {{"--server", "mx", "--port", "2525", "--user", "ann", "--from", "a@x", "--to", "b@y",
      "--cc", "c@y", "--bcc", "d@y", "--subject", "Hi", "--reply-to", "r@x", "--verbose"}, kAll},
    {{"-smx", "--port=26", "-vS", "Subject with -dash", "--to=", "--cc=x=y"},
     "server=mx port=26 to= cc=x=y subject=Subject with -dash verbose"},
    {{"-S", "--verbose"}, "subject=--verbose"},  // a value may look like an option
    // Recipient options append with ";", single values keep the last.
    {{"-t", "a@x", "--to", "b@x;c@x", "-t", "Dee <d@x>", "--bcc=g@x", "-s", "1", "-s", "2"},
     "server=2 to=a@x;b@x;c@x;Dee <d@x> bcc=g@x"},
    // The name follows the last "=", so a path may hold one.
    {{"-a", "/tmp/dir/r.pdf", "--attach-as", "raw.bin=p.png", "--attach-as=/a=b/c=d.txt"},
     "attach=/tmp/dir/r.pdf>r.pdf attach=raw.bin>p.png attach=/a=b/c>d.txt"},
    {{"--verify", "--domain-for-helo", "--no-mime", "--no-keepalive", "--body-file", "-",
      "--password-file", "pw.txt", "--timeout", "0"},
     "password_file=pw.txt body_file=- timeout=0 verify domain_for_helo no_mime no_keepalive"},
    {{"--raw", "m.eml", "-f", "a@x", "-t", "b@x", "--raw=-", "--allow-partial", "--raw", "n"},
     "from=a@x to=b@x allow_partial raw=m.eml raw=- raw=n"},
    {{"--starttls", "--ca-file", "ca.pem"}, "starttls ca_file=ca.pem"},
    {{"--tls", "--insecure"}, "tls insecure"},
    {{"--account", "work", "--show-account"}, "account=work show_account"},
    // A bare -t reads the message (sendmail's flag); with a value it is --to.
    {{"-t"}, "read_message header_recipients"}, {{"-tb@x", "-i"}, "to=b@x ignore_dots"},
    {{"-t", "-oi", "r@x", "--", "-s@x"},
     "read_message header_recipients ignore_dots rcpt=r@x rcpt=-s@x"},
    {{"--read-recipients", "--ignore-dots"}, "read_message header_recipients ignore_dots"},
    {{"-t", "-fa@x", "-F", "Ann", "-odi", "-oem", "-bm", "-h", "9", "r@x"},
     "from=a@x read_message header_recipients rcpt=r@x", Dialect::kSendmail},
    {{"-oi", "r@x"}, "read_message ignore_dots rcpt=r@x", Dialect::kSendmail},
    {{"-bp"}, "error: ", Dialect::kSendmail},
    // Help wins wherever it stands, but after "--" it is an argument.
    {{"-h"}, "help"}, {{"--bogus", "--help"}, "help"}, {{"-p", "x", "--help"}, "help"},
    {{"--", "--help"}, "error: unexpected argument '--help'"},
    {{"--bogus"}, "error: unknown option '--bogus'"}, {{"-vx"}, "error: unknown option '-x'"},
    {{"--serv", "x"}, "error: unknown option '--serv'"},  // no abbreviations
    {{"--password", "x"}, "error: unknown option '--password'"},
    {{"-ox"}, "error: unknown option '-ox'"}, {{"-s"}, "error: option '-s' needs a value"},
    {{"--to"}, "error: option '--to' needs a value"}, {{"--verbose=yes"}, "error: takes no value"},
    {{"-p", "0"}, "error: invalid port '0'"}, {{"-p", "65536"}, "error: invalid port"},
    {{"-p", "25x"}, "error: invalid port"}, {{"-p", ""}, "error: invalid port"},
    {{"-p", "-25"}, "error: invalid port"}, {{"--timeout", "-1"}, "error: invalid time-out '-1'"},
    {{"--timeout", "32768"}, "error: invalid time-out"},
    {{"--timeout", "1.5"}, "error: invalid time-out"}, {{"-a", ""}, "error: needs a file path"},
    {{"--attach-as", "file"}, "error: PATH=NAME"}, {{"--attach-as", "f="}, "error: PATH=NAME"},
    {{"--attach-as", "=name"}, "error: PATH=NAME"}, {{"-"}, "error: unexpected argument '-'"},
    {{"to@x"}, "error: unexpected argument 'to@x'"},
    {{"--raw", "m", "-a", "x"}, "error: cannot be combined with --attach"},
    {{"--raw", "m", "-S", "s", "--body-file", "b"}, "error: --subject, --body-file"},
    {{"--raw", "m", "--no-mime"}, "error: --no-mime"},
    {{"--body-file", "-", "--password-file", "-"}, "error: standard input"},
    {{"--raw", "-", "--password-file", "-"}, "error: standard input"},
    {{"--raw", "-", "--raw", "m", "--raw", "-"}, "error: standard input"},
    {{"-t", "--password-file", "-"}, "error: standard input"},
    {{"-t", "--raw", "m"}, "error: cannot be combined with --raw"},
    {{"-t", "-S", "s"}, "error: cannot be combined with --subject"},
    {{"--starttls", "--tls"}, "error: cannot be combined"},
    {{"--insecure"}, "error: --insecure needs --starttls or --tls"},
    {{"--ca-file", "ca.pem"}, "error: --ca-file needs --starttls or --tls"},
    {{"--tls", "--ca-file", "ca.pem", "--insecure"}, "error: cannot be combined"}}));
// clang-format on

TEST(CliOptionsHelpers, PathAndPassword) {
  EXPECT_EQ(LastPathSegment("c.txt"), "c.txt");
  EXPECT_EQ(LastPathSegment("dir/"), "");
  EXPECT_EQ(PasswordFromFileText("s3cret\r\n\n"), "s3cret");
  EXPECT_EQ(PasswordFromFileText(" spaced pass "), " spaced pass ");
  EXPECT_EQ(PasswordFromFileText(""), "");
}

}  // namespace
}  // namespace postwing_send
