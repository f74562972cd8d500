#include "send.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <postwing/postwing.hpp>

#include "accounts.hpp"
#include "message_input.hpp"

namespace postwing_send {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kProgram = "postwing-send";

void Complain(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// The library's own errors carry the object-error base; users know them by their code.
int32_t ShownNumber(int32_t number) {
  const int64_t code = int64_t{number} - postwing::vbObjectError;
  return code >= 0 && code < 0x10000 ? static_cast<int32_t>(code) : number;
}

void ReportError(const char* prefix, int32_t number, const std::string& description) {
  std::fprintf(stderr, "%s: %serror %d: %s\n", kProgram, prefix, ShownNumber(number),
               description.c_str());
}

// Reads a whole regular file, or standard input for "-".
bool ReadWhole(const std::string& path, std::string& data, std::string& error) {
  const bool is_stdin = path == "-";
  int fd = is_stdin ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (!is_stdin && fstat(fd, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      close(fd);
      error = "cannot read '" + path + "': not a regular file";
      return false;
    }
    data.reserve(static_cast<size_t>(st.st_size));
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = "cannot read '" + (is_stdin ? std::string("standard input") : path) +
              "': " + std::strerror(errno);
      if (!is_stdin) close(fd);
      return false;
    }
  }
  if (!is_stdin) close(fd);
  return true;
}

// An attachment must be a readable regular file: the library would take any other text
// as the attachment's data.
bool CheckAttachment(const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot attach '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) error = "cannot attach '" + path + "': not a regular file";
  return regular;
}

std::string Base64(const std::string& in) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
            kAlphabet[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

// What the files on the command line hold, read before anything is sent.
struct Inputs {
  std::optional<std::string> password;
  std::optional<std::string> body;
  std::optional<std::string> raw;
  // A message read from standard input: everyone it goes to, and its From field.
  std::optional<std::string> envelope_to;
  std::string header_from;
};

// Lists join with ";", the separator the library splits recipients at.
void AddTo(std::optional<std::string>& list, const std::string& more) {
  if (more.find_first_not_of(" \t") == std::string::npos) return;
  list = list ? *list + ";" + more : more;
}

// Returns an error text, empty when everything could be read.
std::string ReadInputs(const Options& o, Inputs& in) {
  std::string error;
  const bool oauth2 = o.auth == "XOAUTH2" || o.oauth2_token_file;
  if (oauth2 && o.oauth2_token_file) {
    // The bearer token goes where the library takes it: the Password.
    std::string text;
    if (!ReadWhole(*o.oauth2_token_file, text, error)) return error;
    in.password = PasswordFromFileText(std::move(text));
  } else if (const char* token = std::getenv("POSTWING_OAUTH2_TOKEN"); oauth2 && token) {
    in.password = token;
  } else if (o.password_file) {
    std::string text;
    if (!ReadWhole(*o.password_file, text, error)) return error;
    in.password = PasswordFromFileText(std::move(text));
  } else if (const char* env = std::getenv("POSTWING_PASSWORD")) {
    in.password = env;
  } else if (o.password_eval) {
    if (!RunPasswordEval(*o.password_eval, in.password.emplace(), error)) return error;
  } else if (o.account_password) {
    in.password = o.account_password;
  }
  if (o.body_file && !ReadWhole(*o.body_file, in.body.emplace(), error)) return error;
  if (o.raw_file && !ReadWhole(*o.raw_file, in.raw.emplace(), error)) return error;
  if (o.read_message) {
    std::string text;
    if (!ReadWhole("-", text, error)) return error;
    // The Bcc fields go whether or not they name the recipients: they must never be seen.
    InputMessage m = ReadHeaderRecipients(o.ignore_dots ? text : CutAtLoneDot(std::move(text)));
    in.raw = std::move(m.text);
    in.header_from = std::move(m.from);
    std::optional<std::string> all;
    if (o.header_recipients) {
      for (const auto& r : m.recipients) AddTo(all, r);
    }
    for (const auto* list : {&o.to, &o.cc, &o.bcc}) {
      if (*list) AddTo(all, **list);
    }
    for (const auto& r : o.recipients) AddTo(all, r);
    in.envelope_to = std::move(all);
  }
  for (const auto& a : o.attachments) {
    if (!CheckAttachment(a.path, error)) return error;
  }
  if (o.ca_file && access(o.ca_file->c_str(), R_OK) != 0) {
    return "cannot read the CA file '" + *o.ca_file + "': " + std::strerror(errno);
  }
  return {};
}

// The key whose presence makes the library send the body text as the whole message.
constexpr const char* kRawModeKey = "x-postwing-test-flag";

// Sets everything on the mail. Raises postwing::Exception.
void Build(postwing::SendMail& mail, const Options& o, Inputs& in) {
  mail.SetSMTPServer(o.server.value_or(""));
  if (o.port) mail.SetSMTPServerPort(*o.port);
  if (o.user) mail.SetUser(*o.user);
  if (o.auth) mail.SetAuthMechanism(*o.auth);
  if (o.oauth2_token_file && !o.auth) mail.SetAuthMechanism("XOAUTH2");
  if (in.password) mail.SetPassword(*in.password);
  if (o.timeout) mail.SetTimeOut(*o.timeout);
  mail.SetKeepAlive(!o.no_keepalive);
  mail.SetUseDomainForHELO(o.domain_for_helo);
  if (o.starttls) mail.SetSecurity(postwing::emxStartTLS);
  if (o.tls) mail.SetSecurity(postwing::emxImplicitTLS);
  if (o.ca_file) mail.SetCertificateFile(*o.ca_file);
  mail.SetVerifyCertificate(!o.insecure);

  auto header = mail.Header();
  // Before the body and the attachments: both depend on it. A raw message goes out as
  // given, so no MIME rule may touch its text.
  if (o.no_mime || in.raw) header->SetMIMECompliant(false);
  if (o.from) {
    header->SetFrom(*o.from);
  } else if (o.read_message && !in.header_from.empty()) {
    header->SetFrom(in.header_from);
  }
  if (o.read_message) {
    // The message keeps its own header; these lists are the envelope only.
    if (in.envelope_to) header->SetToList(*in.envelope_to);
  } else {
    if (o.to) header->SetToList(*o.to);
    if (o.cc) header->SetCcList(*o.cc);
    if (o.bcc) header->SetBccList(*o.bcc);
  }
  if (o.reply_to) header->SetReplyTo(*o.reply_to);
  if (o.subject) header->SetSubject(*o.subject);
  header->SetVerify(o.verify);

  auto body = mail.Body();
  if (in.raw) {
    body->Values()->Add("", kRawModeKey);
    body->SetText(postwing::Variant(std::move(*in.raw)));
  } else if (in.body) {
    body->SetText(postwing::Variant(std::move(*in.body)));
  }
  for (const auto& a : o.attachments) {
    mail.Attachments()->Add(postwing::Variant(a.path), a.file_name);
  }
}

// Follows one send from the events: was the message accepted, has the connection ended.
struct Watch {
  bool complete = false;
  bool failed = false;  // an error was reported before acceptance
  bool cancel_requested = false;
  Clock::time_point last_event = Clock::now();
};

}  // namespace

int SendMessage(const Options& options) {
  Inputs inputs;
  if (auto error = ReadInputs(options, inputs); !error.empty()) {
    Complain(error);
    return kExitUsage;
  }

  // Declared before the mail, so it outlives every handler that refers to it.
  Watch watch;
  auto mail = postwing::SendMail::Create();
  try {
    Build(*mail, options, inputs);
  } catch (const postwing::Exception& e) {
    ReportError("", e.Number(), e.Description());
    return kExitUsage;
  }

  const std::string masked_password = inputs.password && !inputs.password->empty()
                                          ? ">>" + Base64(*inputs.password) + "\r\n"
                                          : std::string();
  std::weak_ptr<postwing::SendMail> weak = mail;
  auto request_cancel = [&watch, weak] {
    if (watch.cancel_requested) return;
    watch.cancel_requested = true;
    // Not from inside the library's own callback: on the loop's next pass.
    postwing::ThreadEventLoop().Post([weak] {
      if (auto m = weak.lock()) m->Cancel();
    });
  };

  mail->OnSendStatus([&](std::string& line) {
    watch.last_event = Clock::now();
    if (options.verbose) {
      const std::string& shown = (!masked_password.empty() && line == masked_password)
                                     ? std::string(">>********\r\n")
                                     : line;
      std::fwrite(shown.data(), 1, shown.size(), stderr);
    }
  });
  mail->OnSendProgress([&](int32_t&, int32_t&) { watch.last_event = Clock::now(); });
  mail->OnWinsockError(
      [&](int32_t& number, std::string&, std::string& description, std::string&, int32_t&) {
        watch.last_event = Clock::now();
        const bool accepted = mail->Result().accepted;
        ReportError(accepted ? "after the message was accepted: " : "", number, description);
        if (accepted) return;
        // The library ends every failed send itself (QUIT where the dialogue allows it, then
        // the close); a cancel here would drop that QUIT.
        watch.failed = true;
      });
  mail->OnSendComplete([&] { watch.complete = true; });

  try {
    mail->Send();
  } catch (const postwing::Exception& e) {
    ReportError("", e.Number(), e.Description());
    return kExitUsage;
  }

  // The library ends every dialogue by itself (replies, QUIT, its own time-outs); after a
  // failure or once the message is accepted, a server that keeps the connection open
  // without a word is not waited for beyond the time-out.
  const auto grace = std::chrono::seconds(std::max<int32_t>(mail->TimeOut(), 5));
  while (!watch.complete) {
    postwing::RunEventsUntil([&] { return watch.complete; }, 500ms);
    if (!watch.complete && (watch.failed || mail->Result().accepted) &&
        Clock::now() - watch.last_event > grace) {
      request_cancel();
    }
  }

  if (mail->Result().accepted) return kExitAccepted;
  if (!watch.failed) {
    Complain("the connection ended before the server accepted the message");
  }
  return kExitFailedOnWire;
}

}  // namespace postwing_send
