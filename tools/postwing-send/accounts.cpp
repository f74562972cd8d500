#include "accounts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace postwing_send {
namespace {

// Returns an error text for a value the keyword cannot take, else an empty one.
using Check = std::function<std::string(const std::string& value)>;

enum class Kind {
  kSetting,      // used
  kIgnored,      // msmtp's logging: nothing to do with the message
  kUnsupported,  // msmtp's, but changes the delivery in a way postwing does not offer
};

struct Keyword {
  std::string_view name;
  Kind kind;
  Check check;
  const char* alone = "";  // the value of the keyword standing alone
};

std::string Anything(const std::string&) {
  return {};
}

std::string OnOff(const std::string& v) {
  return v == "on" || v == "off" ? std::string() : "expected on or off, got '" + v + "'";
}

std::optional<long> Whole(const std::string& v) {
  long n = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || ec != std::errc() || ptr != v.data() + v.size()) return std::nullopt;
  return n;
}

std::string Port(const std::string& v) {
  auto n = Whole(v);
  return n && *n >= 1 && *n <= 65535 ? std::string() : "invalid port '" + v + "'";
}

std::string TimeOut(const std::string& v) {
  auto n = Whole(v);
  return v == "off" || (n && *n >= 0 && *n <= 32767) ? std::string()
                                                     : "invalid timeout '" + v + "'";
}

std::string NotEmpty(const std::string& v) {
  return v.empty() ? "needs a value" : std::string();
}

const std::vector<Keyword>& Keywords() {
  static const std::vector<Keyword> table = {
      {"host", Kind::kSetting, NotEmpty},
      {"port", Kind::kSetting, Port},
      {"from", Kind::kSetting, NotEmpty},
      {"user", Kind::kSetting, Anything},
      {"password", Kind::kSetting, Anything},
      {"passwordeval", Kind::kSetting, NotEmpty},
      {"auth", Kind::kSetting, NotEmpty, "on"},
      {"tls", Kind::kSetting, OnOff, "on"},
      {"tls_starttls", Kind::kSetting, OnOff, "on"},
      {"tls_trust_file", Kind::kSetting, Anything},
      {"tls_certcheck", Kind::kSetting, OnOff, "on"},
      {"timeout", Kind::kSetting, TimeOut},
      {"logfile", Kind::kIgnored, Anything},
      {"logfile_time_format", Kind::kIgnored, Anything},
      {"syslog", Kind::kIgnored, Anything},
      {"domain", Kind::kUnsupported, Anything},
      {"protocol", Kind::kUnsupported, Anything},
      {"tls_fingerprint", Kind::kUnsupported, Anything},
      {"tls_key_file", Kind::kUnsupported, Anything},
      {"tls_cert_file", Kind::kUnsupported, Anything},
      {"tls_crl_file", Kind::kUnsupported, Anything},
      {"tls_priorities", Kind::kUnsupported, Anything},
      {"tls_host_override", Kind::kUnsupported, Anything},
      {"tls_min_dh_prime_bits", Kind::kUnsupported, Anything},
      {"auto_from", Kind::kUnsupported, Anything},
      {"maildomain", Kind::kUnsupported, Anything},
      {"dsn_notify", Kind::kUnsupported, Anything},
      {"dsn_return", Kind::kUnsupported, Anything},
      {"aliases", Kind::kUnsupported, Anything},
      {"proxy_host", Kind::kUnsupported, Anything},
      {"proxy_port", Kind::kUnsupported, Anything},
      {"socket", Kind::kUnsupported, Anything},
      {"source_ip", Kind::kUnsupported, Anything},
      {"ntlmdomain", Kind::kUnsupported, Anything},
      {"eval", Kind::kUnsupported, Anything},
      {"set_from_header", Kind::kUnsupported, Anything},
      {"set_date_header", Kind::kUnsupported, Anything},
      {"set_msgid_header", Kind::kUnsupported, Anything},
      {"remove_bcc_headers", Kind::kUnsupported, Anything},
      {"undisclosed_recipients", Kind::kUnsupported, Anything},
      {"add_missing_from_header", Kind::kUnsupported, Anything},
      {"add_missing_date_header", Kind::kUnsupported, Anything},
      {"keepbcc", Kind::kUnsupported, Anything},
  };
  return table;
}

