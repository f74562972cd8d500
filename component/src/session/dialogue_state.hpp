// The SMTP dialogue's state and the rules it applies to replies and commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "postwing/connection.hpp"
#include "postwing/event_loop.hpp"
#include "session/reply_assembler.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing::session {

// The dialogue states: the value names the last step taken.
enum DialogueStates : int32_t {
  kNotGreeted = 0,
  kEhloWritten = 1,
  kAuthLoginWritten = 2,
  kUserWritten = 3,
  kVerifying = 4,
  kReadyForMail = 5,
  kRcptInProgress = 6,
  kLastRcptWritten = 7,
  kDataWritten = 8,
  // QUIT written because the dialogue stopped (a refusal or an error); replies change nothing.
  kStopped = 9,
};

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

// Once connected: the greeting is awaited, on this connection's reply timer.
void AwaitGreeting(SendMail::Impl& d);

}  // namespace postwing::session

namespace postwing {

struct SendMail::Impl::Dialogue {
  enum class Wait { kNone, kReply, kStartDataReply, kEndOfDataReply, kClose };

  Dialogue() = default;
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;
  ~Dialogue();

  // Forgets everything of the previous connection.
  void Reset();

  session::ReplyAssembler replies;
  // The connection the buffered bytes belong to.
  const void* socket = nullptr;
  std::string connection;

  bool data_started = false;  // the 354 of this connection has been answered
  bool in_data = false;       // the message data is being written
  bool quit_written = false;
  bool failure_reported = false;

  // The reply time-out: what is awaited, since when, for how long.
  Wait wait = Wait::kNone;
  std::chrono::steady_clock::time_point since{};
  std::chrono::milliseconds limit{0};
  EventLoop::Id timer = 0;

  // Notes the socket's write progress while the data's reply is awaited.
  Connection progress;
};

}  // namespace postwing
