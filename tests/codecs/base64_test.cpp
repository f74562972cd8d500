#include "codecs/base64.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "codecs/codec_test_support.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using testing::AllBytes;
using testing::CodecTest;
using testing::RandomBytes;

// A bit-by-bit encoder, independent of the codec's tables.
std::string ReferenceBase64(const std::string& in) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : in) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out.push_back(alphabet[(bits >> count) & 63]);
    }
  }
  if (count > 0) out.push_back(alphabet[(bits << (6 - count)) & 63]);
  while (out.size() % 4) out.push_back('=');
  return out;
}

std::string Lined(const std::string& encoded, size_t width) {
  std::string out;
  for (size_t i = 0; i < encoded.size(); i += width) out += encoded.substr(i, width) + "\r\n";
  return out;
}

int ErrorNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Number();
  }
  return 0;
}

class Base64Test : public CodecTest {
 protected:
  void SetUp() override {
    CodecTest::SetUp();
    codec.Init();
  }
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
  std::string Composite(const std::string& in, int16_t size) {
    ByteArray encoded;
    codec.Encode(in, encoded);
    std::vector<std::string> lines;
    codec.span(encoded, lines, size, "");
    return codec.StrAryToStr(lines);
  }
  Base64 codec;
};

struct Vector {
  const char* plain;
  const char* encoded;
};

TEST_F(Base64Test, Rfc4648VectorsBothWays) {
  const Vector vectors[] = {{"", ""},
                            {"f", "Zg=="},
                            {"fo", "Zm8="},
                            {"foo", "Zm9v"},
                            {"foob", "Zm9vYg=="},
                            {"fooba", "Zm9vYmE="},
                            {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    EXPECT_EQ(Encoded(v.plain), v.encoded) << v.plain;
    EXPECT_EQ(Decoded(v.encoded), v.plain) << v.encoded;
  }
}

TEST_F(Base64Test, EveryByteAndLengthRoundTripsAndMatchesTheReference) {
  for (size_t n = 0; n < 700; n += (n < 20 ? 1 : 37)) {
    const std::string data = RandomBytes(n, static_cast<uint32_t>(n));
    const std::string e = Encoded(data);
    ASSERT_EQ(e, ReferenceBase64(data)) << n;
    ASSERT_EQ(Decoded(e), data) << n;
  }
  const std::string all = AllBytes(3);
  EXPECT_EQ(Decoded(Encoded(all)), all);
}

TEST_F(Base64Test, DecodeTailsAndForeignCharacters) {
  EXPECT_EQ(Decoded("QQ==").size(), 1u);
  EXPECT_EQ(Decoded("QUI=").size(), 2u);
  EXPECT_EQ(Decoded("QUJD").size(), 3u);
  // Outside the alphabet counts as "A" (0); no error.
  EXPECT_EQ(Decoded("Q!JD"), Decoded("QAJD"));
  EXPECT_EQ(Decoded("Q\r\nD"), Decoded("QAAD"));
  EXPECT_EQ(ErrorNumber([&] { Decoded("QUJ"); }), 9);
  EXPECT_EQ(ErrorNumber([&] { Decoded("QUJDR"); }), 9);
}

TEST_F(Base64Test, SpanLayouts) {
  const std::string e152(152, 'x');
  std::vector<std::string> lines;
  int16_t size = 76;
  codec.span(e152, lines, size, "");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(76, 'x'));
  EXPECT_EQ(lines[1], std::string(76, 'x'));

  codec.span(std::string(153, 'y'), lines, size, "");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "y");
  const std::string text = codec.StrAryToStr(lines);
  EXPECT_EQ(text, std::string(76, 'y') + "\r\n" + std::string(76, 'y') + "\r\ny\r\n");

  size = 0;
  codec.span(std::string(10, 'z'), lines, size, "");
  EXPECT_EQ(size, 76);

  codec.span(std::string(100, 'w'), lines, size, "\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(76, 'w') + "\r\n");
  EXPECT_EQ(lines[1], std::string(24, 'w'));
  // A full last line keeps its separator.
  codec.span(std::string(152, 'w'), lines, size, "|");
  EXPECT_EQ(lines[1], std::string(76, 'w') + "|");

  // The last line stops at its first NUL (the unwritten rest of a cancelled encode).
  codec.span(std::string("abcd\0ef", 7), lines, size = 4, "");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "");

  codec.span(ByteArray(), lines, size, "");
  EXPECT_TRUE(lines.empty());
  size = -1;
  EXPECT_EQ(ErrorNumber([&] { codec.span("abc", lines, size, ""); }), 5);
}

