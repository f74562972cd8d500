// The dialogue against the scripted peer: replies split, joined, late, oversized or out of
// order, and refusals at each step. Each send ends once, with its own number and text. And the
// reply assembler alone: whole replies out of any split of the bytes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"
#include "session/reply_assembler.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace postwing;
using namespace support;
using namespace std::chrono_literals;

// The end of a dialogue after the recipients: DATA, the data, acceptance, QUIT.
const Steps kTail = {Expect("DATA"), Reply("354 go ahead"), Data(), Reply("250 accepted"),
                     Expect("QUIT"), Reply("221 bye"),      Close()};
const Steps kHello = {Reply("220 ready"), Expect("HELO"), Reply("250 hello")};
const Steps kEnvelope = {Expect("MAIL"), Reply("250 ok"), Expect("RCPT"), Reply("250 ok")};
const Steps kLogin = Steps{Reply("220 ready"), Expect("EHLO"), Reply("250-hello\n250 AUTH LOGIN")} +
                     Steps{Expect("AUTH LOGIN"), Reply("334 VXNlcm5hbWU6"),
                           Expect("am9l"),       Reply("334 UGFzc3dvcmQ6"),
                           Expect(""),           Reply("235 welcome")};

// A multi-line reply of exactly size bytes.
std::string ReplyOfSize(size_t size) {
  const std::string line = "250-" + std::string(994, 'x') + "\r\n", last = "250 ok\r\n";
  std::string reply;
  while (reply.size() + line.size() + last.size() <= size) reply += line;
  const size_t rest = size - reply.size() - last.size();
  if (rest > 0) reply += "250-" + std::string(rest - 6, 'y') + "\r\n";
  return reply + last;
}

class Dialogue : public ::testing::Test {
 protected:
  // The reply waits' floors in seconds rather than minutes, so a stall ends quickly.
  void SetUp() override { session::WaitFloors() = {2500ms, 1500ms, 4000ms}; }
  void TearDown() override { session::WaitFloors() = {}; }
};

struct Case {
  const char* name;
  Steps steps;
  int32_t error = 0;       // the error reported (0: delivered)
  std::string says = "";   // its description, or a status line shown
  const char* never = "";  // a command the peer must not receive
  std::function<void(SendMail&)> set = nullptr;
  const char* method = "";  // of the last record
  bool data_read = false;   // the peer read the data though the send failed
};

