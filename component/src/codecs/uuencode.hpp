// The classic uuencode format for attachments of messages that are not MIME.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace postwing {

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
