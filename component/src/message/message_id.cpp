#include "message/message_id.hpp"

#include <chrono>
#include <cstdio>
#include <random>

#include "platform/module.hpp"

namespace postwing::detail {

namespace {

// Used only when the system's random source fails: time and a seeded generator still make
// identifiers that do not repeat.
std::string FallbackDigits() {
  static std::mt19937_64 generator(
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llX%016llX", static_cast<unsigned long long>(generator()),
                static_cast<unsigned long long>(generator()));
  return buf;
}

}  // namespace

std::string NewMessageID() {
  std::string digits;
  for (char c : platform::NewGuidText()) {
    if (c != '-') digits += c;
  }
  if (digits.size() != 32) digits = FallbackDigits();
  return "<" + digits + "@" + platform::ComputerName() + ">";
}

}  // namespace postwing::detail
