#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "message/address_list.hpp"
#include "message/header_date.hpp"
#include "message/header_wire.hpp"
#include "message/message_id.hpp"
#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using detail::FieldWireForm;
using testing::ExpectRecorded;
using testing::Fields;
using testing::kBase;
using testing::Raised;
using testing::ScopedZone;

const std::string kDefaultContentType =
    "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\";charset=us-ascii";
// POSIX zone texts, so the tests need no zone database.
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

class HeaderTest : public ::testing::Test {
 protected:
  std::vector<std::string> Keys() {
    std::vector<std::string> keys;
    for (const auto& value : *header_->Values()) keys.push_back(value->Key());
    return keys;
  }
  std::string ContentTypeText() { return header_->Values()->GetValue("Content-Type"); }

  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  std::shared_ptr<Header> header_ = mail_->Header();
};

TEST_F(HeaderTest, FieldsAreFreshDefaultsThenInTheOrderFirstSet) {
  EXPECT_EQ(Keys(), (std::vector<std::string>{"Content-type", "MIME-Version", "DATE"}));
  EXPECT_EQ(ContentTypeText(), kDefaultContentType);
  EXPECT_EQ(header_->ContentType(), emxMultipartMixed);
  EXPECT_EQ(header_->Charset(), "us-ascii");
  EXPECT_TRUE(header_->MIMECompliant());
  EXPECT_EQ(header_->Parent(), mail_);
  header_->SetSubject("Hello");
  header_->SetToList("a@x.org;b@x.org");
  header_->SetFrom("me@x.org");
  header_->SetCcList("c@x.org");
  header_->SetReplyTo("Someone <s@x.org>");
  header_->SetSubject("Changed");
  header_->SetBccList("hidden@x.org");
  header_->SetVerify(true);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"Content-type", "MIME-Version", "DATE", "SUBJECT",
                                              "TO", "FROM", "CC", "REPLY-TO"}))
      << "the blind-copy list is never a field";
  const auto before = Fields(*header_->Values());
  EXPECT_EQ(header_->ReplyTo(), "Someone <s@x.org>");
  EXPECT_EQ(Fields(*header_->Values()), before) << "reading changes nothing";
  EXPECT_EQ(header_->Subject(), "Changed");
  EXPECT_EQ(header_->ToList() + header_->CcList() + header_->From(),
            "a@x.org;b@x.orgc@x.orgme@x.org");
  EXPECT_EQ(header_->BccList(), "hidden@x.org");
  EXPECT_TRUE(header_->Verify());
  // The text properties are views onto fields the host may add itself.
  header_->Values()->Remove("SUBJECT");
  header_->Values()->Add("typed elsewhere", "subject");
  EXPECT_EQ(header_->Subject(), "typed elsewhere");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(HeaderTest, CharsetIsStoredInLowerCaseAsAParameterOrANewField) {
  header_->SetCharset("UTF-8");
  EXPECT_EQ(header_->Charset(), "utf-8");
  header_->Values()->Item("Content-Type")->SetText("multipart/mixed");
  header_->SetCharset("ISO-8859-1");
  EXPECT_EQ(ContentTypeText(), "multipart/mixed;charset=iso-8859-1");
  header_->Values()->Remove("Content-Type");
  EXPECT_EQ(header_->Charset(), "");
  header_->SetCharset("Latin1");
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "Content-type");
  EXPECT_EQ(
      ContentTypeText(),
      "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\";charset=latin1");
}

