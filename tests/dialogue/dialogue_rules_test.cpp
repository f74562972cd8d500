#include <gtest/gtest.h>

#include "postwing/exception.hpp"
#include "postwing/types.hpp"
#include "session/dialogue.hpp"

namespace {

using namespace postwing;
using namespace postwing::session;

TEST(DialogueRules, ReplyCodeIsThreeDigits) {
  EXPECT_EQ(ReplyCode("250 ok\r\n"), 250);
  EXPECT_EQ(ReplyCode("250-multi\r\n250 end\r\n"), 250);
  EXPECT_EQ(ReplyCode("354"), 354);
  for (const char* bad : {"", "25", "2x0 no", "hello\r\n", " 250 ok", "\r\n", "-250"}) {
    try {
      ReplyCode(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), 13) << bad;
    }
  }
}

TEST(DialogueRules, ReplyKinds) {
  struct Case {
    int32_t code;
    ReplyKind kind;
  };
  const Case cases[] = {
      {220, ReplyKind::kGreeting},  {235, ReplyKind::kPositive}, {250, ReplyKind::kPositive},
      {251, ReplyKind::kPositive},  {252, ReplyKind::kPositive}, {334, ReplyKind::kChallenge},
      {354, ReplyKind::kStartData}, {221, ReplyKind::kClosing},  {421, ReplyKind::kRefusal},
      {450, ReplyKind::kRefusal},   {451, ReplyKind::kRefusal},  {452, ReplyKind::kRefusal},
      {500, ReplyKind::kRefusal},   {530, ReplyKind::kRefusal},  {554, ReplyKind::kRefusal},
      {555, ReplyKind::kOther},     {454, ReplyKind::kOther},    {211, ReplyKind::kOther},
      {214, ReplyKind::kOther},     {0, ReplyKind::kOther},      {453, ReplyKind::kOther},
  };
  for (const auto& c : cases) EXPECT_EQ(ClassifyReply(c.code), c.kind) << c.code;
}

TEST(DialogueRules, GreetingDomain) {
  EXPECT_EQ(GreetingDomain("", "127.0.0.1", false), "127.0.0.1");
  EXPECT_EQ(GreetingDomain("", "127.0.0.1", true), "127.0.0.1");
  EXPECT_EQ(GreetingDomain("joe@example.org", "127.0.0.1", false), "joe@example.org");
  EXPECT_EQ(GreetingDomain("joe@example.org", "127.0.0.1", true), "example.org");
  EXPECT_EQ(GreetingDomain("joe", "127.0.0.1", true), "joe");
  EXPECT_EQ(GreetingDomain("a@b@c", "", true), "b@c");
}

TEST(DialogueRules, CommandsRefuseLineBreaksAndNul) {
  EXPECT_EQ(CommandLine("RCPT TO: ", "<a@b>", "recipient list"), "RCPT TO: <a@b>");
  for (std::string bad :
       {std::string("a\r\nb"), std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
    try {
      CommandLine("MAIL FROM: ", bad, "From");
      ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), vbObjectError + emxIllegalCharacter);
      EXPECT_EQ(e.Source(), "postwing");
      EXPECT_EQ(e.Description(),
                "The field 'From' holds a line break or NUL character, which cannot be sent.");
    }
  }
}

TEST(DialogueRules, DescriptionDropsTheFinalLineEnd) {
  EXPECT_EQ(WithoutLineEnd("550 no\r\n"), "550 no");
  EXPECT_EQ(WithoutLineEnd("550-a\r\n550 b\r\n"), "550-a\r\n550 b");
  EXPECT_EQ(WithoutLineEnd("550 lf\n"), "550 lf");
  EXPECT_EQ(WithoutLineEnd("550"), "550");
}

}  // namespace
