// A server that fails at each step of the dialogue: closes, resets, stalls past TimeOut,
// refuses with 421, answers garbage or NUL bytes. Whatever it does, the send ends within the
// promised waits with exactly one SendComplete, the failure is recorded, and the message is
// never taken as accepted unless the server accepted it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "faults/fault_server.hpp"
#include "faults/fault_support.hpp"
#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"

namespace {

using namespace postwing;
using faults::Step;

// The steps of a whole AUTH LOGIN dialogue with two recipients, each point named after what
// the server has just received when the fault replaces its answer.
struct Point {
  const char* name;
  std::vector<Step> before;  // the steps up to the fault
  std::vector<Step> after;   // the rest of a good dialogue
};

std::vector<Point> Points() {
  using namespace faults;
  const std::vector<Step> all = {
      Send("220 ready\r\n"),                    // 0
      Expect("EHLO"),                           // 1
      Send("250-hello\r\n250 AUTH LOGIN\r\n"),  // 2
      Expect("AUTH LOGIN"),                     // 3
      Send("334 VXNlcm5hbWU6\r\n"),             // 4
      Expect(""),                               // 5
      Send("334 UGFzc3dvcmQ6\r\n"),             // 6
      Expect(""),                               // 7
      Send("235 welcome\r\n"),                  // 8
      Expect("MAIL"),                           // 9
      Send("250 sender ok\r\n"),                // 10
      Expect("RCPT"),                           // 11
      Send("250 first ok\r\n"),                 // 12
      Expect("RCPT"),                           // 13
      Send("250 second ok\r\n"),                // 14
      Expect("DATA"),                           // 15
      Send("354 go ahead\r\n"),                 // 16
      DataPart(64),                             // 17
      Data(),                                   // 18
      Send("250 accepted\r\n"),                 // 19
      Expect("QUIT"),                           // 20
      Send("221 bye\r\n"),                      // 21
  };
  auto cut = [&](const char* name, size_t at) {
    return Point{name, std::vector<Step>(all.begin(), all.begin() + static_cast<long>(at)),
                 std::vector<Step>(all.begin() + static_cast<long>(at), all.end())};
  };
  return {cut("Connect", 0),  cut("Greeting", 1), cut("Ehlo", 2),  cut("AuthLogin", 4),
          cut("User", 6),     cut("Password", 8), cut("Mail", 10), cut("Rcpt1", 12),
          cut("Rcpt2", 14),   cut("Data", 16),    cut("Go", 17),   cut("MidData", 18),
          cut("DataEnd", 19), cut("Quit", 21)};
}

enum class Fault { kClose, kReset, kStall, k421, kGarbage, kNul };

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kClose:
      return "Close";
    case Fault::kReset:
      return "Reset";
    case Fault::kStall:
      return "Stall";
    case Fault::k421:
      return "Refuse421";
    case Fault::kGarbage:
      return "Garbage";
    case Fault::kNul:
      return "Nul";
  }
  return "?";
}

std::vector<Step> FaultSteps(Fault f) {
  using namespace faults;
  switch (f) {
    case Fault::kClose:
      return {Close()};
    case Fault::kReset:
      return {Reset()};
    case Fault::kStall:
      return {Sleep(2500)};
    case Fault::k421:
      return {Send("421 shutting down\r\n"), Sleep(300), Close()};
    case Fault::kGarbage:
      return {Send("\x01\xfe garbage\r\n"), Sleep(300), Close()};
    case Fault::kNul:
      return {Send(std::string("\0\0\0\0\r\n", 6)), Sleep(300), Close()};
  }
  return {};
}

struct Case {
  size_t point;
  Fault fault;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const size_t points = Points().size();
  for (Fault f :
       {Fault::kClose, Fault::kReset, Fault::kStall, Fault::k421, Fault::kGarbage, Fault::kNul}) {
    for (size_t p = 0; p < points; ++p) cases.push_back({p, f});
  }
  return cases;
}

