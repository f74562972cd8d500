// The temporary directory and new temporary files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "core/error_report.hpp"
#include "platform/module.hpp"

namespace postwing::platform {

std::string TempPath() {
  std::string path;
  // A TMPDIR that is not a directory would make every temporary file fail; /tmp serves.
  if (const char* dir = std::getenv("TMPDIR"); dir && *dir) {
    struct stat st {};
    if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) path = dir;
  }
  if (path.empty()) path = "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

std::string TempFileName() {
  std::string pattern = TempPath() + "~pwXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    throw Exception(err, std::string(detail::kSourceAlt), "Error determining TempFileName");
  }
  ::close(fd);
  return std::string(buffer.data());
}

}  // namespace postwing::platform
