// Send, the connect wait, SendToWS and the socket's handlers, against peers on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "message/message_test_util.hpp"
#include "platform/resolver.hpp"
#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"
#include "session/send_mail_impl.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace postwing {
namespace {

using namespace std::chrono_literals;
using support::ScriptedPeer;
using support::Stall;

// A peer that accepts and never says a word (until the client goes).
struct Silent : ScriptedPeer {
  Silent() : ScriptedPeer({Stall(10s)}) {}
};

// The message fields Send requires, with a body so that no warning line is reported.
void FillMessage(SendMail& mail, int port, const std::string& server = "127.0.0.1") {
  mail.SetSMTPServer(server);
  mail.SetSMTPServerPort(port);
  mail.Header()->SetFrom("sender@example.org");
  mail.Header()->SetToList("rcpt@example.org");
  mail.Body()->SetText(Variant("Hello"));
}

int ClosedPort() {
  return support::LoopbackSocket(-1).port();
}

// Runs the loop in short passes until done() holds: for what the peer's thread changes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 2s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    ThreadEventLoop().RunOnce(std::chrono::milliseconds(5));
  }
  return done();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

constexpr int32_t kBase = vbObjectError;

std::vector<std::string> StartLines(int port, const std::string& host, int timeout) {
  return {">>Setting remote port to " + std::to_string(port) + "\r\n",
          ">>Setting remote host to " + host + "\r\n",
          ">>Setting time-out to " + std::to_string(timeout) + "\r\n", ">>Connecting\r\n",
          ">>Waiting for connect response\r\n"};
}

int IntOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, option, &value, &length), 0);
  return value;
}

long TimeOption(int fd, int option) {
  timeval tv{-1, 0};
  socklen_t length = sizeof tv;
  EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, option, &tv, &length), 0);
  return tv.tv_sec;
}

struct InjectionCase {
  const char* name;
  std::function<void(SendMail&)> set;
  const char* field;
};

class SendTest : public ::testing::Test {
 protected:
  void RefuseEach(std::span<const InjectionCase> cases,
                  const std::function<void(const InjectionCase&, const Exception*)>& check);
  void SetUp() override {
    mail_ = SendMail::Create();
    recorder_ = std::make_unique<support::EventRecorder>(*mail_);
  }
  support::SendOutcome& events() { return recorder_->outcome(); }
  // Runs the loop until the mail's socket is connected (or a second passes).
  bool RunUntilConnected() {
    return RunEventsUntil([&] { return mail_->Winsock()->State() == TcpClient::sckConnected; }, 2s);
  }
  void ExpectOneRecord(int32_t number, const std::string& source, const std::string& text,
                       const std::string& method) {
    ASSERT_EQ(mail_->Errors()->Count(), 1);
    auto e = mail_->Errors()->Item(1);
    EXPECT_EQ(e->Number(), number);
    EXPECT_EQ(e->Source(), source);
    EXPECT_EQ(e->Description(), text);
    EXPECT_EQ(e->HelpFile(), "");
    EXPECT_EQ(e->HelpContext(), 0);
    EXPECT_EQ(e->Method(), method);
  }

  std::shared_ptr<SendMail> mail_;
  std::unique_ptr<support::EventRecorder> recorder_;
};

// ---- the checks before connecting ----

struct CheckCase {
  const char* name;
  const char* server;
  const char* from;
  const char* to;
  const char* cc;
  MailErrors code;
  const char* text;
};

