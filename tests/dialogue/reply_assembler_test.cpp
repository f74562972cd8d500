#include "session/reply_assembler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using postwing::session::ReplyAssembler;
using Result = ReplyAssembler::Result;

std::vector<std::string> Drain(ReplyAssembler& assembler) {
  std::vector<std::string> replies;
  std::string reply;
  while (assembler.Next(reply) == Result::kReply) replies.push_back(reply);
  return replies;
}

TEST(ReplyAssembler, HandsOutOneReplyPerCompleteLine) {
  ReplyAssembler a;
  a.Append("220 hello\r\n250 ok\r\n");
  EXPECT_EQ(Drain(a), (std::vector<std::string>{"220 hello\r\n", "250 ok\r\n"}));
  EXPECT_EQ(a.Pending(), 0u);
}

TEST(ReplyAssembler, JoinsTheLinesOfAMultiLineReply) {
  ReplyAssembler a;
  a.Append("250-capture.test\r\n250-AUTH LOGIN\r\n250 HELP\r\n");
  EXPECT_EQ(Drain(a),
            (std::vector<std::string>{"250-capture.test\r\n250-AUTH LOGIN\r\n250 HELP\r\n"}));
}

TEST(ReplyAssembler, WaitsForTheRestOfASplitReply) {
  // The multi-line EHLO reply split after its continuation lines: nothing until the end.
  ReplyAssembler a;
  a.Append("250-capture.test\r\n250-AUTH");
  EXPECT_TRUE(Drain(a).empty());
  a.Append(" LOGIN\r\n250 HE");
  EXPECT_TRUE(Drain(a).empty());
  a.Append("LP\r\n334 VXNlcm5hbWU6\r\n");
  EXPECT_EQ(Drain(a),
            (std::vector<std::string>{"250-capture.test\r\n250-AUTH LOGIN\r\n250 HELP\r\n",
                                      "334 VXNlcm5hbWU6\r\n"}));
}

TEST(ReplyAssembler, SplitsInsideTheLineEndAndByteByByte) {
  const std::string wire = "220-a\r\n220 b\r\n250 c\r\n";
  ReplyAssembler a;
  std::vector<std::string> replies;
  for (char c : wire) {
    a.Append(std::string(1, c));
    for (auto& r : Drain(a)) replies.push_back(r);
  }
  EXPECT_EQ(replies, (std::vector<std::string>{"220-a\r\n220 b\r\n", "250 c\r\n"}));
}

TEST(ReplyAssembler, LineEndRules) {
  struct Case {
    const char* wire;
    std::vector<std::string> replies;
  };
  const Case cases[] = {
      {"250\r\n", {"250\r\n"}},                  // just the code
      {"250-\r\n250\r\n", {"250-\r\n250\r\n"}},  // an empty continuation line
      {"\r\n", {"\r\n"}},  // an empty line ends a reply (and is refused later)
      {"25\r\n", {"25\r\n"}},
      {"250-a\n250 b\n", {"250-a\n250 b\n"}},  // bare LF line ends are accepted
      {"250 no end", {}},
  };
  for (const auto& c : cases) {
    ReplyAssembler a;
    a.Append(c.wire);
    EXPECT_EQ(Drain(a), c.replies) << c.wire;
  }
}

TEST(ReplyAssembler, RefusesAnEndlessReply) {
  ReplyAssembler a;
  std::string reply;
  // One line of 1 MiB without a line end.
  a.Append(std::string(ReplyAssembler::kMaxReplySize, 'x'));
  EXPECT_EQ(a.Next(reply), Result::kNone);
  a.Append("x");
  EXPECT_EQ(a.Next(reply), Result::kTooLong);
}

TEST(ReplyAssembler, RefusesTooManyContinuationLines) {
  ReplyAssembler a;
  std::string lines;
  while (lines.size() <= ReplyAssembler::kMaxReplySize) lines += "250-0123456789012345678\r\n";
  a.Append(lines);
  std::string reply;
  EXPECT_EQ(a.Next(reply), Result::kTooLong);
}

TEST(ReplyAssembler, ManyContinuationLinesArriveInLinearTime) {
  // 10,000 continuation lines fed a line at a time: each Next looks only at the new bytes.
  ReplyAssembler a;
  std::string reply;
  for (int i = 0; i < 10000; ++i) {
    a.Append("250-line\r\n");
    ASSERT_EQ(a.Next(reply), Result::kNone);
  }
  a.Append("250 end\r\n");
  ASSERT_EQ(a.Next(reply), Result::kReply);
  EXPECT_EQ(reply.size(), 10000u * 10 + 9);
}

TEST(ReplyAssembler, ClearForgetsAPartialReply) {
  ReplyAssembler a;
  a.Append("250-half");
  a.Clear();
  a.Append("220 new\r\n");
  EXPECT_EQ(Drain(a), (std::vector<std::string>{"220 new\r\n"}));
}

}  // namespace
