#include "session/reply_assembler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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
  }
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
  EXPECT_EQ(Feed(a, {"220 new\r\n"}), (std::vector<std::string>{"220 new\r\n"}));
  EXPECT_EQ(a.Pending(), 0u);
}

}  // namespace
