// Send, the connect wait, SendToWS and the socket's handlers, against peers on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
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
using support::PumpUntil;
using support::ScriptedPeer;
using support::Stall;

// A peer that accepts and never says a word (until the client goes).
struct Silent : ScriptedPeer {
  Silent() : ScriptedPeer({Stall(10s)}) {}
};

// The message fields Send requires, with folds that it accepts: in a display name and in the
// subject.
void FillMessage(SendMail& mail, int port, const std::string& server = "127.0.0.1") {
  support::FillMessage(mail, port, server);
  mail.Header()->SetToList("\"Some\r\n One\" <rcpt@example.org>");
  mail.Header()->SetSubject("a long\r\n\tsubject");
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A socket option as the descriptor holds it.
template <class T>
T Option(int fd, int option) {
  T value{};
  socklen_t length = sizeof value;
  EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, option, &value, &length), 0);
  return value;
}

class SendTest : public ::testing::Test {
 protected:
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

// Sets a field of the message by the name its refusal gives it.
void SetField(SendMail& m, const std::string& field, const std::string& text) {
  if (field == "EmailHost") m.SetSMTPServer(text);
  if (field == "From") m.Header()->SetFrom(text);
  if (field == "To") m.Header()->SetToList(text);
  if (field == "Cc") m.Header()->SetCcList(text);
  if (field == "Bcc") m.Header()->SetBccList(text);
  if (field == "User") m.SetUser(text);
  if (field == "SUBJECT") m.Header()->SetSubject(text);
  if (field == "X-Tag" || field == "References") m.Header()->Values()->Add(text, field);
  if (field == "X-Body" || field == "Content-ID") m.Body()->Values()->LetValue(text, field);
  if (field == "X-Att")
    m.Attachments()->Add(Variant("data"), "a.txt")->Values()->LetValue(text, field);
}

// Send refuses a message it cannot send with one record and no status line, the checks in
// the order server, From, To; nothing reaches the server.
TEST_F(SendTest, FieldsThatCannotBeSentAreRefusedBeforeConnecting) {
  using namespace std::string_literals;
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;  // set in this order
    MailErrors code = emxIllegalCharacter;
    std::string text = "";  // empty: the line-break text naming the last field
  };
  const std::string need = "A required property '", field = "The field '";
  const Case cases[] = {
      // clang-format off
      {{{"EmailHost", ""}, {"From", ""}}, emxEmailHostNotSpecified,
       need + "EmailHost' was not specified"},
      {{{"From", ""}, {"To", ""}}, emxFromNotSpecified, need + "From' address was not specified"},
      {{{"To", ""}, {"Cc", "c@d"}}, emxToListNotSpecified, need + "ToList' was not specified"},
      {{{"From", "<a@b\r\nRCPT TO:<x@y>>"}}}, {{{"To", "ok@b;bad@b\nDATA"}}},
      {{{"To", "bad@b\r\n x"}}} /* a fold inside an address */, {{{"Cc", "c@d\r"}}},
      {{{"To", "c@example.com\rRCPT TO:<evil@x.example>"}}}, {{{"X-Att", "v\r\nX: y"}}},
      {{{"Bcc", "c@example.com\rRCPT TO:<evil@x.example>"}}}, {{{"X-Body", "x\ny"}}},
      {{{"Bcc", "x@y;"s + "n\0ul@z"s}}}, {{{"User", "me\r\nMAIL FROM:<x@y>"}}},
      {{{"SUBJECT", "hi\nBcc: x@y"}}}, {{{"SUBJECT", "a\r\n \r\n b"}}} /* onto a blank */,
      {{{"X-Tag", "v\r\n\r\nbody"}}},
      {{{"References", "<" + std::string(1000, 'r') + "@x>"}}, emxContentNotSendable,
       field + "References' cannot be sent: a line of it would be longer than 998 characters, "
               "with no place to fold it."},
      {{{"Content-ID", "<caf\xC3\xA9@x>"}}, emxContentNotSendable,
       field + "Content-ID' cannot be sent: it holds characters outside ASCII where no encoding "
               "may stand (an address or a structured field)."},
      // clang-format on
  };
  Silent server;
  for (const auto& c : cases) {
    const auto& [name, value] = c.fields.back();
    SCOPED_TRACE(name + ": " + value);
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, server.port());
    mail_->SetUser("");
    for (const auto& [n, v] : c.fields) SetField(*mail_, n, v);
    const std::string text = !c.text.empty() ? c.text
                                             : field + name +
                                                   "' holds a line break or NUL character, which "
                                                   "cannot be sent.";
    try {
      mail_->Send();
      ADD_FAILURE() << "Send should raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), vbObjectError + c.code);
      EXPECT_EQ(e.Source(), "postwing");
      EXPECT_EQ(e.Description(), text);
    }
    ExpectOneRecord(vbObjectError + c.code, "postwing", text, "SendMail.Send");
    EXPECT_EQ(mail_->Errors()->Item(1)->Index(), 1);
    EXPECT_TRUE(events().status.empty());
  }
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(server.Accepted(), 0);
}

