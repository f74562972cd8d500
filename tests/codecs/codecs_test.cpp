// The codecs: Base64, quoted-printable and UUEncode, each against an independent decoder
// (Python, sharutils), with the yields they give the event loop and their cancellation.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "message/message_test_util.hpp"
#include "platform/module.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/exception.hpp"
#include "support/temp_dir.hpp"

namespace postwing {
namespace {

using support::RandomBytes;
using testing::AllBytes;
using testing::Raised;

// Counts the passes the codecs ask for; on_pass may call Cancel.
class CountingLoop : public EventLoop {
 public:
  Id Watch(int, unsigned, std::function<void(unsigned)>) override { return 1; }
  void UpdateWatch(Id, unsigned) override {}
  void Unwatch(Id) override {}
  Id AddTimer(std::chrono::milliseconds, std::function<void()>) override { return 1; }
  void CancelTimer(Id) override {}
  void Post(std::function<void()>) override {}
  void RunOnce(std::chrono::milliseconds) override {
    ++passes;
    if (on_pass) on_pass(passes);
  }

  int passes = 0;
  std::function<void(int)> on_pass;
};

// Each test gets its own TMPDIR (so temporary files can be counted exactly) and a counting
// loop on its thread.
class CodecTest : public ::testing::Test {
 protected:
  CodecTest() { SetThreadEventLoop(loop_); }
  ~CodecTest() override { SetThreadEventLoop(nullptr); }

  // The library's temporary files ("~pw...") in its TempPath.
  int TempFileCount() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform::TempPath()))
      count += entry.path().filename().string().rfind("~pw", 0) == 0;
    return count;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // The codec cancels itself at the given pass, counted from now.
  template <class Codec>
  void CancelAt(Codec& codec, int at) {
    loop_->passes = 0;
    loop_->on_pass = [&codec, at](int pass) {
      if (pass == at) codec.Cancel();
    };
  }

  support::TempDir dir_;
  testing::ScopedEnv tmpdir_{"TMPDIR", dir_.path().c_str()};
  std::shared_ptr<CountingLoop> loop_ = std::make_shared<CountingLoop>();
};

// ---- Base64 ----

class Base64Test : public CodecTest {
 protected:
  Base64Test() { codec.Init(); }
  std::string Encoded(const std::string& in) {
    ByteArray out;
    codec.Encode(in, out);
    return out;
  }
  std::string Decoded(const std::string& in) {
    ByteArray out;
    codec.Decode(in, out);
    return out;
  }
  // The message path as three calls.
  static std::string Composite(Base64& codec, const std::string& in, int16_t size) {
    ByteArray encoded;
    codec.Encode(in, encoded);
    std::vector<std::string> lines;
    codec.span(encoded, lines, size, "");
    return codec.StrAryToStr(lines);
  }
  Base64 codec;
};

TEST_F(Base64Test, EncodeAndDecodeAsRfc4648) {
  // RFC 4648's vectors of whole groups and both tails (the fuzz target decodes its own back).
  EXPECT_EQ(Encoded("foobar") + Encoded("fooba") + Encoded("foob"), "Zm9vYmFyZm9vYmE=Zm9vYg==");
  // Outside the alphabet counts as "A" (0); no error. A length not a multiple of 4 fails.
  EXPECT_EQ(Decoded("Q!JD"), Decoded("QAJD"));
  EXPECT_EQ(Decoded("Q\r\nD"), Decoded("QAAD"));
  EXPECT_EQ(Raised([&] { Decoded("QUJ"); }).Number(), 9);
  EXPECT_EQ(Raised([&] { Decoded("QUJDR"); }).Number(), 9);
}

