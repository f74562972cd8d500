// A loopback SMTP peer for the fuzz targets: serves given bytes in given pieces to one
// connection, reads and discards what the client writes, then closes.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.hpp"

namespace fuzz {

class LoopbackPeer {
 public:
  int port() const { return listener_.port(); }

  // Serves one connection on a thread of its own; Join waits for it.
  void Serve(std::vector<std::string> pieces) {
    thread_ = std::thread([this, pieces = std::move(pieces)] { Run(pieces); });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  static void Drain(int fd, int wait_ms) {
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, wait_ms) > 0) {
      if (read(fd, buf, sizeof buf) <= 0) return;
      wait_ms = 0;
    }
  }
  void Run(const std::vector<std::string>& pieces) {
    pollfd lp{listener_.fd(), POLLIN, 0};
    if (poll(&lp, 1, 5000) <= 0) return;  // the client never connected
    const int fd = accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (const auto& piece : pieces) {
      size_t done = 0;
      while (done < piece.size()) {
        pollfd wp{fd, POLLOUT, 0};
        if (poll(&wp, 1, 2000) <= 0) break;
        const ssize_t n = send(fd, piece.data() + done, piece.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
        Drain(fd, 0);
      }
      // A short pause lets the client read this piece on its own.
      Drain(fd, 1);
    }
    shutdown(fd, SHUT_WR);
    // Until the client closes too (bounded).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char buf[65536];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0 && read(fd, buf, sizeof buf) <= 0) break;
    }
    close(fd);
  }

  support::LoopbackSocket listener_{8};
  std::thread thread_;
};

}  // namespace fuzz