const Keyword* FindKeyword(std::string_view name) {
  for (const auto& k : Keywords()) {
    if (k.name == name) return &k;
  }
  return nullptr;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A value in double quotes may hold blanks at its ends; \" and \\ stand for themselves.
bool Unquote(std::string_view raw, std::string& out) {
  out.clear();
  if (raw.empty() || raw.front() != '"') {
    out = raw;
    return true;
  }
  for (size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) {
      out += raw[++i];
    } else if (raw[i] == '"') {
      return i + 1 == raw.size();
    } else {
      out += raw[i];
    }
  }
  return false;
}

std::vector<std::string> SplitNames(std::string_view list) {
  std::vector<std::string> names;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view name = Trim(list.substr(0, comma));
    if (!name.empty()) names.emplace_back(name);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return names;
}

std::string SettingValue(const Account& a, const std::string& key) {
  auto it = a.settings.find(key);
  return it == a.settings.end() ? std::string() : it->second.value;
}

std::string Where(const Setting& s) {
  return s.file + ":" + std::to_string(s.line) + ": ";
}

}  // namespace

std::string ParseAccounts(std::string_view text, const std::string& file, AccountSet& set) {
  Account defaults;
  Account* current = &defaults;
  std::map<std::string, bool> seen_here;
  int number = 0;
  while (!text.empty()) {
    ++number;
    size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::string at = file + ":" + std::to_string(number) + ": ";

    size_t gap = 0;
    while (gap < line.size() && !IsBlank(line[gap])) ++gap;
    const std::string keyword(line.substr(0, gap));
    std::string value;
    if (!Unquote(Trim(line.substr(gap)), value)) return at + "unterminated quote";

    if (keyword == "defaults") {
      if (!value.empty()) return at + "defaults takes no value";
      current = &defaults;
      continue;
    }
    if (keyword == "account") {
      const size_t colon = value.find(':');
      const std::string name(Trim(std::string_view(value).substr(0, colon)));
      if (name.empty()) return at + "account needs a name";
      if (seen_here[name]) return at + "account '" + name + "' is defined twice";
      seen_here[name] = true;
      Account fresh = defaults;
      fresh.name = name;
      if (colon != std::string::npos) {
        for (const auto& parent : SplitNames(std::string_view(value).substr(colon + 1))) {
          auto it = set.accounts.find(parent);
          if (it == set.accounts.end()) {
            return at + "account '" + parent + "' is not defined before this line";
          }
          for (const auto& [key, setting] : it->second.settings) fresh.settings[key] = setting;
        }
      }
      set.accounts[name] = std::move(fresh);
      current = &set.accounts[name];
      continue;
    }
    const Keyword* k = FindKeyword(keyword);
    if (!k) return at + "unknown keyword '" + keyword + "'";
    if (k->kind == Kind::kUnsupported) {
      return at + "'" + keyword + "' is not supported by postwing-send";
    }
    if (k->kind == Kind::kIgnored) continue;
    if (keyword == "password") set.files_with_password.push_back(file);
    // msmtp lets an on/off keyword stand alone for "on".
    if (value.empty()) value = k->alone;
    if (auto e = k->check(value); !e.empty()) return at + keyword + ": " + e;
    current->settings[keyword] = {value, file, number};
  }
  return {};
}

std::vector<std::string> AccountFiles() {
  std::vector<std::string> files;
  const char* system = std::getenv("POSTWING_SYSTEM_ACCOUNTS");
  if (!system) system = "/etc/postwing/accounts";
  if (*system) files.emplace_back(system);
  if (const char* user = std::getenv("POSTWING_ACCOUNTS")) {
    if (*user) files.emplace_back(user);
  } else if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    files.push_back(std::string(config) + "/postwing/accounts");
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    files.push_back(std::string(home) + "/.config/postwing/accounts");
  }
  return files;
}

std::string LoadAccounts(AccountSet& set) {
  for (const auto& path : AccountFiles()) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      return "cannot read the accounts file '" + path + "': " + std::strerror(errno);
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return "cannot read the accounts file '" + path + "': not a regular file";
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (n < 0) return "cannot read the accounts file '" + path + "': " + std::strerror(errno);
    AccountSet parsed = set;
    if (auto e = ParseAccounts(text, path, parsed); !e.empty()) return e;
    const auto& with = parsed.files_with_password;
    const bool has_password = std::find(with.begin(), with.end(), path) != with.end();
    if (has_password && (st.st_mode & 077) != 0) {
      return "the accounts file '" + path +
             "' holds a password but others may read it; make it readable by its owner "
             "only (chmod 600 '" +
             path + "')";
    }
    set = std::move(parsed);
  }
  return {};
}