TEST_F(Base64Test, SpanLayoutsAndUnspan) {
  std::vector<std::string> lines;
  int16_t size = 76;
  codec.span(std::string(153, 'y'), lines, size, "");
  EXPECT_EQ(lines, (std::vector<std::string>{std::string(76, 'y'), std::string(76, 'y'), "y"}));
  EXPECT_EQ(codec.StrAryToStr(lines),
            std::string(76, 'y') + "\r\n" + std::string(76, 'y') + "\r\ny\r\n");
  EXPECT_EQ(codec.StrAryToStr({}), "");
  size = 0;
  codec.span(std::string(100, 'w'), lines, size, "\r\n");
  EXPECT_EQ(size, 76);
  EXPECT_EQ(lines, (std::vector<std::string>{std::string(76, 'w') + "\r\n", std::string(24, 'w')}));
  // A full last line keeps its separator.
  codec.span(std::string(152, 'w'), lines, size, "|");
  EXPECT_EQ(lines[1], std::string(76, 'w') + "|");
  // The last line stops at its first NUL (the unwritten rest of a cancelled encode).
  codec.span(std::string("abcd\0ef", 7), lines, size = 4, "");
  EXPECT_EQ(lines, (std::vector<std::string>{"abcd", ""}));
  codec.span(ByteArray(), lines, size, "");
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(Raised([&] { codec.span("abc", lines, size = -1, ""); }).Number(), 5);

  ByteArray out;
  EXPECT_EQ(Raised([&] { codec.Unspan({"abc|", "ab|", "abc|"}, out, size = 3, "|"); }).Number(), 9);
}

// The one-pass message layout must be byte-identical to Encode, span and StrAryToStr, also
// when a cancel stops both at the same pass.
TEST_F(Base64Test, EncodeLinesEqualsEncodeSpanStrAryToStrCancelledOrNot) {
  for (int16_t width : {76, 1, 3, 8, 75, 77}) {
    for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 113u, 114u, 303u, 304u, 606u, 3002u, 30300u}) {
      const std::string data = RandomBytes(n, static_cast<uint32_t>(n + width));
      for (int cancel_at : {-1, 0, 1, 2, 5}) {
        std::string lines[2];
        for (int round = 0; round < 2; ++round) {
          Base64 fresh;
          fresh.Init();
          if (cancel_at == 0) fresh.Cancel();
          CancelAt(fresh, cancel_at);
          int16_t w = width;
          lines[round] = round == 0 ? fresh.EncodeLines(data, w) : Composite(fresh, data, w);
        }
        ASSERT_EQ(lines[0], lines[1]) << n << " / " << width << " cancel " << cancel_at;
      }
    }
  }
}

TEST_F(Base64Test, EncodeYieldsEvery101GroupsAndCancelKeepsTheLengthZeroFilled) {
  Encoded(std::string(3 * 505 + 2, 'a'));
  EXPECT_EQ(loop_->passes, 5);
  int16_t size = 76;
  codec.EncodeLines(std::string(3 * 100, 'a'), size);
  EXPECT_EQ(loop_->passes, 5);
  codec.EncodeLines(std::string(3 * 101, 'a'), size);
  EXPECT_EQ(loop_->passes, 6);

  const std::string data = RandomBytes(3 * 1000 + 1, 3);
  const std::string full = Encoded(data);
  CancelAt(codec, 2);
  std::string out = Encoded(data);
  ASSERT_EQ(out.size(), full.size());
  EXPECT_EQ(out.substr(0, 4 * 202), full.substr(0, 4 * 202));
  EXPECT_EQ(out.substr(4 * 202, 4), full.substr(full.size() - 4));  // the tail
  EXPECT_EQ(out.substr(4 * 203), std::string(full.size() - 4 * 203, '\0'));
  // Already cancelled: stops after the first group, the tail written where it stopped.
  out = Encoded("abcdefgh");
  EXPECT_EQ(out, std::string("YWJjZ2g=\0\0\0\0", 12));
  codec.ResetCancel();
  EXPECT_EQ(Encoded("abcdefgh"), "YWJjZGVmZ2g=");
}

