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
#include <vector>

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

// An attachment, or a message file read later, must be a readable regular file: the library
// would take any other text as the attachment's data. VERB is what the error says.
bool CheckFile(const std::string& path, const char* verb, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot ") + verb + " '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) error = std::string("cannot ") + verb + " '" + path + "': not a regular file";
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
  std::optional<std::string> raw;        // the message file being sent
  std::optional<std::string> raw_stdin;  // "--raw -", read before the first send
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
  // The message files are read one at a time, as each is sent; checked now so that a bad
  // name stops the run before anything goes out.
  for (const auto& f : o.raw_files) {
    if (f == "-" ? !ReadWhole(f, in.raw_stdin.emplace(), error) : !CheckFile(f, "read", error)) {
      return error;
    }
  }
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
    if (!CheckFile(a.path, "attach", error)) return error;
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
  size_t recipient_refusals = 0;  // refused recipients of a partial delivery, seen so far
  Clock::time_point last_event = Clock::now();
};

// How one message went, from the worst to the best for the exit status.
enum class Outcome { kNotSent, kFailed, kPartial, kAccepted };

// Each outcome's word on the result line and exit status, in the order above.
struct OutcomeFacts {
  const char* word;
  int status;
};
constexpr OutcomeFacts kOutcomes[] = {{"not sent", kExitUsage},
                                      {"failed", kExitFailedOnWire},
                                      {"partial", kExitPartial},
                                      {"accepted", kExitAccepted}};

const OutcomeFacts& FactsOf(Outcome o) {
  return kOutcomes[static_cast<int>(o)];
}

std::vector<const postwing::SendResult::Recipient*> Refused(const postwing::SendResult& r) {
  std::vector<const postwing::SendResult::Recipient*> refused;
  for (const auto& rcpt : r.recipients) {
    if (rcpt.code >= 400) refused.push_back(&rcpt);
  }
  return refused;
}

// With partial delivery each refused recipient is raised as 12003 with its reply, and the
// send goes on: such a report is listed with its address at the end, not taken as failure.
bool IsRecipientRefusal(const postwing::SendResult& r, int32_t number,
                        const std::string& description, size_t seen) {
  const auto refused = Refused(r);
  return ShownNumber(number) == 12003 && seen < refused.size() &&
         refused[seen]->text == description;
}

class Sender {
 public:
  Sender(const Options& options, Inputs& inputs) : options_(options), inputs_(inputs) {}

  // Sends every message the options name, the files over one connection; returns the exit
  // status.
  int Run() {
    const size_t count = std::max<size_t>(options_.raw_files.size(), 1);
    batch_ = count > 1;
    Outcome worst = Outcome::kAccepted;
    for (size_t i = 0; i < count; ++i) worst = std::min(worst, SendOne(i, i + 1 == count));
    if (mail_ && mail_->KeepConnection()) EndConnection();
    return FactsOf(worst).status;
  }

 private:
  Outcome SendOne(size_t index, bool last) {
    const std::string file = options_.raw_files.empty() ? "" : options_.raw_files[index];
    if (!file.empty()) {
      std::string error;
      if (file == "-") {
        inputs_.raw = std::move(inputs_.raw_stdin);
      } else if (!ReadWhole(file, inputs_.raw.emplace(), error)) {
        Complain(error);
        return Line(file, Outcome::kNotSent, error);
      }
    }
    watch_ = Watch{};
    try {
      if (!mail_) {
        mail_ = postwing::SendMail::Create();
        WatchEvents();
      } else {
        // The kept connection survives Clear, so the next message goes out on it.
        mail_->Clear();
      }
      Build(*mail_, options_, inputs_);
      mail_->SetKeepConnection(batch_);
      mail_->SetAllowPartialDelivery(options_.allow_partial);
      mail_->Send();
      // Off while the last send is under way: it ends with QUIT, as a single send does.
      if (last) mail_->SetKeepConnection(false);
    } catch (const postwing::Exception& e) {
      ReportError("", e.Number(), e.Description());
      return Line(file, Outcome::kNotSent,
                  "error " + std::to_string(ShownNumber(e.Number())) + ": " + e.Description());
    }

    // The library ends every dialogue by itself (replies, QUIT, its own time-outs); after a
    // failure or once the message is accepted, a server that keeps the connection open
    // without a word is not waited for beyond the time-out.
    const auto grace = Grace();
    while (!watch_.complete) {
      postwing::RunEventsUntil([&] { return watch_.complete; }, 500ms);
      if (!watch_.complete && (watch_.failed || mail_->Result().accepted) &&
          Clock::now() - watch_.last_event > grace) {
        RequestCancel();
      }
    }

    const postwing::SendResult result = mail_->Result();
    const auto refused = options_.allow_partial ? Refused(result) : decltype(Refused(result)){};
    for (const auto* r : refused) Complain("refused " + r->address + ": " + r->text);
    if (result.accepted) {
      return Line(file, result.partial ? Outcome::kPartial : Outcome::kAccepted, result.text);
    }
    const std::string ended = "the connection ended before the server accepted the message";
    if (!watch_.failed && refused.empty()) Complain(ended);
    // A refusal's error text is the server's reply.
    return Line(file, Outcome::kFailed,
                result.error == 0 ? ended
                                  : "error " + std::to_string(ShownNumber(result.error)) + ": " +
                                        result.error_text);
  }

