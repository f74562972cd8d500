// The SMTP dialogue: whole replies in, one command per step out, the encrypted-connection
// and login steps, the data phase, and the reply time-out that keeps a silent server from
// holding the send open.
#include "session/dialogue.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "assembly/data_writer.hpp"
#include "assembly/message_assembly.hpp"
#include "core/ascii.hpp"
#include "core/error_report.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "platform/module.hpp"
#include "platform/tcp_client_access.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/values.hpp"
#include "session/auth.hpp"
#include "session/message_source.hpp"
#include "session/session_errors.hpp"

namespace postwing::session {

int32_t ReplyCode(std::string_view reply) {
  if (reply.size() < 3) detail::RaiseRuntimeError(detail::kErrTypeMismatch);
  int32_t code = 0;
  for (size_t i = 0; i < 3; ++i) {
    const char c = reply[i];
    if (c < '0' || c > '9') detail::RaiseRuntimeError(detail::kErrTypeMismatch);
    code = code * 10 + (c - '0');
  }
  return code;
}

ReplyKind ClassifyReply(int32_t code) {
  switch (code) {
    case 220:
      return ReplyKind::kGreeting;
    case 235:
    case 250:
    case 251:
    case 252:
      return ReplyKind::kPositive;
    case 334:
      return ReplyKind::kChallenge;
    case 354:
      return ReplyKind::kStartData;
    case 221:
      return ReplyKind::kClosing;
    case 421:
    case 450:
    case 451:
    case 452:
      return ReplyKind::kRefusal;
    default:
      return code >= 500 && code <= 554 ? ReplyKind::kRefusal : ReplyKind::kOther;
  }
}

std::string GreetingDomain(std::string_view user, std::string_view local_ip,
                           bool use_domain_for_helo) {
  const std::string_view base = user.empty() ? local_ip : user;
  return use_domain_for_helo ? platform::DomainOf(base) : std::string(base);
}

std::string CommandLine(std::string_view verb, std::string_view argument, std::string_view field) {
  if (detail::HasLineBreakOrNul(argument)) {
    throw Exception(detail::ObjectErrorNumber(emxIllegalCharacter), std::string(detail::kSource),
                    detail::IllegalFieldText(field));
  }
  std::string line;
  line.reserve(verb.size() + argument.size());
  line.append(verb).append(argument);
  return line;
}

ReplyWaitFloors& WaitFloors() {
  static ReplyWaitFloors floors;
  return floors;
}

std::string WithoutLineEnd(std::string_view reply) {
  if (!reply.empty() && reply.back() == '\n') reply.remove_suffix(1);
  if (!reply.empty() && reply.back() == '\r') reply.remove_suffix(1);
  return std::string(reply);
}

std::string ConnectionIdentity(const TcpClient& sock) {
  return std::to_string(sock.SocketHandle()) + " " + sock.LocalIP() + " " +
         std::to_string(sock.LocalPort());
}

std::string ConnectionSettings(const SendMail::Impl& d) {
  std::string key;
  for (const std::string* field :
       {&d.smtp_server, &d.user, &d.password, &d.auth_mechanism, &d.certificate_file}) {
    key.append(*field).push_back('\0');
  }
  return key + std::to_string(d.smtp_server_port) + " " + std::to_string(d.security) + " " +
         std::to_string(d.verify_certificate);
}

namespace {

// Sockets ending with QUIT, kept until their grace has passed (the thread's, so that what is
// left at the thread's end goes before its loop does).
std::vector<std::shared_ptr<TcpClient>>& Quitting() {
  thread_local std::vector<std::shared_ptr<TcpClient>> sockets;
  return sockets;
}

// How long a server may take to answer QUIT before the connection is closed anyway.
constexpr std::chrono::seconds kQuitGrace{2};

}  // namespace

void QuitQuietly(std::shared_ptr<TcpClient> sock) {
  sock->SetOnConnect(nullptr);
  sock->SetOnSendProgress(nullptr);
  sock->SetOnSendComplete(nullptr);
  std::weak_ptr<TcpClient> weak = sock;
  // Closed and let go as soon as the server answers or hangs up, not only when the grace
  // ends: a host that stops running its loop would keep the socket otherwise. Let go from a
  // posted task, as the socket may be the caller.
  auto close = [weak] {
    auto s = weak.lock();
    if (!s) return;
    s->Close();
    ThreadEventLoop().Post([weak] {
      auto& list = Quitting();
      if (auto s = weak.lock()) list.erase(std::remove(list.begin(), list.end(), s), list.end());
    });
  };
  sock->SetOnDataArrival([close](int32_t) { close(); });
  sock->SetOnClose(close);
  sock->SetOnError([close](int32_t, const std::string&) { close(); });
  if (sock->State() != TcpClient::sckConnected) {
    sock->Close();
    return;
  }
  sock->SendData("QUIT\r\n");
  Quitting().push_back(sock);
  ThreadEventLoop().AddTimer(kQuitGrace, close);
}

namespace {

// The enhanced status code of a reply's last line (RFC 3463: class "." subject "." detail,
// the class matching the reply's), or empty.
std::string EnhancedCode(std::string_view reply) {
  const std::string text = WithoutLineEnd(reply);
  std::string_view last = text;
  if (auto lf = last.rfind('\n'); lf != std::string_view::npos) last = last.substr(lf + 1);
  if (last.size() < 9) return {};
  std::string_view rest = last.substr(4);
  const size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view code = rest.substr(0, end);
  int dots = 0;
  size_t run = 0;
  for (char c : code) {
    if (c == '.') {
      if (run == 0) return {};
      ++dots;
      run = 0;
    } else if (detail::IsAsciiDigit(c) && run < 3) {
      ++run;
    } else {
      return {};
    }
  }
  if (dots != 2 || run == 0 || code.front() != reply.front()) return {};
  return std::string(code);
}

}  // namespace

Dialogue::Dialogue(SendMail::Impl& mail) : d_(mail) {
  // The write progress of the message data counts as activity while its reply is awaited:
  // the time-out runs from the last byte written, not from the moment it was queued.
  std::weak_ptr<SendMail> weak = d_.owner->weak_from_this();
  progress_ = d_.owner->OnSendProgress([weak, this](int32_t&, int32_t&) {
    if (weak.expired()) return;
    if (wait_ == Wait::kEndOfDataReply) since_ = std::chrono::steady_clock::now();
  });
}

Dialogue::~Dialogue() {
  progress_.Disconnect();
  if (timer_ != 0) {
    try {
      ThreadEventLoop().CancelTimer(timer_);
    } catch (...) {
    }
  }
}

void Dialogue::Reset() {
  replies_.Clear();
  ready_ = false;
  pending_ = 0;
  data_started_ = false;
  in_data_ = false;
  quit_written_ = false;
  failure_reported_ = false;
  StopTimer();
}

void Dialogue::Prepare(std::vector<std::string> recipients, std::string utf8_field) {
  recipients_ = std::move(recipients);
  recipient_index_ = 0;
  utf8_field_ = std::move(utf8_field);
  result = {};
}

bool Dialogue::Resume() {
  reused_ = false;
  retried_ = false;
  auto sock = d_.socket;
  if (Kept(sock.get())) {
    if (sock->State() == TcpClient::sckConnected && d_.keep_connection &&
        settings_ == ConnectionSettings(d_) &&
        std::chrono::steady_clock::now() - idle_since_ < kIdleLimit) {
      data_started_ = in_data_ = quit_written_ = failure_reported_ = false;
      d_.cancel_flag = false;
      d_.closed_flag = false;
      reused_ = true;
      sock_ = sock;
      if (needs_reset_) {
        SetState(State::kResetWritten);
        WriteCommand("RSET");
      } else {
        BeginTransaction();
      }
      return true;
    }
    d_.EndKeptConnection();
  }
  Reset();
  Forget();
  needs_reset_ = false;
  settings_ = ConnectionSettings(d_);
  // A dialogue stopped by a refusal ends with its connection: the next greeting starts over.
  if (state_ == State::kStopped || state_ >= State::kIdle) SetState(State::kNotGreeted);
  return false;
}

bool Dialogue::RetryLost() {
  if (!reused_ || retried_) return false;
  Reconnect();
  return true;
}

void Dialogue::Reconnect() {
  retried_ = true;
  reused_ = false;
  d_.RetireSocket(std::exchange(d_.socket, d_.MakeSocket()));
  Reset();
  Forget();
  needs_reset_ = false;
  SetState(State::kNotGreeted);
  result = {};
  recipient_index_ = 0;
  d_.Connect(false);
}

void Dialogue::Rest(bool unclean) {
  needs_reset_ = unclean;
  SetState(State::kIdle);
  StopTimer();
  idle_since_ = std::chrono::steady_clock::now();
  d_.closed_flag = true;
  try {
    d_.RaiseSendComplete();
  } catch (...) {
    d_.ReportCaughtError(kMethodProcess);
  }
}

bool Dialogue::EndIfResting(TcpClient* sock) {
  if (!Kept(sock)) return false;
  sock->Close();
  Forget();
  return true;
}

void Dialogue::Forget() {
  socket_ = nullptr;
  connection_.clear();
}

bool Dialogue::Ended(const TcpClient* sock) const {
  return Follows(sock) && (quit_written_ || failure_reported_);
}

// ---- the machine ----

bool Dialogue::Current() const {
  return !d_.cancel_flag && d_.socket == sock_ && sock_ &&
         sock_->State() == TcpClient::sckConnected;
}

State Dialogue::AfterGreeting() const {
  return d_.header && d_.header->Verify() ? State::kVerifying : State::kReadyForMail;
}

void Dialogue::Record(const std::string& reply, int32_t code) {
  // After QUIT, or a failure, the outcome is known: later replies say nothing about it.
  if (quit_written_ || failure_reported_) return;
  result.code = code;
  result.text = WithoutLineEnd(reply);
  result.enhanced_code = EnhancedCode(reply);
  const bool rcpt = state_ == State::kRcptInProgress || state_ == State::kLastRcptWritten;
  if (rcpt && !result.recipients.empty() && result.recipients.back().code == 0) {
    result.recipients.back().code = code;
    result.recipients.back().text = result.text;
  }
}

void Dialogue::Step(const std::string& reply) {
  const int32_t code = ReplyCode(reply);
  // Replies to an envelope given up (its send stopped) change nothing.
  if (pending_ > 0 && state_ != State::kEnvelopeWritten) {
    --pending_;
    return;
  }
  // A kept connection the server is closing answers the first command of a send with 421.
  if (reused_ && code == 421 && RetryLost()) return;
  reused_ = false;
  const bool rcpt = (state_ == State::kRcptInProgress || state_ == State::kLastRcptWritten) &&
                    !result.recipients.empty() && result.recipients.back().code == 0;
  Record(reply, code);
  const ReplyKind kind = ClassifyReply(code);
  switch (state_) {
    case State::kTlsHandshake:
      return;
    case State::kStartTlsWritten:
      OnStartTlsReply(reply, code);
      return;
    case State::kTlsEhloWritten:
      if (kind != ReplyKind::kPositive) break;
      OnTlsEhloReply(reply);
      return;
    case State::kEhloWritten:
      if (kind == ReplyKind::kPositive) {
        OnEhloReply(reply);
        return;
      }
      // Asked only to pipeline a kept connection: a server that does not know EHLO gets
      // HELO, and the messages go one command at a time (RFC 5321 4.1.4).
      if ((code == 500 || code == 502) && !ExtensionsRequired()) {
        SetState(AfterGreeting());
        WriteGreeting(false);
        return;
      }
      break;
    case State::kEnvelopeWritten:
      OnEnvelopeReply(reply, code);
      return;
    case State::kResetWritten:
      if (kind != ReplyKind::kPositive) {
        ready_ = false;  // a server that refuses RSET gets QUIT
        break;
      }
      needs_reset_ = false;
      BeginTransaction();
      return;
    case State::kAuthWritten:
    case State::kAuthAnswered:
      if (kind != ReplyKind::kPositive && kind != ReplyKind::kChallenge && code != 454) break;
      OnAuthReply(reply, code);
      return;
    default:
      break;
  }
  switch (kind) {
    case ReplyKind::kGreeting:
      // Once stopped, the connection only ends: a later 220 starts nothing.
      if (quit_written_ || state_ == State::kStopped) break;
      OnGreeting();
      return;
    case ReplyKind::kPositive:
      accepted_ += rcpt;
      // A reply the state has no use for moves nothing, and the time-out keeps running.
      OnPositive();
      return;
    case ReplyKind::kChallenge:
      return;
    case ReplyKind::kStartData:
      // Only the answer to DATA starts the data, and only once per connection: a stray 354
      // never sends the message twice.
      if (state_ != State::kDataWritten || data_started_ || quit_written_) break;
      RunDataPhase();
      return;
    case ReplyKind::kRefusal:
      if (rcpt && RefusedAlone(reply, state_ == State::kRcptInProgress)) {
        if (Current()) OnPositive();
        return;
      }
      OnRefusal(reply);
      return;
    case ReplyKind::kClosing:
      return;
    case ReplyKind::kOther:
      break;
  }
  d_.RaiseSendStatus("<<" + reply);
}

void Dialogue::OnGreeting() {
  // A greeting starts the dialogue afresh, whatever happened before on this object.
  data_started_ = false;
  in_data_ = false;
  quit_written_ = false;
  capabilities_.Clear();
  if (d_.security == emxStartTLS && !sock_->IsSecure()) {
    SetState(State::kTlsEhloWritten);
    WriteGreeting(true);
    return;
  }
  // Extensions are asked for only where something needs one, or a kept connection can use
  // one (PIPELINING); otherwise the plain greeting.
  if (ExtensionsRequired() || d_.keep_connection) {
    SetState(State::kEhloWritten);
    WriteGreeting(true);
    return;
  }
  SetState(AfterGreeting());
  WriteGreeting(false);
}

// A login, an address outside ASCII, STARTTLS: what cannot be done without EHLO.
bool Dialogue::ExtensionsRequired() const {
  return d_.security == emxStartTLS || !d_.user.empty() || !utf8_field_.empty();
}

void Dialogue::WriteGreeting(bool extended) {
  const bool with_user = extended && !d_.user.empty();
  const std::string domain = with_user
                                 ? GreetingDomain(d_.user, "", d_.use_domain_for_helo)
                                 : GreetingDomain("", sock_->LocalIP(), d_.use_domain_for_helo);
  WriteCommand(
      CommandLine(extended ? "EHLO " : "HELO ", domain, with_user ? "User" : "greeting domain"));
}

void Dialogue::OnEhloReply(const std::string& reply) {
  capabilities_ = Capabilities::Parse(reply);
  if (!d_.user.empty()) {
    if (Utf8Refused()) return;
    StartAuthentication();
    return;
  }
  BeginTransaction();
}

bool Dialogue::Utf8Refused() {
  if (utf8_field_.empty() || capabilities_.Has("SMTPUTF8")) return false;
  Fail(emxContentNotSendable,
       detail::UnsendableFieldText(utf8_field_,
                                   "an address in it holds characters outside ASCII, and the "
                                   "server does not offer SMTPUTF8"),
       kMethodProcess);
  return true;
}

void Dialogue::BeginTransaction() {
  if (Utf8Refused()) return;
  SetState(AfterGreeting());
  OnPositive();
}

void Dialogue::OnTlsEhloReply(const std::string& reply) {
  if (!Capabilities::Parse(reply).Has("STARTTLS")) {
    Fail(emxTLSNotAvailable, "The server does not offer STARTTLS; nothing more is sent in clear.",
         kMethodProcess);
    return;
  }
  SetState(State::kStartTlsWritten);
  WriteCommand("STARTTLS");
}

void Dialogue::OnStartTlsReply(const std::string& reply, int32_t code) {
  if (code != 220) {
    Fail(emxTLSNotAvailable,
         "The server refused STARTTLS (" + WithoutLineEnd(reply) +
             "); nothing more is sent in clear.",
         kMethodProcess);
    return;
  }
  SetState(State::kTlsHandshake);
  // Whatever followed the 220 in clear was never the server's answer to anything.
  replies_.Clear();
  Await(Wait::kReply);
  StartTls();
}

void Dialogue::StartTls() {
  std::weak_ptr<SendMail> weak_mail = d_.owner->weak_from_this();
  std::weak_ptr<TcpClient> weak_sock = sock_;
  Dialogue* self = this;
  sock_->StartTls(d_.smtp_server, d_.verify_certificate, d_.certificate_file,
                  [weak_mail, weak_sock, self](bool established, const std::string& text) {
                    auto mail = weak_mail.lock();
                    auto s = weak_sock.lock();
                    if (!mail || !s || self->d_.socket != s) return;
                    SendMail::Impl& d = self->d_;
                    ++d.socket_callback_depth;
                    self->sock_ = s;
                    try {
                      self->OnHandshake(established, text);
                    } catch (...) {
                      d.ReportCaughtError(kMethodStartTls);
                      try {
                        self->EndConnection(s);
                      } catch (...) {
                      }
                    }
                    --d.socket_callback_depth;
                    // Released from a later pass, never inside the socket's own dispatch.
                    try {
                      ThreadEventLoop().Post([m = std::move(mail), k = std::move(s)] {});
                    } catch (...) {
                    }
                  });
}

void Dialogue::OnHandshake(bool established, const std::string& text) {
  if (!established) {
    failure_reported_ = true;
    d_.error_reported = true;
    ReportWireFailure(d_, emxTLSFailed, detail::kSource, text, kMethodStartTls);
    EndConnection(sock_);
    return;
  }
  d_.RaiseSendStatus(">>TLS established: " + text + "\r\n");
  if (!Current()) return;
  if (d_.security != emxStartTLS) {
    // Implicit TLS: the greeting comes now, encrypted.
    SetState(State::kNotGreeted);
    return;
  }
  // Only what the server says from now on counts: EHLO is asked again.
  capabilities_.Clear();
  SetState(State::kEhloWritten);
  WriteGreeting(true);
}

void Dialogue::StartAuthentication() {
  const SaslMechanism* named = FindMechanism(d_.auth_mechanism);
  mechanism_ = named && !d_.auth_mechanism.empty()
                   ? named
                   : &ChooseMechanism(capabilities_, sock_->IsSecure());
  auth_step_ = 0;
  auth_done_ = false;
  SetState(State::kAuthWritten);
  const std::string verb = "AUTH " + std::string(mechanism_->Name());
  auto initial = mechanism_->Initial({d_.user, d_.password});
  if (!initial) {
    WriteCommand(verb);
    return;
  }
  if (!initial->notice.empty()) d_.RaiseSendStatus(initial->notice);
  auth_done_ = initial->last;
  WriteCommand(verb + " " + initial->line,
               initial->shown.empty() ? std::string() : verb + " " + initial->shown);
}

void Dialogue::OnAuthReply(const std::string& reply, int32_t code) {
  if (code == 454) {
    OnRefusal(reply);
    return;
  }
  if (code != 334) {
    SetState(AfterGreeting());
    OnPositive();
    return;
  }
  // A challenge after the mechanism's last word asks for nothing it can give.
  if (auth_done_) return;
  std::string_view challenge = reply.size() > 4 ? std::string_view(reply).substr(4) : "";
  const std::string text = WithoutLineEnd(challenge);
  const SaslAnswer answer = mechanism_->Respond(auth_step_++, text, {d_.user, d_.password});
  if (!answer.notice.empty()) d_.RaiseSendStatus(answer.notice);
  auth_done_ = answer.last;
  SetState(State::kAuthAnswered);
  WriteCommand(answer.line, answer.shown);
}

const std::string& Dialogue::CurrentRecipient() const {
  if (recipient_index_ < 0 || static_cast<size_t>(recipient_index_) >= recipients_.size()) {
    detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
  }
  return recipients_[static_cast<size_t>(recipient_index_)];
}

bool Dialogue::AdvanceRecipient() {
  if (static_cast<size_t>(recipient_index_) + 1 >= recipients_.size()) {
    recipient_index_ = 0;
    return true;
  }
  ++recipient_index_;
  return false;
}

// The action of the current state on 235, 250, 251 or 252.
void Dialogue::OnPositive() {
  switch (state_) {
    case State::kVerifying: {
      ready_ = true;
      // VRFY takes a name or an address, not a path: no brackets.
      const std::string command =
          CommandLine("VRFY ", detail::AddressOf(CurrentRecipient()), "recipient list");
      if (AdvanceRecipient()) SetState(State::kReadyForMail);
      WriteCommand(command);
      break;
    }
    case State::kReadyForMail:
      ready_ = true;
      WriteMailFrom();
      break;
    case State::kRcptInProgress: {
      const std::string& recipient = CurrentRecipient();
      const std::string command =
          CommandLine("RCPT TO: ", detail::EnvelopePath(recipient), "recipient list");
      if (AdvanceRecipient()) SetState(State::kLastRcptWritten);
      result.recipients.push_back({detail::AddressOf(recipient), 0, {}});
      WriteCommand(command);
      break;
    }
    case State::kLastRcptWritten:
      SetState(State::kDataWritten);
      WriteCommand("DATA");
      break;
    case State::kDataWritten:
      // After the data, this is the server taking the message.
      if (data_started_ && !quit_written_) result.accepted = true;
      result.partial = result.accepted && accepted_ < result.recipients.size();
      if (result.accepted && d_.keep_connection) {
        Rest(false);
        return;
      }
      WriteQuit();
      break;
    default:
      break;
  }
}

void Dialogue::WriteMailFrom() {
  // The sender is the first address of "FROM" (RFC 5321 4.1.2: in angle brackets).
  const std::string from =
      detail::Unfold(d_.header ? d_.header->Values()->GetValue("FROM") : std::string());
  const auto entries = detail::SplitAddressList(from);
  const std::string path = detail::EnvelopePath(entries.empty() ? "" : entries.front());
  std::string parameters;
  if (!DeclareMessage(parameters)) return;
  accepted_ = 0;
  // Only the end of the data needs the socket's guard (RunDataPhase); commands go without it.
  if (sock_) detail::TcpClientAccess::SetGuardEnd(*sock_, false);
  const std::string mail = CommandLine("MAIL FROM: ", path + parameters, "From");
  data_piped_ = false;
  if (!capabilities_.Has("PIPELINING")) {
    SetState(State::kRcptInProgress);
    WriteCommand(mail);
    return;
  }
  // One write for the envelope instead of a round trip per command.
  std::vector<std::string> commands{mail};
  for (const auto& recipient : recipients_) {
    commands.push_back(CommandLine("RCPT TO: ", detail::EnvelopePath(recipient), "recipient list"));
    result.recipients.push_back({detail::AddressOf(recipient), 0, {}});
  }
  // DATA joins the group where the envelope cannot end partly refused without leave (one
  // recipient, or partial delivery allowed): the server answers it with 354 only when it
  // accepted a recipient, and the content waits for that answer (RFC 2920 3.1).
  if (recipients_.size() == 1 || d_.allow_partial_delivery) {
    data_piped_ = true;
    commands.push_back("DATA");
  }
  SetState(State::kEnvelopeWritten);
  pending_ = commands.size();
  piped_ = 0;
  d_.SendCommands(commands);
  Await(Wait::kReply);
}

void Dialogue::OnEnvelopeReply(const std::string& reply, int32_t code) {
  const size_t index = piped_++;
  --pending_;
  if (data_piped_ && index == result.recipients.size() + 1) {
    OnPipedDataReply(reply, code);
    return;
  }
  const bool positive = ClassifyReply(code) == ReplyKind::kPositive;
  if (index > 0 && index <= result.recipients.size()) {
    result.recipients[index - 1].code = code;
    result.recipients[index - 1].text = WithoutLineEnd(reply);
    accepted_ += positive;
  }
  const bool more_rcpt = pending_ > (data_piped_ ? 1u : 0u);
  if (!positive && !failure_reported_ && index > 0 && RefusedAlone(reply, more_rcpt)) {
    if (!Current()) return;
  } else if (!positive && !failure_reported_) {
    // Reported at once, as without pipelining; the dialogue stops once every reply is in,
    // so that the connection stays in step for a kept one.
    ReportRefusal(reply, true);
    if (!Current()) return;
  }
  if (pending_ > 0) {
    Await(Wait::kReply);
    return;
  }
  if (failure_reported_) {
    Stop();
    return;
  }
  SetState(State::kDataWritten);
  WriteCommand("DATA");
}

void Dialogue::OnPipedDataReply(const std::string& reply, int32_t code) {
  const bool start = ClassifyReply(code) == ReplyKind::kStartData;
  // No recipient accepted is always a reported failure (the last refusal is not let alone).
  if (failure_reported_) {
    // A server that says 354 with nobody to deliver to gets no content: the connection
    // ends instead, so nothing is delivered.
    if (start) {
      EndConnection(sock_);
    } else {
      Stop();
    }
    return;
  }
  SetState(State::kDataWritten);
  if (!start) {
    OnRefusal(reply);
    return;
  }
  RunDataPhase();
}

bool Dialogue::DeclareMessage(std::string& parameters) {
  eight_bit_ = capabilities_.Has("8BITMIME");
  const auto limit = capabilities_.SizeLimit();
  if (limit || eight_bit_) {
    const MessageMeasure measure = MeasureMessage(d_, eight_bit_, !utf8_field_.empty());
    if (!Current()) return false;
    if (limit && *limit > 0 && measure.size > *limit) {
      Fail(emxContentNotSendable,
           "The message (" + std::to_string(measure.size) +
               " bytes) is larger than the server accepts (" + std::to_string(*limit) + " bytes).",
           kMethodProcess);
      return false;
    }
    if (limit) parameters += " SIZE=" + std::to_string(measure.size);
    eight_bit_ = measure.eight_bit;
    if (eight_bit_) parameters += " BODY=8BITMIME";
  }
  if (!utf8_field_.empty()) parameters += " SMTPUTF8";
  return true;
}

void Dialogue::RunDataPhase() {
  // A reply that came before the end of the data is then read while the end is unsent,
  // and dropped below.
  detail::TcpClientAccess::SetGuardEnd(*sock_, true);
  data_started_ = true;
  in_data_ = true;
  StopTimer();
  const bool complete = WriteMessage(d_, eight_bit_, !utf8_field_.empty());
  in_data_ = false;
  if (complete && Current()) {
    // What the server sent before the end of the data reached it cannot be its answer to the
    // data: an early "250" must not pass for the acceptance of the message.
    replies_.Clear();
    std::string early;
    sock_->GetData(early);
    Await(Wait::kEndOfDataReply);
  }
}

bool Dialogue::RefusedAlone(const std::string& reply, bool more) {
  if (!d_.allow_partial_delivery || (!more && accepted_ == 0)) return false;
  // Reported as any refusal, but it is not the error that ends the send.
  const int32_t error = result.error;
  const std::string error_text = result.error_text;
  ReportRefusal(reply, false);
  result.error = error;
  result.error_text = error_text;
  return true;
}

void Dialogue::ReportRefusal(const std::string& reply, bool ends) {
  d_.RaiseSendStatus("<<" + reply);
  if (ends) failure_reported_ = true;
  ReportWireFailure(d_, emxHostError, detail::kSource, WithoutLineEnd(reply), kMethodProcess);
}

void Dialogue::OnRefusal(const std::string& reply) {
  ReportRefusal(reply, true);
  Stop();
}

// ---- writing and stopping ----

void Dialogue::WriteCommand(const std::string& command, const std::string& status_text) {
  if (d_.cancel_flag) return;
  d_.SendToWS(command, status_text);
  Await(command == "QUIT"   ? Wait::kClose
        : command == "DATA" ? Wait::kStartDataReply
                            : Wait::kReply);
}

void Dialogue::WriteQuit() {
  quit_written_ = true;
  WriteCommand("QUIT");
}

void Dialogue::Stop() {
  if (!Current()) return;
  if (in_data_) {
    EndConnection(sock_);
    return;
  }
  // A refusal leaves a greeted connection usable: it is kept, and RSET starts the next send.
  if (d_.keep_connection && ready_ && !quit_written_ && pending_ == 0 && state_ != State::kIdle) {
    Rest(true);
    return;
  }
  SetState(State::kStopped);
  if (!quit_written_) WriteQuit();
}

void Dialogue::Fail(int32_t number, const std::string& text, std::string_view method) {
  failure_reported_ = true;
  ReportWireFailure(d_, number, detail::kSource, text, method);
  Stop();
}

void Dialogue::FailCaught(std::string_view method) {
  failure_reported_ = true;
  d_.ReportCaughtError(method);
  try {
    Stop();
  } catch (...) {
    d_.ReportCaughtError(method);
    // Nothing sensible can be written any more: give the connection up.
    try {
      EndConnection(sock_);
    } catch (...) {
    }
  }
}

void Dialogue::EndConnection(const std::shared_ptr<TcpClient>& sock) {
  StopTimer();
  replies_.Clear();
  in_data_ = false;
  if (!sock || d_.socket != sock || sock->State() == TcpClient::sckClosed) return;
  sock->Close();
  d_.closed_flag = true;
  d_.RaiseSendComplete();
}

// ---- replies in ----

void Dialogue::FollowConnection() {
  std::string connection = ConnectionIdentity(*sock_);
  if (socket_ == sock_.get() && connection_ == connection) return;
  Reset();
  socket_ = sock_.get();
  connection_ = std::move(connection);
}

void Dialogue::OnConnected() {
  sock_ = d_.socket;
  // The connection is followed from now on, so a greeting that never comes whole still ends.
  FollowConnection();
  Await(Wait::kReply);
  if (d_.security != emxImplicitTLS) return;
  if (!sock_ || sock_->State() != TcpClient::sckConnected || sock_->IsSecure()) return;
  SetState(State::kTlsHandshake);
  StartTls();
}

void Dialogue::OnData() {
  auto self = d_.Self();
  auto sock = d_.socket;
  if (!sock || sock->State() != TcpClient::sckConnected) return;
  SendMail::Impl::ThreadWaitLimit() = 0;
  sock_ = sock;
  FollowConnection();
  std::string data;
  sock->GetData(data);
  // Nothing is awaited on a resting connection: what comes is a server ending it (421).
  if (EndIfResting(sock.get())) return;
  replies_.Append(data);
  for (;;) {
    std::string reply;
    const auto got = replies_.Next(reply);
    if (got == ReplyAssembler::Result::kNone) return;
    if (got == ReplyAssembler::Result::kTooLong) {
      // A reply without end would fill the memory: the connection is given up.
      static const std::string kText =
          "The server's reply exceeds " + std::to_string(ReplyAssembler::kMaxReplySize) + " bytes.";
      failure_reported_ = true;
      ReportWireFailure(d_, emxReplyTooLong, detail::kSource, kText, kMethodDataArrival);
      EndConnection(sock);
      return;
    }
    // While the data is being written, or its end still waits in the socket's queue, no
    // reply can be the answer to it: a positive one is dropped unseen, as those that came
    // before the data began are, so it cannot pass for the acceptance of the message. (The
    // socket keeps the end back while such a reply waits unread.)
    if (data_started_ && state_ == State::kDataWritten && !quit_written_ && !reply.empty() &&
        reply[0] == '2' && (in_data_ || sock->BytesUnsent() > 0)) {
      continue;
    }
    d_.received_data = reply;
    const std::string connection = connection_;
    try {
      d_.RaiseSendStatus("<<" + reply);
    } catch (...) {
      // A host handler that throws stops the dialogue as any error does; left alone, the
      // session would wait for ever with no command written and no time-out running.
      sock_ = sock;
      FailCaught(kMethodDataArrival);
      return;
    }
    // A handler may have cancelled, cleared or started another send (a new connection on
    // the same socket object: this reply is not its business).
    sock_ = sock;
    if (!Current() || ConnectionIdentity(*sock) != connection) return;
    try {
      Step(reply);
    } catch (...) {
      sock_ = sock;
      FailCaught(kMethodProcess);
    }
    sock_ = sock;
    if (!Current() || ConnectionIdentity(*sock) != connection) return;
  }
}

// ---- the reply time-out ----

void Dialogue::StopTimer() {
  wait_ = Wait::kNone;
  if (timer_ != 0) {
    ThreadEventLoop().CancelTimer(timer_);
    timer_ = 0;
  }
}

void Dialogue::ScheduleTimer(std::chrono::milliseconds delay) {
  std::weak_ptr<SendMail> wm = d_.owner->weak_from_this();
  std::weak_ptr<TcpClient> ws = d_.socket;
  std::string connection = ConnectionIdentity(*d_.socket);
  Dialogue* self = this;
  timer_ = ThreadEventLoop().AddTimer(
      delay, [wm, ws, connection, self] { self->OnTimer(wm, ws, connection); });
}

// Starts the wait for what comes next: TimeOut, raised to the reply's floor (the close after
// QUIT has none: the outcome is known); TimeOut 0 (or less) means no limit.
void Dialogue::Await(Wait wait) {
  StopTimer();
  if (d_.time_out <= 0) return;
  std::chrono::milliseconds limit = std::chrono::seconds(d_.time_out);
  const ReplyWaitFloors& floors = WaitFloors();
  if (wait == Wait::kReply) limit = std::max(limit, floors.command);
  if (wait == Wait::kStartDataReply) limit = std::max(limit, floors.start_data);
  if (wait == Wait::kEndOfDataReply) limit = std::max(limit, floors.end_of_data);
  wait_ = wait;
  limit_ = limit;
  since_ = std::chrono::steady_clock::now();
  ScheduleTimer(limit);
}

void Dialogue::OnTimer(const std::weak_ptr<SendMail>& weak_mail,
                       const std::weak_ptr<TcpClient>& weak_sock,
                       const std::string& connection) noexcept {
  auto mail = weak_mail.lock();
  auto sock = weak_sock.lock();
  if (!mail || !sock) return;
  timer_ = 0;
  try {
    sock_ = sock;
    if (wait_ == Wait::kNone || !Current() || ConnectionIdentity(*sock) != connection) {
      wait_ = Wait::kNone;
      return;
    }
    const auto waited = std::chrono::steady_clock::now() - since_;
    if (waited < limit_) {
      // Activity since the timer was set: wait for the rest.
      ScheduleTimer(std::chrono::ceil<std::chrono::milliseconds>(limit_ - waited));
      return;
    }
    TimedOut();
  } catch (...) {
    d_.ReportCaughtError(kMethodTimeout);
  }
}

void Dialogue::TimedOut() {
  const Wait wait = wait_;
  wait_ = Wait::kNone;
  // The reply to QUIT tells nothing more: a server that does not close is closed quietly.
  if (wait != Wait::kClose && !failure_reported_) {
    failure_reported_ = true;
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(limit_).count();
    ReportWireFailure(d_, kErrTimedOut, detail::kSourceWinsock,
                      "The server did not reply within " + std::to_string(seconds) + " seconds.",
                      kMethodTimeout);
  }
  EndConnection(sock_);
}

}  // namespace postwing::session
