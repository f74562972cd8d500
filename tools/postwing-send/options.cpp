#include "options.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <limits>

namespace postwing_send {
namespace {

// Returns an error text, or an empty one when the value was taken.
using Setter = std::function<std::string(Options&, const std::string& value)>;

struct OptionSpec {
  char short_name;  // 0 when the option has only a long name
  std::string_view long_name;
  bool takes_value;
  Setter set;
};

std::optional<int64_t> ParseWhole(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Lists join with ";", the separator the library splits recipients at.
void Append(std::optional<std::string>& list, const std::string& value) {
  list = list ? *list + ";" + value : value;
}

Setter Text(std::optional<std::string> Options::*field) {
  return [field](Options& o, const std::string& v) {
    o.*field = v;
    return std::string();
  };
}

Setter List(std::optional<std::string> Options::*field) {
  return [field](Options& o, const std::string& v) {
    Append(o.*field, v);
    return std::string();
  };
}

Setter Flag(bool Options::*field) {
  return [field](Options& o, const std::string&) {
    o.*field = true;
    return std::string();
  };
}

std::string SetPort(Options& o, const std::string& v) {
  auto n = ParseWhole(v);
  if (!n || *n < 1 || *n > 65535) return "invalid port '" + v + "': expected 1 to 65535";
  o.port = static_cast<int32_t>(*n);
  return {};
}

// The library keeps the connect deadline's seconds in a 16-bit count.
constexpr int64_t kMaxTimeOut = 32767;

std::string SetTimeOut(Options& o, const std::string& v) {
  auto n = ParseWhole(v);
  if (!n || *n < 0 || *n > kMaxTimeOut) {
    return "invalid time-out '" + v + "': expected whole seconds from 0 (no limit) to 32767";
  }
  o.timeout = static_cast<int32_t>(*n);
  return {};
}

std::string AddRaw(Options& o, const std::string& v) {
  o.raw_files.push_back(v);
  return {};
}

std::string ReadRecipients(Options& o, const std::string&) {
  o.read_message = o.header_recipients = true;
  return {};
}

std::string Ignored(Options&, const std::string&) {
  return {};
}

// sendmail's -oX: only -oi changes anything; the delivery and error modes are postwing's own.
std::string SendmailOption(Options& o, const std::string& v) {
  if (v == "i") {
    o.ignore_dots = true;
    return {};
  }
  for (const char* known : {"di", "db", "dq", "dd", "em", "ee", "ep", "eq", "ew", "m"}) {
    if (v == known) return {};
  }
  return "unknown option '-o" + v + "'";
}

// sendmail's -bX: only the ordinary mode, delivering a message, is offered.
std::string SendmailMode(Options&, const std::string& v) {
  return v == "m" ? std::string() : "'-b" + v + "' is not supported: only -bm (send a message)";
}

std::string Attach(Options& o, const std::string& v) {
  if (v.empty()) return "--attach needs a file path";
  o.attachments.push_back({v, LastPathSegment(v)});
  return {};
}

// NAME is what follows the last "=", so a path may hold "=" but a name may not.
std::string AttachAs(Options& o, const std::string& v) {
  auto eq = v.rfind('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) {
    return "--attach-as expects PATH=NAME, got '" + v + "'";
  }
  o.attachments.push_back({v.substr(0, eq), v.substr(eq + 1)});
  return {};
}

// The mechanisms the library knows, as the user may write them.
std::string SetAuth(Options& o, const std::string& v) {
  std::string upper;
  for (char c : v) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper != "LOGIN" && upper != "PLAIN" && upper != "XOAUTH2") {
    return "--auth expects LOGIN, PLAIN or XOAUTH2, got '" + v + "'";
  }
  o.auth = upper;
  return {};
}

const std::vector<OptionSpec>& Specs() {
  static const std::vector<OptionSpec> specs = {
      {'s', "server", true, Text(&Options::server)},
      {'p', "port", true, SetPort},
      {'u', "user", true, Text(&Options::user)},
      {0, "password-file", true, Text(&Options::password_file)},
      {0, "auth", true, SetAuth},
      {0, "oauth2-token-file", true, Text(&Options::oauth2_token_file)},
      {'f', "from", true, Text(&Options::from)},
      {'t', "to", true, List(&Options::to)},
      {'c', "cc", true, List(&Options::cc)},
      {'b', "bcc", true, List(&Options::bcc)},
      {'S', "subject", true, Text(&Options::subject)},
      {'r', "reply-to", true, Text(&Options::reply_to)},
      {0, "body-file", true, Text(&Options::body_file)},
      {'a', "attach", true, Attach},
      {0, "attach-as", true, AttachAs},
      {0, "timeout", true, SetTimeOut},
      {0, "verify", false, Flag(&Options::verify)},
      {0, "domain-for-helo", false, Flag(&Options::domain_for_helo)},
      {0, "no-mime", false, Flag(&Options::no_mime)},
      {0, "no-keepalive", false, Flag(&Options::no_keepalive)},
      {0, "starttls", false, Flag(&Options::starttls)},
      {0, "tls", false, Flag(&Options::tls)},
      {0, "ca-file", true, Text(&Options::ca_file)},
      {0, "insecure", false, Flag(&Options::insecure)},
      {0, "raw", true, AddRaw},
      {0, "allow-partial", false, Flag(&Options::allow_partial)},
      {'v', "verbose", false, Flag(&Options::verbose)},
      {0, "read-recipients", false, ReadRecipients},
      {'i', "ignore-dots", false, Flag(&Options::ignore_dots)},
      {'o', "", true, SendmailOption},
      {0, "account", true, Text(&Options::account)},
      {0, "show-account", false, Flag(&Options::show_account)},
  };
  return specs;
}

// The one-letter flags of sendmail; the long options are postwing-send's.
const std::vector<OptionSpec>& SendmailSpecs() {
  static const std::vector<OptionSpec> specs = {
      {'t', "", false, ReadRecipients},
      {'i', "", false, Flag(&Options::ignore_dots)},
      {'f', "", true, Text(&Options::from)},
      {'o', "", true, SendmailOption},
      {'b', "", true, SendmailMode},
      {'v', "", false, Flag(&Options::verbose)},
      {'F', "", true, Ignored},
      {'N', "", true, Ignored},
      {'R', "", true, Ignored},
      {'V', "", true, Ignored},
      {'B', "", true, Ignored},
      {'L', "", true, Ignored},
      {'h', "", true, Ignored},
      {'m', "", false, Ignored},
      {'n', "", false, Ignored},
      {'U', "", false, Ignored},
      {'G', "", false, Ignored},
  };
  return specs;
}

const OptionSpec* FindLong(std::string_view name) {
  for (const auto& s : Specs()) {
    if (s.long_name == name) return &s;
  }
  return nullptr;
}

const OptionSpec* FindShort(char c, Dialect dialect) {
  for (const auto& s : dialect == Dialect::kSendmail ? SendmailSpecs() : Specs()) {
    if (s.short_name != 0 && s.short_name == c) return &s;
  }
  return nullptr;
}

// Options that only make sense when postwing-send builds the message itself.
std::string CheckCombinations(const Options& o) {
  if (o.starttls && o.tls) return "--starttls and --tls cannot be combined";
  if (o.ca_file && o.insecure) return "--ca-file and --insecure cannot be combined";
  if (o.oauth2_token_file && o.password_file) {
    return "--oauth2-token-file and --password-file cannot be combined";
  }
  const bool raw = !o.raw_files.empty();
  if (raw || o.read_message) {
    std::vector<std::string> clash;
    if (raw && o.read_message) clash.push_back("--raw");
    if (o.subject) clash.push_back("--subject");
    if (o.reply_to) clash.push_back("--reply-to");
    if (o.body_file) clash.push_back("--body-file");
    if (!o.attachments.empty()) clash.push_back("--attach");
    if (o.no_mime) clash.push_back("--no-mime");
    if (!clash.empty()) {
      std::string names;
      for (const auto& c : clash) names += (names.empty() ? "" : ", ") + c;
      return std::string(o.read_message ? "the message read from standard input"
                                        : "--raw sends the file as the whole message; it") +
             " cannot be combined with " + names;
    }
  }
  const bool body_stdin = o.body_file && *o.body_file == "-";
  const bool password_stdin = (o.password_file && *o.password_file == "-") ||
                              (o.oauth2_token_file && *o.oauth2_token_file == "-");
  const auto raw_stdin = std::count(o.raw_files.begin(), o.raw_files.end(), "-");
  if (int(body_stdin) + int(password_stdin) + raw_stdin + int(o.read_message) > 1) {
    return "only one of --body-file, --password-file (or --oauth2-token-file), --raw and -t "
           "can read standard input";
  }
  return {};
}

ParseResult Fail(std::string error) {
  ParseResult r;
  r.action = ParseResult::kUsageError;
  r.error = std::move(error);
  return r;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args, Dialect dialect) {
  const bool sendmail = dialect == Dialect::kSendmail;
  // --help wins wherever it stands, so a user can append it to a failing command line.
  // (sendmail's -h is the hop count.)
  for (const auto& a : args) {
    if (a == "--") break;
    if (a == "--help" || (a == "-h" && !sendmail)) {
      ParseResult r;
      r.action = ParseResult::kHelp;
      return r;
    }
  }

  Options o;
  o.read_message = sendmail;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      o.recipients.insert(o.recipients.end(), args.begin() + i + 1, args.end());
      break;
    }
    if (arg.size() > 2 && arg.starts_with("--")) {
      std::string_view body = std::string_view(arg).substr(2);
      std::optional<std::string> inline_value;
      if (auto eq = body.find('='); eq != std::string_view::npos) {
        inline_value = std::string(body.substr(eq + 1));
        body = body.substr(0, eq);
      }
      const OptionSpec* option = FindLong(body);
      if (!option) return Fail("unknown option '--" + std::string(body) + "'");
      std::string value;
      if (option->takes_value) {
        if (inline_value) {
          value = *inline_value;
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return Fail("option '--" + std::string(body) + "' needs a value");
        }
      } else if (inline_value) {
        return Fail("option '--" + std::string(body) + "' takes no value");
      }
      if (auto e = option->set(o, value); !e.empty()) return Fail(e);
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      for (size_t k = 1; k < arg.size(); ++k) {
        const OptionSpec* option = FindShort(arg[k], dialect);
        if (!option) return Fail(std::string("unknown option '-") + arg[k] + "'");
        // A bare -t, with no value after it, is sendmail's: read the message.
        if (!sendmail && arg[k] == 't' && k + 1 == arg.size() &&
            (i + 1 == args.size() || (args[i + 1].size() > 1 && args[i + 1][0] == '-'))) {
          ReadRecipients(o, {});
          continue;
        }
        std::string value;
        if (option->takes_value) {
          if (k + 1 < arg.size()) {
            value = arg.substr(k + 1);
          } else if (i + 1 < args.size()) {
            value = args[++i];
          } else {
            return Fail(std::string("option '-") + arg[k] + "' needs a value");
          }
          if (auto e = option->set(o, value); !e.empty()) return Fail(e);
          break;
        }
        if (auto e = option->set(o, value); !e.empty()) return Fail(e);
      }
      continue;
    }
    o.recipients.push_back(arg);
  }
  // Arguments are recipients only of a message read from standard input.
  if (!o.read_message && !o.recipients.empty()) {
    return Fail("unexpected argument '" + o.recipients.front() + "'");
  }

