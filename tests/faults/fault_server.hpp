// A scripted SMTP peer on 127.0.0.1 in a thread of the test process: it follows a list of
// steps (send, expect a line, read the message data, pause, close, reset) for one
// connection and logs every line it receives. Fast enough for hundreds of connections.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.hpp"

namespace faults {

struct Step {
  enum Kind { kSend, kExpect, kData, kDataPart, kSleep, kClose, kReset } kind;
  std::string text;  // what to send, or the prefix of the expected line
  int amount = 0;    // milliseconds for kSleep, bytes for kDataPart
};

inline Step Send(std::string text) {
  return {Step::kSend, std::move(text)};
}
inline Step Expect(std::string prefix) {
  return {Step::kExpect, std::move(prefix)};
}
inline Step Data() {
  return {Step::kData, {}};
}
inline Step DataPart(int bytes) {
  return {Step::kDataPart, {}, bytes};
}
inline Step Sleep(int ms) {
  return {Step::kSleep, {}, ms};
}
inline Step Close() {
  return {Step::kClose, {}};
}
inline Step Reset() {
  return {Step::kReset, {}};
}

class FaultServer {
 public:
  FaultServer() = default;
  ~FaultServer() {
    stop_ = true;
    Join();
  }
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  int port() const { return listener_.port(); }

  // Serves the next connections (one after the other) with these steps; the end of the
  // steps closes each.
  void Serve(std::vector<Step> steps, int connections = 1) {
    Join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.clear();
    }
    thread_ = std::thread([this, steps = std::move(steps), connections] {
      for (int i = 0; i < connections && !stop_; ++i) Run(steps);
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Lines received ("DATA:<n>" for a whole message of n bytes), then "CLOSED".
  std::vector<std::string> Log() {
    Join();
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  void Note(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(line));
  }
  // Reads until done() holds; false at the end of the stream or after 10 s.
  template <typename Done>
  bool ReadWhileNot(int fd, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (stop_ || std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[65536];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      buffer_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  bool ReadUntil(int fd, const std::string& terminator) {
    return ReadWhileNot(fd, [&] { return buffer_.find(terminator) != std::string::npos; });
  }
  void Write(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size() && !stop_) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  void Run(const std::vector<Step>& steps) {
    buffer_.clear();
    int fd = -1;
    for (int waited = 0; fd < 0 && waited < 100 && !stop_; ++waited) {
      pollfd p{listener_.fd(), POLLIN, 0};
      if (poll(&p, 1, 50) > 0) fd = accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool reset = false;
    for (const Step& step : steps) {
      if (step.kind == Step::kSend) {
        Write(fd, step.text);
      } else if (step.kind == Step::kExpect) {
        if (!ReadUntil(fd, "\r\n")) break;
        const size_t end = buffer_.find("\r\n");
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        Note(line);
        if (line.rfind(step.text, 0) != 0) break;
      } else if (step.kind == Step::kData) {
        if (!ReadUntil(fd, "\r\n.\r\n")) break;
        const size_t end = buffer_.find("\r\n.\r\n");
        Note("DATA:" + std::to_string(end));
        buffer_.erase(0, end + 5);
      } else if (step.kind == Step::kDataPart) {
        if (!ReadWhileNot(fd, [&] { return buffer_.size() >= size_t(step.amount); })) break;
        Note("DATAPART");
      } else if (step.kind == Step::kSleep) {
        // A stall; it ends early when the client gives up and closes.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(step.amount);
        bool gone = false;
        while (!stop_ && !gone && std::chrono::steady_clock::now() < until) {
          pollfd p{fd, POLLIN, 0};
          if (poll(&p, 1, 10) <= 0) continue;
          char buf[65536];
          const ssize_t n = read(fd, buf, sizeof buf);
          if (n <= 0)
            gone = true;
          else
            buffer_.append(buf, static_cast<size_t>(n));
        }
        if (gone) break;
      } else if (step.kind == Step::kClose) {
        break;
      } else if (step.kind == Step::kReset) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        reset = true;
        break;
      }
    }
    if (!reset) {
      // Log what else arrives until the client closes (bounded), then close.
      shutdown(fd, SHUT_WR);
      while (ReadUntil(fd, "\r\n")) {
        const size_t end = buffer_.find("\r\n");
        Note(buffer_.substr(0, end));
        buffer_.erase(0, end + 2);
      }
    }
    close(fd);
    Note("CLOSED");
  }

  support::LoopbackSocket listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> log_;
  std::string buffer_;
};

}  // namespace faults