TEST_F(Base64Test, UnspanReversesSpan) {
  for (const char* separator : {"", "\r\n", "|"}) {
    for (size_t n : {1u, 75u, 76u, 77u, 152u, 153u, 1000u}) {
      std::string data;
      for (size_t i = 0; i < n; ++i) data.push_back(static_cast<char>('A' + i % 26));
      std::vector<std::string> lines;
      int16_t size = 0;
      codec.span(data, lines, size, separator);
      ByteArray back;
      int16_t size2 = 0;
      codec.Unspan(lines, back, size2, separator);
      EXPECT_EQ(size2, 76);
      EXPECT_EQ(back, data) << n << " [" << separator << "]";
    }
  }
  std::vector<std::string> broken = {"abc|", "ab|", "abc|"};
  ByteArray out;
  int16_t size = 3;
  EXPECT_EQ(ErrorNumber([&] { codec.Unspan(broken, out, size, "|"); }), 9);
  codec.Unspan({}, out, size, "|");
  EXPECT_TRUE(out.empty());
}

TEST_F(Base64Test, EmptyDataGivesEmptyResults) {
  EXPECT_EQ(Encoded(""), "");
  int16_t size = 76;
  EXPECT_EQ(codec.EncodeLines("", size), "");
  EXPECT_EQ(Composite("", 76), "");
  EXPECT_EQ(codec.StrAryToStr({}), "");
}

// The one-pass message layout must be byte-identical to Encode, span and StrAryToStr.
TEST_F(Base64Test, EncodeLinesEqualsEncodeSpanStrAryToStr) {
  for (int16_t width : {76, 4, 8, 64, 1, 3, 75, 77}) {
    for (size_t n : {1u, 2u, 3u, 4u, 56u, 57u, 58u, 113u, 114u, 115u, 171u, 303u, 304u, 1000u,
                     30300u, 65536u}) {
      const std::string data = RandomBytes(n, static_cast<uint32_t>(n + width));
      int16_t w = width;
      const std::string one_pass = codec.EncodeLines(data, w);
      ASSERT_EQ(one_pass, Composite(data, width)) << n << " / " << width;
      if (width == 76) {
        ASSERT_EQ(one_pass, Lined(ReferenceBase64(data), 76));
      }
    }
  }
  int16_t zero = 0;
  EXPECT_EQ(codec.EncodeLines("abc", zero), "YWJj\r\n");
  EXPECT_EQ(zero, 76);
}

TEST_F(Base64Test, EncodeYieldsEvery101Groups) {
  ByteArray out;
  codec.Encode(std::string(3 * 505 + 2, 'a'), out);
  EXPECT_EQ(loop_->passes, 5);
  loop_->passes = 0;
  int16_t size = 76;
  codec.EncodeLines(std::string(3 * 100, 'a'), size);
  EXPECT_EQ(loop_->passes, 0);
  codec.EncodeLines(std::string(3 * 101, 'a'), size);
  EXPECT_EQ(loop_->passes, 1);
}

TEST_F(Base64Test, CancelBeforeEncodeStopsAfterTheFirstGroup) {
  codec.Cancel();
  const std::string out = Encoded("abcdefgh");  // 2 groups and a tail of 2
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out.substr(0, 4), "YWJj");
  EXPECT_EQ(out.substr(4, 4), "Z2g=");  // the tail, written where the loop stopped
  EXPECT_EQ(out.substr(8), std::string(4, '\0'));
  codec.ResetCancel();
  EXPECT_EQ(Encoded("abcdefgh"), "YWJjZGVmZ2g=");
}

TEST_F(Base64Test, CancelDuringEncodeKeepsLengthAndZeroFillsTheRest) {
  const std::string data = RandomBytes(3 * 1000 + 1, 3);
  const std::string full = ReferenceBase64(data);
  loop_->on_pass = [&](int pass) {
    if (pass == 2) codec.Cancel();
  };
  const std::string out = Encoded(data);
  ASSERT_EQ(out.size(), full.size());
  EXPECT_EQ(loop_->passes, 2);
  EXPECT_EQ(out.substr(0, 4 * 202), full.substr(0, 4 * 202));
  EXPECT_EQ(out.substr(4 * 202, 4), full.substr(full.size() - 4));
  EXPECT_EQ(out.substr(4 * 203), std::string(full.size() - 4 * 203, '\0'));
}

TEST_F(Base64Test, CancelledEncodeLinesEqualsTheCancelledComposite) {
  for (int16_t width : {76, 8, 75}) {
    for (size_t n : {1u, 5u, 400u, 606u, 3 * 1000u + 2, 20000u}) {
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
          if (round == 0) {
            lines[0] = fresh.EncodeLines(data, w);
          } else {
            ByteArray encoded;
            fresh.Encode(data, encoded);
            std::vector<std::string> parts;
            fresh.span(encoded, parts, w, "");
            lines[1] = fresh.StrAryToStr(parts);
          }
        }
        ASSERT_EQ(lines[0], lines[1]) << n << " / " << width << " cancel " << cancel_at;
      }
    }
  }
}

TEST_F(Base64Test, LoadReadsEveryByteAndYieldsEvery101Bytes) {
  const std::string data = AllBytes(40);  // 10240 bytes
  const auto path = WriteFile("data.bin", data);
  ByteArray out;
  codec.Load(path.string(), out);
  EXPECT_EQ(out, data);
  EXPECT_EQ(loop_->passes, static_cast<int>(data.size() / 101));

  WriteFile("empty.bin", "");
  codec.Load(Path("empty.bin").string(), out);
  EXPECT_TRUE(out.empty());
}