  if (auto e = CheckCombinations(o); !e.empty()) return Fail(e);
  ParseResult r;
  r.action = ParseResult::kSend;
  r.options = std::move(o);
  return r;
}

std::string CheckSettings(const Options& o) {
  if ((o.ca_file || o.insecure) && !o.starttls && !o.tls) {
    return std::string(o.ca_file ? "--ca-file" : "--insecure") + " needs --starttls or --tls";
  }
  if (o.ca_file && o.insecure) return "--ca-file and --insecure cannot be combined";
  if ((o.auth || o.oauth2_token_file) && !o.user) {
    return std::string(o.auth ? "--auth" : "--oauth2-token-file") + " needs --user";
  }
  return {};
}

std::string LastPathSegment(std::string_view path) {
  auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string PasswordFromFileText(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string HelpText(std::string_view program, Dialect dialect) {
  std::string p(program);
  if (dialect == Dialect::kSendmail) {
    return "Usage: " + p + R"( [options] [recipient...]
Sends the message on standard input over SMTP, as sendmail does, through the postwing
library; the server and the login come from the accounts file or postwing-send's long
options (--account, --server, --port, --user, --starttls, ...).

  -t                        also send to the To, Cc and Bcc fields' addresses (Bcc removed)
  -i, -oi                   a line holding a lone "." does not end the message
  -f, -r ADDR               envelope sender (default: the account's from, else From)
  -v                        print the dialogue to standard error
  -F, -N, -R, -V, -B, -L, -h VALUE, -m, -n, -U, -G, -bm, -od*, -oe*
                            accepted and ignored

Exit status: 0 accepted, 1 failed on the wire, 2 usage error, 3 accepted for some
recipients only (--allow-partial).
)";
  }
  return "Usage: " + p + R"( [options]
       )" +
         p + R"( -t [options] [recipient...] < message
Sends one message over SMTP through the postwing library.

Accounts (msmtp's format; system file, then ~/.config/postwing/accounts):
      --account NAME        take the settings of account NAME (default: the account
                            "default" when there is one); options given override them
      --show-account        print the settings in use (password masked) and exit

Server:
  -s, --server HOST         SMTP server name or address (required)
  -p, --port N              server port (default 25)
  -u, --user NAME           log in as NAME (greets with EHLO)
      --password-file F     read the password from file F ("-" = standard input);
                            without it the password is taken from the environment
                            variable POSTWING_PASSWORD
      --auth MECH           LOGIN, PLAIN or XOAUTH2 (default: PLAIN over TLS where the
                            server offers it, else LOGIN)
      --oauth2-token-file F the XOAUTH2 bearer token from file F ("-" = standard
                            input); without it from POSTWING_OAUTH2_TOKEN
      --timeout SECONDS     connect time-out, and reply waits above the floors of
                            RFC 5321 (5 min, 10 after the data); 0 = no limit (default 15)
      --domain-for-helo     greet with the text after "@" of the user name, not all of it
      --no-keepalive        do not switch on TCP keep-alive
      --starttls            upgrade the connection with STARTTLS before anything else
                            (usually port 587); fails if the server does not offer it
      --tls                 TLS from the first byte (usually port 465)
      --ca-file F           trust the certificates in PEM file F instead of the
                            system's store
      --insecure            do not check the server's certificate or name

Message:
  -f, --from ADDR           sender, e.g. "Ann <ann@example.org>" (required)
  -t, --to LIST             recipients (required); lists are separated by ";" or
                            ",", and a repeated -t, -c or -b appends to its list
  -c, --cc LIST             copy recipients
  -b, --bcc LIST            blind copy recipients (envelope only, never in the header)
  -S, --subject TEXT        subject
  -r, --reply-to ADDR       reply address
      --body-file F         message body from file F ("-" = standard input); a text
                            beginning with <html> or <!DOCTYPE is sent as HTML
  -a, --attach PATH         attach a file under its own name (repeat for more, in order)
      --attach-as PATH=NAME attach a file under the name NAME
      --verify              check every recipient with VRFY before sending
      --no-mime             send a plain RFC 822 message (attachments uuencoded)
      --raw FILE            send FILE unchanged as the whole message ("-" = standard
                            input); -f, -t, -c and -b still give the envelope. Repeat
                            it to send several files in order over one connection, a
                            result line for each on standard output
      --allow-partial       when the server refuses some recipients, send the message
                            to the others (the refused ones on standard error)

Message from standard input, as sendmail takes it:
  -t, --read-recipients     read the whole message from standard input and send it to the
                            addresses of its To, Cc and Bcc fields and the arguments; the
                            Bcc fields are removed, nothing else is changed. (-t followed
                            by a value is --to.) The envelope sender is -f, else the
                            account's from, else the From field's address
  -i, --ignore-dots, -oi    a line holding a lone "." does not end the message

Output:
  -v, --verbose             print every status line to standard error as it happens
                            (the Base64 password line is masked)
  -h, --help                show this help and exit

Exit status:
  0  the server accepted the message (every message, for every recipient)
  1  the send failed on the wire (the error's number and text on standard error);
     with several --raw files: at least one was not accepted
  2  usage error, unreadable file, or an error raised by the library
     (its number and text on standard error)
  3  with --allow-partial: accepted, but some recipients were refused (with several
     --raw files: every message accepted, at least one of them so)
)";
}

}  // namespace postwing_send
