#include "codecs/base64.hpp"

#include <gtest/gtest.h>

#include "codecs/codec_test_support.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using testing::AllBytes;
using testing::Raised;
using testing::RandomBytes;

class Base64Test : public testing::CodecTest {
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
  // The RFC 4648 vectors: the encodings of the prefixes of "foobar".
  const char* vectors[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t n = 0; n < std::size(vectors); ++n) {
    EXPECT_EQ(Encoded(std::string("foobar", n)), vectors[n]) << n;
    EXPECT_EQ(Decoded(vectors[n]), std::string("foobar", n)) << n;
  }
  for (size_t n = 0; n < 700; n += (n < 20 ? 1 : 37)) {
    const std::string data = RandomBytes(n, static_cast<uint32_t>(n));
    ASSERT_EQ(Decoded(Encoded(data)), data) << n;
  }
  EXPECT_EQ(Decoded(Encoded(AllBytes(3))), AllBytes(3));
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

  for (const char* separator : {"", "\r\n", "|"}) {
    for (size_t n : {1u, 76u, 77u, 153u, 1000u}) {
      const std::string data(n, 'A');
      size = 0;
      codec.span(data, lines, size, separator);
      ByteArray back;
      int16_t size2 = 0;
      codec.Unspan(lines, back, size2, separator);
      EXPECT_EQ(size2, 76);
      EXPECT_EQ(back, data) << n << " [" << separator << "]";
    }
  }
  ByteArray out;
  EXPECT_EQ(Raised([&] { codec.Unspan({"abc|", "ab|", "abc|"}, out, size = 3, "|"); }).Number(), 9);
  codec.Unspan({}, out, size, "|");
  EXPECT_TRUE(out.empty());
}

// The one-pass message layout must be byte-identical to Encode, span and StrAryToStr.
TEST_F(Base64Test, EncodeLinesEqualsEncodeSpanStrAryToStr) {
  for (int16_t width : {76, 4, 1, 3, 75, 77}) {
    for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 113u, 114u, 303u, 304u, 30300u, 65536u}) {
      const std::string data = RandomBytes(n, static_cast<uint32_t>(n + width));
      int16_t w = width;
      ASSERT_EQ(codec.EncodeLines(data, w), Composite(codec, data, width)) << n << " / " << width;
    }
  }
  int16_t zero = 0;
  EXPECT_EQ(codec.EncodeLines("abc", zero), "YWJj\r\n");
  EXPECT_EQ(zero, 76);
  EXPECT_EQ(codec.StrAryToStr({}), "");
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
  loop_->passes = 0;
  loop_->on_pass = [&](int pass) {
    if (pass == 2) codec.Cancel();
  };
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

TEST_F(Base64Test, CancelledEncodeLinesEqualsTheCancelledComposite) {
  for (int16_t width : {76, 75}) {
    for (size_t n : {1u, 400u, 606u, 3 * 1000u + 2, 20000u}) {
      for (int cancel_at : {0, 1, 2, 5}) {
        const std::string data = RandomBytes(n, static_cast<uint32_t>(n));
        std::string lines[2];
        for (int round = 0; round < 2; ++round) {
          Base64 fresh;
          fresh.Init();
          if (cancel_at == 0) fresh.Cancel();
          loop_->on_pass = [&](int pass) {
            if (pass == cancel_at) fresh.Cancel();
          };
          loop_->passes = 0;
          int16_t w = width;
          lines[round] = round == 0 ? fresh.EncodeLines(data, w) : Composite(fresh, data, w);
        }
        ASSERT_EQ(lines[0], lines[1]) << n << " / " << width << " cancel " << cancel_at;
      }
    }
  }
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
  for (int16_t width : {76, 75}) {
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
  loop_->on_pass = [&](int pass) {
    if (pass == 3) codec.Cancel();
  };
  ByteArray out;
  codec.Load(dir_.File("data.bin", data), out);
  ASSERT_EQ(out.size(), data.size());
  EXPECT_EQ(out.substr(0, 303), data.substr(0, 303));
  EXPECT_EQ(out.substr(303), std::string(data.size() - 303, '\0'));

  Base64 other;
  other.Init();
  const std::string path = dir_.File("f.bin", RandomBytes(3 * 1010, 1));
  int16_t size = 76;
  loop_->passes = 0;
  loop_->on_pass = [&](int pass) {
    if (pass == 13) other.Cancel();
  };
  EXPECT_NE(other.EncodeFileLines(path, size), "");
  EXPECT_EQ(loop_->passes, 10);  // a pass per 101 groups
  EXPECT_EQ(other.EncodeFileLines(path, size), "");
  EXPECT_EQ(loop_->passes, 13);
  int16_t odd = 75;
  EXPECT_EQ(other.EncodeFileLines(path, odd), "");
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(Base64Test, FileErrorsLeaveNoTemporaryFile) {
  ByteArray out;
  int16_t size = 76;
  EXPECT_EQ(Raised([&] { codec.Load(Path("missing.bin"), out); }).Number(), 53);
  EXPECT_EQ(Raised([&] { codec.Load(dir_.path().string(), out); }).Number(), 75);
  EXPECT_EQ(Raised([&] { codec.Load(Path("no/such/dir/x"), out); }).Number(), 53);
  EXPECT_EQ(Raised([&] { codec.Save("x", Path("no/such/dir/x")); }).Number(), 53);
  EXPECT_EQ(Raised([&] { codec.EncodeFileLines(Path("missing"), size); }).Number(), 53);
  codec.EncodeLines(RandomBytes(100000, 1), size);
  codec.StrAryToStr(std::vector<std::string>(1000, "abc"));
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(Base64Test, PythonDecodesTheMessageLayout) {
  const std::string data = RandomBytes(10000, 11);
  int16_t size = 76;
  EXPECT_EQ(testing::RunPython("import sys, base64\n"
                               "t = open(sys.argv[1], 'rb').read()\n"
                               "lines = t.split(b'\\r\\n')\n"
                               "assert lines[-1] == b'' and all(len(l) == 76 for l in lines[:-2])\n"
                               "open(sys.argv[2], 'wb').write(base64.b64decode(t))\n",
                               codec.EncodeLines(data, size)),
            data);
}

}  // namespace
}  // namespace postwing