// The DATE of a send is its moment unless the host chose one. A header made in one zone
// and sent in another shows which: a refreshed date carries the zone of the send.
TEST_F(SendTest, SendDatesTheMessageUnlessTheHostSetTheDate) {
  for (int host_set : {0, 1, 2}) {  // no, SendDate, DATE through Values
    SCOPED_TRACE(host_set);
    std::string before;
    {
      testing::ScopedZone utc("UTC0");
      mail_->Clear();
      FillMessage(*mail_, support::LoopbackSocket(-1).port());
      if (host_set == 1) mail_->Header()->SetSendDate(Date::Now());
      if (host_set == 2) {
        mail_->Header()->Values()->Item("DATE")->SetText("Mon, 1 JAN 2001 00:00:00 +0000");
      }
      before = mail_->Header()->Values()->GetValue("DATE");
    }
    testing::ScopedZone est("EST5");
    mail_->SetTimeOut(0);
    for (int send = 0; send < 2; ++send) {  // a reused object dates each send anew
      mail_->Send();
      const std::string after = mail_->Header()->Values()->GetValue("DATE");
      EXPECT_EQ(after.ends_with("-0500"), host_set == 0) << after;
      EXPECT_TRUE(host_set == 0 || after == before) << after;
    }
    // The fresh header's fields keep their order.
    EXPECT_EQ(mail_->Header()->Values()->Item(3)->Key(), "DATE");
  }
}

// ---- the start and the connect wait ----

// The start of a send and its connect wait: the status lines, how long Send takes, and what
// becomes of the connection. Still open, it is closed first by the next Send, or by Clear.
TEST_F(SendTest, TheConnectWaitEndsAtTimeOutAtTheFirstReplyOrOnACancel) {
  const std::string keep_alive = ">>Enabling Keep-Alive\r\n";
  const struct Row {
    const char* name;
    bool greets;  // the peer says "220 ready" at once; else nothing
    int32_t time_out;
    bool cancel;  // a status handler cancels once the connection is made
    double min_s, max_s;
    std::vector<std::string> after;  // the status lines after the start's
    int32_t raised = 0;
  } cases[] = {
      Row("a silent server: the wait ends at TimeOut, connected", false, 1, false, 0.95, 1.8,
          {keep_alive}),
      Row("the greeting ends the wait", true, 2, false, 0, 1, {keep_alive, "<<220 ready\r\n"}),
      Row("TimeOut 0: no wait, the connection goes on on events", false, 0, false, 0, 0.5, {}),
      Row("TimeOut over 32767 overflows after the start", false, 40000, false, 0, 0.5, {}, 6),
      Row("a cancel from a status handler ends the wait after that pass", false, 2, true, 0, 1,
          {keep_alive}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer server(c.greets ? support::Steps{support::Reply("220 ready"), Stall(10s)}
                                 : support::Steps{Stall(10s)});
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, server.port());
    mail_->SetTimeOut(c.time_out);
    auto handler = mail_->OnSendStatus([&](std::string& data) {
      if (c.cancel && data == keep_alive) mail_->Cancel();
    });
    auto start = std::chrono::steady_clock::now();
    try {
      mail_->Send();
      EXPECT_EQ(c.raised, 0);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), c.raised);
      EXPECT_EQ(e.Description(), "Overflow");
    }
    EXPECT_GE(SecondsSince(start), c.min_s);
    EXPECT_LT(SecondsSince(start), c.max_s);
    handler.Disconnect();
    std::vector<std::string> expected = {
        ">>Setting remote port to " + std::to_string(server.port()) + "\r\n",
        ">>Setting remote host to 127.0.0.1\r\n",
        ">>Setting time-out to " + std::to_string(c.time_out) + "\r\n", ">>Connecting\r\n",
        ">>Waiting for connect response\r\n"};
    expected.insert(expected.end(), c.after.begin(), c.after.end());
    if (c.greets) {
      ASSERT_GE(events().status.size(), expected.size());
      events().status.resize(expected.size());
    }
    EXPECT_EQ(events().status, expected);
    if (c.raised) {
      ExpectOneRecord(6, "postwing", "Overflow", "SendMail.Send");
    } else {
      EXPECT_EQ(mail_->Errors()->Count(), 0);
    }
    EXPECT_TRUE(events().errors.empty());
    if (c.cancel) {
      EXPECT_EQ(events().completes, 1);
      EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckClosed);
    } else {
      EXPECT_EQ(events().completes, 0);
      EXPECT_TRUE(RunUntilConnected());
      EXPECT_EQ(server.Ended(), 0);
      events() = {};
      mail_->SetTimeOut(0);
      mail_->Send();
      ASSERT_FALSE(events().status.empty());
      EXPECT_EQ(events().status[0], ">>Closing open socket\r\n");
      // Clear closes the connection of the socket it releases, with no SendComplete.
      auto old = mail_->Winsock();
      ASSERT_TRUE(RunUntilConnected());
      mail_->Clear();
      EXPECT_EQ(old->State(), TcpClient::sckClosed);
      EXPECT_EQ(events().completes, 0);
    }
    EXPECT_TRUE(PumpUntil([&] { return server.Ended() == 1; }));
  }
}

