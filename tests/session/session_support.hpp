// What the session tests record of a SendMail's events, and small helpers.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"

namespace postwing::testing {

struct WinsockErrorArgs {
  int32_t number = 0;
  std::string source;
  std::string description;
  std::string help_file;
  int32_t help_context = 0;
};

// Connects a handler to each event and keeps what arrives.
struct EventRecorder {
  std::vector<std::string> status;
  int complete = 0;
  std::vector<std::pair<int32_t, int32_t>> progress;
  std::vector<WinsockErrorArgs> errors;

  void Attach(SendMail& mail) {
    mail.OnSendStatus([this](std::string& data) { status.push_back(data); });
    mail.OnSendComplete([this] { ++complete; });
    mail.OnSendProgress(
        [this](int32_t& sent, int32_t& remaining) { progress.emplace_back(sent, remaining); });
    mail.OnWinsockError([this](int32_t& number, std::string& source, std::string& description,
                               std::string& help_file, int32_t& help_context) {
      errors.push_back({number, source, description, help_file, help_context});
    });
  }
  bool SawStatus(const std::string& line) const {
    for (const auto& s : status)
      if (s == line) return true;
    return false;
  }
};

// The message fields Send requires, with a body so that no warning line is reported.
inline void FillMessage(SendMail& mail, int port, const std::string& server = "127.0.0.1") {
  mail.SetSMTPServer(server);
  mail.SetSMTPServerPort(port);
  mail.Header()->SetFrom("sender@example.org");
  mail.Header()->SetToList("rcpt@example.org");
  mail.Body()->SetText(Variant("Hello"));
}

// Runs the thread's loop in short passes until done() holds: for conditions that another
// thread (a test server) changes, which do not wake the loop.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    ThreadEventLoop().RunOnce(std::chrono::milliseconds(5));
  }
  return true;
}

inline double ThreadCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace postwing::testing
