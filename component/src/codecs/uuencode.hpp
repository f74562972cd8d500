// The classic uuencode format for attachments of messages that are not MIME.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace postwing {

namespace platform {
class InputFile;
}
namespace codec {
using platform::InputFile;
class FilePieces;
}  // namespace codec

class UUEncode {
 public:
  // "begin 644 " + FileName, lines of 45 bytes (length character, 60 characters), the last
  // shorter line if any, the zero-length line "`" and "end", lines separated by CR LF and
  // nothing after "end". An empty FileName takes the text after the last "/" or "\" of
  // InputFilename. The file is read in pieces. Yields every 101st line; after a Cancel the
  // result is empty. Raises the file errors 53, 70, 75, 76.
  std::string UUEncodeFile(const std::string& InputFilename, std::string_view FileName = {});
  // The same for data; an empty FileName writes the name of a fresh temporary file, as if
  // the data had been staged in one. Errors carry the source "UUEncode".
  // (The class's own name is taken by the constructor in C++, hence "Data".)
  std::string UUEncodeData(std::string_view Data, std::string_view FileName = {});
  // The bytes of uuencoded lines (CR LF or LF ends); the "begin" line, the zero-length line
  // and "end" are skipped. Yields every 101st line; after a Cancel the result is empty.
  std::string UUDecode(std::string_view UUEncodedData);

  // The text of UUEncodeFile handed out a few MiB at a time, so a sender never holds it
  // whole: the file is opened and its size taken at once (raising the file errors), each
  // piece starts at the start of a line, and the pieces joined are exactly UUEncodeFile's
  // text (the last piece ends with "end").
  class FileLines {
   public:
    // Bytes of the file per piece: whole lines of 45 bytes, about 3 MiB.
    static constexpr size_t kPieceBytes = 45 * 69905;

    FileLines(UUEncode& codec, const std::string& InputFilename, std::string_view FileName = {},
              size_t piece_bytes = kPieceBytes);
    ~FileLines();
    FileLines(const FileLines&) = delete;
    FileLines& operator=(const FileLines&) = delete;

    // The next piece; false once the text is done, or at once after a Cancel (text empty
    // then). Yields every 101st line. A file that turns out shorter than its opening length
    // raises 62.
    bool Next(std::string& text);

   private:
    UUEncode& codec_;
    std::string name_;
    std::unique_ptr<codec::InputFile> file_;
    std::unique_ptr<codec::FilePieces> source_;
    uint64_t full_ = 0;  // whole lines of the file
    uint64_t full_done_ = 0;
    size_t rest_ = 0;  // bytes of the short last line
    size_t piece_lines_;
    bool started_ = false;
    bool finished_ = false;
  };

  // Sets the cancellation flag; a running operation sees it after its next yield.
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_; }
  // Clears the flag, for a caller that starts a new send on the same object.
  void ResetCancel() { cancelled_ = false; }

 private:
  template <class Source>
  std::string Encode(Source& source, uint64_t size, std::string_view name);

  bool cancelled_ = false;
};

}  // namespace postwing
