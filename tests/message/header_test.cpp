#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "message/header_date.hpp"
#include "message/message_id.hpp"
#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::Fields;
using testing::kBase;
using testing::Raised;
using testing::ScopedZone;
using FieldList = std::vector<std::pair<std::string, std::string>>;

const std::string kDefaultContentType =
    "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\";charset=us-ascii";
const std::string kMime12008Tail =
    " property can only be used with MIME types. Set MIMECompliant property to true and try "
    "again.";
// POSIX zone texts, so the tests need no zone database.
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kKolkata = "IST-5:30";

class HeaderTest : public ::testing::Test {
 protected:
  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  std::shared_ptr<Header> header_ = mail_->Header();
};

TEST_F(HeaderTest, FreshHeaderHasThreeFieldsInOrderAndTheDefaults) {
  const auto values = header_->Values();
  ASSERT_EQ(values->Count(), 3);
  EXPECT_EQ(values->Item(1)->Key(), "Content-type");
  EXPECT_EQ(values->Item(1)->Text(), kDefaultContentType);
  EXPECT_EQ(values->Item(2)->Key(), "MIME-Version");
  EXPECT_EQ(values->Item(2)->Text(), "1.0");
  EXPECT_EQ(values->Item(3)->Key(), "DATE");
  EXPECT_EQ(header_->ContentType(), emxMultipartMixed);
  EXPECT_EQ(header_->Charset(), "us-ascii");
  EXPECT_TRUE(header_->MIMECompliant());
  EXPECT_FALSE(header_->Verify());
  EXPECT_EQ(header_->BccList(), "");
  EXPECT_EQ(header_->ToList(), "");
  EXPECT_EQ(header_->Parent(), mail_);
  EXPECT_EQ(values->RootParent(), mail_);
  // Read back under the canonical spelling.
  EXPECT_EQ(values->Item("Content-Type")->SubValues()->GetValue("boundary"),
            "\"=_5550142857_quillfeather_5550171428_part\"");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(HeaderTest, FieldsSetLaterFollowInTheOrderFirstSet) {
  header_->SetSubject("Hello");
  header_->SetToList("a@x.org;b@x.org");
  header_->SetFrom("me@x.org");
  header_->SetCcList("c@x.org");
  header_->SetReplyTo("r@x.org");
  header_->SetSubject("Changed");
  header_->SetBccList("hidden@x.org");
  header_->SetVerify(true);
  std::vector<std::string> keys;
  for (const auto& value : *header_->Values()) keys.push_back(value->Key());
  EXPECT_EQ(keys, (std::vector<std::string>{"Content-type", "MIME-Version", "DATE", "SUBJECT", "TO",
                                            "FROM", "CC", "REPLY-TO"}));
  EXPECT_EQ(header_->Subject(), "Changed");
  EXPECT_EQ(header_->ToList(), "a@x.org;b@x.org");
  EXPECT_EQ(header_->From(), "me@x.org");
  EXPECT_EQ(header_->CcList(), "c@x.org");
  EXPECT_EQ(header_->BccList(), "hidden@x.org");
  EXPECT_TRUE(header_->Verify());
  EXPECT_FALSE(header_->Values()->Exists("BCC"));
}

TEST_F(HeaderTest, ReplyToReadsBackAndReadingChangesNothing) {
  header_->SetReplyTo("Someone <s@x.org>");
  const FieldList before = Fields(*header_->Values());
  EXPECT_EQ(header_->ReplyTo(), "Someone <s@x.org>");
  EXPECT_EQ(Fields(*header_->Values()), before);
}

TEST_F(HeaderTest, TextPropertiesAreViewsOntoTheirFields) {
  header_->Values()->Add("typed elsewhere", "subject");
  EXPECT_EQ(header_->Subject(), "typed elsewhere");
  header_->SetSubject("a; b=1; b=2; c=\"x");  // any text is accepted
  EXPECT_EQ(header_->Values()->Item("SUBJECT")->Key(), "subject");
  EXPECT_EQ(header_->Subject(), "a; b=1; b=2; c=\"x");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(HeaderTest, CharsetIsStoredInLowerCase) {
  header_->SetCharset("UTF-8");
  EXPECT_EQ(header_->Charset(), "utf-8");
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"),
            "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\";charset=utf-8");
}

TEST_F(HeaderTest, CharsetAddsTheParameterOrTheField) {
  header_->Values()->Item("Content-Type")->SetText("multipart/mixed");
  header_->SetCharset("ISO-8859-1");
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"), "multipart/mixed;charset=iso-8859-1");
  header_->Values()->Remove("Content-Type");
  EXPECT_EQ(header_->Charset(), "");
  header_->SetCharset("Latin1");
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "Content-type");
  EXPECT_EQ(
      header_->Values()->GetValue("Content-Type"),
      "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\";charset=latin1");
}