TEST_F(SendTest, ChecksRunInOrderServerFromToAndLeaveOneRecordEach) {
  const CheckCase cases[] = {
      {"no server, no from", "", "", "", "", emxEmailHostNotSpecified,
       "A required property 'EmailHost' was not specified"},
      {"no from", "127.0.0.1", "", "a@b", "", emxFromNotSpecified,
       "A required property 'From' address was not specified"},
      {"no to", "127.0.0.1", "s@b", "", "", emxToListNotSpecified,
       "A required property 'ToList' was not specified"},
      {"cc without to", "127.0.0.1", "s@b", "", "c@d", emxToListNotSpecified,
       "A required property 'ToList' was not specified"},
  };
  Silent server;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mail_->Clear();
    events() = {};
    mail_->SetSMTPServer(c.server);
    mail_->SetSMTPServerPort(server.port());
    mail_->Header()->SetFrom(c.from);
    mail_->Header()->SetToList(c.to);
    mail_->Header()->SetCcList(c.cc);
    try {
      mail_->Send();
      ADD_FAILURE() << "Send should raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), kBase + c.code);
      EXPECT_EQ(e.Source(), "postwing");
      EXPECT_EQ(e.Description(), c.text);
    }
    ExpectOneRecord(kBase + c.code, "postwing", c.text, "SendMail.Send");
    EXPECT_EQ(mail_->Errors()->Item(1)->Index(), 1);
    EXPECT_TRUE(events().status.empty());
  }
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(server.Accepted(), 0);
}

// Sends each case's message (without a login) and hands its refusal to check; a Send that
// did not raise is a failure. Nothing is reported as a status and nothing reaches the server.
void SendTest::RefuseEach(
    std::span<const InjectionCase> cases,
    const std::function<void(const InjectionCase&, const Exception*)>& check) {
  Silent server;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, server.port());
    mail_->SetUser("");
    c.set(*mail_);
    try {
      mail_->Send();
      ADD_FAILURE() << "Send should raise";
      check(c, nullptr);
    } catch (const Exception& e) {
      check(c, &e);
    }
    EXPECT_TRUE(events().status.empty());
  }
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(server.Accepted(), 0);
}

TEST_F(SendTest, LineBreaksAndNulInFieldsAreRefusedBeforeConnecting) {
  using namespace std::string_literals;
  const InjectionCase cases[] = {
      {"from address", [](SendMail& m) { m.Header()->SetFrom("<a@b\r\nRCPT TO:<x@y>>"); }, "From"},
      {"to entry", [](SendMail& m) { m.Header()->SetToList("ok@b;bad@b\nDATA"); }, "To"},
      {"to entry folded", [](SendMail& m) { m.Header()->SetToList("bad@b\r\n x"); }, "To"},
      {"cc entry", [](SendMail& m) { m.Header()->SetCcList("c@d\r"); }, "Cc"},
      {"to CR before a bracket",
       [](SendMail& m) { m.Header()->SetToList("c@example.com\rRCPT TO:<evil@x.example>"); }, "To"},
      {"bcc CR before a bracket",
       [](SendMail& m) { m.Header()->SetBccList("c@example.com\rRCPT TO:<evil@x.example>"); },
       "Bcc"},
      {"bcc entry", [](SendMail& m) { m.Header()->SetBccList("x@y;"s + "n\0ul@z"s); }, "Bcc"},
      {"user", [](SendMail& m) { m.SetUser("me\r\nMAIL FROM:<x@y>"); }, "User"},
      {"subject bare LF", [](SendMail& m) { m.Header()->SetSubject("hi\nBcc: x@y"); }, "SUBJECT"},
      {"subject CR LF not a fold", [](SendMail& m) { m.Header()->SetSubject("hi\r\nBcc: x@y"); },
       "SUBJECT"},
      {"subject ends in CR LF", [](SendMail& m) { m.Header()->SetSubject("hi\r\n"); }, "SUBJECT"},
      {"subject NUL", [](SendMail& m) { m.Header()->SetSubject("a\0b"s); }, "SUBJECT"},
      {"custom field", [](SendMail& m) { m.Header()->Values()->Add("v\r\n\r\nbody", "X-Tag"); },
       "X-Tag"},
      {"fold onto a blank line", [](SendMail& m) { m.Header()->SetSubject("a\r\n \r\n b"); },
       "SUBJECT"},
      {"body field", [](SendMail& m) { m.Body()->Values()->LetValue("x\ny", "X-Body"); }, "X-Body"},
      {"attachment field",
       [](SendMail& m) {
         m.Attachments()->Add(Variant("data"), "a.txt")->Values()->LetValue("v\r\nX: y", "X-Att");
       },
       "X-Att"},
  };
  RefuseEach(cases, [this](const InjectionCase& c, const Exception* e) {
    const std::string text = std::string("The field '") + c.field +
                             "' holds a line break or NUL character, which cannot be sent.";
    if (e) {
      EXPECT_EQ(e->Number(), kBase + emxIllegalCharacter);
      EXPECT_EQ(e->Source(), "postwing");
      EXPECT_EQ(e->Description(), text);
    }
    ExpectOneRecord(kBase + emxIllegalCharacter, "postwing", text, "SendMail.Send");
  });
}

