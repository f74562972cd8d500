// The SMTP dialogue: one state machine over whole replies, its rules, and what it learns.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "postwing/connection.hpp"
#include "postwing/event_loop.hpp"
#include "session/capabilities.hpp"
#include "session/reply_assembler.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing::session {

// The dialogue states: the value names the last step taken. 1 to 8 are the plain
// dialogue's numbered steps; the encrypted-connection steps follow.
enum class State : int32_t {
  kNotGreeted = 0,
  kEhloWritten = 1,
  kAuthWritten = 2,   // AUTH and the mechanism's name written
  kAuthAnswered = 3,  // a response to a challenge written, more may be asked
  kVerifying = 4,
  kReadyForMail = 5,
  kRcptInProgress = 6,
  kLastRcptWritten = 7,
  kDataWritten = 8,
  // QUIT written because the dialogue stopped (a refusal or an error); replies change nothing.
  kStopped = 9,
  kTlsEhloWritten = 20,   // the EHLO that asks whether STARTTLS is offered
  kStartTlsWritten = 21,  // STARTTLS written, its 220 awaited
  kTlsHandshake = 22,     // the handshake runs; nothing is read as a reply
  // KeepConnection: the send has ended and the connection rests for the next one.
  kIdle = 30,
  kResetWritten = 31,  // RSET written on a kept connection, before the next MAIL FROM
  // PIPELINING: MAIL FROM and every RCPT TO written at once, their replies awaited in order.
  kEnvelopeWritten = 32,
};

// A kept connection idle longer than this is ended and replaced at the next Send: servers
// drop idle clients after about five minutes (RFC 5321 4.5.3.2), often sooner under load,
// and a reply that comes to a dead connection costs a failed send.
inline constexpr std::chrono::seconds kIdleLimit{60};

enum class ReplyKind {
  kGreeting,   // 220
  kPositive,   // 235, 250, 251, 252
  kChallenge,  // 334
  kStartData,  // 354
  kRefusal,    // 421, 450 to 452, 500 to 554
  kClosing,    // 221
  kOther,
};

// The reply code: the first three characters, which must be digits. Raises error 13 (type
// mismatch) otherwise.
int32_t ReplyCode(std::string_view reply);
ReplyKind ClassifyReply(int32_t code);

// The domain of HELO (no User: the local address) or EHLO (the User); with
// use_domain_for_helo, the text after the first "@", when there is one.
std::string GreetingDomain(std::string_view user, std::string_view local_ip,
                           bool use_domain_for_helo);

// verb + argument, refusing an argument that holds CR, LF or NUL (error 12013 with the
// base, naming field): nothing of such a text reaches the wire.
std::string CommandLine(std::string_view verb, std::string_view argument, std::string_view field);

// The reply without its final line end, for an error's description.
std::string WithoutLineEnd(std::string_view reply);

// The least time a reply is awaited, whatever TimeOut says (RFC 5321 4.5.3.2): greylisting
// and tarpitting servers answer after tens of seconds. TimeOut above a floor raises it.
struct ReplyWaitFloors {
  std::chrono::milliseconds command{std::chrono::minutes(5)};       // the greeting and each command
  std::chrono::milliseconds start_data{std::chrono::minutes(2)};    // the 354 to DATA
  std::chrono::milliseconds end_of_data{std::chrono::minutes(10)};  // the reply to the data
};
// One set for the process, read on the dialogue's thread; tests shorten them.
ReplyWaitFloors& WaitFloors();

class SaslMechanism;

// The dialogue of one SendMail: its state, recipients, flags, reply buffer and reply timer.
// Every change of state goes through SetState; every whole reply through Step, which picks
// the handler of the state.
class Dialogue {
 public:
  explicit Dialogue(SendMail::Impl& mail);
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;
  ~Dialogue();

  // Send: a new envelope; utf8_field names the field whose address needs SMTPUTF8 (empty
  // for none).
  void Prepare(std::vector<std::string> recipients, std::string utf8_field);
  // Send, after Prepare: starts the transaction on the kept connection when it can serve
  // this send (true); otherwise ends it and readies for a new connection (false).
  bool Resume();
  // The connection of sock rests between sends (KeepConnection).
  bool Kept(const TcpClient* sock) const { return state_ == State::kIdle && Follows(sock); }
  // A kept connection the server ends while it rests (close, error, 421): closed and
  // forgotten, nothing raised. False when sock is not the resting connection.
  bool EndIfResting(TcpClient* sock);
  // The kept connection was lost on the first command of a send, before the server took
  // anything of it: a new connection is made, once per send. False when that does not apply.
  bool RetryLost();
  // Once connected: the greeting is awaited (under implicit TLS after the handshake).
  void OnConnected();
  // The socket's data: cut into whole replies, each handled once.
  void OnData();
  // The socket failed: no reply of its connection is awaited any more.
  void Forget();
  // The dialogue has begun on sock (its greeting was awaited there).
  bool Follows(const TcpClient* sock) const { return sock && socket_ == sock; }
  // ... and has ended the way a dialogue ends (QUIT written, or a failure reported).
  bool Ended(const TcpClient* sock) const;
  // Ends the connection from this side; SendComplete follows.
  void EndConnection(const std::shared_ptr<TcpClient>& sock);

  State state() const { return state_; }
  const std::vector<std::string>& recipients() const { return recipients_; }
  int32_t recipient_index() const { return recipient_index_; }
  const Capabilities& capabilities() const { return capabilities_; }

  // What the server answered, filled as replies come.
  SendResult result;

