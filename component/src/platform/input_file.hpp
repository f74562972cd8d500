// Files as the codecs read and write them, with the runtime's file errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace postwing::platform {

// A file read in pieces, with the runtime's file errors (53, 70, 75, 76).
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // The length when opened.
  uint64_t Size() const { return size_; }
  // Reads up to `count` bytes; fewer only at the end of the file.
  size_t Read(uint8_t* into, size_t count);
  // Back to the first byte, to read the same open file once more.
  void Rewind();

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// Creates or truncates the file and writes exactly the bytes.
void WriteFileBytes(const std::string& path, const uint8_t* data, size_t size);

}  // namespace postwing::platform
