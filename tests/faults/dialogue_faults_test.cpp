// A server that fails at each step of the dialogue: closes, resets, stalls past TimeOut,
// refuses with 421, answers garbage or NUL bytes. Whatever it does, the send ends within the
// promised waits with exactly one SendComplete, the failure is recorded, and the message is
// never taken as accepted unless the server accepted it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace postwing;
using namespace support;
using namespace std::chrono_literals;

// A whole AUTH LOGIN dialogue with two recipients, and the points where a fault replaces the
// server's answer, named after what the server has just received.
// clang-format off
const std::vector<Step> kAll = {
    Reply("220 ready"), Expect("EHLO"), Reply("250-hello\n250 AUTH LOGIN"), Expect("AUTH LOGIN"),
    Reply("334 VXNlcm5hbWU6"), Expect(""), Reply("334 UGFzc3dvcmQ6"), Expect(""),
    Reply("235 welcome"), Expect("MAIL"), Reply("250 sender ok"), Expect("RCPT"),
    Reply("250 first ok"), Expect("RCPT"), Reply("250 second ok"), Expect("DATA"),
    Reply("354 go ahead"), DataPart(64), Data(), Reply("250 accepted"), Expect("QUIT"),
    Reply("221 bye")};
// clang-format on
const std::pair<const char*, size_t> kPoints[] = {
    {"Connect", 0},  {"Greeting", 1}, {"Ehlo", 2},     {"AuthLogin", 4}, {"User", 6},
    {"Password", 8}, {"Mail", 10},    {"Rcpt1", 12},   {"Rcpt2", 14},    {"Data", 16},
    {"Go", 17},      {"MidData", 18}, {"DataEnd", 19}, {"Quit", 21}};

enum Fault { kClose, kReset, kStall, k421, kGarbage, kNul };
const char* const kFaultNames[] = {"Close", "Reset", "Stall", "Refuse421", "Garbage", "Nul"};

// What the server does instead of its answer; a wrong answer is followed by a pause and a close.
std::vector<Step> FaultSteps(Fault f) {
  const Step answers[] = {Reply("421 shutting down"), Raw({"\x01\xfe garbage\r\n"}),
                          Raw({std::string("\0\0\0\0\r\n", 6)})};
  if (f >= k421) return {answers[f - k421], Stall(300ms), Close()};
  return {f == kClose ? Close() : f == kReset ? Reset() : Stall(2500ms)};
}

struct Case {
  size_t point;
  Fault fault;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (int f = kClose; f <= kNul; ++f) {
    for (size_t p = 0; p < std::size(kPoints); ++p) cases.push_back({p, static_cast<Fault>(f)});
  }
  return cases;
}

class DialogueFault : public ::testing::TestWithParam<Case> {
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
  const Case c = GetParam();
  const std::string point = kPoints[c.point].first;
  const bool after_acceptance = point == "Quit";
  // The end of the data waits at least 10 minutes for its reply: a stall there is ended by
  // the host's Cancel.
  const bool long_wait =
      c.fault == kStall && (point == "Go" || point == "MidData" || point == "DataEnd");
  std::vector<Step> steps(kAll.begin(), kAll.begin() + static_cast<long>(kPoints[c.point].second));
  for (auto& s : FaultSteps(c.fault)) steps.push_back(s);
  Server().Serve(steps);

  auto mail = NewMail(Server().port(), 1);
  mail->SetUser("joe@example.org");
  mail->SetPassword("secret");
  mail->Header()->SetToList("one@example.org;two@example.org");
  mail->Body()->SetText("A body of the fault tests, long enough to be cut in the middle.\r\n");

  SendOutcome o;
  if (long_wait) {
    EventRecorder recorder(*mail);
    mail->Send();
    auto shared = recorder.shared();
    RunEventsUntil([shared] { return shared->completes > 0; }, 1500ms);
    EXPECT_EQ(shared->completes, 0) << "the reply to the data is awaited longer than TimeOut";
    mail->Cancel();
    RunEventsUntil([] { return false; }, 30ms);
    o = *shared;
  } else {
    o = SendAndWait(mail, 5s);
    // A stall ends after its floor (1.5 s here), everything else at once.
    EXPECT_LT(o.took, std::chrono::milliseconds(3500)) << o.Transcript();
  }

  EXPECT_EQ(o.completes, 1) << o.Transcript();
  EXPECT_EQ(o.Accepted(), after_acceptance) << o.Transcript();
  if (!after_acceptance && !long_wait) {
    EXPECT_FALSE(o.errors.empty()) << "the host must learn that the send failed\n"
                                   << o.Transcript();
    EXPECT_GE(mail->Errors()->Count(), 1);
  }
  // After the acceptance only a close (or silence) is quiet; a 421 or garbage answer to QUIT is
  // still reported as the dialogue's error.
  if (after_acceptance && (c.fault == kClose || c.fault == kStall)) {
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

INSTANTIATE_TEST_SUITE_P(EveryStep, DialogueFault, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(kFaultNames[info.param.fault]) + "At" +
                                  kPoints[info.param.point].first;
                         });

}  // namespace