TEST_F(HeaderTest, ContentTypeReplacesTheMainValueOnly) {
  header_->SetContentType(emxMultipartAlternative);
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"),
            "multipart/alternative;boundary=\"=_5550142857_quillfeather_5550171428_part\";"
            "charset=us-ascii");
  EXPECT_EQ(header_->ContentType(), emxMultipartAlternative);
  header_->SetContentType(emxMultipartDigest);
  EXPECT_EQ(header_->ContentType(), emxMultipartDigest);
  header_->SetContentType(emxMultipartParallel);
  EXPECT_EQ(header_->ContentType(), emxMultipartParallel);
  header_->Values()->Remove("Content-Type");
  header_->SetContentType(emxMultipartMixed);
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "Content-type");
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"), kDefaultContentType);
}

TEST_F(HeaderTest, ContentTypeReadsOneForAnEmptyMainValueAndKeepsItsCodeForOthers) {
  header_->SetContentType(emxMultipartAlternative);
  header_->Values()->Item("Content-Type")->SubValues()->Item(1)->SetText("text/plain");
  EXPECT_EQ(header_->ContentType(), emxMultipartAlternative);
  header_->Values()->Item("Content-Type")->SubValues()->Item(1)->SetText("");
  EXPECT_EQ(header_->ContentType(), emxCustomHeaderContent);
  header_->Values()->Item("Content-Type")->SetText("  MULTIPART/Digest ;x=y");
  EXPECT_EQ(header_->ContentType(), emxMultipartDigest);
}

TEST_F(HeaderTest, CustomContentTypeIsRefusedWith12009) {
  const Exception e = Raised([&] { header_->SetContentType(emxCustomHeaderContent); });
  const std::string text =
      "A Custom content type (\"Content-Type\") can only be set using the Values object.";
  EXPECT_EQ(e.Number(), kBase + 12009);
  EXPECT_EQ(e.Source(), "postwing");
  EXPECT_EQ(e.Description(), text);
  testing::ExpectLastRecord(*mail_, kBase + 12009, "postwing", text, "Header.ContentType");
  EXPECT_EQ(mail_->Errors()->Count(), 1);
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"), kDefaultContentType);
}

TEST_F(HeaderTest, MimeOffRemovesItsFieldsAndGuardsTheMimeProperties) {
  header_->SetSubject("s");
  header_->SetMIMECompliant(false);
  EXPECT_FALSE(header_->MIMECompliant());
  EXPECT_FALSE(header_->Values()->Exists("MIME-Version"));
  EXPECT_FALSE(header_->Values()->Exists("Content-Type"));
  EXPECT_EQ(header_->Charset(), "") << "no failure";

  struct Guarded {
    std::function<void()> call;
    const char* property;
    const char* method;
  };
  const std::vector<Guarded> cases = {
      {[&] { header_->ContentType(); }, "ContentType", "Header.ContentType"},
      {[&] { header_->SetContentType(emxMultipartMixed); }, "ContentType", "Header.ContentType"},
      {[&] { header_->SetCharset("utf-8"); }, "Charset", "Header.Charset"},
  };
  for (const auto& c : cases) {
    const Exception e = Raised(c.call);
    const std::string text = std::string("The ") + c.property + kMime12008Tail;
    EXPECT_EQ(e.Number(), kBase + 12008);
    EXPECT_EQ(e.Description(), text);
    testing::ExpectLastRecord(*mail_, kBase + 12008, "postwing", text, c.method);
  }
  EXPECT_EQ(mail_->Errors()->Count(), 3);
  EXPECT_EQ(header_->Values()->Count(), 2) << "a failed set changes no field";

  header_->SetMIMECompliant(true);
  std::vector<std::string> keys;
  for (const auto& value : *header_->Values()) keys.push_back(value->Key());
  EXPECT_EQ(keys, (std::vector<std::string>{"DATE", "SUBJECT", "MIME-Version", "Content-type"}));
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"), kDefaultContentType);
  EXPECT_EQ(header_->ContentType(), emxMultipartMixed);
}