TEST_F(Base64Test, LoadSaveAndEncodeFileLines) {
  const std::string data = AllBytes(40);  // 10240 bytes
  const std::string path = dir_.File("data.bin", std::string(20000, 'q'));
  codec.Save(data, path);  // replaces the file
  ByteArray out;
  codec.Load(path, out);
  EXPECT_EQ(out, data);
  EXPECT_EQ(loop_->passes, static_cast<int>(data.size() / 101));
  codec.Load(dir_.File("empty", ""), out);
  EXPECT_TRUE(out.empty());
  for (int16_t width : {76, 8, 75}) {
    for (size_t n : {0u, 1u, 2u, 57u, 58u, 303u, 100000u, 300001u}) {
      const std::string file = dir_.File("f.bin", RandomBytes(n, static_cast<uint32_t>(n)));
      codec.Load(file, out);
      int16_t w1 = width, w2 = width;
      ASSERT_TRUE(codec.EncodeFileLines(file, w1) == codec.EncodeLines(out, w2))
          << n << "/" << width;
    }
  }
  int16_t zero = 0;
  EXPECT_EQ(codec.EncodeFileLines(dir_.File("abc", "abc"), zero), "YWJj\r\n");
  EXPECT_EQ(zero, 76);
  ByteArray ary;
  codec.StrToAry(AllBytes(), ary);
  std::string back;
  codec.AryToStr(ary, back);
  EXPECT_EQ(back, AllBytes());
}

TEST_F(Base64Test, LoadAndEncodeFileLinesStopAtCancel) {
  const std::string data = RandomBytes(5000, 9);
  CancelAt(codec, 3);
  ByteArray out;
  codec.Load(dir_.File("data.bin", data), out);
  ASSERT_EQ(out.size(), data.size());
  EXPECT_EQ(out.substr(0, 303), data.substr(0, 303));
  EXPECT_EQ(out.substr(303), std::string(data.size() - 303, '\0'));

  codec.ResetCancel();
  const std::string path = dir_.File("f.bin", RandomBytes(3 * 1010, 1));
  int16_t size = 76;
  CancelAt(codec, 13);
  EXPECT_NE(codec.EncodeFileLines(path, size), "");
  EXPECT_EQ(loop_->passes, 10);  // a pass per 101 groups
  EXPECT_EQ(codec.EncodeFileLines(path, size), "");
  EXPECT_EQ(loop_->passes, 13);
  int16_t odd = 75;
  EXPECT_EQ(codec.EncodeFileLines(path, odd), "");
  EXPECT_EQ(TempFileCount(), 0);
}

// ---- quoted-printable ----

class QuotedPrintableTest : public CodecTest {
 protected:
  QuotedPrintable qp;
};

TEST_F(QuotedPrintableTest, EncodesExactly) {
  const std::string a70(70, 'a');
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"", ""}, {"a=b", "a=3Db=\r\n"}, {"\xE9", "=E9=\r\n"}, {"a\tb", "a=09b=\r\n"},
      {"line1\r\nline2", "line1\r\nline2=\r\n"}, {"line1\r\n", "line1\r\n=\r\n"},
      // Lossless: bare CR and LF are escaped.
      {"a\rb\nc", "a=0Db=0Ac=\r\n"}, {"end ", "end=20=\r\n"}, {"a \r\nb", "a=20\r\nb=\r\n"},
      {"\x7F\x80\xFF\x01", "=7F=80=FF=01=\r\n"},
      // clang-format on
      // From position 70 of a line on a space is "=20".
      {a70 + " b", a70 + "=20=\r\nb=\r\n"},
      {std::string(69, 'a') + " b", std::string(69, 'a') + " b=\r\n"},
      // A soft break follows 73 characters; an escape may take the line to 75 plus "=".
      {std::string(72, 'a') + "\xE9" + "b", std::string(72, 'a') + "=E9=\r\nb=\r\n"},
      {std::string(73, 'a') + "\r\nb", std::string(73, 'a') + "\r\nb=\r\n"},
      {std::string(200, 'x'), std::string(73, 'x') + "=\r\n" + std::string(73, 'x') + "=\r\n" +
                                  std::string(54, 'x') + "=\r\n"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(qp.Encode(in), out) << in;
}

// quopri as the independent decoder: every byte value, random bytes and the texts of the
// codecs fuzz target's seeds (which checks the layout and its own decoder on them) come back
// byte for byte.
TEST_F(QuotedPrintableTest, PythonQuopriDecodesEveryTextByteForByte) {
  std::vector<std::string> texts = {AllBytes(4), RandomBytes(5000, 5), "ends with tab\t"};
  for (const auto& seed :
       std::filesystem::directory_iterator(POSTWING_TESTS_DIR "/fuzz/corpus/codecs_fuzz"))
    texts.push_back(support::ReadFile(seed.path()));
  std::string joined, expected;
  for (const auto& text : texts) {
    const std::string encoded = qp.Encode(text);
    joined += std::to_string(encoded.size()) + "\n" + encoded;
    expected += text + std::string("\0SEP\0", 5);
  }
  const std::string decoded = testing::RunPython(
      "import sys, quopri\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "out = open(sys.argv[2], 'wb')\n"
      "while data:\n"
      "    head, _, data = data.partition(b'\\n')\n"
      "    part, data = data[:int(head)], data[int(head):]\n"
      "    out.write(quopri.decodestring(part) + b'\\0SEP\\0')\n",
      joined);
  EXPECT_EQ(decoded, expected);
}

