// The SendMail object: defaults, Clear, Cancel, teardown and its events; its error log and
// the text of a Variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "message/message_test_util.hpp"
#include "postwing/postwing.hpp"
#include "support/loopback.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace postwing {
namespace {

using namespace std::chrono_literals;
using support::EventRecorder;

// Writes each event it gets as "sink <event> <arguments> #<ID>" into a log it may share with
// the handlers.
struct RecordingSink : ISendMailEvents {
  explicit RecordingSink(std::vector<std::string>& into) : log(into) {}
  std::vector<std::string>& log;
  Variant SendStatus(std::string Data, Variant ID) override { return Note("status " + Data, ID); }
  Variant SendComplete(Variant ID) override { return Note("complete", ID); }
  Variant WinsockError(int32_t Number, std::string Source, std::string Description,
                       std::string HelpFile, int32_t HelpContext, Variant ID) override {
    return Note("error " + std::to_string(Number) + " " + Source + "|" + Description + "|" +
                    HelpFile + "|" + std::to_string(HelpContext),
                ID);
  }
  Variant Note(const std::string& event, const Variant& id) {
    log.push_back("sink " + event + " #" + id.ToString());
    return {};
  }
};

void ExpectConnectionDefaults(const SendMail& mail) {
  EXPECT_EQ(mail.SMTPServer(), "127.127.127.0");
  EXPECT_EQ(mail.SMTPServerPort(), 25);
  EXPECT_EQ(mail.TimeOut(), 15);
  EXPECT_TRUE(mail.KeepAlive());
  EXPECT_FALSE(mail.UseDomainForHELO());
  EXPECT_TRUE(mail.AddOutlookHTML());
}

TEST(SendMailObject, ClearRestoresTheDefaultsAndKeepsTheHostsValues) {
  auto mail = SendMail::Create();
  ExpectConnectionDefaults(*mail);
  std::vector<std::string> log;
  mail->SetEventSink(std::make_shared<RecordingSink>(log));
  EventRecorder events(*mail);
  Variant id(Variant::Array{Variant(1), Variant("two")});  // stored and returned as a copy
  mail->SetID(id);
  id.AsArray().clear();
  mail->ID().AsArray().clear();
  EXPECT_EQ(mail->ID().AsArray().size(), 2u);
  mail->SetUser("a");
  mail->SetPassword("p");
  mail->SetID(Variant("tag"));
  mail->SetSMTPServer("x");
  mail->SetSMTPServerPort(2525);
  mail->SetTimeOut(60);
  mail->SetKeepAlive(false);
  mail->SetUseDomainForHELO(true);
  mail->SetAddOutlookHTML(false);
  mail->Errors()->Add(1, "s", "d", "", 0, "X.Y");
  auto old_header = mail->Header();
  auto old_body = mail->Body();
  auto old_attachments = mail->Attachments();
  auto old_utilities = mail->Utilities();
  auto old_errors = mail->Errors();
  auto old_socket = mail->Winsock();

  Variant result = mail->Clear();

  EXPECT_TRUE(result.IsEmpty());
  ExpectConnectionDefaults(*mail);
  EXPECT_EQ(mail->User(), "a");
  EXPECT_EQ(mail->Password(), "p");
  EXPECT_EQ(mail->ID(), Variant("tag"));
  EXPECT_EQ(mail->Errors()->Count(), 0);
  EXPECT_NE(mail->Errors(), old_errors);
  EXPECT_EQ(old_errors->Count(), 1);
  EXPECT_NE(mail->Winsock(), old_socket);

  // The replaced children are detached objects; the new ones belong to the mail.
  auto replaced = [&](const auto& old, const auto& now) {
    EXPECT_NE(old, now);
    EXPECT_EQ(old->Parent(), nullptr);
    EXPECT_EQ(now->Parent(), mail);
  };
  replaced(old_header, mail->Header());
  replaced(old_body, mail->Body());
  replaced(old_attachments, mail->Attachments());
  replaced(old_utilities, mail->Utilities());
  old_header->SetSubject("changed after Clear");
  EXPECT_EQ(mail->Header()->Subject(), "");

  // Clear raises no event; handlers and sink stay connected. Cancel on an idle object raises
  // SendComplete, to the sink too until it is taken away.
  EXPECT_TRUE(events.outcome().status.empty());
  EXPECT_EQ(events.outcome().completes, 0);
  mail->Cancel();
  EXPECT_EQ(events.outcome().completes, 1);
  EXPECT_EQ(log, (std::vector<std::string>{"sink complete #tag"}));
  mail->SetEventSink(nullptr);
  mail->Cancel();
  EXPECT_EQ(events.outcome().completes, 2);
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(mail->Errors()->Count(), 0);
  EXPECT_EQ(mail->Winsock()->State(), TcpClient::sckClosed);
}

// A SendComplete handler or sink that fails is recorded under Cancel and raised to its caller.
TEST(SendMailObject, CancelRaisesWhatItsHandlersRaise) {
  struct ThrowingSink : ISendMailEvents {
    Variant SendComplete(Variant) override { throw Exception(1234, "host", "sink failed"); }
  };
  const struct {
    std::function<void(SendMail&)> fail;
    int32_t number;
    const char* source;
    const char* text;
  } cases[] = {
      {[](SendMail& m) { m.OnSendComplete([] { throw std::runtime_error("host failure"); }); }, 5,
       "postwing", "host failure"},
      {[](SendMail& m) { m.SetEventSink(std::make_shared<ThrowingSink>()); }, 1234, "host",
       "sink failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto mail = SendMail::Create();
    c.fail(*mail);
    try {
      mail->Cancel();
      ADD_FAILURE() << "Cancel should raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), c.number);
      EXPECT_EQ(e.Source(), c.source);
      EXPECT_EQ(e.Description(), c.text);
    }
    ASSERT_EQ(mail->Errors()->Count(), 1);
    EXPECT_EQ(mail->Errors()->Item(1)->Method(), "SendMail.Cancel");
    EXPECT_EQ(mail->Errors()->Item(1)->Number(), c.number);
  }
}

// A Send after Cancel without Clear must not run with cancelled codecs (the AUTH LOGIN user
// name and attachments came out truncated).
TEST(SendMailObject, SendAfterCancelEncodesWhole) {
  using namespace support;
  ScriptedPeer peer(Steps{Reply("220 ready"), Expect("EHLO"), Reply("250-hello\n250 AUTH LOGIN"),
                          Expect("AUTH LOGIN"), Reply("334 VXNlcm5hbWU6"),
                          Expect("dXNlcm5hbWVAZXg="), Reply("334 UGFzc3dvcmQ6"), Expect(""),
                          Reply("235 ok")} +
                    Transaction());
  auto mail = NewMail(peer.port());
  mail->Cancel();
  mail->SetUser("username@ex");
  mail->Attachments()->Add(Variant("attached text"), "a.txt", "", emxBase64);
  EXPECT_EQ(SendAndWait(mail).error(), 0);
  EXPECT_TRUE(peer.Completed()) << peer.Failure();
  EXPECT_NE(peer.Messages().at(0).find("YXR0YWNoZWQgdGV4dA=="), std::string::npos);
}

// ---- events ----

TEST(SendMailEvents, HandlersRunInOrderThenTheSinkWithTheirChangesAndTheIdOfTheMoment) {
  auto mail = SendMail::Create();
  std::vector<std::string> order;
  mail->SetEventSink(std::make_shared<RecordingSink>(order));
  mail->SetID(Variant(7));
  mail->OnSendStatus([&](std::string& data) {
    order.push_back("first:" + data);
    data = "changed";
    mail->SetID(Variant("set by handler"));
  });
  mail->OnSendStatus([&](std::string& data) { order.push_back("second:" + data); });
  mail->OnWinsockError([](int32_t& number, std::string& source, std::string& description,
                          std::string& help_file, int32_t& help_context) {
    ++number;
    source += "!";
    description = "new";
    help_file = "h.hlp";
    help_context = 42;
  });
  // To a port where nothing listens: status lines, then WinsockError 10061 and SendComplete.
  support::FillMessage(*mail, support::LoopbackSocket(-1).port());
  mail->Body()->SetText("");
  mail->SetTimeOut(0);
  mail->Send();
  RunEventsUntil([] { return false; }, 200ms);
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order[0], "first:WARNING! Body is empty\r\n");  // a warning only
  EXPECT_EQ(order[1], "second:changed");
  EXPECT_EQ(order[2], "sink status changed #set by handler");
  auto seen = [&](const std::string& line) { return std::ranges::count(order, line); };
  EXPECT_EQ(seen("sink error 10062 Winsock!|new|h.hlp|42 #set by handler"), 1);
  EXPECT_EQ(seen("sink complete #set by handler"), 1);
}

TEST(SendMailEvents, DisconnectRemovesAHandlerAlsoDuringARaise) {
  auto mail = SendMail::Create();
  std::vector<std::string> calls;
  Connection second;
  Connection third;
  mail->OnSendComplete([&] {
    calls.push_back("first");
    second.Disconnect();
    // Connected during a raise: runs from the next raise on.
    if (!third.Connected()) {
      third = mail->OnSendComplete([&] { calls.push_back("third"); });
    }
  });
  second = mail->OnSendComplete([&] { calls.push_back("second"); });
  mail->Cancel();
  EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
  mail->Cancel();
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "first", "third"}));
  third.Disconnect();
  third.Disconnect();
  EXPECT_FALSE(third.Connected());
  // A connection may outlive its object, of every kind of event.
  Connection outliving = SendMail::Create()->OnSendComplete([] {});
  outliving.Disconnect();
  EXPECT_FALSE(outliving.Connected());
  auto gone = SendMail::Create();
  EventRecorder recorder(*gone);  // disconnects its handlers after the object went
  gone.reset();
}