TEST_F(Dialogue, EachReplyIsReadWholeAndEachFailureEndsTheSendOnce) {
  std::string many;
  for (int i = 0; i < 10000; ++i) many += "250-line " + std::to_string(i) + "\r\n";
  const auto login = [](SendMail& m) {
    m.SetUser("joe");
    m.SetPassword("pw");
  };
  const Case cases[] = {
      Case("split multi-line replies",
           Steps{Raw({"220-scripted", " ESMTP\r\n220 ", "ready\r\n"}), Expect("EHLO"),
                 Raw({"250-scripted\r\n250-AUTH LOGIN\r\n250-SI", "ZE 1000\r", "\n250 HELP\r\n"}),
                 Expect("AUTH LOGIN"), Reply("334 VXNlcm5hbWU6"), Expect("am9l"),
                 Reply("334 UGFzc3dvcmQ6"), Expect("cHc="), Reply("235 welcome")} +
               Transaction(),
           0, "<<250-scripted\r\n250-AUTH LOGIN\r\n250-SIZE 1000\r\n250 HELP\r\n", "", login),
      Case("joined replies",
           Steps{Reply("220 ready"), Expect("HELO"), Reply("250 hello\n250 sender ok"),
                 Expect("MAIL"), Expect("RCPT"), Reply("250 recipient ok")} +
               kTail,
           0, "<<250 sender ok\r\n"),
      Case("an empty password is an empty line", kLogin + Transaction(), 0, ">>\r\n", "",
           [](SendMail& m) { m.SetUser("joe"); }),
      Case("the data's reply later than TimeOut",
           kHello + kEnvelope +
               Steps{Expect("DATA"), Reply("354 go"), Data(), Stall(2500ms), Reply("250 late"),
                     Expect("QUIT"), Reply("221 bye")},
           0, "<<250 late\r\n"),
      Case("a reply of 1 MiB",
           Steps{Reply("220 ready"), Expect("HELO"), Raw({ReplyOfSize(1 << 20)})} + Transaction()),
      Case("10,000 lines are one reply",
           Steps{Reply("220 ready"), Expect("HELO"), Raw({many + "250 ok\r\n"})} + Transaction()),
      Case("a reply of 1 MiB and a byte",
           Steps{Reply("220 ready"), Expect("HELO"), Raw({ReplyOfSize((1 << 20) + 1)}), Stall(5s)},
           emxReplyTooLong, "The server's reply exceeds 1048576 bytes.", "MAIL", nullptr,
           "SendMail.DataArrival"),
      Case("1 MiB without a line end",
           Steps{Reply("220 ready"), Expect("HELO"), Raw({"250 " + std::string(1 << 20, 'z')}),
                 Stall(5s)},
           emxReplyTooLong, "", "MAIL"),
      Case("silent after MAIL", kHello + Steps{Expect("MAIL"), Stall(30s)}, 10060, "", "RCPT",
           nullptr, "SendMail.Timeout"),
      Case("a garbage reply",
           Steps{Reply("220 ready"), Expect("HELO"), Reply("hello there"), Expect("QUIT")}, 13, "",
           "MAIL", nullptr, "SendMail.Process"),
      Case("a refused greeting", Steps{Reply("421 too busy"), Expect("QUIT"), Reply("221 bye")},
           emxHostError, "421 too busy", "HELO", nullptr, "SendMail.Process"),
      // Found by reply_fuzz: a 220 after a refusal restarted the dialogue after QUIT.
      Case("a greeting after the dialogue stopped",
           Steps{Reply("421 busy\n220 ready after all"), Expect("QUIT"), Stall(200ms),
                 Reply("220 still here\n221 bye")},
           emxHostError, "", "HELO"),
      Case(
          "refused data",
          kHello + kEnvelope +
              Steps{Expect("DATA"), Reply("554 no data for you"), Expect("QUIT"), Reply("221 bye")},
          emxHostError, "554 no data for you", "."),
      // Every reply at once, before any command: only the reply after the data counts.
      Case("replies before their commands",
           Steps{Reply("220 ready\n250 hello\n250 ok\n250 ok\n354 go\n250 early"), Expect("HELO"),
                 Expect("MAIL"), Expect("RCPT"), Expect("DATA"), Data(), Stall(100ms),
                 Reply("550 refused after all"), Expect("QUIT"), Reply("221 bye")},
           emxHostError, "550 refused after all", "", nullptr, "", true),
      Case("a stray 354 after the acceptance",
           kHello + kEnvelope +
               Steps{Expect("DATA"), Reply("354 go"), Data(), Reply("250 accepted\n354 again"),
                     Expect("QUIT"), Stall(500ms), Reply("221 bye")},
           0, "", "."),
      Case("no close after QUIT", kHello + kEnvelope +
                                      Steps{Expect("DATA"), Reply("354 go"), Data(),
                                            Reply("250 accepted"), Expect("QUIT"), Stall(30s)}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.steps);
    auto mail = NewMail(peer.port(), 1);
    if (c.set) c.set(*mail);
    const SendOutcome o = SendAndWait(mail, 10s);
    EXPECT_EQ(o.completes, 1);
    EXPECT_LT(o.took, 6s);
    EXPECT_EQ(o.error(), c.error) << o.Transcript();
    EXPECT_EQ(o.Accepted(), c.error == 0) << o.Transcript();
    if (!c.says.empty()) {
      EXPECT_TRUE(o.Saw(c.says) || o.errors.at(0).description.find(c.says) != std::string::npos)
          << o.Transcript();
    }
    if (*c.method) {
      auto errors = mail->Errors();
      ASSERT_GE(errors->Count(), 1);
      EXPECT_EQ(errors->Item(errors->Count())->Number(), c.error);
      EXPECT_EQ(errors->Item(errors->Count())->Method(), c.method);
    }
    EXPECT_EQ(peer.Messages().size(), c.error == 0 || c.data_read ? 1u : 0u);
    if (*c.never) {
      EXPECT_EQ(peer.Count(c.never), 0) << c.never;
    }
    EXPECT_LE(peer.Count("QUIT"), 1);
  }
}

