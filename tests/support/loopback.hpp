// A TCP socket bound to 127.0.0.1 on a port the system chose, closed with this object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace support {

class LoopbackSocket {
 public:
  // A negative backlog leaves the socket bound but not listening: connections are refused.
  explicit LoopbackSocket(int backlog = 16) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        (backlog >= 0 && ::listen(fd_, backlog) != 0) ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot bind a socket on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
    if (filler_ >= 0) ::close(filler_);
  }
  // With backlog 0: one connection never accepted fills the queue, so that later connections
  // are never made (the kernel drops their SYN) and connecting only times out.
  void FillQueue() {
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port_));
    if (filler_ < 0 || ::connect(filler_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      throw std::runtime_error("cannot fill the queue of a socket on 127.0.0.1");
    }
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  int filler_ = -1;
};

}  // namespace support