TEST_F(Base64Test, LoadStopsAtCancelAndZeroFills) {
  const std::string data = RandomBytes(5000, 9);
  const auto path = WriteFile("data.bin", data);
  loop_->on_pass = [&](int pass) {
    if (pass == 3) codec.Cancel();
  };
  ByteArray out;
  codec.Load(path.string(), out);
  ASSERT_EQ(out.size(), data.size());
  EXPECT_EQ(out.substr(0, 303), data.substr(0, 303));
  EXPECT_EQ(out.substr(303), std::string(data.size() - 303, '\0'));
}

TEST_F(Base64Test, EncodeFileLinesGivesTheTextOfLoadAndEncodeLines) {
  for (int16_t width : {76, 8, 75}) {
    for (size_t n : {0u, 1u, 2u, 3u, 57u, 58u, 303u, 100000u, 300001u}) {
      const auto path = WriteFile("f.bin", RandomBytes(n, static_cast<uint32_t>(n)));
      ByteArray bytes;
      codec.Load(path.string(), bytes);
      int16_t w1 = width, w2 = width;
      ASSERT_TRUE(codec.EncodeFileLines(path.string(), w1) == codec.EncodeLines(bytes, w2))
          << n << " / " << width;
    }
  }
  int16_t zero = 0;
  EXPECT_EQ(codec.EncodeFileLines(WriteFile("abc", "abc").string(), zero), "YWJj\r\n");
  EXPECT_EQ(zero, 76);
}

TEST_F(Base64Test, EncodeFileLinesYieldsPerGroupAndIsEmptyAfterCancel) {
  const auto path = WriteFile("f.bin", RandomBytes(3 * 1010, 1));
  int16_t size = 76;
  codec.EncodeFileLines(path.string(), size);
  EXPECT_EQ(loop_->passes, 10);
  loop_->on_pass = [&](int pass) {
    if (pass == 13) codec.Cancel();
  };
  EXPECT_EQ(codec.EncodeFileLines(path.string(), size), "");
  EXPECT_EQ(loop_->passes, 13);
  EXPECT_EQ(codec.EncodeFileLines(path.string(), size), "");
  int16_t odd = 75;
  EXPECT_EQ(codec.EncodeFileLines(path.string(), odd), "");
  int number = 0;
  try {
    codec.EncodeFileLines(Path("missing").string(), size);
  } catch (const Exception& e) {
    number = e.Number();
  }
  EXPECT_EQ(number, 53);
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(Base64Test, FileErrors) {
  ByteArray out;
  EXPECT_EQ(ErrorNumber([&] { codec.Load(Path("missing.bin").string(), out); }), 53);
  EXPECT_EQ(ErrorNumber([&] { codec.Load(dir_.string(), out); }), 75);
  EXPECT_EQ(ErrorNumber([&] { codec.Load(Path("no/such/dir/x").string(), out); }), 53);
  EXPECT_EQ(ErrorNumber([&] { codec.Save("x", Path("no/such/dir/x").string()); }), 53);
  EXPECT_EQ(TempFileCount(), 0);
}

TEST_F(Base64Test, SaveReplacesTheFileAndLoadReadsItBack) {
  const auto path = WriteFile("out.bin", std::string(1000, 'q'));
  codec.Save(AllBytes(), path.string());
  ByteArray back;
  codec.Load(path.string(), back);
  EXPECT_EQ(back, AllBytes());
}

TEST_F(Base64Test, TextAndArraysConvertByteForByte) {
  ByteArray ary;
  codec.StrToAry(AllBytes(), ary);
  ASSERT_EQ(ary.size(), 256u);
  EXPECT_EQ(static_cast<unsigned char>(ary[200]), 200u);
  std::string back;
  codec.AryToStr(ary, back);
  EXPECT_EQ(back, AllBytes());
}

TEST_F(Base64Test, NoTemporaryFileIsLeftBehind) {
  const int before = TempFileCount();
  int16_t size = 76;
  codec.EncodeLines(RandomBytes(100000, 1), size);
  std::vector<std::string> lines(1000, "abc");
  codec.StrAryToStr(lines);
  ByteArray out;
  EXPECT_THROW(codec.Load(Path("missing").string(), out), Exception);
  EXPECT_EQ(TempFileCount(), before);
}

TEST_F(Base64Test, PythonDecodesTheMessageLayout) {
  const std::string data = RandomBytes(10000, 11);
  int16_t size = 76;
  const std::string text = codec.EncodeLines(data, size);
  const std::string back = Python(
      "import sys, base64\n"
      "t = open(sys.argv[1], 'rb').read()\n"
      "lines = t.split(b'\\r\\n')\n"
      "assert lines[-1] == b'' and all(len(l) == 76 for l in lines[:-2]), 'layout'\n"
      "open(sys.argv[2], 'wb').write(base64.b64decode(t, validate=False))\n",
      text);
  EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace postwing