TEST_F(HeaderTest, ContentTypeReplacesTheMainValueOnly) {
  header_->SetContentType(emxMultipartAlternative);
  EXPECT_EQ(ContentTypeText(),
            "multipart/alternative;boundary=\"=_5550142857_quillfeather_5550171428_part\";"
            "charset=us-ascii");
  for (auto type : {emxMultipartDigest, emxMultipartParallel, emxMultipartAlternative}) {
    header_->SetContentType(type);
    EXPECT_EQ(header_->ContentType(), type);
  }
  // A non-multipart main value keeps the last code; an empty one reads 1.
  header_->Values()->Item("Content-Type")->SubValues()->Item(1)->SetText("text/plain");
  EXPECT_EQ(header_->ContentType(), emxMultipartAlternative);
  header_->Values()->Item("Content-Type")->SubValues()->Item(1)->SetText("");
  EXPECT_EQ(header_->ContentType(), emxCustomHeaderContent);
  header_->Values()->Item("Content-Type")->SetText("  MULTIPART/Digest ;x=y");
  EXPECT_EQ(header_->ContentType(), emxMultipartDigest);
  ExpectRecorded(*mail_, kBase + 12009, "Header.ContentType",
                 [&] { header_->SetContentType(emxCustomHeaderContent); });
  header_->Values()->Remove("Content-Type");
  header_->SetContentType(emxMultipartMixed);
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "Content-type");
  EXPECT_EQ(ContentTypeText(), kDefaultContentType);
}

TEST_F(HeaderTest, MimeOffRemovesItsFieldsAndGuardsTheMimeProperties) {
  header_->SetSubject("s");
  header_->SetMIMECompliant(false);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"DATE", "SUBJECT"}));
  EXPECT_EQ(header_->Charset(), "") << "no failure";
  const std::pair<std::function<void()>, const char*> guarded[] = {
      {[&] { header_->ContentType(); }, "Header.ContentType"},
      {[&] { header_->SetContentType(emxMultipartMixed); }, "Header.ContentType"},
      {[&] { header_->SetCharset("utf-8"); }, "Header.Charset"}};
  for (const auto& [call, method] : guarded) ExpectRecorded(*mail_, kBase + 12008, method, call);
  EXPECT_EQ(Keys().size(), 2u) << "a failed set changes no field";
  header_->SetMIMECompliant(true);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"DATE", "SUBJECT", "MIME-Version", "Content-type"}));
  EXPECT_EQ(ContentTypeText(), kDefaultContentType);
  // On again keeps a content type the host left, and puts a missing version back.
  header_->Values()->Item("Content-Type")->SetText("multipart/alternative");
  header_->Values()->Remove("MIME-Version");
  header_->SetMIMECompliant(true);
  EXPECT_EQ(ContentTypeText(), "multipart/alternative");
  EXPECT_EQ(header_->Values()->GetValue("MIME-Version"), "1.0");
}

// ---- the DATE field ----

// A reader threads replies by it: angle brackets, a unique left side, this host on the right.
TEST(MessageIdTest, GuidDigitsAndComputerName) {
  const std::string a = detail::NewMessageID();
  const std::string b = detail::NewMessageID();
  EXPECT_TRUE(std::regex_match(a, std::regex("<[0-9A-F]{32}@[^<>@]+>"))) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(34), b.substr(34));
}

TEST(HeaderDateTest, FormatsDayMonthYearTimeAndTheZoneAtThatDate) {
  const Date d = Date::FromParts(2007, 1, 5, 14, 3, 9);
  EXPECT_EQ(detail::FormatHeaderDate(d, 330), "Fri, 5 JAN 2007 14:03:09 +0530");
  EXPECT_EQ(detail::FormatHeaderDate(d, 0), "Fri, 5 JAN 2007 14:03:09 +0000");
  EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2026, 12, 27, 0, 0, 0), -570),
            "Sun, 27 DEC 2026 00:00:00 -0930");
  EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2024, 2, 29, 23, 59, 59), 60),
            "Thu, 29 FEB 2024 23:59:59 +0100");
  ScopedZone zone(kNewYork);
  EXPECT_EQ(detail::FormatHeaderDate(d), "Fri, 5 JAN 2007 14:03:09 -0500");
  EXPECT_EQ(detail::FormatHeaderDate(Date::FromParts(2007, 7, 4, 12, 0, 0)),
            "Wed, 4 JUL 2007 12:00:00 -0400");
}

