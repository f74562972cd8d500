// Files read and written by the codecs.
#include "platform/input_file.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/error_report.hpp"
#include "platform/module.hpp"

namespace postwing::platform {
InputFile::InputFile(const std::string& path) {
  if (path.empty()) RaiseFileError(ENOENT, false);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) RaiseFileError(EISDIR, false);
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) RaiseFileError(errno, false);
  if (std::fseek(file_, 0, SEEK_END) != 0) {
    const int error = errno;
    std::fclose(file_);
    RaiseFileError(error, false);
  }
  const long end = std::ftell(file_);
  if (end < 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
    const int error = errno;
    std::fclose(file_);
    RaiseFileError(error, false);
  }
  size_ = static_cast<uint64_t>(end);
}

InputFile::~InputFile() {
  if (file_) std::fclose(file_);
}

size_t InputFile::Read(uint8_t* into, size_t count) {
  errno = 0;
  const size_t got = std::fread(into, 1, count, file_);
  if (got < count && std::ferror(file_)) RaiseFileError(errno, false);
  return got;
}

void InputFile::Rewind() {
  errno = 0;
  if (std::fseek(file_, 0, SEEK_SET) != 0) RaiseFileError(errno, false);
}

// Written files keep the read errors (53 for a missing folder) the codecs have always raised.
void WriteFileBytes(const std::string& path, const uint8_t* data, size_t size) {
  if (path.empty()) RaiseFileError(ENOENT, false);
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) RaiseFileError(errno, false);
  const size_t put = size ? std::fwrite(data, 1, size, file) : 0;
  const int write_error = put < size ? errno : 0;
  const bool closed = std::fclose(file) == 0;
  if (put < size) RaiseFileError(write_error, false);
  if (!closed) RaiseFileError(errno, false);
}

}  // namespace postwing::platform
