// A server that fails at each step of the dialogue: closes, resets, stalls past TimeOut,
// refuses with 421, answers garbage or NUL bytes. Whatever it does, the send ends within the
// promised waits with exactly one SendComplete, the failure is recorded, and the message is
// never taken as accepted unless the server accepted it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace postwing;
using namespace support;
using namespace std::chrono_literals;

// A whole AUTH LOGIN dialogue that verifies its two recipients, and the points where a fault
// replaces the server's answer, named after what the server has just received. VRFY takes the
// bare address, in the recipients' order, before the envelope.
// clang-format off
const std::vector<Step> kAll = {
    Reply("220 ready"), Expect("EHLO"), Reply("250-hello\n250 AUTH LOGIN"), Expect("AUTH LOGIN"),
    Reply("334 VXNlcm5hbWU6"), Expect(""), Reply("334 UGFzc3dvcmQ6"), Expect(""),
    Reply("235 welcome"), Expect("VRFY one@example.org"), Reply("250 one"),
    Expect("VRFY two@example.org"), Reply("252 two"), Expect("MAIL"), Reply("250 sender ok"),
    Expect("RCPT TO: <one"), Reply("250 first ok"), Expect("RCPT TO: <two"), Reply("250 second ok"),
    Expect("DATA"), Reply("354 go ahead"), DataPart(64), Data(), Reply("250 accepted"),
    Expect("QUIT"), Reply("221 bye")};
const std::pair<const char*, size_t> kPoints[] = {
    {"Connect", 0}, {"Greeting", 1}, {"Ehlo", 2}, {"AuthLogin", 4}, {"User", 6}, {"Password", 8},
    {"Vrfy1", 10}, {"Vrfy2", 12}, {"Mail", 14}, {"Rcpt1", 16}, {"Rcpt2", 18}, {"Data", 20},
    {"Go", 21}, {"MidData", 22}, {"DataEnd", 23}, {"Quit", 25}};
// clang-format on

enum Fault { kClose, kReset, kStall, k421, kGarbage, kNul };
const char* const kFaultNames[] = {"Close", "Reset", "Stall", "Refuse421", "Garbage", "Nul"};

// What the server does instead of its answer; a wrong answer is followed by a pause and a close.
std::vector<Step> FaultSteps(Fault f) {
  const Step answers[] = {Reply("421 shutting down"), Raw({"\x01\xfe garbage\r\n"}),
                          Raw({std::string("\0\0\0\0\r\n", 6)})};
  if (f >= k421) return {answers[f - k421], Stall(300ms), Close()};
  return {f == kClose ? Close() : f == kReset ? Reset() : Stall(2500ms)};
}

class DialogueFault : public ::testing::TestWithParam<std::tuple<size_t, int>> {
 protected:
  // The floors of the reply waits shortened from minutes to just past TimeOut, so a stall
  // ends by the time-out within the test's bounds; the end of the data keeps its 10 minutes.
  static void SetUpTestSuite() {
    session::WaitFloors().command = 1500ms;
    session::WaitFloors().start_data = 1200ms;
  }
  static void TearDownTestSuite() { session::WaitFloors() = {}; }
  static ScriptedPeer& Server() {
    static ScriptedPeer server;
    return server;
  }
};

TEST_P(DialogueFault, EndsOnceRecordedAndNeverFalselyAccepted) {
  const auto [at, fault] = GetParam();
  const std::string point = kPoints[at].first;
  const bool after_acceptance = point == "Quit";
  // The end of the data waits at least 10 minutes for its reply: a stall there is ended by
  // the host's Cancel.
  const bool long_wait =
      fault == kStall && (point == "Go" || point == "MidData" || point == "DataEnd");
  std::vector<Step> steps(kAll.begin(), kAll.begin() + static_cast<long>(kPoints[at].second));
  for (auto& s : FaultSteps(static_cast<Fault>(fault))) steps.push_back(s);
  Server().Serve(steps);

  auto mail = NewMail(Server().port(), 1);
  mail->SetUser("joe@example.org");
  mail->SetPassword("secret");
  mail->Header()->SetVerify(true);
  mail->Header()->SetToList("one@example.org");
  mail->Header()->SetCcList("Two <two@example.org>");
  mail->Body()->SetText("A body of the fault tests, long enough to be cut in the middle.\r\n");

  EventRecorder recorder(*mail);
  const SendOutcome& o = recorder.outcome();
  const auto start = std::chrono::steady_clock::now();
  mail->Send();
  RunEventsUntil([&] { return o.completes > 0; }, long_wait ? 1500ms : 5s);
  if (long_wait) {
    EXPECT_EQ(o.completes, 0) << "the reply to the data is awaited longer than TimeOut";
    mail->Cancel();
  }
  // A stall ends after its floor (1.5 s here), everything else at once.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3500ms) << o.Transcript();
  RunEventsUntil([] { return false; }, 50ms);

  EXPECT_EQ(o.completes, 1) << o.Transcript();
  EXPECT_EQ(o.Accepted(), after_acceptance) << o.Transcript();
  if (!after_acceptance && !long_wait) {
    EXPECT_FALSE(o.errors.empty()) << "the host must learn that the send failed\n"
                                   << o.Transcript();
    EXPECT_GE(mail->Errors()->Count(), 1);
  }
  // After the acceptance only a close (or silence) is quiet; a 421 or garbage answer to QUIT is
  // still reported as the dialogue's error.
  if (after_acceptance && (fault == kClose || fault == kStall)) {
    EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  }
  // After a failure nothing but QUIT is written, and a message is sent at most once.
  EXPECT_LE(Server().Messages().size(), 1u);
  auto it = std::find_if(o.status.begin(), o.status.end(), [](const std::string& line) {
    return line.rfind("<<421", 0) == 0 || line.rfind("<<\x01", 0) == 0;
  });
  for (; it != o.status.end(); ++it) {
    EXPECT_TRUE(it->rfind(">>", 0) != 0 || *it == ">>QUIT\r\n") << o.Transcript();
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, DialogueFault,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPoints)),
                                            ::testing::Range<int>(kClose, kNul + 1)),
                         [](const auto& info) {
                           return std::string(kFaultNames[std::get<1>(info.param)]) + "At" +
                                  kPoints[std::get<0>(info.param)].first;
                         });

}  // namespace
