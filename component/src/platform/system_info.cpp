// Time zone, GUID and host name.
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/module.hpp"

namespace postwing::platform {
namespace {

bool RandomBytes(unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (done == size) return true;
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return done == size;
}

}  // namespace

std::string TimeZoneText(int bias_minutes, int daylight_bias_minutes, bool daylight_in_effect) {
  long offset = bias_minutes;
  if (daylight_in_effect) offset += daylight_bias_minutes;
  char sign = offset > 0 ? '-' : '+';
  long magnitude = offset < 0 ? -offset : offset;
  char text[32];
  std::snprintf(text, sizeof text, "%c%02ld%02ld", sign, magnitude / 60, magnitude % 60);
  return text;
}

std::string TimeZoneText() {
  int offset = 0;
  LocalTimeNow(offset);
  return TimeZoneText(-offset, 0, false);
}

std::tm LocalTimeNow(int& offset_minutes) {
  // tzset looks at /etc/localtime each time (a stat): a host sending thousands of messages a
  // second has the zone's rules read again once a minute, not once a message.
  static std::atomic<std::time_t> zone_read{0};
  const std::time_t now = std::time(nullptr);
  const std::time_t last = zone_read.load(std::memory_order_relaxed);
  if (now - last >= 60 || now < last) {
    ::tzset();
    zone_read.store(now, std::memory_order_relaxed);
  }
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) {
    ::gmtime_r(&now, &local);
    local.tm_gmtoff = 0;
  }
  offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
  return local;
}

std::string NewGuidText() {
  unsigned char b[16];
  if (!RandomBytes(b, sizeof b)) return {};
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "UNKNOWN";
  return name;
}

}  // namespace postwing::platform
