// Header fields as written on the wire: the address-list rules, the folded and encoded lines,
// and Python's email package reading them back to the text the host gave.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "message/address_list.hpp"
#include "message/header_wire.hpp"
#include "message/message_test_util.hpp"
#include "support/hex.hpp"

namespace postwing {
namespace {

using detail::FieldWireForm;

TEST(AddressList, OneRuleSplitsEntriesAndFindsTheirAddress) {
  struct Case {
    const char* text;
    const char* entries;  // joined by "|"
    const char* path;     // of the first entry
  };
  const Case cases[] = {
      {"Bob <bob@example.org>;carol@example.org", "Bob <bob@example.org>|carol@example.org",
       "<bob@example.org>"},
      {";; a@x ;\t;", "a@x", "<a@x>"},
      {"\"Doe, J; Jr\" <j@x>, k@y", "\"Doe, J; Jr\" <j@x>|k@y", "<j@x>"},
      {"<a,b@x>,c", "<a,b@x>|c", "<a,b@x>"},
      {"a@x (Smith, J) ,b@y", "a@x (Smith, J)|b@y", "<a@x>"},
      {"x <a@b> <c@d>", "x <a@b> <c@d>", "<a@b>"},
      {"\"unclosed, x@y", "\"unclosed|x@y", "<\"unclosed>"},
      {"\"a<b>\" <c@d>", "\"a<b>\" <c@d>", "<c@d>"},
      {"a@x;\r\n b@y", "a@x|b@y", "<a@x>"},
      {"", "", "<>"},
  };
  for (const auto& c : cases) {
    std::string joined;
    const auto entries = detail::SplitAddressList(c.text);
    for (auto e : entries) joined += (joined.empty() ? "" : "|") + std::string(e);
    EXPECT_EQ(joined, c.entries) << c.text;
    EXPECT_EQ(detail::EnvelopePath(entries.empty() ? "" : entries[0]), c.path) << c.text;
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

// Prints, per field read back by Python, the hex of its decoded text (addresses as
// "name<addr>;", parameters as the "filename" or "name" value) and the defects Python found.
constexpr const char* kReader = R"(
import email, email.policy, re, sys
allowed = {'encoded word inside quoted string', 'missing trailing whitespace after encoded-word'}
out = open(sys.argv[2], 'w')
for block in open(sys.argv[1], 'rb').read().split(b'\0'):
    if block.lower().startswith((b'to:', b'reply-to:')):
        # Python keeps the blanks between encoded words of a display name (RFC 2047 6.2
        # drops them): join the words first.
        block = re.sub(rb'\?=\s+=\?', b'?==?', block)
    msg = email.message_from_bytes(block + b'\r\n\r\n', policy=email.policy.default)
    (key, value), = msg.items()
    if hasattr(value, 'addresses'):
        text = ''.join('%s<%s>;' % (a.display_name, a.addr_spec) for a in value.addresses)
    elif key.lower() in ('content-type', 'content-disposition'):
        text = value.params.get('filename', value.params.get('name', ''))
    else:
        text = str(value)
    bad = [str(d) for d in value.defects if str(d) not in allowed]
    out.write(text.encode('utf-8', 'surrogateescape').hex() + ' ' + '|'.join(bad) + '\n')
)";

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(HeaderWire, PythonReadsEveryFieldBackAsGiven) {
  struct Case {
    const char* key;
    std::string text;
    std::string read;  // what a reader shows, in UTF-8; empty: the text itself
  };
  const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 日本語
  const std::string emoji = "\xF0\x9F\x93\x8E\xF0\x9F\x98\x80";         // 📎😀
  const std::string hebrew = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";        // שלום
  const std::string combining = "e\xCC\x81\xCC\xA3o\xCC\x88";
  const std::string long_name = Repeat(japanese, 22) + emoji + ".txt";  // 200+ characters
  const Case cases[] = {
      // clang-format off
      {"Subject", "Gr\xC3\xBC\xC3\x9F\x65 " + japanese + " " + emoji + " " + hebrew + " " + combining, ""},
      {"Subject", Repeat(japanese + " ", 40) + "end", ""},
      {"Subject", "Gr\xFC\xDF\x65 aus K\xF6ln", "Gr\xC3\xBC\xC3\x9F\x65 aus K\xC3\xB6ln"},
      {"Subject", Repeat("word ", 60) + "end", ""},
      {"Subject", std::string(1500, 'u'), ""},
      {"Comments", "tab\there  and  " + emoji + "  spaces", ""},
      {"X-Note", "=?utf-8?Q?pre?= " + emoji + " =?utf-8?Q?post?=", "pre " + emoji + " post"},
      {"To", "J\xC3\xBCrgen M\xC3\xBCller <j@x.de>; \"Smith, Bob\" <b@x.org>, c@x.org;;" +
           Repeat(japanese, 12) + " <long@x.org>;Dr. Who <w@x.org>",
       "J\xC3\xBCrgen M\xC3\xBCller<j@x.de>;Smith, Bob<b@x.org>;<c@x.org>;" + Repeat(japanese, 12) +
           "<long@x.org>;Dr. Who<w@x.org>;"},
      {"Reply-To", "\"" + hebrew + " \\\"q\\\"\" <r@x.org>", hebrew + " \"q\"<r@x.org>;"},
      {"Content-Disposition", "attachment;Filename=\"" + long_name + "\"", long_name},
      {"Content-Type", "application/octet-stream;Name=\"" + long_name + "\"", long_name},
      {"Content-Disposition", "attachment;filename=" + combining + emoji, combining + emoji},
      {"Content-Disposition", "attachment;filename=\"" + std::string(150, 'a') + ".txt\"",
       std::string(150, 'a') + ".txt"},
      // File names as an attachment quotes them (its own table shows the quoting).
      {"Content-Disposition", "attachment;Filename=\"my report;v2 a=b.pdf\"", "my report;v2 a=b.pdf"},
      {"Content-Type", "application/pdf;Name=\"say \\\"hi\\\" (draft) [v3] x@y.pdf\"",
       "say \"hi\" (draft) [v3] x@y.pdf"},
      {"Content-Disposition", "attachment;Filename=\"caf\xE9 report.txt\"", "caf\xC3\xA9 report.txt"},
      {"Content-Type", "application/pdf;Name=\"Bericht M\xC3\xA4rz 2024 " + hebrew + " no\xCC\x88l.pdf\"",
       "Bericht M\xC3\xA4rz 2024 " + hebrew + " no\xCC\x88l.pdf"},
      // clang-format on
  };
  std::string input;
  for (const auto& c : cases) {
    const auto wire = FieldWireForm(c.key, c.text);
    ASSERT_EQ(wire.problem, "") << c.text;
    std::istringstream lines(wire.lines);
    for (std::string line; std::getline(lines, line);) {
      // Every one of these has fold points enough for 78 characters.
      EXPECT_LE(line.size(), 79u) << c.key << ": " << line;
      for (unsigned char b : line) ASSERT_LT(b, 128) << line;
    }
    input += (input.empty() ? "" : std::string(1, '\0')) + wire.lines;
  }
  std::istringstream out(testing::RunPython(kReader, input));
  for (const auto& c : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(out, line));
    EXPECT_EQ(line, support::Hex(c.read.empty() ? c.text : c.read) + " ")
        << c.key << ": " << c.text;
  }
}

}  // namespace
}  // namespace postwing