TEST_F(SendTest, AFoldedHeaderFieldAndABrokenDisplayNameAreAccepted) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->Header()->SetSubject("a long\r\n\tsubject");
  mail_->Header()->SetToList("\"Some\r\n One\" <one@example.org>");
  mail_->SetTimeOut(0);
  EXPECT_NO_THROW(mail_->Send());
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  EXPECT_TRUE(RunUntilConnected());
}

TEST_F(SendTest, FieldsWithNoWireFormAreRefusedBeforeConnecting) {
  const InjectionCase cases[] = {
      {"unfoldable structured field",
       [](SendMail& m) {
         m.Header()->Values()->Add("<" + std::string(1000, 'r') + "@x>", "References");
       },
       "References"},
      {"structured field outside ASCII",
       [](SendMail& m) { m.Body()->Values()->LetValue("<caf\xC3\xA9@x>", "Content-ID"); },
       "Content-ID"},
  };
  RefuseEach(cases, [this](const InjectionCase& c, const Exception* e) {
    if (e) {
      EXPECT_EQ(e->Number(), kBase + emxContentNotSendable);
      EXPECT_EQ(
          e->Description().rfind(std::string("The field '") + c.field + "' cannot be sent: ", 0),
          0u)
          << e->Description();
    }
    EXPECT_EQ(mail_->Errors()->Count(), 1);
  });
}

// The DATE of a send is its moment unless the host chose one. A header made in one zone
// and sent in another shows which: a refreshed date carries the zone of the send.
TEST_F(SendTest, SendDatesTheMessageUnlessTheHostSetTheDate) {
  struct Case {
    const char* name;
    std::function<void(SendMail&)> set;
    bool refreshed;
  };
  const Case cases[] = {
      {"fresh header", [](SendMail&) {}, true},
      {"SendDate set", [](SendMail& m) { m.Header()->SetSendDate(Date::Now()); }, false},
      {"DATE set through Values",
       [](SendMail& m) {
         m.Header()->Values()->Item("DATE")->SetText("Mon, 1 JAN 2001 00:00:00 +0000");
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before;
    {
      testing::ScopedZone utc("UTC0");
      mail_->Clear();
      FillMessage(*mail_, ClosedPort());
      c.set(*mail_);
      before = mail_->Header()->Values()->GetValue("DATE");
    }
    testing::ScopedZone est("EST5");
    mail_->SetTimeOut(0);
    for (int send = 0; send < 2; ++send) {  // a reused object dates each send anew
      mail_->Send();
      const std::string after = mail_->Header()->Values()->GetValue("DATE");
      EXPECT_EQ(after.substr(after.size() - 5) == "-0500", c.refreshed) << after;
      if (!c.refreshed) {
        EXPECT_EQ(after, before);
      }
    }
    // The fresh header's fields keep their order.
    EXPECT_EQ(mail_->Header()->Values()->Item(3)->Key(), "DATE");
  }
}

TEST_F(SendTest, AnEmptyBodyIsAWarningOnly) {
  FillMessage(*mail_, ClosedPort());
  mail_->Body()->SetText(Variant(""));
  mail_->SetTimeOut(0);
  mail_->Send();
  ASSERT_FALSE(events().status.empty());
  EXPECT_EQ(events().status[0], "WARNING! Body is empty\r\n");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

// ---- the start and the connect wait ----

TEST_F(SendTest, StatusLinesOfANormalStartThenTheWaitTimesOutOnASilentServer) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(1);
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  double took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.8);

  auto expected = StartLines(server.port(), "127.0.0.1", 1);
  expected.push_back(">>Enabling Keep-Alive\r\n");
  EXPECT_EQ(events().status, expected);
  // Connected in time: the greeting is awaited for 5 minutes, on events.
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  EXPECT_EQ(events().completes, 0);
  EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckConnected);
  EXPECT_EQ(server.Ended(), 0);

  // A new Send closes it first.
  events() = {};
  mail_->SetTimeOut(0);
  mail_->Send();
  ASSERT_FALSE(events().status.empty());
  EXPECT_EQ(events().status[0], ">>Closing open socket\r\n");
  EXPECT_TRUE(PumpUntil([&] { return server.Ended() == 1; }));
}

