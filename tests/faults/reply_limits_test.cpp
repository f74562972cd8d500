// Replies that test the assembler's limit and the dialogue's order: a reply may hold up to
// 1 MiB (ReplyAssembler::kMaxReplySize, line ends included); one byte more fails the send with
// emxReplyTooLong (12016) and the connection is closed. Replies sent before their command, or
// a greeting after the dialogue stopped, move nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faults/fault_server.hpp"
#include "faults/fault_support.hpp"
#include "postwing/postwing.hpp"
#include "session/reply_assembler.hpp"

namespace {

using namespace postwing;
using namespace faults;

class ReplyLimits : public FaultTest {
 protected:
  // A multi-line reply of exactly size bytes.
  static std::string ReplyOfSize(size_t size) {
    const std::string last = "250 ok\r\n";
    std::string reply;
    const std::string line = "250-" + std::string(994, 'x') + "\r\n";  // 1000 bytes
    while (reply.size() + line.size() + last.size() <= size) reply += line;
    const size_t rest = size - reply.size() - last.size();
    if (rest > 0) reply += "250-" + std::string(rest - 6, 'y') + "\r\n";
    return reply + last;
  }
  static std::vector<Step> Rest() {
    return {Expect("MAIL"), Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"),
            Expect("DATA"), Send("354 go\r\n"), Data(),         Send("250 accepted\r\n"),
            Expect("QUIT"), Send("221 bye\r\n")};
  }
};

TEST_F(ReplyLimits, UpToTheLimitIsOneReplyOneByteMoreFailsWithReplyTooLong) {
  std::string lines;
  for (int i = 0; i < 10000; ++i) lines += "250-line " + std::to_string(i) + "\r\n";
  const struct {
    std::string reply;
    bool accepted;
  } cases[] = {
      {ReplyOfSize(session::ReplyAssembler::kMaxReplySize), true},
      {ReplyOfSize(session::ReplyAssembler::kMaxReplySize + 1), false},
      {lines + "250 ok\r\n", true},
  };
  ASSERT_EQ(cases[0].reply.size(), size_t{1} << 20);
  for (const auto& c : cases) {
    std::vector<Step> steps = {Send("220 ready\r\n"), Expect("HELO"), Send(c.reply)};
    for (auto& s : Rest()) steps.push_back(s);
    server_.Serve(steps);
    auto mail = NewMail();
    const auto o = SendAndWait(mail, std::chrono::seconds(10));
    EXPECT_EQ(o.completes, 1);
    EXPECT_EQ(o.Accepted(), c.accepted) << o.Transcript();
    EXPECT_EQ(Count(server_.Log(), "MAIL"), c.accepted ? 1 : 0);
    if (c.accepted) {
      EXPECT_TRUE(o.errors.empty());
    } else {
      ASSERT_EQ(o.errors.size(), 1u);
      EXPECT_EQ(o.errors[0], emxReplyTooLong);
      ASSERT_GE(mail->Errors()->Count(), 1);
      EXPECT_EQ(mail->Errors()->Item(1)->Method(), "SendMail.DataArrival");
    }
  }
}

TEST_F(ReplyLimits, AMebibyteWithoutLineEndFailsWithoutWaitingForTheRest) {
  server_.Serve({Send("220 ready\r\n"), Expect("HELO"),
                 Send("250 " + std::string(size_t{1} << 20, 'z')), Sleep(5000)});
  auto mail = NewMail();
  mail->SetTimeOut(10);
  const auto o = SendAndWait(mail, std::chrono::seconds(10));
  EXPECT_EQ(o.completes, 1);
  ASSERT_EQ(o.errors.size(), 1u);
  EXPECT_EQ(o.errors[0], emxReplyTooLong);
  EXPECT_LT(o.took, std::chrono::seconds(3)) << "refused as soon as the limit is passed";
}

// Found by reply_fuzz: a 220 after a refusal restarted the dialogue (HELO) after QUIT.
TEST_F(ReplyLimits, AGreetingAfterTheDialogueStoppedStartsNothing) {
  server_.Serve({Send("421 busy\r\n220 ready after all\r\n"), Expect("QUIT"), Sleep(200),
                 Send("220 still here\r\n221 bye\r\n")});
  auto mail = NewMail();
  const auto o = SendAndWait(mail, std::chrono::seconds(5));
  EXPECT_EQ(o.completes, 1);
  const auto log = server_.Log();
  EXPECT_EQ(Count(log, "HELO"), 0) << o.Transcript();
  EXPECT_EQ(Count(log, "QUIT"), 1);
  EXPECT_FALSE(o.Saw(">>HELO 127.0.0.1\r\n"));
}

TEST_F(ReplyLimits, RepliesSentBeforeTheDataEndsAreNotItsAcceptance) {
  // Every reply at once, before any command: the "250 early" reached the client before the
  // message did, so only the reply after the data counts.
  std::vector<Step> steps = {
      Send("220 ready\r\n250 hello\r\n250 ok\r\n250 ok\r\n354 go\r\n250 early\r\n"),
      Expect("HELO"),
      Expect("MAIL"),
      Expect("RCPT"),
      Expect("DATA"),
      Data(),
      Sleep(100),
      Send("550 refused after all\r\n"),
      Expect("QUIT"),
      Send("221 bye\r\n")};
  server_.Serve(steps);
  auto mail = NewMail();
  const auto o = SendAndWait(mail, std::chrono::seconds(5));
  EXPECT_EQ(o.completes, 1);
  EXPECT_FALSE(o.Accepted()) << o.Transcript();
  ASSERT_EQ(o.errors.size(), 1u) << o.Transcript();
  EXPECT_EQ(o.errors[0], emxHostError);
}

}  // namespace
