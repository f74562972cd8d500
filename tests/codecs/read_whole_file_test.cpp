// ReadWholeFile for the sources of file attachments: files of known size read straight to
// it, and those whose size the system does not tell (pipes, /proc) read to their end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/module.hpp"

namespace {

using postwing::platform::ReadWholeFile;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return s;
}

std::string TempPath(const std::string& tag) {
  return (std::filesystem::temp_directory_path() /
          ("pw-rwf-" + std::to_string(::getpid()) + "-" + tag))
      .string();
}

TEST(ReadWholeFile, RegularFilesOfSizesAroundTheReadPiece) {
  for (size_t size : {size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{5000003}}) {
    SCOPED_TRACE(size);
    const std::string path = TempPath(std::to_string(size));
    const std::string data = Pattern(size);
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(ReadWholeFile(path) == data);
    std::remove(path.c_str());
  }
}

TEST(ReadWholeFile, AFileWhoseSizeIsNotKnownIsReadToItsEnd) {
  // /proc reports a size of 0 but has content.
  const std::string status = ReadWholeFile("/proc/self/status");
  EXPECT_NE(status.find("Name:"), std::string::npos);

  // A pipe, written in pieces by another thread: more than one read piece.
  const std::string path = TempPath("fifo");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const std::string data = Pattern(300001);
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    for (size_t at = 0; at < data.size();) {
      const ssize_t n = ::write(fd, data.data() + at, std::min<size_t>(7000, data.size() - at));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::close(fd);
  });
  const std::string read = ReadWholeFile(path);
  writer.join();
  std::remove(path.c_str());
  EXPECT_TRUE(read == data);
}

}  // namespace
