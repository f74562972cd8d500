#include "codecs/uuencode.hpp"

#include <gtest/gtest.h>

#include "codecs/codec_test_support.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using testing::AllBytes;
using testing::CodecTest;
using testing::RandomBytes;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
    lines.push_back(text.substr(start, at - start));
  lines.push_back(text.substr(start));
  return lines;
}

class UUEncodeTest : public CodecTest {
 protected:
  UUEncode uu;
};

TEST_F(UUEncodeTest, HundredBytesLayout) {
  const auto path = WriteFile("hundred.bin", RandomBytes(100, 1));
  const auto lines = Lines(uu.UUEncodeFile(path.string()));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "begin 644 hundred.bin");
  EXPECT_EQ(lines[1].size(), 61u);
  EXPECT_EQ(lines[1][0], 'M');
  EXPECT_EQ(lines[2].size(), 61u);
  EXPECT_EQ(lines[2][0], 'M');
  EXPECT_EQ(lines[3].size(), 17u);
  EXPECT_EQ(lines[3][0], char(32 + 10));
  EXPECT_EQ(lines[4], "`");
  EXPECT_EQ(lines[5], "end");  // nothing after "end"
}

TEST_F(UUEncodeTest, MultiplesOf45HaveNoExtraLine) {
  struct Case {
    size_t size;
    std::vector<size_t> data_lines;  // lengths of the lines between "begin" and "`"
  };
  const Case cases[] = {{0, {}}, {45, {61}}, {90, {61, 61}}, {1, {5}}, {46, {61, 5}}, {44, {61}}};
  for (const auto& c : cases) {
    const auto lines = Lines(uu.UUEncodeData(std::string(c.size, 'z'), "f"));
    ASSERT_EQ(lines.size(), c.data_lines.size() + 3) << c.size;
    EXPECT_EQ(lines.front(), "begin 644 f");
    for (size_t i = 0; i < c.data_lines.size(); ++i)
      EXPECT_EQ(lines[1 + i].size(), c.data_lines[i]) << c.size;
    EXPECT_EQ(lines[lines.size() - 2], "`");
    EXPECT_EQ(lines.back(), "end");
  }
  const auto empty = WriteFile("empty.bin", "");
  EXPECT_EQ(uu.UUEncodeFile(empty.string(), "e"), "begin 644 e\r\n`\r\nend");
}

TEST_F(UUEncodeTest, ZeroIsTheGraveAccentNeverASpace) {
  const std::string text = uu.UUEncodeData(std::string(100, '\0'), "zeros");
  const auto lines = Lines(text);
  for (size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].find(' '), std::string::npos);
  EXPECT_EQ(lines[1], "M" + std::string(60, '`'));
}

TEST_F(UUEncodeTest, NameOnTheBeginLine) {
  std::filesystem::create_directories(Path("sub"));
  const auto path = WriteFile("sub/odd\\name.txt", "x");
  EXPECT_EQ(Lines(uu.UUEncodeFile(path.string()))[0], "begin 644 name.txt");
  EXPECT_EQ(Lines(uu.UUEncodeFile(path.string(), "given.txt"))[0], "begin 644 given.txt");
  // Data without a name carries a temporary file's name, and no such file stays behind.
  const std::string line = Lines(uu.UUEncodeData("abc"))[0];
  EXPECT_EQ(line.rfind("begin 644 ~pw", 0), 0u) << line;
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(UUEncodeTest, RoundTripsThroughUUDecode) {
  for (size_t n : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 100u, 4545u, 10000u}) {
    const std::string data = RandomBytes(n, static_cast<uint32_t>(n));
    const std::string text = uu.UUEncodeData(data, "d");
    EXPECT_TRUE(uu.UUDecode(text) == data) << n;
    // Without the "begin" line, as the format's lines alone.
    EXPECT_TRUE(uu.UUDecode(text.substr(text.find("\r\n") + 2)) == data) << n;
  }
  const std::string all = AllBytes(2);
  const auto path = WriteFile("all.bin", all);
  EXPECT_EQ(uu.UUDecode(uu.UUEncodeFile(path.string())), all);
}