TEST_F(SendTest, TheServersFirstDataEndsTheWait) {
  ScriptedPeer server({support::Reply("220 ready"), Stall(10s)});
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(2);
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  EXPECT_LT(SecondsSince(start), 1.0);
  auto expected = StartLines(server.port(), "127.0.0.1", 2);
  expected.push_back(">>Enabling Keep-Alive\r\n");
  expected.push_back("<<220 ready\r\n");
  ASSERT_GE(events().status.size(), expected.size());
  events().status.resize(expected.size());
  EXPECT_EQ(events().status, expected);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

// The wait limit is one per thread: a greeting on any SendMail of the thread ends every wait.
TEST_F(SendTest, AGreetingForAnotherObjectEndsTheWaitOfThisOne) {
  Silent silent;
  ScriptedPeer greeting({support::Reply("220 ready"), Stall(10s)});
  auto other = SendMail::Create();
  FillMessage(*other, greeting.port());
  other->SetTimeOut(2);
  FillMessage(*mail_, silent.port());
  mail_->SetTimeOut(2);
  // Runs inside this object's wait; the other's Send waits, nested, for its greeting.
  mail_->OnSendStatus([&](std::string& data) {
    if (data == ">>Enabling Keep-Alive\r\n") other->Send();
  });
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  EXPECT_TRUE(events().errors.empty());
}

TEST_F(SendTest, TimeOutZeroReturnsAtOnceAndTheConnectionGoesOnOnEvents) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(0);
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  EXPECT_LT(SecondsSince(start), 0.5);
  EXPECT_EQ(events().status, StartLines(server.port(), "127.0.0.1", 0));
  EXPECT_TRUE(RunUntilConnected());
  EXPECT_TRUE(events().Saw(">>Enabling Keep-Alive\r\n"));
  int fd = mail_->Winsock()->SocketHandle();
  EXPECT_EQ(TimeOption(fd, SO_SNDTIMEO), 0);
  EXPECT_EQ(TimeOption(fd, SO_RCVTIMEO), 0);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(SendTest, ATimeOutAbove32767OverflowsAfterTheConnectionWasStarted) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(40000);
  try {
    mail_->Send();
    FAIL() << "Send should raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 6);
    EXPECT_EQ(e.Description(), "Overflow");
  }
  ExpectOneRecord(6, "postwing", "Overflow", "SendMail.Send");
  EXPECT_EQ(events().status, StartLines(server.port(), "127.0.0.1", 40000));
  EXPECT_TRUE(RunUntilConnected());
  EXPECT_TRUE(PumpUntil([&] { return server.Accepted() == 1; }));
}