std::string ApplyAccount(const Account& account, Options& o) {
  const auto& s = account.settings;
  auto has = [&](const char* key) { return s.count(key) != 0; };
  auto value = [&](const char* key) { return SettingValue(account, key); };

  if (!o.server && has("host")) o.server = value("host");
  if (!o.port && has("port")) o.port = static_cast<int32_t>(*Whole(value("port")));
  if (!o.from && has("from")) o.from = value("from");
  if (!o.timeout && has("timeout")) {
    o.timeout = value("timeout") == "off" ? 0 : static_cast<int32_t>(*Whole(value("timeout")));
  }

  std::string auth = has("auth") ? value("auth") : std::string("on");
  for (char& c : auth) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (auth != "on" && auth != "off" && auth != "login" && auth != "plain" && auth != "xoauth2") {
    return Where(s.at("auth")) + "auth mechanism '" + value("auth") +
           "' is not supported: postwing logs in with LOGIN, PLAIN or XOAUTH2 (auth on, login, "
           "plain, xoauth2 or off)";
  }
  if (!o.auth && auth != "on" && auth != "off") {
    o.auth = auth == "login" ? "LOGIN" : auth == "plain" ? "PLAIN" : "XOAUTH2";
  }
  if (auth != "off" && has("user") && !value("user").empty()) {
    if (!o.user) o.user = value("user");
    // The account's password is for the account's user only.
    if (*o.user == value("user")) {
      if (has("password")) o.account_password = value("password");
      if (has("passwordeval")) o.password_eval = value("passwordeval");
    }
  }
  if (has("auth") && auth != "off" && !o.user) {
    return Where(s.at("auth")) + "auth " + auth + " needs a user";
  }

  if (!o.starttls && !o.tls && value("tls") == "on") {
    (value("tls_starttls") == "off" ? o.tls : o.starttls) = true;
  }
  if ((o.starttls || o.tls) && !o.ca_file && !o.insecure) {
    if (value("tls_certcheck") == "off") {
      o.insecure = true;
    } else if (const std::string trust = value("tls_trust_file");
               !trust.empty() && trust != "system") {
      o.ca_file = trust;
    }
  }
  return {};
}

std::string DescribeSettings(const Options& o, const Account* account) {
  std::string out = account ? "# account " + account->name + "\n" : "# no account\n";
  auto line = [&out](const std::string& key, const std::string& v) { out += key + " " + v + "\n"; };
  if (o.server) line("host", *o.server);
  line("port", std::to_string(o.port.value_or(25)));
  if (o.from) line("from", *o.from);
  std::string auth = o.auth.value_or("on");
  for (char& c : auth) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  line("auth", o.user ? auth : "off");
  if (o.user) line("user", *o.user);
  if (!o.user) {
    // No login: no password is used.
  } else if (o.password_file) {
    line("password", "******** (from " + *o.password_file + ")");
  } else if (std::getenv("POSTWING_PASSWORD")) {
    line("password", "******** (from POSTWING_PASSWORD)");
  } else if (o.password_eval) {
    line("passwordeval", *o.password_eval);
  } else if (o.account_password) {
    line("password", "********");
  }
  line("tls", o.starttls || o.tls ? "on" : "off");
  if (o.starttls || o.tls) {
    line("tls_starttls", o.starttls ? "on" : "off");
    line("tls_certcheck", o.insecure ? "off" : "on");
    line("tls_trust_file", o.ca_file.value_or("system"));
  }
  line("timeout", std::to_string(o.timeout.value_or(15)));
  return out;
}

bool RunPasswordEval(const std::string& command, std::string& password, std::string& error) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kLimit = std::chrono::seconds(60);
  constexpr size_t kMaxOutput = 64 * 1024;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("passwordeval: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    error = std::string("passwordeval: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid == 0) {
    // Standard input may be the message itself: the command must not read it.
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(out[1], 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  const auto deadline = Clock::now() + kLimit;
  bool timed_out = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < kMaxOutput) text.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  // A command that closed its output may still run: it gets what is left of the time.
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (timed_out || Clock::now() >= deadline) {
      timed_out = true;
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    poll(nullptr, 0, 20);
  }
  if (timed_out) {
    error = "passwordeval: the command gave no answer within 60 seconds";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "passwordeval: the command failed (exit status " +
            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")";
    return false;
  }
  password = text.substr(0, text.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    error = "passwordeval: the command printed no password";
    return false;
  }
  return true;
}

}  // namespace postwing_send
