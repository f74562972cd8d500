// A file encoded in pieces (Base64, uuencode): the pieces joined are exactly the text of
// the whole file encoded at once, for every size around the piece boundaries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "codecs/uuencode.hpp"
#include "postwing/exception.hpp"
#include "postwing/types.hpp"

namespace {

using postwing::Base64;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

class TempFile {
 public:
  TempFile(const std::string& data, const std::string& tag) {
    path_ = (std::filesystem::temp_directory_path() /
             ("pw-stream-" + std::to_string(::getpid()) + "-" + tag))
                .string();
    Write(data);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  void Write(const std::string& data) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string WholeText(const std::string& data) {
  Base64 codec;
  codec.Init();
  int16_t span = 76;
  return codec.EncodeLines(data, span);
}

struct Streamed {
  std::vector<std::string> pieces;
  std::string joined;
};

Streamed Stream(const std::string& path, size_t piece_bytes) {
  Base64 codec;
  codec.Init();
  Base64::FileLines lines(codec, path, piece_bytes);
  Streamed s;
  std::string piece;
  while (lines.Next(piece)) {
    s.joined += piece;
    s.pieces.push_back(std::move(piece));
  }
  return s;
}

int32_t ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const postwing::Exception& e) {
    return e.Number();
  }
  return 0;
}

TEST(StreamingBase64, PiecesJoinToTheWholeEncodingAroundPieceBoundaries) {
  constexpr size_t kPiece = 57 * 4;  // small pieces: the same code paths, quick sizes
  const size_t sizes[] = {0,
                          1,
                          2,
                          3,
                          56,
                          57,
                          58,
                          kPiece - 1,
                          kPiece,
                          kPiece + 1,
                          2 * kPiece,
                          2 * kPiece + 57,
                          5 * kPiece + 100};
  for (size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    const TempFile file(data, std::to_string(size));
    const Streamed s = Stream(file.path(), kPiece);
    EXPECT_EQ(s.joined, WholeText(data));
    EXPECT_EQ(s.pieces.size(), (size + kPiece - 1) / kPiece);
    for (size_t i = 0; i < s.pieces.size(); ++i) {
      // Every piece is whole lines; all but the last hold exactly the piece's lines.
      EXPECT_EQ(s.pieces[i].substr(s.pieces[i].size() - 2), "\r\n");
      if (i + 1 < s.pieces.size()) {
        EXPECT_EQ(s.pieces[i].size(), kPiece / 57 * 78);
      }
    }
  }
}

TEST(StreamingBase64, DefaultPiecesOfAFileOfMoreThanTwoPieces) {
  constexpr size_t kPiece = Base64::FileLines::kPieceBytes;
  static_assert(kPiece % 57 == 0);
  for (size_t size : {kPiece - 1, kPiece, kPiece + 1, 2 * kPiece + 57, 2 * kPiece + 1000}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = RandomBytes(size, 7);
    const TempFile file(data, "big");
    const Streamed s = Stream(file.path(), kPiece);
    EXPECT_EQ(s.pieces.size(), (size + kPiece - 1) / kPiece);
    EXPECT_TRUE(s.joined == WholeText(data));
    // And the same as the one-pass file encoder.
    Base64 codec;
    codec.Init();
    int16_t span = 76;
    EXPECT_TRUE(s.joined == codec.EncodeFileLines(file.path(), span));
  }
}

TEST(StreamingBase64, OpeningFailsAsLoadDoes) {
  Base64 codec;
  codec.Init();
  const std::string missing = "/nonexistent-dir-pw/none.bin";
  const int32_t load_error = ErrorNumberOf([&] {
    postwing::ByteArray bytes;
    codec.Load(missing, bytes);
  });
  EXPECT_EQ(load_error, 53);
  EXPECT_EQ(ErrorNumberOf([&] { Base64::FileLines lines(codec, missing); }), load_error);
  EXPECT_EQ(ErrorNumberOf([&] {
              Base64::FileLines lines(codec, std::filesystem::temp_directory_path().string());
            }),
            75);
  // Pieces that would split a line are refused.
  const TempFile file("abc", "odd");
  EXPECT_EQ(ErrorNumberOf([&] { Base64::FileLines lines(codec, file.path(), 100); }), 5);
}

TEST(StreamingBase64, AFileThatShrinksRaisesAndOneThatGrowsIsTakenAtItsFirstSize) {
  // Larger than what the reader has buffered ahead after the first piece.
  constexpr size_t kPiece = 57 * 1000;
  const std::string data = RandomBytes(20 * kPiece, 3);
  const TempFile file(data, "change");
  Base64 codec;
  codec.Init();
  {
    Base64::FileLines lines(codec, file.path(), kPiece);
    std::string piece;
    ASSERT_TRUE(lines.Next(piece));
    file.Write(data.substr(0, kPiece + 10));
    EXPECT_EQ(ErrorNumberOf([&] {
                while (lines.Next(piece)) {
                }
              }),
              62);
  }
  file.Write(data);
  {
    Base64::FileLines lines(codec, file.path(), kPiece);
    EXPECT_EQ(lines.Size(), data.size());
    std::string piece, joined;
    ASSERT_TRUE(lines.Next(piece));
    joined += piece;
    file.Write(data + "more bytes at the end");
    while (lines.Next(piece)) joined += piece;
    EXPECT_EQ(joined, WholeText(data));
  }
}

TEST(StreamingBase64, ACancelEndsTheStreamWithNothingMore) {
  const std::string data = RandomBytes(57 * 40, 5);
  const TempFile file(data, "cancel");
  Base64 codec;
  codec.Init();
  Base64::FileLines lines(codec, file.path(), 57 * 10);
  std::string piece;
  ASSERT_TRUE(lines.Next(piece));
  codec.Cancel();
  EXPECT_FALSE(lines.Next(piece));
  EXPECT_TRUE(piece.empty());
}

TEST(StreamingUUEncode, PiecesJoinToTheWholeTextAroundPieceBoundaries) {
  constexpr size_t kPiece = 45 * 3;
  const size_t sizes[] = {
      0, 1, 14, 44, 45, 46, kPiece - 1, kPiece, kPiece + 1, 2 * kPiece + 45, 4 * kPiece + 14};
  for (size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = RandomBytes(size, static_cast<unsigned>(size + 100));
    const TempFile file(data, "uu" + std::to_string(size));
    postwing::UUEncode codec;
    postwing::UUEncode::FileLines lines(codec, file.path(), "name.bin", kPiece);
    std::string piece, joined;
    size_t pieces = 0;
    while (lines.Next(piece)) {
      // Each piece but the first starts a data line; each but the last ends one.
      if (pieces > 0) {
        EXPECT_NE(piece.rfind("begin", 0), 0u);
      }
      joined += piece;
      ++pieces;
    }
    EXPECT_EQ(joined, codec.UUEncodeFile(file.path(), "name.bin"));
    EXPECT_EQ(pieces, std::max<size_t>(1, (size / 45 + kPiece / 45 - 1) / (kPiece / 45)));
  }
}

TEST(StreamingUUEncode, ShrinkingFileAndCancel) {
  const std::string data = RandomBytes(45 * 30000, 9);
  const TempFile file(data, "uuchange");
  postwing::UUEncode codec;
  {
    postwing::UUEncode::FileLines lines(codec, file.path(), {}, 45 * 1000);
    std::string piece;
    ASSERT_TRUE(lines.Next(piece));
    EXPECT_EQ(piece.rfind("begin 644 " + std::filesystem::path(file.path()).filename().string(), 0),
              0u);
    file.Write(data.substr(0, 45 * 1001));
    EXPECT_EQ(ErrorNumberOf([&] {
                while (lines.Next(piece)) {
                }
              }),
              62);
  }
  file.Write(data);
  postwing::UUEncode::FileLines lines(codec, file.path(), {}, 45 * 5);
  std::string piece;
  ASSERT_TRUE(lines.Next(piece));
  codec.Cancel();
  EXPECT_FALSE(lines.Next(piece));
  EXPECT_TRUE(piece.empty());
  EXPECT_EQ(ErrorNumberOf([&] { postwing::UUEncode::FileLines none(codec, "/nonexistent-pw"); }),
            53);
}

}  // namespace