// Every Send that returns ends with one WinsockError saying why, then one SendComplete; the
// records hold the same number (an unknown name has two: the resolver's text, then the fixed
// one reported). A SendComplete or WinsockError handler that fails is recorded and reported
// after it; the failure of a WinsockError handler at that report is not.
TEST_F(SendTest, AFailedConnectionEndsTheSendOnceAfterItsError) {
  support::LoopbackSocket refusing(-1);
  support::LoopbackSocket full(0);
  full.FillQueue();
  Silent silent;
  support::LoopbackSocket closing(4);
  std::thread closer([&] {
    for (int i = 0; i < 2; ++i) {
      int c = ::accept(closing.fd(), nullptr, nullptr);
      if (c >= 0) ::close(c);
    }
  });
  session::WaitFloors().command = 1500ms;
  platform::SetResolver([](const std::string&, uint16_t) {
    platform::ResolveResult r;
    r.error = 11001;
    r.description = platform::WinsockErrorText(11001);
    return r;
  });
  const std::string closed = "The server closed the connection before the message was accepted.";
  const std::string error = "SendMail.Winsock_Error", close = "SendMail.Winsock_Close";
  struct Case {
    const char* name;
    std::string server;
    int port;
    int32_t number;
    std::string text;  // empty: the socket's own
    double returns_after, ends_after;
    std::string method;  // of the records
    int records = 1;
    int failing = 0;  // the handler that throws: 1 SendComplete's, 2 WinsockError's
  } cases[] = {
      {"refused", "127.0.0.1", refusing.port(), 10061, "", 0, 0, error},
      {"connect never completes", "127.0.0.1", full.port(), 10060,
       "The attempt to connect timed out.", 1, 1, error},
      {"no greeting", "127.0.0.1", silent.port(), 10060,
       "The server did not reply within 2 seconds.", 1, 1.5, "SendMail.Timeout"},
      {"closed before the greeting", "127.0.0.1", closing.port(), 10053, closed, 0, 0, close},
      {"closed, and the SendComplete handler fails", "127.0.0.1", closing.port(), 10053, closed, 0,
       0, close, 1, 1},
      {"refused, and the WinsockError handler fails", "127.0.0.1", refusing.port(), 10061, "", 0, 0,
       error, 1, 2},
      {"a name that is not found is final", "mail.nowhere.test", 25, 11001,
       "Host SMTPServer NOT FOUND! Please check the SendMail.SMTPServer property.", 0, 0, error, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, c.port, c.server);
    mail_->SetTimeOut(1);
    int calls = 0;
    auto fail = [&](int handler) {
      if (c.failing == handler) throw std::runtime_error("host failed " + std::to_string(++calls));
    };
    auto on_complete = mail_->OnSendComplete([&] { fail(1); });
    auto on_error = mail_->OnWinsockError(
        [&](int32_t&, std::string&, std::string&, std::string&, int32_t&) { fail(2); });
    auto start = std::chrono::steady_clock::now();
    mail_->Send();
    EXPECT_NEAR(SecondsSince(start), c.returns_after, 0.4);
    EXPECT_TRUE(PumpUntil([&] { return events().completes > 0; }, 3s));
    EXPECT_NEAR(SecondsSince(start), c.ends_after, 0.4);
    RunEventsUntil([] { return false; }, 100ms);
    on_complete.Disconnect();
    on_error.Disconnect();
    const bool fails = c.failing != 0;
    EXPECT_EQ(events().completes, 1);
    ASSERT_EQ(events().errors.size(), 1u + fails);
    EXPECT_EQ(events().errors[0].number, c.number);
    if (!c.text.empty()) {
      EXPECT_EQ(events().errors[0].description, c.text);
    }
    ASSERT_EQ(mail_->Errors()->Count(), c.records + fails);
    for (int i = 1; i <= c.records + fails; ++i) {
      EXPECT_EQ(mail_->Errors()->Item(i)->Number(), i > c.records ? 5 : c.number);
      EXPECT_EQ(mail_->Errors()->Item(i)->Method(), c.method);
    }
    if (fails) {
      EXPECT_EQ(mail_->Errors()->Item(2)->Description(), "host failed 1");
      EXPECT_EQ(events().errors[1].description, "host failed 1");
    }
    EXPECT_EQ(mail_->Winsock()->State(), TcpClient::sckClosed);
  }
  platform::SetResolver(nullptr);
  session::WaitFloors() = {};
  closer.join();
}

