// Small peers for the session tests: a listening socket on 127.0.0.1 served by a thread.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.hpp"

namespace postwing::testing {

// Accepts connections on a port the system chose. Each accepted connection gets the
// greeting (if any) and is then read until the peer closes or the server stops; what
// arrives is kept. Everything is bounded by the server's life.
class TestServer {
 public:
  struct Options {
    std::string greeting;
    // Keep only a count and a checksum of what arrives, not the bytes.
    bool count_only = false;
    // Pause this long after every 4 MiB read, so the client's writes must wait.
    std::chrono::milliseconds pause{0};
  };

  TestServer() : TestServer(Options{}) {}
  explicit TestServer(Options options) : options_(std::move(options)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TestServer() {
    stop_ = true;
    thread_.join();
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int Port() const { return listener_.port(); }
  int Accepted() const { return accepted_; }
  // Connections whose peer has closed (read returned 0 or an error).
  int PeerClosed() const { return peer_closed_; }
  // Closes every accepted connection from the server's side.
  void CloseClients() { close_clients_ = true; }
  size_t ReceivedBytes() const { return received_bytes_; }
  // The sum of the received bytes' values (count_only servers).
  uint64_t ByteSum() const { return sum_; }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    std::vector<int> clients;
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.fd(), POLLIN, 0}};
      for (int c : clients) fds.push_back({c, POLLIN, 0});
      ::poll(fds.data(), fds.size(), 20);
      if (fds[0].revents & POLLIN) {
        int c = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          ++accepted_;
          const std::string& g = options_.greeting;
          if (!g.empty()) (void)!::write(c, g.data(), g.size());
          clients.push_back(c);
        }
      }
      if (close_clients_.exchange(false)) {
        for (int c : clients) ::close(c);
        clients.clear();
        continue;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[65536];
        ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          const size_t before = received_bytes_;
          received_bytes_ += static_cast<size_t>(n);
          if (options_.count_only) {
            uint64_t sum = 0;
            for (ssize_t k = 0; k < n; ++k) sum += static_cast<unsigned char>(buf[k]);
            sum_ += sum;
          } else {
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
          }
          if (options_.pause.count() > 0 && before / (4u << 20) != received_bytes_ / (4u << 20)) {
            std::this_thread::sleep_for(options_.pause);
          }
        } else {
          ++peer_closed_;
          ::close(fds[i].fd);
          std::erase(clients, fds[i].fd);
        }
      }
    }
    for (int c : clients) ::close(c);
  }

  Options options_;
  support::LoopbackSocket listener_{8};
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> peer_closed_{0};
  std::atomic<bool> close_clients_{false};
  std::atomic<size_t> received_bytes_{0};
  std::atomic<uint64_t> sum_{0};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline int ClosedPort() {
  return support::LoopbackSocket(-1).port();
}

}  // namespace postwing::testing
