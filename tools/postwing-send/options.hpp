// The command line of postwing-send: what the user asked for, before anything is read or sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace postwing_send {

// One file to attach, and the name it is sent under.
struct AttachmentRequest {
  std::string path;
  std::string file_name;
};

// Everything the command line sets. An option that was not given stays empty, so the
// library keeps its own default (or raises its own error when the value is required).
struct Options {
  std::optional<std::string> server;
  std::optional<int32_t> port;
  std::optional<std::string> user;
  std::optional<std::string> password_file;
  std::optional<std::string> auth;               // the SASL mechanism, upper case
  std::optional<std::string> oauth2_token_file;  // the XOAUTH2 bearer token
  std::optional<std::string> from;
  std::optional<std::string> to;
  std::optional<std::string> cc;
  std::optional<std::string> bcc;
  std::optional<std::string> subject;
  std::optional<std::string> reply_to;
  std::optional<std::string> body_file;
  std::vector<AttachmentRequest> attachments;
  std::optional<int32_t> timeout;
  bool verify = false;
  bool domain_for_helo = false;
  bool no_mime = false;
  bool no_keepalive = false;
  bool starttls = false;
  bool tls = false;
  std::optional<std::string> ca_file;
  bool insecure = false;
  // Each file a whole message, sent in order over one connection.
  std::vector<std::string> raw_files;
  bool allow_partial = false;  // deliver to the recipients the server accepts
  bool verbose = false;
  // The sendmail interface: the whole message from standard input.
  bool read_message = false;
  bool header_recipients = false;       // from its To, Cc and Bcc fields (-t)
  bool ignore_dots = false;             // a lone "." does not end it (-i, -oi)
  std::vector<std::string> recipients;  // given as arguments
  // Accounts.
  std::optional<std::string> account;
  bool show_account = false;
  std::optional<std::string> account_password;
  std::optional<std::string> password_eval;
};

// How the command line is read: postwing-send's own way, or sendmail's (the program called
// as postwing-sendmail, or sendmail), where the message always comes from standard input,
// arguments are recipients, and sendmail's one-letter flags are taken.
enum class Dialect { kPostwingSend, kSendmail };

struct ParseResult {
  enum Action { kSend, kHelp, kUsageError };
  Action action = kUsageError;
  Options options;
  // For kUsageError: what is wrong, in one line.
  std::string error;
};

// Parses the arguments that follow the program name. Long options take their value as
// "--name=value" or as the next argument, short ones as "-sHOST" or the next argument;
// "-v" may be bundled with other short options; "--" ends the options.
// A bare "-t" (last, or before another option) reads the message with its recipients; "-t"
// with a value is --to.
ParseResult ParseArguments(const std::vector<std::string>& args,
                           Dialect dialect = Dialect::kPostwingSend);

// The checks that need the account's settings as well as the command line's.
std::string CheckSettings(const Options& o);

// The text of --help.
std::string HelpText(std::string_view program, Dialect dialect = Dialect::kPostwingSend);

// The name an attachment is sent under when none is given: the path's last segment.
std::string LastPathSegment(std::string_view path);

// The password as a file holds it: the text without the line ends that close it.
std::string PasswordFromFileText(std::string text);

}  // namespace postwing_send