TEST_F(UUEncodeTest, DecodeAcceptsLfLinesAndOldSpaceZeros) {
  // sharutils and Python write LF line ends; old encoders wrote 0 as a space.
  EXPECT_EQ(uu.UUDecode("begin 644 x\n#86)C\n`\nend\n"), "abc");
  EXPECT_EQ(uu.UUDecode("#    \r\n"), std::string(3, '\0'));
  EXPECT_EQ(uu.UUDecode(""), "");
}

// Python's binascii.a2b_uu as the independent decoder.
TEST_F(UUEncodeTest, PythonDecodesTheLines) {
  const std::string data = RandomBytes(100000 + 7, 3) + AllBytes();
  const auto path = WriteFile("data.bin", data);
  const std::string text = uu.UUEncodeFile(path.string());
  const std::string back = Python(
      "import sys, binascii\n"
      "lines = open(sys.argv[1], 'rb').read().split(b'\\r\\n')\n"
      "assert lines[0] == b'begin 644 data.bin' and lines[-1] == b'end' and lines[-2] == b'`'\n"
      "open(sys.argv[2], 'wb').write(b''.join(binascii.a2b_uu(l) for l in lines[1:-1]))\n",
      text);
  EXPECT_TRUE(back == data);
}

// sharutils' uudecode reads our output as well (when it is installed).
TEST_F(UUEncodeTest, SharutilsDecodesTheText) {
  if (!std::filesystem::exists("/usr/bin/uudecode")) GTEST_SKIP() << "no uudecode";
  const std::string data = RandomBytes(9000, 4);
  const std::string text = uu.UUEncodeData(data, "out.bin");
  WriteFile("in.uu", text + "\r\n");
  const std::string command = "cd " + dir_.string() + " && /usr/bin/uudecode in.uu";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(testing::ReadBytes(Path("out.bin")) == data);
}

TEST_F(UUEncodeTest, YieldsEvery101Lines) {
  uu.UUEncodeData(std::string(45 * 303 + 10, 'a'), "n");
  EXPECT_EQ(loop_->passes, 3);
  loop_->passes = 0;
  std::string lines;
  for (int i = 0; i < 250; ++i) lines += "#86)C\r\n";
  EXPECT_EQ(uu.UUDecode(lines), [] {
    std::string s;
    for (int i = 0; i < 250; ++i) s += "abc";
    return s;
  }());
  EXPECT_EQ(loop_->passes, 2);
}

TEST_F(UUEncodeTest, CancelGivesEmptyResults) {
  const std::string data = RandomBytes(45 * 500, 8);
  const auto path = WriteFile("big.bin", data);
  loop_->on_pass = [&](int pass) {
    if (pass == 2) uu.Cancel();
  };
  EXPECT_EQ(uu.UUEncodeFile(path.string()), "");
  EXPECT_EQ(loop_->passes, 2);
  // Already cancelled: stops after the first line.
  loop_->passes = 0;
  EXPECT_EQ(uu.UUEncodeData(data, "x"), "");
  EXPECT_EQ(loop_->passes, 0);
  EXPECT_EQ(uu.UUDecode("#86)C\r\n#86)C\r\n"), "");
  // No full line, no check: a short input is still encoded.
  EXPECT_EQ(uu.UUEncodeData("abc", "x"), "begin 644 x\r\n#86)C\r\n`\r\nend");
  uu.ResetCancel();
  loop_->on_pass = nullptr;
  EXPECT_TRUE(uu.UUDecode(uu.UUEncodeFile(path.string())) == data);
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(UUEncodeTest, MissingFileFailsAndLeavesNothing) {
  try {
    uu.UUEncodeFile(Path("missing.bin").string());
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 53);
    EXPECT_EQ(e.Source(), "postwing");
  }
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(UUEncodeTest, DataErrorsCarryTheSourceUUEncode) {
  // A temporary directory where no file can be made makes the staging name fail.
  setenv("TMPDIR", "/proc/self", 1);
  try {
    uu.UUEncodeData("abc");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Source(), "UUEncode");
    EXPECT_EQ(e.Description(), "Error determining TempFileName");
  }
}

}  // namespace
}  // namespace postwing