TEST_F(HeaderTest, MimeOnKeepsAContentTypeTheHostLeft) {
  header_->Values()->Item("Content-Type")->SetText("multipart/alternative");
  header_->SetMIMECompliant(true);
  EXPECT_EQ(header_->Values()->GetValue("Content-Type"), "multipart/alternative");
  header_->Values()->Remove("MIME-Version");
  header_->SetMIMECompliant(true);
  EXPECT_EQ(header_->Values()->GetValue("MIME-Version"), "1.0");
}

TEST_F(HeaderTest, MimeSwitchIsFrozenOnceAnAttachmentExists) {
  mail_->Attachments()->Add("some data", "a.txt");
  const std::string text =
      "Cannot set property at this time. The property 'MIMECompliant' must be set before any "
      "attachments are added. If using multiple sends use Clear after each send completes.";
  const int32_t before = mail_->Errors()->Count();
  for (bool value : {true, false}) {
    const Exception e = Raised([&] { header_->SetMIMECompliant(value); });
    EXPECT_EQ(e.Number(), kBase + 12004);
    EXPECT_EQ(e.Source(), "postwing");
    EXPECT_EQ(e.Description(), text);
    testing::ExpectLastRecord(*mail_, kBase + 12004, "postwing", text, "Header.MIMECompliant");
  }
  EXPECT_EQ(mail_->Errors()->Count(), before + 2);
  EXPECT_TRUE(header_->MIMECompliant());
  EXPECT_TRUE(header_->Values()->Exists("MIME-Version"));
  mail_->Clear();
  mail_->Header()->SetMIMECompliant(false);
  EXPECT_FALSE(mail_->Header()->MIMECompliant());
}

// ---- the DATE field ----

TEST(HeaderDateTest, FormatsDayMonthYearTimeAndZone) {
  const Date d = Date::FromParts(2007, 1, 5, 14, 3, 9);
  EXPECT_EQ(detail::FormatHeaderDate(d, -300), "Fri, 5 JAN 2007 14:03:09 -0500");
  EXPECT_EQ(detail::FormatHeaderDate(d, 330), "Fri, 5 JAN 2007 14:03:09 +0530");
  EXPECT_EQ(detail::FormatHeaderDate(d, 0), "Fri, 5 JAN 2007 14:03:09 +0000");
  EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2026, 12, 27, 0, 0, 0), -570),
            "Sun, 27 DEC 2026 00:00:00 -0930");
  EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2024, 2, 29, 23, 59, 59), 60),
            "Thu, 29 FEB 2024 23:59:59 +0100");
}

TEST(HeaderDateTest, ZoneIsTheLocalOffsetAtThatDate) {
  {
    ScopedZone zone(kNewYork);
    EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2007, 1, 5, 14, 3, 9)),
              "Fri, 5 JAN 2007 14:03:09 -0500");
    EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2007, 7, 4, 12, 0, 0)),
              "Wed, 4 JUL 2007 12:00:00 -0400");
  }
  {
    ScopedZone zone(kKolkata);
    EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2007, 7, 4, 12, 0, 0)),
              "Wed, 4 JUL 2007 12:00:00 +0530");
  }
}