// Every Send that returns ends with one WinsockError saying why, then one SendComplete.
TEST_F(SendTest, AFailedConnectionEndsTheSendOnceAfterItsError) {
  support::LoopbackSocket refusing(-1);
  support::LoopbackSocket full(0);
  full.FillQueue();
  Silent silent;
  support::LoopbackSocket closing(4);
  std::thread closer([&] {
    int c = ::accept(closing.fd(), nullptr, nullptr);
    if (c >= 0) ::close(c);
  });
  session::WaitFloors().command = 1500ms;
  struct Case {
    const char* name;
    int port;
    int32_t number;
    const char* text;  // empty: the socket's own
    double returns_after, ends_after;
  } cases[] = {
      {"refused", refusing.port(), 10061, "", 0, 0},
      {"connect never completes", full.port(), 10060, "The attempt to connect timed out.", 1, 1},
      {"no greeting", silent.port(), 10060, "The server did not reply within 2 seconds.", 1, 1.5},
      {"closed before the greeting", closing.port(), 10053,
       "The server closed the connection before the message was accepted.", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, c.port);
    mail_->SetTimeOut(1);
    auto start = std::chrono::steady_clock::now();
    mail_->Send();
    EXPECT_NEAR(SecondsSince(start), c.returns_after, 0.4);
    EXPECT_TRUE(PumpUntil([&] { return events().completes > 0; }, 3s));
    EXPECT_NEAR(SecondsSince(start), c.ends_after, 0.4);
    RunEventsUntil([] { return false; }, 100ms);
    EXPECT_EQ(events().completes, 1);
    ASSERT_EQ(events().errors.size(), 1u);
    EXPECT_EQ(events().errors[0].number, c.number);
    if (*c.text) {
      EXPECT_EQ(events().errors[0].description, c.text);
    }
    EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckClosed);
  }
  session::WaitFloors() = {};
  closer.join();
}

TEST_F(SendTest, AFailingHandlerOfTheSocketsErrorIsRecordedAndReported) {
  FillMessage(*mail_, ClosedPort());
  mail_->SetTimeOut(0);
  int calls = 0;
  mail_->OnWinsockError([&](int32_t&, std::string&, std::string&, std::string&, int32_t&) {
    if (++calls <= 2) throw std::runtime_error("handler " + std::to_string(calls));
  });
  mail_->Send();
  // Nothing escapes into the loop.
  RunEventsUntil([&] { return calls == 2; }, 2s);
  ASSERT_EQ(mail_->Errors()->Count(), 2);
  EXPECT_EQ(mail_->Errors()->Item(1)->Number(), 10061);
  EXPECT_EQ(mail_->Errors()->Item(2)->Description(), "handler 1");
  EXPECT_EQ(mail_->Errors()->Item(2)->Method(), "SendMail.Winsock_Error");
  // The report of the handler's own failure fails as well: nothing more is recorded.
  EXPECT_EQ(calls, 2);
  ASSERT_EQ(events().errors.size(), 2u);
  EXPECT_EQ(events().errors[0].number, 10061);
  EXPECT_EQ(events().errors[1].description, "handler 1");
}

class UnresolvableName : public SendTest {
 protected:
  void SetUp() override {
    SendTest::SetUp();
    platform::SetResolver([](const std::string& host, uint16_t) {
      platform::ResolveResult r;
      if (host == "mail.nowhere.test") {
        r.error = 11001;
        r.description = platform::WinsockErrorText(11001);
      }
      return r;
    });
  }
  void TearDown() override { platform::SetResolver(nullptr); }
};

TEST_F(UnresolvableName, GivesTwoRecordsAndOneWinsockErrorWithTheFixedText) {
  FillMessage(*mail_, 25, "mail.nowhere.test");
  mail_->SetTimeOut(5);
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  EXPECT_LT(SecondsSince(start), 0.5);  // a name that is not found is final
  EXPECT_EQ(events().completes, 1);
  const std::string fixed =
      "Host SMTPServer NOT FOUND! Please check the SendMail.SMTPServer property.";
  ASSERT_EQ(mail_->Errors()->Count(), 2);
  EXPECT_EQ(mail_->Errors()->Item(1)->Number(), 11001);
  EXPECT_EQ(mail_->Errors()->Item(1)->Description(), platform::WinsockErrorText(11001));
  EXPECT_EQ(mail_->Errors()->Item(2)->Number(), 11001);
  EXPECT_EQ(mail_->Errors()->Item(2)->Description(), fixed);
  for (const auto& e : *mail_->Errors()) {
    EXPECT_EQ(e->Source(), "Winsock");
    EXPECT_EQ(e->Method(), "SendMail.Winsock_Error");
  }
  ASSERT_EQ(events().errors.size(), 1u);
  EXPECT_EQ(events().errors[0].number, 11001);
  EXPECT_EQ(events().errors[0].source, "Winsock");
  EXPECT_EQ(events().errors[0].description, fixed);
}