TEST_F(HeaderTest, SendDateReadsBackWhatItWroteAndDatesWrittenElsewhere) {
  const Date before = Date::Now();
  const Date fresh = SendMail::Create()->Header()->SendDate();
  EXPECT_LE(before, fresh);
  EXPECT_LE(fresh, Date::Now());
  ScopedZone zone(kNewYork);
  for (const Date& d :
       {Date::FromParts(2007, 1, 5, 14, 3, 9), Date::FromParts(2007, 7, 4, 0, 0, 0),
        Date::FromParts(2007, 3, 11, 2, 30, 0),  // inside the spring-forward gap
        Date::FromParts(2007, 11, 4, 1, 30, 0),  // the hour that happens twice
        Date::FromParts(1999, 12, 31, 23, 59, 59), Date::FromParts(2038, 1, 19, 3, 14, 8)}) {
    header_->SetSendDate(d);
    EXPECT_EQ(header_->SendDate(), d) << header_->Values()->GetValue("DATE");
  }
  EXPECT_EQ(header_->Values()->Item(3)->Key(), "DATE") << "changed in place";
  const std::pair<const char*, Date> written[] = {
      {"Mon, 1 Jan 2007 12:00:00 +0000", Date::FromParts(2007, 1, 1, 7, 0, 0)},
      {"1 jan 2007 12:00:00 GMT", Date::FromParts(2007, 1, 1, 7, 0, 0)},
      {"Mon, 01 Jan 07 12:00 -0500 (EST)", Date::FromParts(2007, 1, 1, 12, 0, 0)},
      {"Wed, 4 July 2007 09:00:00 PDT", Date::FromParts(2007, 7, 4, 12, 0, 0)},
      {"4 Jul 2007 12:00:00", Date::FromParts(2007, 7, 4, 12, 0, 0)},
      {"Tue, 2 Jan 2007 12:00:00 +0130", Date::FromParts(2007, 1, 2, 5, 30, 0)},
      {"Sun, 31 Dec 2006 23:59 -0000", Date::FromParts(2006, 12, 31, 18, 59, 0)},
  };
  for (const auto& [text, date] : written) {
    header_->Values()->LetValue(text, "DATE");
    EXPECT_EQ(header_->SendDate(), date) << text;
  }
  for (const char* text :
       {"", "tomorrow", "Fri, 31 FEB 2007 10:00:00 +0000", "Fri, 5 JAN 2007 25:00:00 +0000",
        "Fri, 5 XYZ 2007 10:00:00", "5 JAN 2007 10:61:00"}) {
    header_->Values()->LetValue(text, "DATE");
    EXPECT_EQ(Raised([&] { header_->SendDate(); }).Number(), 13) << text;
  }
  header_->Values()->Remove("DATE");
  EXPECT_EQ(Raised([&] { header_->SendDate(); }).Number(), 13);
}

// ---- the fields as written: the address-list rules and the folded and encoded lines ----
// Readers decode them back in header_wire_fuzz (its own decoders, seeds of many scripts and
// file names) and in the Postfix suite (Python's email package and reformime).

TEST(AddressList, OneRuleSplitsEntriesAndFindsTheirAddress) {
  // The text, its entries joined by "|", the path of the first entry.
  const char* cases[][3] = {
      {"Bob <bob@example.org>;carol@example.org", "Bob <bob@example.org>|carol@example.org",
       "<bob@example.org>"},
      // clang-format off
      {";; a@x ;\t;", "a@x", "<a@x>"}, {"<a,b@x>,c", "<a,b@x>|c", "<a,b@x>"},
      {"\"Doe, J; Jr\" <j@x>, k@y", "\"Doe, J; Jr\" <j@x>|k@y", "<j@x>"},
      {"a@x (Smith, J) ,b@y", "a@x (Smith, J)|b@y", "<a@x>"}, {"a@x;\r\n b@y", "a@x|b@y", "<a@x>"},
      {"x <a@b> <c@d>", "x <a@b> <c@d>", "<a@b>"}, {"\"a<b>\" <c@d>", "\"a<b>\" <c@d>", "<c@d>"},
      {"\"unclosed, x@y", "\"unclosed|x@y", "<\"unclosed>"}, {"", "", "<>"},
      // clang-format on
  };
  for (const auto& [text, joined_entries, path] : cases) {
    std::string joined;
    const auto entries = detail::SplitAddressList(text);
    for (auto e : entries) joined += (joined.empty() ? "" : "|") + std::string(e);
    EXPECT_EQ(joined, joined_entries) << text;
    EXPECT_EQ(detail::EnvelopePath(entries.empty() ? "" : entries[0]), path) << text;
  }
}

