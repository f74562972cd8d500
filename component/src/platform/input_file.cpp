// Files read and written by the codecs.
#include "platform/input_file.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/error_report.hpp"

namespace postwing::platform {
namespace {

[[noreturn]] void RaiseFileError(int error) {
  switch (error) {
    case ENOENT:
      detail::RaiseRuntimeError(detail::kErrFileNotFound);
    case ENOTDIR:
    case ENAMETOOLONG:
      detail::RaiseRuntimeError(detail::kErrPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
      detail::RaiseRuntimeError(detail::kErrPermissionDenied);
    case ENOSPC:
      detail::RaiseRuntimeError(detail::kErrDiskFull);
    case ENOMEM:
      detail::RaiseRuntimeError(detail::kErrOutOfMemory);
    default:
      detail::RaiseRuntimeError(detail::kErrPathFileAccess);
  }
}

}  // namespace

InputFile::InputFile(const std::string& path) {
  if (path.empty()) RaiseFileError(ENOENT);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) RaiseFileError(EISDIR);
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) RaiseFileError(errno);
  if (std::fseek(file_, 0, SEEK_END) != 0) {
    const int error = errno;
    std::fclose(file_);
    RaiseFileError(error);
  }
  const long end = std::ftell(file_);
  if (end < 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
    const int error = errno;
    std::fclose(file_);
    RaiseFileError(error);
  }
  size_ = static_cast<uint64_t>(end);
}

InputFile::~InputFile() {
  if (file_) std::fclose(file_);
}

size_t InputFile::Read(uint8_t* into, size_t count) {
  errno = 0;
  const size_t got = std::fread(into, 1, count, file_);
  if (got < count && std::ferror(file_)) RaiseFileError(errno);
  return got;
}

void InputFile::Rewind() {
  errno = 0;
  if (std::fseek(file_, 0, SEEK_SET) != 0) RaiseFileError(errno);
}

void WriteFileBytes(const std::string& path, const uint8_t* data, size_t size) {
  if (path.empty()) RaiseFileError(ENOENT);
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) RaiseFileError(errno);
  const size_t put = size ? std::fwrite(data, 1, size, file) : 0;
  const int write_error = put < size ? errno : 0;
  const bool closed = std::fclose(file) == 0;
  if (put < size) RaiseFileError(write_error);
  if (!closed) RaiseFileError(errno);
}

}  // namespace postwing::platform
