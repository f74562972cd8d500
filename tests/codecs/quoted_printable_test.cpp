#include "codecs/quoted_printable.hpp"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "codecs/codec_test_support.hpp"

namespace postwing {
namespace {

using testing::AllBytes;
using testing::RandomBytes;

// What every encoded text must satisfy, whatever the input.
void ExpectWellFormed(const std::string& encoded, const std::string& what) {
  if (encoded.empty()) return;
  ASSERT_GE(encoded.size(), 3u) << what;
  EXPECT_EQ(encoded.substr(encoded.size() - 3), "=\r\n") << what;
  std::istringstream lines(encoded);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.back(), '\r') << what;  // no bare LF
    line.pop_back();
    EXPECT_LE(line.size(), 76u) << what << ": " << line;
    EXPECT_TRUE(line.empty() || line.back() != ' ') << what;
    for (unsigned char c : line) ASSERT_TRUE(c >= 32 && c <= 126) << what << ": " << int(c);
  }
}

// Texts that carry what an attachment of type text/csv or text/html does.
std::vector<std::string> SampleTexts() {
  std::string csv = "name;city;note\r\nAnna\tM\xFCller;K\xF6ln;\"a=b\"\r\n";
  for (int i = 0; i < 50; ++i)
    csv += "row " + std::to_string(i) + "\tv\t" + std::string(i, 'x') + "\r\n";
  std::string long_words;
  for (int i = 0; i < 300; ++i) long_words += "word" + std::to_string(i) + (i % 7 ? " " : "\t");
  return {csv,
          long_words,
          "trailing spaces   \r\nand tabs\t\t\r\n \r\n  \r\n",
          "ends with tab\t",
          "lone CR\rlone LF\nmixed\n\r\r\n",
          std::string(500, ' '),
          std::string(300, '='),
          "\r\n\r\n\r\n",
          AllBytes(4),
          RandomBytes(5000, 5),
          "=\r\n=0D=\r",
          ".\r\n..\r\nFrom me\r\n"};
}

// Text-like data: words, spaces, tabs, CR LF, lone CR and LF, "=", 8-bit bytes.
std::string TextLike(std::mt19937& gen, size_t n) {
  static const std::string pieces[] = {"word",
                                       "x",
                                       " ",
                                       " ",
                                       "  ",
                                       "\t",
                                       "\r\n",
                                       "\r\n",
                                       "=",
                                       "\r",
                                       "\n",
                                       "\xE9",
                                       "\xC3\xA9",
                                       " \r\n",
                                       "\t\r\n",
                                       "=\r\n",
                                       "abcdefghijklmnop"};
  std::string s;
  while (s.size() < n) {
    if (gen() % 5 == 0) s += std::string(gen() % 90, 'y');
    s += pieces[gen() % std::size(pieces)];
  }
  s.resize(n);
  return s;
}

class QuotedPrintableTest : public testing::CodecTest {
 protected:
  QuotedPrintable qp;
};

TEST_F(QuotedPrintableTest, EncodesExactly) {
  const std::string a70(70, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a=b", "a=3Db=\r\n"},
      {"\xE9", "=E9=\r\n"},
      {"a\tb", "a=09b=\r\n"},
      {"line1\r\nline2", "line1\r\nline2=\r\n"},
      {"line1\r\n", "line1\r\n=\r\n"},
      {"a\rb\nc", "a=0Db=0Ac=\r\n"},  // lossless: bare CR and LF are escaped
      {"end ", "end=20=\r\n"},
      {"a \r\nb", "a=20\r\nb=\r\n"},
      {"\x7F\x80\xFF\x01", "=7F=80=FF=01=\r\n"},
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

TEST_F(QuotedPrintableTest, BlockWiseAndPieceWiseEncodersAgreeAndAreLossless) {
  std::mt19937 gen(2024);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = TextLike(gen, gen() % 400);
    const std::string encoded = qp.Encode(text);
    ExpectWellFormed(encoded, ::testing::PrintToString(text));
    ASSERT_EQ(qp.Decode(encoded), text);
    // Fed in pieces (cut inside CR LF, before trailing blanks, at soft breaks): the same text.
    QuotedPrintable::Pieces pieces;
    std::string fed;
    for (size_t at = 0, take; at < text.size(); at += take) {
      take = 1 + gen() % (round % 2 ? 3 : 150);
      fed += pieces.Feed(std::string_view(text).substr(at, take));
    }
    ASSERT_EQ(fed + pieces.Finish(), encoded) << ::testing::PrintToString(text);
  }
}

// quopri as the independent decoder: every sample comes back byte for byte.
TEST_F(QuotedPrintableTest, SamplesAreWellFormedAndPythonQuopriDecodesThemByteForByte) {
  std::string joined, expected;
  for (const auto& text : SampleTexts()) {
    const std::string encoded = qp.Encode(text);
    ExpectWellFormed(encoded, text.substr(0, 30));
    EXPECT_EQ(qp.Decode(encoded), text) << text.substr(0, 30);
    joined += std::to_string(encoded.size()) + "\n" + encoded;
    expected += text + std::string("\0SEP\0", 5);
  }
  for (size_t n = 1; n < 400; n += 7) ExpectWellFormed(qp.Encode(RandomBytes(n, n)), "random");
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
      {"=3D", "="},
      {"=3d", "="},
      {"a=\r\nb", "ab"},
      {"=E9t=E9", "\xE9t\xE9"},
      {"keep\r\nbreaks\r\n", "keep\r\nbreaks\r\n"},
      // Not escapes: kept as they stand, and the walk ends.
      {"a=", "a="},
      {"a=4", "a=4"},
      {"=ZZ", "=ZZ"},
      {"=\rX", "=\rX"},
      {"=A\n", "=A\n"},
      {"==41", "=A"},
      {"=\n", "=\n"},
      {"", ""},
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

}  // namespace
}  // namespace postwing
