// Many messages: a kept connection reused by the next Send, and the ways it ends or is replaced.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/resolver.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace support;
using namespace std::chrono_literals;
using postwing::SendMail;

Steps Greet(const std::string& ehlo = "250 hello") {
  return {Reply("220 ready"), Expect("EHLO"), Reply(ehlo)};
}
// An accepted message on a kept connection: no QUIT.
Steps Accept() {
  return {Expect("MAIL"), Reply("250 ok"),       Expect("RCPT"), Reply("250 ok"),
          Expect("DATA"), Reply("354 go ahead"), Data(),         Reply("250 accepted")};
}
Steps Quit() {
  return {Expect("QUIT"), Reply("221 bye"), Close()};
}

int Expected(const std::vector<Steps>& scripts) {
  int n = 0;
  for (const auto& steps : scripts) n += std::ranges::count(steps, Step::kExpect, &Step::kind);
  return n;
}

TEST(Bulk, AKeptConnectionCarriesTheNextSendAndEndsWithQuit) {
  const struct Row {
    const char* name;
    std::vector<Steps> scripts;  // the first server's, one per connection
    int32_t first_error;
    bool other_server = false;  // the second send names another server
    bool release = false;       // the object is released, not KeepConnection turned off
  } cases[] = {
      Row("two sends, one greeting; QUIT when off", {Greet() + Accept() + Accept() + Quit()}, 0),
      Row("QUIT when the object is released", {Greet() + Accept() + Accept() + Quit()}, 0, false,
          true),
      Row("a refused recipient: RSET before the next MAIL",
          {Greet() +
           Steps{Expect("MAIL"), Reply("250 ok"), Expect("RCPT"), Reply("550 no such user"),
                 Expect("RSET"), Reply("250 reset")} +
           Accept() + Quit()},
          12003),
      Row("closed by the server while idle: a new connection",
          {Greet() + Accept() + Steps{Close()}, Greet() + Accept() + Quit()}, 0),
      Row("EHLO unknown to the server: HELO, one command at a time",
          {Steps{Reply("220 ready"), Expect("EHLO"), Reply("502 unknown"), Expect("HELO"),
                 Reply("250 hi")} +
           Accept() + Accept() + Quit()},
          0),
      Row("421 to the first command: connected again once",
          {Greet() + Accept() + Steps{Expect("MAIL"), Reply("421 closing"), Close()},
           Greet() + Accept() + Quit()},
          0),
      Row("another server: QUIT, then a new connection", {Greet() + Accept() + Quit()}, 0, true),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.scripts);
    ScriptedPeer other(Greet() + Accept() + Quit());
    auto mail = NewMail(peer.port());
    mail->SetKeepConnection(true);
    const SendOutcome first = SendAndWait(mail, 10s);
    EXPECT_EQ(first.completes, 1);
    EXPECT_EQ(first.error(), c.first_error) << first.Transcript();
    EXPECT_EQ(mail->Result().accepted, c.first_error == 0);
    postwing::RunEventsUntil([] { return false; }, 200ms);  // idle: a close would be seen
    mail->Clear();  // the usual host loop: Clear, the fields, Send
    FillMessage(*mail, c.other_server ? other.port() : peer.port());
    const SendOutcome second = SendAndWait(mail, 10s);
    EXPECT_EQ(second.completes, 1);
    EXPECT_EQ(second.error(), 0) << second.Transcript();
    EXPECT_TRUE(mail->Result().accepted);
    if (c.release) {
      mail.reset();
    } else {
      mail->SetKeepConnection(false);
    }
    const int connections = static_cast<int>(c.scripts.size()) + (c.other_server ? 1 : 0);
    PumpUntil([&] { return peer.Ended() + other.Ended() >= connections; }, 5s);
    EXPECT_TRUE(peer.Completed()) << peer.Failure();
    // Nothing beyond the script: one greeting, one QUIT, only at the end.
    EXPECT_EQ(static_cast<int>(peer.Commands().size()), Expected(c.scripts));
    EXPECT_TRUE(!c.other_server || other.Completed()) << other.Failure();
  }
}

