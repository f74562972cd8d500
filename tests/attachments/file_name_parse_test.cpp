// The file-name parameters an attachment writes, as they go on the wire, read back by
// Python's email package.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "message/header_wire.hpp"
#include "message/message_test_util.hpp"
#include "support/hex.hpp"

namespace postwing {
namespace {

// Prints, per attachment part, its file name and its content type's "name" as hex lines.
constexpr const char* kScript = R"(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
out = open(sys.argv[2], 'w')
for part in msg.iter_attachments():
    for text in (part.get_filename(), part.get_param('name')):
        out.write((text or '').encode('utf-8', 'surrogateescape').hex() + '\n')
)";

TEST(AttachmentFileNameTest, ReceiverReadsEveryNameWhole) {
  // Japanese, emoji, right-to-left, combining marks, 200 characters, windows-1252.
  std::string long_name;
  for (int i = 0; i < 66; ++i) long_name += "\xE6\x97\xA5";
  long_name += "\xF0\x9F\x93\x8E.pdf";
  const std::pair<std::string, std::string> names[] = {
      // given, and as a reader shows it
      {"plain_name-1.0.pdf", ""},
      {"my report;v2.pdf", ""},
      {"a=b;c=d.txt", ""},
      {"say \"hi\".pdf", ""},
      {"Bericht M\xc3\xa4rz 2024.pdf", ""},
      {"(draft) [v3] x@y.doc", ""},
      {"\xE8\xAB\x8B\xE6\xB1\x82\xE6\x9B\xB8 \xF0\x9F\x98\x80.txt", ""},
      {"\xD7\xA7\xD7\x95\xD7\x91\xD7\xA5.doc", ""},
      {"Cafe\xCC\x81 no\xCC\x88l.txt", ""},
      {long_name, ""},
      {"caf\xE9.txt", "caf\xC3\xA9.txt"}};
  support::TempDir dir;
  auto mail = SendMail::Create();
  std::string message =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
  for (const auto& [name, read] : names) {
    // Added from a path, a ContentType set and then the first FileName set: both "Name" and
    // "Filename" carry the name.
    auto a = mail->Attachments()->Add(dir.File("f" + std::to_string(message.size())));
    a->SetContentType("application/octet-stream");
    a->SetFileName(name);
    message += "--b\r\n";
    for (const auto& field : *a->Values()) {
      message += detail::FieldWireForm(field->Key(), field->Text()).lines + "\r\n";
    }
    message += "\r\nZGF0YQ==\r\n";
  }
  std::istringstream lines(testing::RunPython(kScript, message + "--b--\r\n"));
  for (const auto& [name, read] : names) {
    for (const char* parameter : {"Filename", "Name"}) {
      std::string line;
      ASSERT_TRUE(std::getline(lines, line)) << message;
      EXPECT_EQ(line, support::Hex(read.empty() ? name : read)) << parameter << " of " << name;
    }
  }
}

}  // namespace
}  // namespace postwing
