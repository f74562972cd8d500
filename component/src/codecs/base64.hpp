// Base64 (RFC 2045 6.8) with the line layout, file load and the cooperative cancel that
// message assembly and the AUTH LOGIN dialogue need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwing {

// A byte array of the codecs: one byte per char, the same form as text, so data moves
// between text and arrays without conversion.
using ByteArray = std::string;

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