// The new connection that replaces a lost one is bounded by TimeOut like the first.
TEST(Bulk, AReplacementConnectionThatNeverComesEndsTheSendInTime) {
  ScriptedPeer peer(Greet() + Accept() + Steps{Expect("MAIL"), Reply("421 closing"), Close()});
  std::atomic<int> lookups = 0, ended = 0;
  postwing::platform::SetResolver([&](const std::string&, uint16_t port) {
    if (++lookups > 1) std::this_thread::sleep_for(1800ms);  // the second lookup hangs
    ++ended;
    return postwing::platform::SystemResolve("127.0.0.1", port);
  });
  auto mail = NewMail(peer.port(), 1);
  mail->SetSMTPServer("localhost");
  mail->SetKeepConnection(true);
  EXPECT_EQ(SendAndWait(mail, 10s).error(), 0);
  const auto start = std::chrono::steady_clock::now();
  const SendOutcome second = SendAndWait(mail, 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1600ms);
  EXPECT_EQ(second.error(), 10060) << second.Transcript();
  EXPECT_EQ(second.completes, 1);
  // Every lookup ends before its resolver goes.
  for (int i = 0; i < 300 && ended < lookups; ++i) std::this_thread::sleep_for(10ms);
  postwing::platform::SetResolver(nullptr);
}

// With PIPELINING: the envelope in one write, replies matched in order, DATA only when every
// recipient (or, with AllowPartialDelivery, at least one) was accepted.
TEST(Bulk, ThePipelinedEnvelopeAndPartialDelivery) {
  const std::string pipelining = "250-hello\n250 PIPELINING";
  const Steps envelope = {Expect("MAIL"), Pipelined("RCPT TO: <a@"), Pipelined("RCPT TO: <b@")};
  const Steps data = {Expect("DATA"), Reply("354 go"), Data(), Reply("250 accepted")};
  const struct Row {
    const char* name;
    std::string ehlo;
    Steps wire;  // after the greeting, up to QUIT
    std::vector<int32_t> codes;
    int refusals;  // 12003 reported
    bool accepted;
    bool partial = false;  // AllowPartialDelivery
    bool quit = true;      // the dialogue ends with QUIT, not a close
  } cases[] = {
      Row("replies in two reads, then DATA", pipelining,
          envelope + Steps{Raw({"250 ok\r\n", "251 ok\r\n250 ok\r\n"}, 50ms)} + data, {251, 250}, 0,
          true),
      Row("a refused recipient: no DATA", pipelining,
          envelope + Steps{Reply("250 ok\n550 no\n250 ok")}, {550, 250}, 1, false),
      Row("a refused sender: no DATA", pipelining,
          envelope + Steps{Reply("550 no\n503 no\n503 no")}, {503, 503}, 1, false),
      Row("partial: DATA in the group, the data for the accepted one", pipelining,
          envelope + Steps{Pipelined("DATA"), Reply("250 ok\n550 no\n250 ok\n354 go"), Data(),
                           Reply("250 accepted")},
          {550, 250}, 1, true, true),
      Row("partial, a 354 though none was accepted: closed, no data", pipelining,
          envelope + Steps{Pipelined("DATA"), Reply("250 ok\n550 no\n551 no\n354 go"), Close()},
          {550, 551}, 2, false, true, false),
      Row("partial, all refused: no data", pipelining,
          envelope + Steps{Pipelined("DATA"), Reply("250 ok\n550 no\n551 no\n554 no recipients")},
          {550, 551}, 2, false, true),
      Row("partial without PIPELINING", "250 hello",
          Steps{Expect("MAIL"), Reply("250 ok"), Expect("RCPT"), Reply("250 ok"), Expect("RCPT"),
                Reply("452 full")} +
              data,
          {250, 452}, 1, true, true),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Steps> scripts = {Greet(c.ehlo) + c.wire + (c.quit ? Quit() : Steps{})};
    ScriptedPeer peer(scripts);
    auto mail = NewMail(peer.port());
    mail->Header()->SetToList("a@example.org, b@example.org");
    mail->SetKeepConnection(true);
    mail->SetAllowPartialDelivery(c.partial);
    const SendOutcome o = SendAndWait(mail, 10s);
    EXPECT_EQ(o.completes, 1);
    EXPECT_EQ(static_cast<int>(o.errors.size()), c.refusals) << o.Transcript();
    for (const auto& e : o.errors) EXPECT_EQ(e.number, 12003);
    const postwing::SendResult r = mail->Result();
    EXPECT_EQ(r.accepted, c.accepted);
    EXPECT_EQ(r.partial, c.accepted && c.refusals > 0);
    EXPECT_EQ(r.error, c.accepted ? 0 : 12003);
    ASSERT_EQ(r.recipients.size(), 2u);
    EXPECT_EQ(std::vector<int32_t>({r.recipients[0].code, r.recipients[1].code}), c.codes);
    mail->SetKeepConnection(false);
    PumpUntil([&] { return peer.Ended() >= 1; }, 5s);
    EXPECT_TRUE(peer.Completed()) << peer.Failure();
    EXPECT_EQ(static_cast<int>(peer.Commands().size()), Expected(scripts));
  }
}

}  // namespace