TEST_F(HeaderTest, SendDateReadsBackAsTheSameLocalDateAndTime) {
  ScopedZone zone(kNewYork);
  const std::vector<Date> dates = {
      Date::FromParts(2007, 1, 5, 14, 3, 9),     Date::FromParts(2007, 7, 4, 0, 0, 0),
      Date::FromParts(2007, 3, 11, 2, 30, 0),  // inside the spring-forward gap
      Date::FromParts(2007, 11, 4, 1, 30, 0),  // the hour that happens twice
      Date::FromParts(1999, 12, 31, 23, 59, 59), Date::FromParts(2038, 1, 19, 3, 14, 8),
  };
  for (const Date& d : dates) {
    header_->SetSendDate(d);
    EXPECT_EQ(header_->SendDate(), d) << header_->Values()->GetValue("DATE");
  }
  header_->SetSendDate(Date::FromParts(2007, 1, 5, 14, 3, 9));
  EXPECT_EQ(header_->Values()->GetValue("Date"), "Fri, 5 JAN 2007 14:03:09 -0500");
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "DATE") << "changed in place";
}

TEST_F(HeaderTest, FreshDateIsNow) {
  const Date before = Date::Now();
  const auto mail = SendMail::Create();
  const Date after = Date::Now();
  const Date date = mail->Header()->SendDate();
  EXPECT_LE(before, date);
  EXPECT_LE(date, after);
  // The header format writes back what it reads.
  const std::string text = mail->Header()->Values()->GetValue("DATE");
  EXPECT_EQ(detail::FormatHeaderDate(date), text);
  EXPECT_EQ(text.size() - text.find_last_of(' '), 6u) << text;
}

TEST_F(HeaderTest, SendDateReadsDatesWrittenElsewhere) {
  ScopedZone zone(kNewYork);
  struct Case {
    const char* text;
    Date expected;
  };
  const std::vector<Case> cases = {
      {"Mon, 1 Jan 2007 12:00:00 +0000", Date::FromParts(2007, 1, 1, 7, 0, 0)},
      {"1 jan 2007 12:00:00 GMT", Date::FromParts(2007, 1, 1, 7, 0, 0)},
      {"Mon, 01 Jan 07 12:00 -0500 (EST)", Date::FromParts(2007, 1, 1, 12, 0, 0)},
      {"Wed, 4 July 2007 09:00:00 PDT", Date::FromParts(2007, 7, 4, 12, 0, 0)},
      {"4 Jul 2007 12:00:00", Date::FromParts(2007, 7, 4, 12, 0, 0)},
  };
  for (const auto& c : cases) {
    header_->Values()->LetValue(c.text, "DATE");
    EXPECT_EQ(header_->SendDate(), c.expected) << c.text;
  }
}

TEST_F(HeaderTest, SendDateOfATextThatIsNoDateRaisesTypeMismatch) {
  for (const char* text : {"", "tomorrow", "Fri, 31 FEB 2007 10:00:00 +0000",
                           "Fri, 5 JAN 2007 25:00:00 +0000", "Fri, 5 XYZ 2007 10:00:00"}) {
    header_->Values()->LetValue(text, "DATE");
    EXPECT_EQ(Raised([&] { header_->SendDate(); }).Number(), 13) << text;
  }
  header_->Values()->Remove("DATE");
  EXPECT_EQ(Raised([&] { header_->SendDate(); }).Number(), 13);
}

// ---- the message identifier ----

TEST(MessageIdTest, GuidDigitsAndComputerName) {
  const std::string a = detail::NewMessageID();
  const std::string b = detail::NewMessageID();
  ASSERT_GT(a.size(), 36u);
  EXPECT_EQ(a.front(), '<');
  EXPECT_EQ(a[33], '@');
  EXPECT_EQ(a.back(), '>');
  for (size_t i = 1; i <= 32; ++i) {
    EXPECT_TRUE((a[i] >= '0' && a[i] <= '9') || (a[i] >= 'A' && a[i] <= 'F')) << a;
  }
  EXPECT_EQ(a.find_first_of("<>@", 34), a.size() - 1) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(34), b.substr(34));
}

}  // namespace
}  // namespace postwing