class DialogueFault : public ::testing::TestWithParam<Case> {
 protected:
  // The floors of the reply waits shortened from minutes to just past TimeOut, so a stall
  // ends by the time-out within the test's bounds; the end of the data keeps its 10 minutes.
  static void SetUpTestSuite() {
    session::WaitFloors().command = std::chrono::milliseconds(1500);
    session::WaitFloors().start_data = std::chrono::milliseconds(1200);
  }
  static void TearDownTestSuite() { session::WaitFloors() = {}; }
  static faults::FaultServer& Server() {
    static faults::FaultServer server;
    return server;
  }
};

TEST_P(DialogueFault, EndsOnceRecordedAndNeverFalselyAccepted) {
  const Case c = GetParam();
  const Point point = Points()[c.point];
  const bool after_acceptance = std::string(point.name) == "Quit";
  // The end of the data waits at least 10 minutes for its reply: a stall there is ended by
  // the host's Cancel.
  const bool long_wait = c.fault == Fault::kStall &&
                         (std::string(point.name) == "Go" || std::string(point.name) == "MidData" ||
                          std::string(point.name) == "DataEnd");
  std::vector<Step> steps = point.before;
  for (auto& s : FaultSteps(c.fault)) steps.push_back(s);
  Server().Serve(steps);

  auto mail = SendMail::Create();
  mail->SetSMTPServer("127.0.0.1");
  mail->SetSMTPServerPort(Server().port());
  mail->SetTimeOut(1);
  mail->SetUser("joe@example.org");
  mail->SetPassword("secret");
  mail->Header()->SetFrom("from@example.org");
  mail->Header()->SetToList("one@example.org;two@example.org");
  mail->Body()->SetText("A body of the fault tests, long enough to be cut in the middle.\r\n");

  faults::Outcome o;
  if (long_wait) {
    faults::Recorder recorder(mail);
    mail->Send();
    auto shared = recorder.shared();
    RunEventsUntil([shared] { return shared->completes > 0; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(shared->completes, 0) << "the reply to the data is awaited longer than TimeOut";
    mail->Cancel();
    RunEventsUntil([] { return false; }, std::chrono::milliseconds(30));
    o = *shared;
  } else {
    o = faults::SendAndWait(mail, std::chrono::seconds(5));
    // A stall ends after its floor (1.5 s here), everything else at once.
    EXPECT_LT(o.took, std::chrono::milliseconds(3500)) << o.Transcript();
  }
  const auto log = Server().Log();

  EXPECT_EQ(o.completes, 1) << o.Transcript();
  EXPECT_EQ(o.Accepted(), after_acceptance) << o.Transcript();
  if (!after_acceptance && !long_wait) {
    EXPECT_FALSE(o.errors.empty()) << "the host must learn that the send failed\n"
                                   << o.Transcript();
    EXPECT_GE(mail->Errors()->Count(), 1);
  }
  // After the acceptance only a close (or silence) is quiet; a 421 or garbage answer to QUIT is
  // still reported as the dialogue's error.
  if (after_acceptance && (c.fault == Fault::kClose || c.fault == Fault::kStall)) {
    EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  }
  // After a failure nothing but QUIT is written, and a message is sent at most once.
  EXPECT_LE(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.rfind("DATA:", 0) == 0; }),
            1);
  for (const auto& line : o.status) {
    if (line.rfind("<<421", 0) == 0 || line.rfind("<<\x01", 0) == 0) {
      const auto at = std::find(o.status.begin(), o.status.end(), line);
      for (auto it = at + 1; it != o.status.end(); ++it) {
        if (it->rfind(">>", 0) == 0) {
          EXPECT_EQ(*it, ">>QUIT\r\n") << o.Transcript();
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, DialogueFault, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(FaultName(info.param.fault)) + "At" +
                                  Points()[info.param.point].name;
                         });

}  // namespace
