// What one send showed its host: the status lines, SendComplete and the errors.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace support {

struct SendOutcome {
  int completes = 0;
  std::vector<std::string> status;
  std::vector<int32_t> errors;
  std::chrono::milliseconds took{0};
  int64_t progress_bytes = 0;

  bool Saw(const std::string& line) const {
    for (const auto& s : status) {
      if (s == line) return true;
    }
    return false;
  }
  // A reply "<<250..." after ">>Sending": the host would take the message as accepted.
  bool Accepted() const {
    bool sent = false;
    for (const auto& s : status) {
      if (s == ">>Sending\r\n") sent = true;
      if (sent && s.rfind("<<250", 0) == 0) return true;
    }
    return false;
  }
  std::string Transcript() const {
    std::string all;
    for (const auto& s : status) all += s;
    return all;
  }
};

}  // namespace support
