// Whole-file read and write, path helpers and the is-file test.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/error_report.hpp"
#include "platform/module.hpp"

namespace postwing::platform {

[[noreturn]] void RaiseFileError(int err, bool writing) {
  switch (err) {
    case ENOENT:
      detail::RaiseRuntimeError(writing ? detail::kErrPathNotFound : detail::kErrFileNotFound);
    case ENOTDIR:
    case ENAMETOOLONG:
      detail::RaiseRuntimeError(detail::kErrPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
      detail::RaiseRuntimeError(detail::kErrPermissionDenied);
    case ENOSPC:
    case EDQUOT:
      detail::RaiseRuntimeError(detail::kErrDiskFull);
    case ENOMEM:
      detail::RaiseRuntimeError(detail::kErrOutOfMemory);
    default:
      detail::RaiseRuntimeError(detail::kErrPathFileAccess);
  }
}

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now so a failing close (e.g. a full disk on NFS) is seen.
  int Close() {
    int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

void AdviseLargeBuffer(void* data, size_t size) {
#if defined(MADV_HUGEPAGE)
  constexpr size_t kHuge = 2 * 1024 * 1024;
  if (size < 2 * kHuge) return;
  constexpr uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kPage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

std::string ReadWholeFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) RaiseFileError(errno, false);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) RaiseFileError(errno, false);
  if (S_ISDIR(st.st_mode)) RaiseFileError(EISDIR, false);
  // Reads into [at, at + count); returns the bytes read, fewer only at the end of the file.
  auto read_into = [&](char* at, size_t count) {
    size_t got = 0;
    while (got < count) {
      const ssize_t n = ::read(fd.get(), at + got, count - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        RaiseFileError(errno, false);
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    return got;
  };
  std::string text;
  // A regular file is read straight to the size it has now, into a buffer allocated once.
  const size_t size = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  if (size > 0) {
#if defined(__cpp_lib_string_resize_and_overwrite)
    text.resize_and_overwrite(size, [&](char* data, size_t n) { return read_into(data, n); });
#else
    text.reserve(size);
    AdviseLargeBuffer(text.data(), size);
    text.resize(size);
    text.resize(read_into(text.data(), size));
#endif
    if (text.size() < size) return text;  // it shrank meanwhile
  }
  // Sizes the system does not know (pipes, /proc) and a file that grew meanwhile: to the end.
  char piece[65536];
  for (;;) {
    const size_t got = read_into(piece, sizeof piece);
    text.append(piece, got);
    if (got < sizeof piece) break;
  }
  return text;
}

void WriteWholeFile(const std::string& path, std::string_view text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) RaiseFileError(errno, true);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, true);
    }
    done += static_cast<size_t>(n);
  }
  if (fd.Close() != 0 && errno != EINTR) RaiseFileError(errno, true);
}

std::string ExtensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  size_t sep = name.find_last_of("/\\");
  if (dot == std::string_view::npos) return {};
  if (sep != std::string_view::npos && dot < sep) return {};
  return std::string(Trim(name.substr(dot + 1)));
}

std::string FileNameOf(std::string_view path) {
  size_t sep = path.find_last_of("/\\");
  // A relative name in the working folder is its own file name.
  if (sep == std::string_view::npos) return std::string(Trim(path));
  // ":" is an ordinary character in a file name here, so it does not cut the name.
  return std::string(Trim(path.substr(sep + 1)));
}

bool IsExistingFile(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DomainOf(std::string_view address) {
  size_t at = address.find('@');
  if (at == std::string_view::npos) return std::string(address);
  return std::string(address.substr(at + 1));
}

}  // namespace postwing::platform