TEST_F(SendTest, CancelFromAStatusHandlerEndsTheWaitAfterThatPass) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(2);
  mail_->OnSendStatus([&](std::string& data) {
    if (data == ">>Enabling Keep-Alive\r\n") mail_->Cancel();
  });
  auto start = std::chrono::steady_clock::now();
  mail_->Send();
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(events().completes, 1);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  EXPECT_TRUE(events().errors.empty());
  EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckClosed);
  EXPECT_TRUE(PumpUntil([&] { return server.Ended() == 1; }));
}

TEST_F(SendTest, AFailingSendCompleteHandlerStillEndsTheConnection) {
  ScriptedPeer server({Stall(300ms), support::Close()});
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(0);
  mail_->Send();
  ASSERT_TRUE(RunUntilConnected());
  mail_->OnSendComplete([] { throw std::runtime_error("host failed"); });
  mail_->SetTimeOut(2);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunEventsUntil([&] { return events().completes > 0; }, 2s));
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(events().completes, 1);
  EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckClosed);
  // The close before the greeting (10053), then the handler's failure.
  ASSERT_EQ(mail_->Errors()->Count(), 2);
  EXPECT_EQ(mail_->Errors()->Item(2)->Method(), "SendMail.Winsock_Close");
  EXPECT_EQ(mail_->Errors()->Item(2)->Description(), "host failed");
  ASSERT_EQ(events().errors.size(), 2u);
  EXPECT_EQ(events().errors[1].description, "host failed");
}

// ---- the socket options ----

TEST_F(SendTest, KeepAliveIfAskedAndTheTimeOutsAreSetOnTheDescriptor) {
  for (bool keep_alive : {true, false}) {
    SCOPED_TRACE(keep_alive);
    Silent server;
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, server.port());
    mail_->SetKeepAlive(keep_alive);
    mail_->SetTimeOut(0);
    int keepalive_at_status = -1;
    auto c = mail_->OnSendStatus([&](std::string& data) {
      if (data == ">>Enabling Keep-Alive\r\n") {
        keepalive_at_status = IntOption(mail_->Winsock()->SocketHandle(), SO_KEEPALIVE);
      }
    });
    mail_->Send();
    mail_->SetTimeOut(7);  // read when the connection is made
    ASSERT_TRUE(RunUntilConnected());
    c.Disconnect();
    int fd = mail_->Winsock()->SocketHandle();
    ASSERT_GE(fd, 0);
    // Reported first, set right after.
    EXPECT_EQ(keepalive_at_status, keep_alive ? 0 : -1);
    EXPECT_EQ(IntOption(fd, SO_KEEPALIVE) != 0, keep_alive);
    EXPECT_EQ(TimeOption(fd, SO_SNDTIMEO), 7);
    EXPECT_EQ(TimeOption(fd, SO_RCVTIMEO), 7);
    EXPECT_EQ(mail_->Errors()->Count(), 0);
  }
}

TEST_F(SendTest, ANegativeTimeOutIsReportedAs380AndSetsNoTimeOut) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(-1);
  mail_->Send();  // a wait limit below 1 does not wait
  ASSERT_TRUE(RunUntilConnected());
  RunEventsUntil([&] { return !events().errors.empty(); }, 1s);
  ASSERT_EQ(events().errors.size(), 1u);
  EXPECT_EQ(events().errors[0].number, 380);
  EXPECT_EQ(events().errors[0].description, "Invalid property value");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  int fd = mail_->Winsock()->SocketHandle();
  EXPECT_NE(IntOption(fd, SO_KEEPALIVE), 0);
  EXPECT_EQ(TimeOption(fd, SO_SNDTIMEO), 0);
  EXPECT_EQ(TimeOption(fd, SO_RCVTIMEO), 0);
}

