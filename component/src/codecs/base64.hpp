// Base64 (RFC 2045 6.8) with the line layout, file load and the cooperative cancel that
// message assembly and the AUTH LOGIN dialogue need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace postwing {

namespace platform {
class InputFile;
}
namespace codec {
using platform::InputFile;
class FilePieces;
}  // namespace codec

// A byte array of the codecs: one byte per char, the same form as text, so data moves
// between text and arrays without conversion.
using ByteArray = std::string;

namespace codec {
// The Base64 of bytes in one piece, no line breaks and no yields: for short texts such as
// the encoded words of a header.
void AppendBase64(std::string& out, std::string_view bytes);
}  // namespace codec

class Base64 {
 public:
  // The line size used when a caller passes SpanSize 0.
  static constexpr int16_t kDefaultSpanSize = 76;

  // The tables are constant; kept for the object's life cycle (create, Init, use).
  void Init() { initialised_ = true; }

  // aryOut := the whole file. Yields to the thread's events every 101st byte; after a
  // Cancel it stops and the rest of aryOut stays zero. An empty file gives an empty array.
  // Raises the file errors 53, 70, 75, 76.
  void Load(const std::string& strPathName, ByteArray& aryOut);
  // Writes the bytes to the file, replacing what it held.
  void Save(const ByteArray& aryIn, const std::string& strPathName);

  void StrToAry(std::string_view strIn, ByteArray& aryOut);
  void AryToStr(const ByteArray& aryIn, std::string& strOut);

  // aryOut := the Base64 characters of aryIn with "=" padding and no line breaks (empty for
  // empty input). Yields every 101st 3-byte group; after a Cancel it stops after the current
  // group, writes the tail there and leaves the rest of the full-length output zero.
  void Encode(const ByteArray& aryIn, ByteArray& aryOut);
  // aryOut := the bytes of unbroken Base64 text; characters outside the alphabet count as
  // "A". Raises 9 when the length is not a multiple of 4.
  void Decode(const ByteArray& aryIn, ByteArray& aryOut);

  // Breaks aryIn into lines of SpanSize characters (0 selects 76 and writes it back), each
  // followed by SpanSeparator except a short last line. The last line is cut at its first
  // NUL. Raises 5 for a negative SpanSize.
  void span(const ByteArray& aryIn, std::vector<std::string>& aryOut, int16_t& SpanSize,
            std::string_view SpanSeparator);
  // Joins lines made by span back into bytes. Raises 9 when a line but the last is short.
  void Unspan(const std::vector<std::string>& aryIn, ByteArray& aryOut, int16_t& SpanSize,
              std::string_view SpanSeparator);

  // Every element followed by CR LF, in one text.
  std::string StrAryToStr(const std::vector<std::string>& StrAry);

  // The message layout in one pass: the same text as Encode, span with an empty separator and
  // StrAryToStr, yields and cancellation included, built straight into the final buffer
  // (memory: input + output). The path for a body and for data attachments.
  std::string EncodeLines(std::string_view aryIn, int16_t& SpanSize);
  // The text that Load and EncodeLines give for a file, with the file read in pieces and
  // never held whole (memory: the output), and without Load's yield per 101 bytes: the path
  // for file attachments. Yields every 101st group; after a Cancel the result is the empty
  // text. Raises the file errors of Load.
  std::string EncodeFileLines(const std::string& strPathName, int16_t& SpanSize);

  // The lines of EncodeFileLines (76 characters) handed out a few MiB at a time, so a sender
  // never holds the whole text: the file is opened and its size taken at once (raising the
  // file errors of Load), and the pieces joined are exactly EncodeFileLines' text.
  class FileLines {
   public:
    // Bytes of the file per piece: whole lines of 57 bytes, about 3 MiB.
    static constexpr size_t kPieceBytes = 57 * 55188;

    FileLines(Base64& codec, const std::string& strPathName, size_t piece_bytes = kPieceBytes);
    ~FileLines();
    FileLines(const FileLines&) = delete;
    FileLines& operator=(const FileLines&) = delete;

    // The file's length when it was opened; only that much is encoded.
    uint64_t Size() const { return size_; }
    // The next piece (whole lines, each with CR LF, the last possibly short); false once the
    // file is done, or at once after a Cancel (text empty then). Yields every 101st group.
    // A file that turns out shorter than its opening length raises 62.
    bool Next(std::string& text);

   private:
    Base64& codec_;
    std::unique_ptr<codec::InputFile> file_;
    std::unique_ptr<codec::FilePieces> source_;
    uint64_t size_ = 0;
    uint64_t done_ = 0;
    size_t piece_bytes_;
  };

  // Sets the cancellation flag; a running Encode or Load sees it after its next yield.
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_; }
  // Clears the flag, for a caller that starts a new send on the same object.
  void ResetCancel() { cancelled_ = false; }

 private:
  bool initialised_ = false;
  bool cancelled_ = false;
};

}  // namespace postwing
