// A discarding SMTP sink for the send comparisons: speaks just enough SMTP for any client,
// reads the message data as fast as the socket delivers it and throws it away.
//
//   send_sink [--lifetime SECONDS]
//
// Listens on 127.0.0.1 with a port of the system's choosing and prints "PORT <n>" once it
// listens. One thread per connection; ends after --lifetime seconds (default 600) or on a
// signal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

bool SendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string Upper(std::string_view s) {
  std::string u(s);
  for (auto& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// Finds the end of the data ("CR LF . CR LF") in a stream that arrives in chunks: `tail`
// holds the last bytes seen, so a terminator split between reads is found too.
class DataEnd {
 public:
  // Returns the offset just past the terminator in chunk, or npos.
  size_t Feed(const char* chunk, size_t n) {
    static constexpr std::string_view kEnd = "\r\n.\r\n";
    // Across the boundary: the previous tail plus the first bytes of this chunk.
    std::string seam = tail_;
    seam.append(chunk, std::min<size_t>(n, 4));
    if (auto at = seam.find(kEnd); at != std::string::npos) {
      return at + kEnd.size() - tail_.size();
    }
    if (n >= kEnd.size()) {
      const void* hit = memmem(chunk, n, kEnd.data(), kEnd.size());
      if (hit) return static_cast<size_t>(static_cast<const char*>(hit) - chunk) + kEnd.size();
    }
    // Keep the last four bytes.
    if (n >= 4) {
      tail_.assign(chunk + n - 4, 4);
    } else {
      tail_.append(chunk, n);
      if (tail_.size() > 4) tail_.erase(0, tail_.size() - 4);
    }
    return std::string::npos;
  }
  // The data starts just after the CR LF of the DATA command's reply line.
  void Reset() { tail_ = "\r\n"; }

 private:
  std::string tail_ = "\r\n";
};

void Serve(int fd) {
  std::vector<char> buffer(1 << 20);
  std::string pending;  // command bytes not yet handled
  bool in_data = false;
  DataEnd end;
  if (!SendAll(fd, "220 sink ESMTP ready\r\n")) {
    close(fd);
    return;
  }
  for (;;) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    const char* p = buffer.data();
    size_t left = static_cast<size_t>(n);
    if (in_data) {
      size_t past = end.Feed(p, left);
      if (past == std::string::npos) continue;
      in_data = false;
      if (!SendAll(fd, "250 OK discarded\r\n")) break;
      p += past;
      left -= past;
    }
    pending.append(p, left);
    size_t eol;
    bool quit = false;
    while (!in_data && (eol = pending.find("\r\n")) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 2);
      std::string verb = Upper(std::string_view(line).substr(0, 4));
      std::string_view reply;
      if (verb == "EHLO") {
        reply = "250-sink\r\n250-8BITMIME\r\n250 SIZE 0\r\n";
      } else if (verb == "HELO" || verb == "MAIL" || verb == "RCPT" || verb == "RSET" ||
                 verb == "NOOP") {
        reply = "250 OK\r\n";
      } else if (verb == "VRFY") {
        reply = "252 OK\r\n";
      } else if (verb == "DATA") {
        reply = "354 go ahead\r\n";
        in_data = true;
        end.Reset();
      } else if (verb == "QUIT") {
        reply = "221 bye\r\n";
        quit = true;
      } else {
        reply = "500 unknown command\r\n";
      }
      if (!SendAll(fd, reply) || quit) {
        quit = true;
        break;
      }
    }
    if (quit) break;
    if (in_data && !pending.empty()) {
      // Data that arrived with the DATA command itself.
      std::string rest;
      rest.swap(pending);
      size_t past = end.Feed(rest.data(), rest.size());
      if (past != std::string::npos) {
        in_data = false;
        pending = rest.substr(past);
        if (!SendAll(fd, "250 OK discarded\r\n")) break;
      }
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  int lifetime = 600;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lifetime") == 0 && i + 1 < argc) {
      lifetime = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--lifetime SECONDS]\n", argv[0]);
      return 2;
    }
  }
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 128) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("send_sink: listen");
    return 1;
  }
  std::printf("PORT %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  alarm(static_cast<unsigned>(lifetime));  // the default action ends the process
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::thread(Serve, fd).detach();
  }
  return 0;
}