  // With several messages, one line each on standard output: the file, how it went, and the
  // server's last reply (or why nothing was sent).
  Outcome Line(const std::string& file, Outcome outcome, const std::string& text) {
    if (!batch_) return outcome;
    std::printf("%s: %s: %s\n", file.c_str(), FactsOf(outcome).word, text.c_str());
    std::fflush(stdout);
    return outcome;
  }

  std::chrono::seconds Grace() const {
    return std::chrono::seconds(std::max<int32_t>(mail_->TimeOut(), 5));
  }

  void RequestCancel() {
    if (watch_.cancel_requested) return;
    watch_.cancel_requested = true;
    // Not from inside the library's own callback: on the loop's next pass.
    std::weak_ptr<postwing::SendMail> weak = mail_;
    postwing::ThreadEventLoop().Post([weak] {
      if (auto m = weak.lock()) m->Cancel();
    });
  }

  // The last file was not sent: turning the property off ends the kept connection with QUIT,
  // which the library writes on the loop's next pass and then waits for in the background.
  void EndConnection() {
    try {
      mail_->SetKeepConnection(false);
    } catch (const postwing::Exception& e) {
      ReportError("", e.Number(), e.Description());
      return;
    }
    postwing::RunEventsUntil([] { return false; }, 200ms);
  }

  // The handlers, once: they follow whichever message is being sent.
  void WatchEvents() {
    masked_password_ = inputs_.password && !inputs_.password->empty()
                           ? ">>" + Base64(*inputs_.password) + "\r\n"
                           : std::string();
    mail_->OnSendStatus([this](std::string& line) {
      watch_.last_event = Clock::now();
      if (options_.verbose) {
        const std::string& shown = (!masked_password_.empty() && line == masked_password_)
                                       ? std::string(">>********\r\n")
                                       : line;
        std::fwrite(shown.data(), 1, shown.size(), stderr);
      }
    });
    mail_->OnSendProgress([this](int32_t&, int32_t&) { watch_.last_event = Clock::now(); });
    mail_->OnWinsockError([this](int32_t& number, std::string&, std::string& description,
                                 std::string&, int32_t&) {
      watch_.last_event = Clock::now();
      const postwing::SendResult result = mail_->Result();
      if (options_.allow_partial &&
          IsRecipientRefusal(result, number, description, watch_.recipient_refusals)) {
        ++watch_.recipient_refusals;
        return;
      }
      ReportError(result.accepted ? "after the message was accepted: " : "", number, description);
      if (result.accepted) return;
      // The library ends every failed send itself (QUIT where the dialogue allows it, then
      // the close); a cancel here would drop that QUIT.
      watch_.failed = true;
    });
    mail_->OnSendComplete([this] { watch_.complete = true; });
  }

  const Options& options_;
  Inputs& inputs_;
  bool batch_ = false;
  std::string masked_password_;
  // Declared before the mail, so it outlives every handler that refers to it.
  Watch watch_;
  std::shared_ptr<postwing::SendMail> mail_;
};

}  // namespace

int SendMessage(const Options& options) {
  Inputs inputs;
  if (auto error = ReadInputs(options, inputs); !error.empty()) {
    Complain(error);
    return kExitUsage;
  }
  return Sender(options, inputs).Run();
}

}  // namespace postwing_send