// A reply is awaited at least its floor (here shortened: 2.5 s for the greeting and the
// commands, 1.5 s for the 354), TimeOut when that is longer.
TEST_F(Dialogue, RepliesAreAwaitedTheirFloorOrTimeOut) {
  struct {
    const char* name;
    const char* slow;  // the command whose reply is late ("" for the greeting)
    std::chrono::milliseconds delay;
    int32_t time_out;
    bool real_floors;
    int32_t error;  // 0: delivered
  } cases[] = {
      {"greeting", "", 2s, 1, false, 0},
      {"RCPT", "RCPT", 2s, 1, false, 0},
      {"354 past its floor", "DATA", 2s, 1, false, 10060},
      {"RCPT under a longer TimeOut", "RCPT", 3s, 4, false, 0},
      // A greylisting server, with the default TimeOut and the real floors.
      {"RCPT after 20 s", "RCPT", 20s, 15, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Steps steps = GoodDialogue();
    size_t at = 0;
    while (*c.slow && !(steps[at].kind == Step::kExpect && steps[at].chunks[0] == c.slow)) ++at;
    steps.insert(steps.begin() + static_cast<long>(*c.slow ? at + 1 : 0), Stall(c.delay));
    ScriptedPeer peer(steps);
    peer.lifetime = 40s;
    auto mail = NewMail(peer.port(), c.time_out);
    if (c.real_floors) session::WaitFloors() = {};
    const SendOutcome o = SendAndWait(mail, 40s);
    session::WaitFloors() = {2500ms, 1500ms, 4000ms};
    EXPECT_EQ(o.completes, 1);
    EXPECT_EQ(o.error(), c.error) << o.Transcript();
    EXPECT_EQ(peer.Messages().size(), c.error ? 0u : 1u);
  }
}

// A positive reply moves the dialogue on, a refusal ends it with its text, a reply of any
// other code moves nothing (the next one counts), and one without three digits at its start
// ends the send.
TEST_F(Dialogue, EachReplyToARecipientIsPositiveARefusalNothingOrNoReply) {
  enum Kind { kPositive, kRefusal, kNothing, kNoCode };
  const int32_t errors[] = {0, emxHostError, 0, 13};  // by kind
  const std::pair<const char*, Kind> cases[] = {
      {"251 ok", kPositive}, {"252 ok", kPositive}, {"450 no", kRefusal}, {"451 no", kRefusal},
      {"452 no", kRefusal},  {"500 no", kRefusal},  {"530 no", kRefusal}, {"554 no", kRefusal},
      {"555 x", kNothing},   {"211 x", kNothing},   {"214 x", kNothing},  {"453 x", kNothing},
      {"000 x", kNothing},   {"25", kNoCode},       {"2x0 no", kNoCode},  {" 250 ok", kNoCode},
      {"-250", kNoCode},     {"", kNoCode}};
  for (const auto& [reply, kind] : cases) {
    SCOPED_TRACE(reply);
    Steps steps = kHello + Steps{Expect("MAIL"), Reply("250 ok"), Expect("RCPT"), Reply(reply)};
    if (kind == kNothing) steps.push_back(Reply("250 ok"));
    const bool ends = kind == kRefusal || kind == kNoCode;
    ScriptedPeer peer(steps + (ends ? Steps{Expect("QUIT"), Close()} : kTail));
    const SendOutcome o = SendAndWait(NewMail(peer.port(), 1), 10s);
    EXPECT_EQ(o.error(), errors[kind]) << o.Transcript();
    EXPECT_EQ(o.Accepted(), !ends);
    EXPECT_EQ(peer.Count("DATA"), ends ? 0 : 1);
  }
}

// The greeting names the user, or its domain when asked to, or the local address.
TEST_F(Dialogue, TheGreetingNamesTheUserOrItsDomain) {
  struct {
    const char* user;
    bool domain_only;
    const char* greeting;
  } cases[] = {
      {"", false, "HELO 127.0.0.1"},
      {"", true, "HELO 127.0.0.1"},
      {"joe@example.org", false, "EHLO joe@example.org"},
      {"joe@example.org", true, "EHLO example.org"},
      {"joe", true, "EHLO joe"},
      {"a@b@c", true, "EHLO b@c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.greeting);
    ScriptedPeer peer(Steps{Reply("220 ready"), Expect(c.greeting), Reply("421 enough"),
                            Expect("QUIT"), Close()});
    auto mail = NewMail(peer.port(), 1);
    mail->SetUser(c.user);
    mail->SetUseDomainForHELO(c.domain_only);
    EXPECT_EQ(SendAndWait(mail, 10s).error(), emxHostError);
    EXPECT_EQ(peer.Commands().at(0), c.greeting);
  }
}

using postwing::session::ReplyAssembler;
using Result = ReplyAssembler::Result;

// Appends the chunks one at a time and takes every reply after each; "too long" stands for
// the refusal, which ends the reading.
std::vector<std::string> Feed(ReplyAssembler& a, const std::vector<std::string>& chunks) {
  std::vector<std::string> replies;
  std::string reply;
  for (const auto& chunk : chunks) {
    a.Append(chunk);
    for (Result r; (r = a.Next(reply)) != Result::kNone;) {
      replies.push_back(r == Result::kReply ? reply : "too long");
      if (r == Result::kTooLong) return replies;
    }
  }
  return replies;
}

std::vector<std::string> ByteByByte(const std::string& wire) {
  std::vector<std::string> bytes;
  for (char c : wire) bytes.emplace_back(1, c);
  return bytes;
}

TEST(ReplyAssembler, HandsOutEachWholeReplyOnceItsLastLineIsComplete) {
  const std::string max(ReplyAssembler::kMaxReplySize, 'x');
  std::string lines;
  while (lines.size() <= ReplyAssembler::kMaxReplySize) lines += "250-0123456789012345678\r\n";
  const struct {
    std::vector<std::string> chunks;
    std::vector<std::string> replies;
  } cases[] = {
      {{"220 hello\r\n250 ok\r\n"}, {"220 hello\r\n", "250 ok\r\n"}},
      // The multi-line EHLO reply split after its continuation lines: nothing until the end.
      {{"250-capture.test\r\n250-AUTH", " LOGIN\r\n250 HE", "LP\r\n334 VXNlcm5hbWU6\r\n"},
       {"250-capture.test\r\n250-AUTH LOGIN\r\n250 HELP\r\n", "334 VXNlcm5hbWU6\r\n"}},
      {ByteByByte("220-a\r\n220 b\r\n250 c\r\n"), {"220-a\r\n220 b\r\n", "250 c\r\n"}},
      {{"250\r\n"}, {"250\r\n"}},                  // just the code
      {{"250-\r\n250\r\n"}, {"250-\r\n250\r\n"}},  // an empty continuation line
      {{"\r\n"}, {"\r\n"}},  // an empty line ends a reply (and is refused later)
      {{"25\r\n"}, {"25\r\n"}},
      {{"250-a\n250 b\n"}, {"250-a\n250 b\n"}},  // bare LF line ends are accepted
      {{"250 no end"}, {}},
      // 1 MiB without a line end is still a reply to come; a byte more is refused.
      {{max}, {}},
      {{max, "x"}, {"too long"}},
      {{lines}, {"too long"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chunks[0].substr(0, 40));
    ReplyAssembler a;
    EXPECT_EQ(Feed(a, c.chunks), c.replies);
    // Whatever was left, a whole reply or part of one, is forgotten.
    a.Clear();
    EXPECT_EQ(Feed(a, {"220 new\r\n"}), (std::vector<std::string>{"220 new\r\n"}));
    EXPECT_EQ(a.Pending(), 0u);
  }
}

}  // namespace