TEST(HeaderWire, FieldLinesAsWritten) {
  const std::string j200 = "x" + std::string(70, 'y');
  const std::tuple<const char*, std::string, std::string> cases[] = {
      // key, text, wire
      // clang-format off
      {"TO", "Bob <bob@example.org>;carol@example.org;;", "TO: Bob <bob@example.org>, carol@example.org"},
      {"FROM", "Dr. Who <who@x.org>", "FROM: \"Dr. Who\" <who@x.org>"},
      {"CC", "\"Who\" <w@x>, J\xC3\xBCrgen <j@x>", "CC: \"Who\" <w@x>, =?utf-8?Q?J=C3=BCrgen?= <j@x>"},
      {"SUBJECT", "Caf\xC3\xA9 ok", "SUBJECT: =?utf-8?Q?Caf=C3=A9?= ok"},
      {"SUBJECT", "caf\xE9", "SUBJECT: =?windows-1252?Q?caf=E9?="},
      {"SUBJECT", "=?utf-8?Q?x?= \xC3\xA9", "SUBJECT: =?utf-8?Q?x?= =?utf-8?B?IMOp?="},
      {"SUBJECT", "folded by\r\n the host", "SUBJECT: folded by the host"},
      {"Content-Disposition", "attachment;filename=\"\xC3\xA9 1.txt\"",
       "Content-Disposition: attachment;filename*=utf-8''%C3%A9%201.txt"},
      {"Content-Type", "text/plain;name=\"\xC3\xA9.txt\"", "Content-Type: text/plain;name=\"=?utf-8?Q?=C3=A9=2Etxt?=\""},
      {"Content-Type", "text/plain; name=my file.txt", "Content-Type: text/plain; name=\"my file.txt\""},
      {"Content-type", "multipart/mixed;boundary=\"=_5550142857_quillfeather_5550171428_part\"",
       "Content-type: multipart/mixed;\r\n boundary=\"=_5550142857_quillfeather_5550171428_part\""},
      {"X-Long", j200 + " " + j200, "X-Long: " + j200 + "\r\n " + j200},
      {"Message-ID", "<" + j200 + "@x>", "Message-ID: <" + j200 + "@x>"},
      {"Content-Disposition", "attachment;filename=\"" + std::string(80, 'a') + ".txt\"",
       "Content-Disposition: attachment;\r\n filename*0=\"" + std::string(63, 'a') + "\";\r\n filename*1=\"" +
           std::string(17, 'a') + ".txt\""},
      {"Reply-To", "\"\xD7\xA9 \\\"q\\\"\" <r@x.org>", "Reply-To: =?utf-8?B?16kgInEi?= <r@x.org>"},
      // clang-format on
  };
  for (const auto& [key, text, lines] : cases) {
    const auto wire = FieldWireForm(key, text);
    EXPECT_EQ(wire.lines, lines) << text;
    EXPECT_EQ(wire.problem, "") << text;
  }
  // What no line can hold and no encoding may carry.
  EXPECT_NE(FieldWireForm("References", "<" + std::string(1000, 'r') + "@x>").problem, "");
  EXPECT_NE(FieldWireForm("TO", "J <j\xC3\xBCrgen@x.de>").problem, "");
  EXPECT_NE(FieldWireForm("Content-ID", "<\xC3\xA9@x>").problem, "");
}

}  // namespace
}  // namespace postwing