TEST_F(QuotedPrintableTest, DecodeRulesAndWhatPythonEncodes) {
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"=3D", "="}, {"=3d", "="}, {"a=\r\nb", "ab"}, {"=E9t=E9", "\xE9t\xE9"},
      {"keep\r\nbreaks\r\n", "keep\r\nbreaks\r\n"},
      // Not escapes: kept as they stand, and the walk ends.
      {"a=", "a="}, {"a=4", "a=4"}, {"=ZZ", "=ZZ"}, {"=\rX", "=\rX"}, {"=A\n", "=A\n"},
      {"==41", "=A"}, {"=\n", "=\n"}, {"", ""},
      // clang-format on
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(qp.Decode(in), out) << in;
  const std::string text = "caf\xE9 = tea\tand m\xFCsli \r\n" + std::string(150, 'y') + "\r\n";
  EXPECT_EQ(qp.Decode(testing::RunPython(
                "import sys, binascii\n"
                "data = open(sys.argv[1], 'rb').read()\n"
                "open(sys.argv[2], 'wb').write(binascii.b2a_qp(data, quotetabs=True))\n",
                text)),
            text);
}

// ---- UUEncode ----

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

class UUEncodeTest : public CodecTest {
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
  // sharutils and Python write LF line ends; old encoders wrote 0 as a space.
  EXPECT_EQ(uu.UUDecode("begin 644 x\n#86)C\n`\nend\n"), "abc");
  EXPECT_EQ(uu.UUDecode("#    \r\n"), std::string(3, '\0'));
}

// sharutils' uudecode (installed by the setup) as the independent decoder of a file's text.
TEST_F(UUEncodeTest, SharutilsDecodesTheText) {
  const std::string data = RandomBytes(100000 + 7, 3) + AllBytes();
  dir_.File("in.uu", uu.UUEncodeFile(dir_.File("data.bin", data), "out.bin") + "\r\n");
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
  CancelAt(uu, 2);
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

// File errors carry the whole-file numbers, and no codec leaves a temporary file behind.
TEST_F(CodecTest, FileErrorsLeaveNoTemporaryFile) {
  Base64 b64;
  b64.Init();
  UUEncode uu;
  ByteArray out;
  int16_t size = 76;
  const std::pair<std::function<void()>, int> cases[] = {
      // clang-format off
      {[&] { b64.Load(Path("missing.bin"), out); }, 53},
      {[&] { b64.Load(dir_.path().string(), out); }, 75},
      {[&] { b64.Load(Path("no/such/dir/x"), out); }, 53},
      {[&] { b64.Save("x", Path("no/such/dir/x")); }, 53},
      {[&] { b64.EncodeFileLines(Path("missing"), size); }, 53},
      {[&] { uu.UUEncodeFile(Path("missing.bin")); }, 53},
      // clang-format on
  };
  for (const auto& [call, number] : cases) {
    const Exception e = Raised(call);
    EXPECT_EQ(e.Number(), number) << e.Description();
    EXPECT_EQ(e.Source(), "postwing");
  }
  b64.EncodeLines(RandomBytes(100000, 1), size);
  b64.StrAryToStr(std::vector<std::string>(1000, "abc"));
  EXPECT_EQ(TempFileCount(), 0);
  // Data without a name needs a temporary file's name; where none can be made, the error
  // comes from UUEncode.
  testing::ScopedEnv tmpdir("TMPDIR", "/proc/self");
  const Exception staging = Raised([&] { uu.UUEncodeData("abc"); });
  EXPECT_EQ(staging.Source(), "UUEncode");
  EXPECT_EQ(staging.Description(), "Error determining TempFileName");
}

}  // namespace
}  // namespace postwing