TEST_F(SendTest, AFailingOptionCallIsRecordedWithErrnoAndLeavesTheTimeOutsUnset) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(0);
  int fd = -1;
  int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null_fd, 0);
  // Puts a descriptor that is no socket where the connection's was, so the option call fails.
  mail_->OnSendStatus([&](std::string& data) {
    if (data != ">>Enabling Keep-Alive\r\n") return;
    fd = mail_->Winsock()->SocketHandle();
    ::dup2(null_fd, fd);
  });
  mail_->Send();
  ASSERT_TRUE(RunUntilConnected());
  ASSERT_GE(fd, 0);
  std::vector<std::shared_ptr<Error>> records(mail_->Errors()->begin(), mail_->Errors()->end());
  auto reported = events().errors;
  mail_->Cancel();
  ::close(null_fd);
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0]->Number(), ENOTSOCK);
  EXPECT_EQ(records[0]->Source(), "postWing");
  EXPECT_EQ(records[0]->Description(), "Error setting KeepAlive during connect");
  EXPECT_EQ(records[0]->Method(), "SendMail.Connect");
  ASSERT_GE(reported.size(), 1u);
  EXPECT_EQ(reported[0].number, ENOTSOCK);
  EXPECT_EQ(reported[0].source, "postWing");
  // The handler left after the failure: no time-out call was made.
  for (const auto& r : records) EXPECT_NE(r->Method(), "SendMail.Timeout");
}

// SendToWS is the last guard of the wire: the dialogue never hands it a line break, so the
// guard and its failures are reached only from here.
TEST_F(SendTest, SendToWSWritesOneCheckedLine) {
  ScriptedPeer server({support::Expect("NOOP"), support::Expect("secret")});
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(0);
  auto& d = postwing::ImplOf(*mail_);
  d.SendToWS("NOT CONNECTED");  // reported, not written
  mail_->Send();
  ASSERT_TRUE(RunUntilConnected());
  events().status.clear();
  d.SendToWS("NOOP");
  d.SendToWS("secret", "Sending Body");
  EXPECT_EQ(events().status, (std::vector<std::string>{">>NOOP\r\n", ">>Sending Body\r\n"}));
  EXPECT_THROW(d.SendToWS("RCPT TO:<a@b>\r\nDATA"), Exception);
  auto c = mail_->OnSendStatus([](std::string&) { throw std::runtime_error("handler broke"); });
  EXPECT_THROW(d.SendToWS("NOOP"), Exception);
  c.Disconnect();
  RunEventsUntil([] { return false; }, 200ms);  // the writes go out on the loop
  mail_->Cancel();
  events().status.clear();
  d.SendToWS("NOOP");  // cancelled: not written, not even reported
  EXPECT_TRUE(events().status.empty());
  EXPECT_TRUE(server.Completed()) << server.Failure();
  ASSERT_EQ(mail_->Errors()->Count(), 2);
  EXPECT_EQ(mail_->Errors()->Item(1)->Description(),
            "The command holds a line break or NUL character, which cannot be sent.");
  EXPECT_EQ(mail_->Errors()->Item(1)->Number(), kBase + emxIllegalCharacter);
  EXPECT_EQ(mail_->Errors()->Item(2)->Description(), "handler broke");
  EXPECT_EQ(mail_->Errors()->Item(2)->Method(), "SendMail.SendToWS");
}

TEST_F(SendTest, AnErrorOfAStatusHandlerInsideSendIsRecordedUnderSend) {
  FillMessage(*mail_, ClosedPort());
  mail_->OnSendStatus([](std::string& data) {
    if (data == ">>Connecting\r\n") throw std::runtime_error("no");
  });
  EXPECT_THROW(mail_->Send(), Exception);
  ExpectOneRecord(5, "postwing", "no", "SendMail.Send");
}

// ---- Clear and teardown during a connection ----

TEST_F(SendTest, ClearClosesTheConnectionOfTheSocketItReleases) {
  Silent server;
  FillMessage(*mail_, server.port());
  mail_->SetTimeOut(0);
  mail_->Send();
  ASSERT_TRUE(RunUntilConnected());
  auto old = mail_->Winsock();
  mail_->Clear();
  EXPECT_NE(mail_->Winsock(), old);
  EXPECT_EQ(old->State(), TcpClient::sckClosed);
  EXPECT_TRUE(PumpUntil([&] { return server.Ended() == 1; }));
  EXPECT_EQ(events().completes, 0);
}

}  // namespace
}  // namespace postwing
