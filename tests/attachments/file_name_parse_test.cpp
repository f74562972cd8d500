// The file-name parameters an attachment writes, as they go on the wire, read back by
// Python's email package.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "message/header_wire.hpp"
#include "postwing/postwing.hpp"
#include "postwing/values.hpp"
#include "support/hex.hpp"

namespace postwing {
namespace {

using support::Hex;

// Prints, per attachment part, its file name and its content type's "name" as hex lines.
constexpr const char* kScript = R"(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
for part in msg.iter_attachments():
    for text in (part.get_filename(), part.get_param('name')):
        print((text or '').encode('utf-8', 'surrogateescape').hex())
)";

TEST(AttachmentFileNameTest, ReceiverReadsEveryNameWhole) {
  // Japanese, emoji, right-to-left, combining marks, 200 characters, windows-1252.
  std::string long_name;
  for (int i = 0; i < 66; ++i) long_name += "\xE6\x97\xA5";
  long_name += "\xF0\x9F\x93\x8E.pdf";
  const std::vector<std::string> names = {
      "plain_name-1.0.pdf",
      "my report;v2.pdf",
      "a=b;c=d.txt",
      "say \"hi\".pdf",
      "Bericht M\xc3\xa4rz 2024.pdf",
      "(draft) [v3] x@y.doc",
      "\xE8\xAB\x8B\xE6\xB1\x82\xE6\x9B\xB8 \xF0\x9F\x98\x80.txt",
      "\xD7\xA7\xD7\x95\xD7\x91\xD7\xA5.doc",
      "Cafe\xCC\x81 no\xCC\x88l.txt",
      long_name,
      "caf\xE9.txt"};
  // What a reader shows: the windows-1252 name in UTF-8.
  auto read = [](const std::string& name) {
    return name == "caf\xE9.txt" ? std::string("caf\xC3\xA9.txt") : name;
  };
  namespace fs = std::filesystem;
  std::string dir = (fs::temp_directory_path() / "pw-attach-names-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  auto mail = SendMail::Create();
  std::string message =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string file = dir + "/f" + std::to_string(i) + ".bin";
    std::ofstream(file) << "data";
    // Added from a path, a ContentType set and then the first FileName set: both "Name" and
    // "Filename" carry the name.
    auto a = mail->Attachments()->Add(file);
    a->SetContentType("application/octet-stream");
    a->SetFileName(names[i]);
    message += "--b\r\n";
    for (const auto& field : *a->Values()) {
      message += detail::FieldWireForm(field->Key(), field->Text()).lines + "\r\n";
    }
    message += "\r\nZGF0YQ==\r\n";
  }
  fs::remove_all(dir);
  message += "--b--\r\n";

  std::string path = (fs::temp_directory_path() / "pw-attach-msg-XXXXXX").string();
  const int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path, std::ios::binary) << message;
  const std::string script_path = path + ".py";
  std::ofstream(script_path) << kScript;

  const std::string command = std::string(POSTWING_PYTHON) + " " + script_path + " " + path;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines.push_back(line);
  }
  EXPECT_EQ(::pclose(pipe), 0);
  fs::remove(path);
  fs::remove(script_path);

  ASSERT_EQ(lines.size(), 2 * names.size()) << message;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(lines[2 * i], Hex(read(names[i]))) << "Filename of " << names[i];
    EXPECT_EQ(lines[2 * i + 1], Hex(read(names[i]))) << "Name of " << names[i];
  }
}

}  // namespace
}  // namespace postwing
