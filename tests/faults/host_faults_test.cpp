// Hosts that misbehave inside the events: handlers and sinks that throw, that cancel, clear or
// send again, or that drop the last reference to the object. The library survives each: the
// throw is recorded under the method that raised the event and reported through WinsockError,
// the dialogue stops (QUIT, or a close inside the message data), and SendComplete follows.
#include <dirent.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace postwing;
using namespace support;
using namespace std::chrono_literals;

int OpenDescriptors() {
  // The thread's loop and its wake-up descriptor live as long as the thread: make them
  // exist before counting, so a test run alone counts the same as one run in the suite.
  postwing::ThreadEventLoop().Post([] {});
  postwing::DoEvents();
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

class HostFaults : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> NewMail() { return support::NewMail(server_.port(), 2); }
  ScriptedPeer server_;
};

// ---- a status handler that throws, at each kind of step ----

class ThrowingStatus : public HostFaults, public ::testing::WithParamInterface<const char*> {};

TEST_P(ThrowingStatus, IsRecordedAndTheSendEndsOnce) {
  const std::string trigger = GetParam();
  server_.Serve(GoodDialogue());
  auto mail = NewMail();
  auto c = mail->OnSendStatus([trigger](std::string& line) {
    if (line.rfind(trigger, 0) == 0) throw std::runtime_error("host handler failed");
  });
  const auto o = SendAndWait(mail, 5s);
  c.Disconnect();
  EXPECT_EQ(o.completes, 1) << o.Transcript();
  EXPECT_GE(mail->Errors()->Count(), 1);
  EXPECT_FALSE(o.errors.empty());
  EXPECT_LT(o.took, 3s) << o.Transcript();
  EXPECT_LE(server_.Messages().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AtEachStep, ThrowingStatus,
                         ::testing::Values("<<220", ">>HELO", "<<250 hello", ">>MAIL", "<<354",
                                           ">>Sending", "<<250 accepted"));

TEST_F(HostFaults, ThrowingSinkIsRecordedLikeAThrowingHandler) {
  struct Sink : ISendMailEvents {
    Variant SendStatus(std::string data, Variant) override {
      if (data.rfind("<<250 ok", 0) == 0) throw std::logic_error("sink failed");
      return {};
    }
  };
  server_.Serve(GoodDialogue());
  auto mail = NewMail();
  mail->SetEventSink(std::make_shared<Sink>());
  const auto o = SendAndWait(mail, 5s);
  EXPECT_EQ(o.completes, 1) << o.Transcript();
  EXPECT_FALSE(o.errors.empty());
  EXPECT_EQ(server_.Messages().size(), 0u) << "the message stopped before its data";
  mail->SetEventSink(nullptr);
}

TEST_F(HostFaults, ThrowingCompleteAndErrorHandlersLeaveNoDescriptorBehind) {
  const int before = OpenDescriptors();
  {
    server_.Serve({Reply("554 go away"), Expect("QUIT"), Reply("221 bye")});
    auto mail = NewMail();
    int completes = 0;
    auto c1 = mail->OnSendComplete([&] {
      ++completes;
      throw std::runtime_error("complete handler failed");
    });
    auto c2 = mail->OnWinsockError([](int32_t&, std::string&, std::string&, std::string&,
                                      int32_t&) { throw std::runtime_error("error handler"); });
    try {
      mail->Send();
    } catch (const Exception&) {
    }
    RunEventsUntil([&] { return completes > 0; }, 5s);
    RunEventsUntil([] { return false; }, 50ms);
    EXPECT_EQ(completes, 1);
    EXPECT_GE(mail->Errors()->Count(), 1);
    server_.Join();
    c1.Disconnect();
    c2.Disconnect();
  }
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(OpenDescriptors(), before);
}

// ---- handlers that steer the object from inside its events ----

TEST_F(HostFaults, CancelFromEachEventEndsAtOnceWithoutMoreWrites) {
  for (const char* trigger : {"<<220", "<<250 hello", ">>RCPT", "<<354", ">>Sending"}) {
    SCOPED_TRACE(trigger);
    server_.Serve(GoodDialogue());
    auto mail = NewMail();
    bool cancelled = false;
    std::vector<std::string> after;
    auto c = mail->OnSendStatus([&, trigger](std::string& line) {
      if (cancelled) after.push_back(line);
      if (!cancelled && line.rfind(trigger, 0) == 0) {
        cancelled = true;
        mail->Cancel();
      }
    });
    const auto o = SendAndWait(mail, 5s);
    c.Disconnect();
    EXPECT_EQ(o.completes, 1) << o.Transcript();
    EXPECT_FALSE(o.Accepted() && std::string(trigger) != ">>Sending") << o.Transcript();
    for (const auto& line : after) EXPECT_NE(line.rfind(">>", 0), 0u) << line;
    EXPECT_LT(o.took, 2s);
    server_.Join();
  }
}

TEST_F(HostFaults, ClearFromAnEventDropsTheConnection) {
  // Clear replaces the socket: the connection in progress is closed and its events are
  // ignored. The host asked for it, so no SendComplete is promised; nothing hangs or leaks.
  // From the connect event and from a reply's.
  const int before = OpenDescriptors();
  for (const char* trigger : {">>Enabling Keep-Alive", "<<250 hello"}) {
    SCOPED_TRACE(trigger);
    server_.Serve(GoodDialogue());
    auto mail = NewMail();
    bool cleared = false;
    auto c = mail->OnSendStatus([&, trigger](std::string& line) {
      if (!cleared && line.rfind(trigger, 0) == 0) {
        cleared = true;
        mail->Clear();
      }
    });
    SendAndWait(mail, 1500ms);
    c.Disconnect();
    EXPECT_TRUE(cleared);
    EXPECT_EQ(server_.Count("RCPT"), 0);
    EXPECT_TRUE(server_.Completed() || server_.Failure().find("closed") != std::string::npos);
  }
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(HostFaults, SendAgainFromSendCompleteDeliversBothMessages) {
  server_.Serve(GoodDialogue(), 2);
  auto mail = NewMail();
  int completes = 0;
  auto c = mail->OnSendComplete([&] {
    if (++completes == 1) {
      // A second send needs a fresh header (a new Message-ID): Clear, as hosts do.
      mail->Clear();
      mail->SetSMTPServer("127.0.0.1");
      mail->SetSMTPServerPort(server_.port());
      mail->Header()->SetFrom("from@example.org");
      mail->Header()->SetToList("to@example.org");
      mail->Body()->SetText("second body");
      mail->Send();
    }
  });
  try {
    mail->Send();
  } catch (const Exception&) {
  }
  RunEventsUntil([&] { return completes >= 2; }, 8s);
  c.Disconnect();
  EXPECT_EQ(completes, 2);
  EXPECT_EQ(server_.Messages().size(), 2u);
  EXPECT_EQ(mail->Errors()->Count(), 0);
}

TEST_F(HostFaults, SendAgainInsideTheDialogueRestartsIt) {
  server_.Serve(GoodDialogue(), 2);
  auto mail = NewMail();
  bool again = false;
  auto c = mail->OnSendStatus([&](std::string& line) {
    if (!again && line.rfind("<<250 hello", 0) == 0) {
      again = true;
      mail->Send();
    }
  });
  const auto o = SendAndWait(mail, 8s);
  c.Disconnect();
  EXPECT_TRUE(again);
  EXPECT_GE(o.completes, 1) << o.Transcript();
  EXPECT_TRUE(o.Accepted()) << o.Transcript();
}

TEST_F(HostFaults, ObjectDroppedInsideItsOwnEventsSurvives) {
  for (const char* trigger :
       {">>Enabling Keep-Alive", "<<220", "<<250 ok", "<<250 accepted", "complete"}) {
    SCOPED_TRACE(trigger);
    server_.Serve(GoodDialogue());
    auto mail = NewMail();
    std::weak_ptr<SendMail> weak = mail;
    auto holder = std::make_shared<std::shared_ptr<SendMail>>(mail);
    mail.reset();
    bool done = false;
    auto c1 = (*holder)->OnSendStatus([holder, trigger, &done](std::string& line) {
      if (*holder && line.rfind(trigger, 0) == 0) {
        holder->reset();
        done = true;
      }
    });
    auto c2 = (*holder)->OnSendComplete([holder, trigger, &done] {
      if (std::string(trigger) == "complete") holder->reset();
      done = true;
    });
    try {
      (*holder)->Send();
    } catch (const Exception&) {
    }
    RunEventsUntil([&] { return done; }, 5s);
    RunEventsUntil([] { return false; }, 50ms);
    EXPECT_TRUE(done);
    holder->reset();
    EXPECT_TRUE(weak.expired());
    c1.Disconnect();
    c2.Disconnect();
    server_.Join();
  }
}

}  // namespace