 private:
  enum class Wait { kNone, kReply, kStartDataReply, kEndOfDataReply, kClose };

  // The only way the state changes.
  void SetState(State next) { state_ = next; }

  // One whole reply: the handler of the state, else the rule of the reply's kind.
  void Step(const std::string& reply);
  void OnGreeting();
  bool ExtensionsRequired() const;
  void OnEhloReply(const std::string& reply);
  void OnTlsEhloReply(const std::string& reply);
  void OnStartTlsReply(const std::string& reply, int32_t code);
  void OnHandshake(bool established, const std::string& text);
  void OnAuthReply(const std::string& reply, int32_t code);
  // The numbered steps 4 to 8 on a positive reply.
  void OnPositive();
  void OnRefusal(const std::string& reply);
  // A refusal shown ("<<") and reported as 12003 with its reply; ends: it is the send's
  // failure (not a recipient let alone under partial delivery).
  void ReportRefusal(const std::string& reply, bool ends);
  // A reply to the pipelined envelope: the sender's, then each recipient's in order; DATA
  // once all are in and none refused.
  void OnPipedDataReply(const std::string& reply, int32_t code);
  void OnEnvelopeReply(const std::string& reply, int32_t code);
  // AllowPartialDelivery: a refused recipient is reported and the send goes on, while more
  // replies are to come or one was accepted. False when the refusal stops the send.
  bool RefusedAlone(const std::string& reply, bool more);
  // Ready for MAIL FROM (or VRFY) on a connection that is greeted and logged in.
  void BeginTransaction();
  // An address needs SMTPUTF8 and the server does not offer it: reported, true.
  bool Utf8Refused();
  // The send has ended and the connection is kept; unclean: RSET before the next MAIL FROM.
  void Rest(bool unclean);
  // Hands the connection's remains to a new one made to the same settings.
  void Reconnect();

  void StartTls();
  void StartAuthentication();
  void WriteGreeting(bool extended);
  void WriteMailFrom();
  // The MAIL FROM parameters the message needs; false when it cannot be sent (reported).
  bool DeclareMessage(std::string& parameters);
  void RunDataPhase();
  const std::string& CurrentRecipient() const;
  // Moves to the next recipient; true when the one just used was the last.
  bool AdvanceRecipient();
  State AfterGreeting() const;
  void Record(const std::string& reply, int32_t code);

  void WriteCommand(const std::string& command, const std::string& status_text = {});
  void WriteQuit();
  // After a refusal or an error: QUIT between commands, so the server closes at once; inside
  // the message data, the close without the end-of-data line, so nothing partial is delivered.
  void Stop();
  // Reports a failure on the wire (12003 and the like) and stops.
  void Fail(int32_t number, const std::string& text, std::string_view method);
  // In a catch block: reports the error being handled and stops.
  void FailCaught(std::string_view method);
  // The connection of the reply being handled is still the object's, open, not cancelled.
  bool Current() const;

  void Reset();
  void FollowConnection();
  void Await(Wait wait);
  void StopTimer();
  void ScheduleTimer(std::chrono::milliseconds delay);
  void OnTimer(const std::weak_ptr<SendMail>& weak_mail, const std::weak_ptr<TcpClient>& weak_sock,
               const std::string& connection) noexcept;
  void TimedOut();

  SendMail::Impl& d_;
  State state_ = State::kNotGreeted;
  std::vector<std::string> recipients_;
  int32_t recipient_index_ = 0;
  std::string utf8_field_;
  Capabilities capabilities_;
  const SaslMechanism* mechanism_ = nullptr;
  int auth_step_ = 0;       // challenges answered
  bool auth_done_ = false;  // the mechanism has said its last word
  bool eight_bit_ = false;  // BODY=8BITMIME declared

  ReplyAssembler replies_;
  std::shared_ptr<TcpClient> sock_;  // the socket of the event being handled
  const void* socket_ = nullptr;     // the connection the buffered bytes belong to
  std::string connection_;
  bool data_started_ = false;  // the 354 of this connection has been answered
  bool in_data_ = false;       // the message data is being written
  bool quit_written_ = false;
  bool failure_reported_ = false;

  // KeepConnection.
  bool ready_ = false;        // greeted and logged in: a failure may leave it usable
  bool needs_reset_ = false;  // the last transaction on it did not end cleanly
  bool reused_ = false;       // this send runs on a kept connection, and nothing answered yet
  bool retried_ = false;      // this send has replaced a lost kept connection already
  std::string settings_;      // what the connection was made with
  std::chrono::steady_clock::time_point idle_since_{};

  // PIPELINING: replies to the envelope still to come, and those already in.
  size_t pending_ = 0;
  size_t piped_ = 0;
  // DATA went in the envelope's group: its reply is the group's last.
  bool data_piped_ = false;
  size_t accepted_ = 0;  // recipients the server accepted

  Wait wait_ = Wait::kNone;
  std::chrono::steady_clock::time_point since_{};
  std::chrono::milliseconds limit_{0};
  EventLoop::Id timer_ = 0;
  Connection progress_;
};

// Tells the connections of one socket object apart (Send reuses the object).
std::string ConnectionIdentity(const TcpClient& sock);

// The settings a connection is made with: a kept connection serves a send only when they
// are the same.
std::string ConnectionSettings(const SendMail::Impl& d);

// Writes QUIT on a connection no longer the object's, raising nothing, and closes it when
// the server answers or closes (at the latest after a few seconds).
void QuitQuietly(std::shared_ptr<TcpClient> sock);

}  // namespace postwing::session
