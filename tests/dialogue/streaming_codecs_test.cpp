// A file encoded in pieces (Base64, uuencode): the pieces joined are exactly the text of the
// whole file encoded at once, for every size around the piece boundaries; a file that shrinks
// while read raises 62, one that grows is taken at its first size, a cancel ends the stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "codecs/uuencode.hpp"
#include "message/message_test_util.hpp"
#include "postwing/exception.hpp"
#include "support/temp_dir.hpp"

namespace {

using postwing::Base64;
using postwing::UUEncode;
using postwing::testing::Raised;
using support::RandomBytes;

// Both codecs behind one face: the pieces of a file (piece 0: the default size), the whole
// file's text at once, and the number of pieces a file of n bytes takes.
struct Codec {
  const char* name;
  std::function<std::function<bool(std::string&)>(const std::string&, size_t)> open;
  std::function<std::string(const std::string&)> whole;
  std::function<size_t(size_t, size_t)> pieces;
  std::function<void()> cancel;
};

std::string NameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

template <class Lines, class... Args>
std::function<bool(std::string&)> Opened(Args&&... args) {
  auto lines = std::make_shared<Lines>(std::forward<Args>(args)...);
  return [lines](std::string& piece) { return lines->Next(piece); };
}

class StreamingCodecs : public ::testing::Test {
 protected:
  void SetUp() override { base64_.Init(); }
  std::vector<Codec> Codecs() {
    int16_t span = 76;
    return {{"Base64",
             [this](const std::string& path, size_t piece) {
               return piece ? Opened<Base64::FileLines>(base64_, path, piece)
                            : Opened<Base64::FileLines>(base64_, path);
             },
             [this, span](const std::string& path) mutable {
               return base64_.EncodeFileLines(path, span);
             },
             [](size_t n, size_t piece) { return (n + piece - 1) / piece; },
             [this] { base64_.Cancel(); }},
            // The file's name on the "begin" line, given or its own; the short last line goes
            // with the end.
            {"uuencode",
             [this](const std::string& path, size_t piece) {
               return piece ? Opened<UUEncode::FileLines>(uu_, path, NameOf(path), piece)
                            : Opened<UUEncode::FileLines>(uu_, path);
             },
             [this](const std::string& path) { return uu_.UUEncodeFile(path, NameOf(path)); },
             [](size_t n, size_t piece) {
               return std::max<size_t>(1, (n / 45 + piece / 45 - 1) / (piece / 45));
             },
             [this] { uu_.Cancel(); }}};
  }
  Base64 base64_;
  UUEncode uu_;
  support::TempDir dir_;
};

TEST_F(StreamingCodecs, PiecesJoinToTheWholeTextAroundPieceBoundaries) {
  constexpr size_t kPiece = 57 * 45 * 2;  // small pieces of whole lines of both: quick sizes
  // clang-format off
  const size_t sizes[] = {0, 1, 14, 44, 45, 46, 56, 57, 58, kPiece - 1, kPiece, kPiece + 1,
                          2 * kPiece, 2 * kPiece + 57, 5 * kPiece + 100};
  // clang-format on
  for (const Codec& codec : Codecs()) {
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(codec.name) + " size " + std::to_string(size));
      const std::string path = dir_.File("f.bin", RandomBytes(size, static_cast<unsigned>(size)));
      const auto next = codec.open(path, kPiece);
      std::string piece, joined;
      size_t pieces = 0;
      while (next(piece)) {
        // Every piece is whole lines; each but the first starts a data line.
        EXPECT_TRUE(piece.ends_with("\r\n") || piece.ends_with("\r\nend")) << piece;
        if (pieces > 0) {
          EXPECT_NE(piece.rfind("begin", 0), 0u);
        }
        joined += piece;
        ++pieces;
      }
      EXPECT_EQ(joined, codec.whole(path));
      EXPECT_EQ(pieces, codec.pieces(size, kPiece));
    }
  }
}

TEST_F(StreamingCodecs, AFileThatShrinksRaisesAndOneThatGrowsIsTakenAtItsFirstSize) {
  // Larger than what the reader has buffered ahead after the first piece.
  constexpr size_t kPiece = 57 * 45 * 20;
  const std::string data = RandomBytes(20 * kPiece, 3);
  for (const Codec& codec : Codecs()) {
    SCOPED_TRACE(codec.name);
    const std::string path = dir_.File("change.bin", data);
    std::string piece, joined;
    auto next = codec.open(path, kPiece);
    ASSERT_TRUE(next(piece));
    support::WriteFile(path, data.substr(0, kPiece + 10));
    EXPECT_EQ(Raised([&] {
                while (next(piece)) joined += piece;
              }).Number(),
              62);
    support::WriteFile(path, data);
    const std::string whole = codec.whole(path);
    next = codec.open(path, kPiece);
    ASSERT_TRUE(next(piece));
    joined = piece;
    support::WriteFile(path, data + "more bytes at the end");
    while (next(piece)) joined += piece;
    EXPECT_TRUE(joined == whole);
  }
}

TEST_F(StreamingCodecs, OpeningFailsWithTheFileErrorsAndACancelEndsTheStream) {
  const std::string path = dir_.File("cancel.bin", RandomBytes(57 * 45 * 4, 5));
  // Pieces that would split a line are refused; the size is the file's at the opening.
  EXPECT_EQ(Raised([&] { Base64::FileLines lines(base64_, path, 100); }).Number(), 5);
  EXPECT_EQ(Base64::FileLines(base64_, path).Size(), 57u * 45 * 4);
  for (const Codec& codec : Codecs()) {
    SCOPED_TRACE(codec.name);
    EXPECT_EQ(Raised([&] { codec.open("/nonexistent-dir-pw/none.bin", 0); }).Number(), 53);
    EXPECT_EQ(Raised([&] { codec.open(dir_.path().string(), 0); }).Number(), 75);
    const auto next = codec.open(path, 57 * 45);
    std::string piece;
    ASSERT_TRUE(next(piece));
    codec.cancel();
    EXPECT_FALSE(next(piece));
    EXPECT_TRUE(piece.empty());
  }
}

}  // namespace