// ---- the error log and the text of a Variant ----

TEST(ErrorsTest, RecordsGetRunningIndexesOutlivingClearAndForEach) {
  auto mail = SendMail::Create();
  auto log = mail->Errors();
  const auto first = log->Add(1, "a", "first", "help.chm", 7, "X.One");
  log->Add(2, "b", "second", "", 0, "X.Two");
  EXPECT_EQ(log->Item(1), first);
  EXPECT_EQ(first->HelpFile(), "help.chm");
  EXPECT_EQ(first->HelpContext(), 7);
  EXPECT_EQ(log->Item(2)->Index(), 2);
  for (int32_t index : {0, 3, -1})
    EXPECT_EQ(testing::Raised([&] { log->Item(index); }).Number(), 9);
  std::vector<int32_t> seen;
  for (const auto& record : *log) {
    seen.push_back(record->Number());
    if (record->Index() == 1) log->Clear();  // the walk keeps what it began with
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(log->Add(3, "c", "third", "", 0, "X.Three")->Index(), 1);
  EXPECT_EQ(log->Count(), 1);
  mail.reset();
  log->Add(1, "a", "b", "", 0, "X.Y");
  EXPECT_EQ(log->Count(), 2) << "the log outlives its SendMail";
}

TEST(VariantTest, TextOfEachKind) {
  EXPECT_EQ(Variant().ToString(), "");
  EXPECT_EQ(Variant(42).ToString(), "42");
  EXPECT_EQ(Variant(true).ToString(), "True");
  EXPECT_EQ(Variant("x").ToString(), "x");
  EXPECT_EQ(Variant(Date::FromParts(2026, 12, 7, 1, 2, 3)).ToString(), "2026-12-07 01:02:03");
  EXPECT_THROW(Variant(Variant::Array{}).ToString(), Exception);
  EXPECT_EQ(Date::FromParts(2026, 12, 7).Weekday(), 1);
}

}  // namespace
}  // namespace postwing