// ---- the socket options ----

// Keep-alive as asked, set right after its status line, and TimeOut (read when the connection
// is made) on both time-outs of the descriptor; a negative TimeOut sets none and is reported
// as 380 without a record. A failing option call is recorded with its errno, and the time-outs
// are left unset.
TEST_F(SendTest, KeepAliveIfAskedAndTheTimeOutsAreSetOnTheDescriptor) {
  const struct {
    bool keep_alive;
    int32_t time_out;
    long set;
    int32_t error;
    bool broken = false;  // no socket where the connection's was when keep-alive is set
  } cases[] = {{true, 7, 7, 0},
               {false, 7, 7, 0},
               {true, 0, 0, 0},
               {true, -1, 0, 380},
               {true, 7, 0, ENOTSOCK, true}};
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null_fd, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Silent server;
    mail_->Clear();
    events() = {};
    FillMessage(*mail_, server.port());
    mail_->SetKeepAlive(c.keep_alive);
    mail_->SetTimeOut(0);
    int keepalive_at_status = -1;
    auto handler = mail_->OnSendStatus([&](std::string& data) {
      if (data != ">>Enabling Keep-Alive\r\n") return;
      keepalive_at_status = Option<int>(mail_->Winsock()->SocketHandle(), SO_KEEPALIVE);
      if (c.broken) ::dup2(null_fd, mail_->Winsock()->SocketHandle());
    });
    mail_->Send();
    mail_->SetTimeOut(c.time_out);
    ASSERT_TRUE(RunUntilConnected());
    handler.Disconnect();
    if (c.broken) {  // the handler left at the failure: no time-out call was made
      ASSERT_GE(mail_->Errors()->Count(), 1);
      const auto e = mail_->Errors()->Item(1);
      EXPECT_EQ(e->Number(), ENOTSOCK);
      EXPECT_EQ(e->Source(), "postWing");
      EXPECT_EQ(e->Description(), "Error setting KeepAlive during connect");
      EXPECT_EQ(e->Method(), "SendMail.Connect");
      for (const auto& r : *mail_->Errors()) EXPECT_NE(r->Method(), "SendMail.Timeout");
      ASSERT_GE(events().errors.size(), 1u);
      EXPECT_EQ(events().errors[0].number, ENOTSOCK);
      EXPECT_EQ(events().errors[0].source, "postWing");
      mail_->Cancel();
      continue;
    }
    RunEventsUntil([&] { return !events().errors.empty(); }, c.error ? 1s : 0s);
    int fd = mail_->Winsock()->SocketHandle();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(keepalive_at_status, c.keep_alive ? 0 : -1);
    EXPECT_EQ(Option<int>(fd, SO_KEEPALIVE) != 0, c.keep_alive);
    EXPECT_EQ(Option<timeval>(fd, SO_SNDTIMEO).tv_sec, c.set);
    EXPECT_EQ(Option<timeval>(fd, SO_RCVTIMEO).tv_sec, c.set);
    EXPECT_EQ(mail_->Errors()->Count(), 0);
    ASSERT_EQ(events().errors.size(), c.error ? 1u : 0u);
    if (c.error) {
      EXPECT_EQ(events().errors[0].number, 380);
      EXPECT_EQ(events().errors[0].description, "Invalid property value");
    }
  }
  ::close(null_fd);
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
  EXPECT_EQ(mail_->Errors()->Item(1)->Number(), vbObjectError + emxIllegalCharacter);
  EXPECT_EQ(mail_->Errors()->Item(2)->Description(), "handler broke");
  EXPECT_EQ(mail_->Errors()->Item(2)->Method(), "SendMail.SendToWS");
}

TEST_F(SendTest, AnErrorOfAStatusHandlerInsideSendIsRecordedUnderSend) {
  FillMessage(*mail_, support::LoopbackSocket(-1).port());
  mail_->OnSendStatus([](std::string& data) {
    if (data == ">>Connecting\r\n") throw std::runtime_error("no");
  });
  EXPECT_THROW(mail_->Send(), Exception);
  ExpectOneRecord(5, "postwing", "no", "SendMail.Send");
}

}  // namespace
}  // namespace postwing
