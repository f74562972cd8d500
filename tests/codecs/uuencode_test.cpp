#include "codecs/uuencode.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "codecs/codec_test_support.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using testing::AllBytes;
using testing::Raised;
using testing::RandomBytes;

// The lengths of the lines between "begin" and "`"; the "begin" line; checks "`" and "end".
std::vector<size_t> DataLines(const std::string& text, std::string* begin = nullptr) {
  std::vector<std::string> lines;
  std::istringstream in(text + "\r\n");
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.size() - 1));
  EXPECT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "`");
  EXPECT_EQ(lines.back(), "end");  // nothing after "end"
  if (begin) *begin = lines[0];
  std::vector<size_t> sizes;
  for (size_t i = 1; i + 2 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find(' '), std::string::npos) << "0 is the grave accent, never a space";
    sizes.push_back(lines[i].size());
  }
  return sizes;
}

class UUEncodeTest : public testing::CodecTest {
 protected:
  UUEncode uu;
};

TEST_F(UUEncodeTest, LayoutAndNameOnTheBeginLine) {
  std::string begin;
  const std::string hundred = uu.UUEncodeFile(dir_.File("hundred.bin", RandomBytes(100, 1)));
  EXPECT_EQ(DataLines(hundred, &begin), (std::vector<size_t>{61, 61, 17}));
  EXPECT_EQ(begin, "begin 644 hundred.bin");
  EXPECT_NE(hundred.find("\r\n*"), std::string::npos) << "the length character for 10";
  const std::pair<size_t, std::vector<size_t>> sizes[] = {{0, {}},  {45, {61}},    {90, {61, 61}},
                                                          {1, {5}}, {46, {61, 5}}, {44, {61}}};
  for (const auto& [size, lines] : sizes) {
    EXPECT_EQ(DataLines(uu.UUEncodeData(std::string(size, '\0'), "f"), &begin), lines) << size;
    EXPECT_EQ(begin, "begin 644 f");
  }
  EXPECT_EQ(uu.UUEncodeData(std::string(45, '\0'), "z").substr(13, 61), "M" + std::string(60, '`'));
  EXPECT_EQ(uu.UUEncodeFile(dir_.File("empty.bin", ""), "e"), "begin 644 e\r\n`\r\nend");
  // The name is the last segment after "/" or "\"; data without a name carries a temporary
  // file's name, and no such file stays behind.
  std::filesystem::create_directories(dir_ / "sub");
  const std::string odd = dir_.File("sub/odd\\name.txt", "x");
  DataLines(uu.UUEncodeFile(odd), &begin);
  EXPECT_EQ(begin, "begin 644 name.txt");
  DataLines(uu.UUEncodeFile(odd, "given.txt"), &begin);
  EXPECT_EQ(begin, "begin 644 given.txt");
  DataLines(uu.UUEncodeData("abc"), &begin);
  EXPECT_EQ(begin.rfind("begin 644 ~pw", 0), 0u) << begin;
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
  EXPECT_EQ(uu.UUDecode(uu.UUEncodeFile(dir_.File("all.bin", AllBytes(2)))), AllBytes(2));
  // sharutils and Python write LF line ends; old encoders wrote 0 as a space.
  EXPECT_EQ(uu.UUDecode("begin 644 x\n#86)C\n`\nend\n"), "abc");
  EXPECT_EQ(uu.UUDecode("#    \r\n"), std::string(3, '\0'));
  EXPECT_EQ(uu.UUDecode(""), "");
}

// Python's binascii.a2b_uu and sharutils' uudecode (installed by the setup) as independent
// decoders.
TEST_F(UUEncodeTest, PythonAndSharutilsDecodeTheText) {
  const std::string data = RandomBytes(100000 + 7, 3) + AllBytes();
  const std::string text = uu.UUEncodeFile(dir_.File("data.bin", data));
  EXPECT_TRUE(data ==
              testing::RunPython(
                  "import sys, binascii\n"
                  "lines = open(sys.argv[1], 'rb').read().split(b'\\r\\n')\n"
                  "assert lines[0] == b'begin 644 data.bin' and lines[-2:] == [b'`', b'end']\n"
                  "open(sys.argv[2], 'wb').write(b''.join(map(binascii.a2b_uu, lines[1:-1])))\n",
                  text));
  dir_.File("in.uu", uu.UUEncodeData(data, "out.bin") + "\r\n");
  const std::string command = "cd " + dir_.path().string() + " && /usr/bin/uudecode in.uu";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(support::ReadFile(dir_ / "out.bin") == data);
}

TEST_F(UUEncodeTest, YieldsEvery101LinesAndCancelGivesEmptyResults) {
  uu.UUEncodeData(std::string(45 * 303 + 10, 'a'), "n");
  EXPECT_EQ(loop_->passes, 3);
  std::string lines, abc;
  for (int i = 0; i < 250; ++i) lines += "#86)C\r\n", abc += "abc";
  EXPECT_EQ(uu.UUDecode(lines), abc);
  EXPECT_EQ(loop_->passes, 5);

  const std::string data = RandomBytes(45 * 500, 8);
  const std::string path = dir_.File("big.bin", data);
  loop_->passes = 0;
  loop_->on_pass = [&](int pass) {
    if (pass == 2) uu.Cancel();
  };
  EXPECT_EQ(uu.UUEncodeFile(path), "");
  EXPECT_EQ(loop_->passes, 2);
  // Already cancelled: stops after the first line.
  EXPECT_EQ(uu.UUEncodeData(data, "x"), "");
  EXPECT_EQ(uu.UUDecode("#86)C\r\n#86)C\r\n"), "");
  EXPECT_EQ(loop_->passes, 2);
  // No full line, no check: a short input is still encoded.
  EXPECT_EQ(uu.UUEncodeData("abc", "x"), "begin 644 x\r\n#86)C\r\n`\r\nend");
  uu.ResetCancel();
  loop_->on_pass = nullptr;
  EXPECT_TRUE(uu.UUDecode(uu.UUEncodeFile(path)) == data);
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(UUEncodeTest, ErrorsLeaveNothingAndDataErrorsCarryTheSourceUUEncode) {
  const Exception missing = Raised([&] { uu.UUEncodeFile(Path("missing.bin")); });
  EXPECT_EQ(missing.Number(), 53);
  EXPECT_EQ(missing.Source(), "postwing");
  EXPECT_EQ(TempFileCount(), 0);
  // A temporary directory where no file can be made makes the staging name fail.
  testing::ScopedEnv tmpdir("TMPDIR", "/proc/self");
  const Exception staging = Raised([&] { uu.UUEncodeData("abc"); });
  EXPECT_EQ(staging.Source(), "UUEncode");
  EXPECT_EQ(staging.Description(), "Error determining TempFileName");
}

}  // namespace
}  // namespace postwing
