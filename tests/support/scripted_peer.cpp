#include "support/scripted_peer.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "support/temp_dir.hpp"

namespace support {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Step Reply(const std::string& text) {
  std::string wire;
  size_t from = 0;
  for (;;) {
    size_t end = text.find('\n', from);
    std::string line = text.substr(from, end == std::string::npos ? end : end - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    wire += line + "\r\n";
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return {Step::kSend, {wire}};
}

Steps Transaction() {
  return {Expect("MAIL"), Reply("250 ok"),       Expect("RCPT"), Reply("250 ok"),
          Expect("DATA"), Reply("354 go ahead"), Data(),         Reply("250 accepted"),
          Expect("QUIT"), Reply("221 bye"),      Close()};
}

Steps GoodDialogue() {
  return Steps{Reply("220 ready"), Expect("HELO"), Reply("250 hello")} + Transaction();
}

const TestCertificates& TestCertificates::Get() {
  static TempDir dir;
  static TestCertificates c = [] {
    TestCertificates t;
    const fs::path d = dir.path();
    t.ca = d / "ca.pem";
    t.cert = d / "server.pem";
    t.key = d / "server.key";
    t.wrong_cert = d / "wrong.pem";
    t.wrong_key = d / "wrong.key";
    WriteFile(d / "server.ext",
              "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    WriteFile(d / "wrong.ext",
              "subjectAltName=DNS:mail.example.test\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string cmd = "cd '" + d.string() + "' && openssl req -x509" + ec +
                      " -keyout ca.key -out ca.pem -days 2 -subj '/CN=postwing test CA'"
                      " -addext basicConstraints=critical,CA:TRUE"
                      " -addext keyUsage=critical,keyCertSign";
    for (std::string name : {"server", "wrong"}) {
      cmd += " && openssl req" + ec + " -keyout " + name + ".key -out " + name +
             ".csr -subj /CN=" + (name == "server" ? "127.0.0.1" : "mail.example.test") +
             " && openssl x509 -req -in " + name +
             ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + name +
             ".pem -days 2 -extfile " + name + ".ext";
    }
    t.ok = std::system((cmd + " >/dev/null 2>&1").c_str()) == 0 && fs::exists(t.wrong_cert);
    return t;
  }();
  return c;
}

// One accepted connection: reads into a buffer and writes, in clear or over TLS.
struct ScriptedPeer::Connection {
  int fd;
  const std::atomic<bool>& stop;
  Clock::time_point deadline;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  std::string buffer = {};

  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
    if (fd >= 0) ::close(fd);
  }
  bool Alive() const { return !stop && Clock::now() < deadline; }
  // Reads what has arrived, waiting up to 20 ms: 1 if something came, 0 if nothing, -1 at
  // the end of the stream.
  int Read() {
    if (!(ssl && SSL_pending(ssl) > 0)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) return 0;
    }
    char chunk[65536];
    const int n = ssl ? SSL_read(ssl, chunk, sizeof chunk)
                      : static_cast<int>(::read(fd, chunk, sizeof chunk));
    if (n <= 0) return -1;
    buffer.append(chunk, static_cast<size_t>(n));
    return 1;
  }
  bool Fill() { return Read() >= 0 && Alive(); }
  bool Line(std::string& line) {
    size_t end;
    while ((end = buffer.find("\r\n")) == std::string::npos) {
      if (!Fill()) return false;
    }
    line = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    return true;
  }
  bool Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size() && Alive()) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int n =
          ssl ? SSL_write(ssl, text.data() + done, static_cast<int>(text.size() - done))
              : static_cast<int>(::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return done == text.size();
  }
  // Waits without reading; false if the client closed meanwhile.
  bool Stall(std::chrono::milliseconds length) {
    const auto until = Clock::now() + length;
    while (Alive() && Clock::now() < until) {
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
    }
    return true;
  }
  bool StartTls(bool wrong_name) {
    const TestCertificates& c = TestCertificates::Get();
    ctx = SSL_CTX_new(TLS_server_method());
    const std::string cert = (wrong_name ? c.wrong_cert : c.cert).string();
    const std::string key = (wrong_name ? c.wrong_key : c.key).string();
    if (!c.ok || !ctx || SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      return false;
    }
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    buffer.clear();  // what came in clear is not part of the encrypted dialogue
    const bool ok = SSL_accept(ssl) == 1;
    ERR_clear_error();
    return ok;
  }
};

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  Join();
}

void ScriptedPeer::Serve(std::vector<Step> steps, int connections) {
  Serve(std::vector<std::vector<Step>>(static_cast<size_t>(connections), steps));
}

void ScriptedPeer::Serve(std::vector<std::vector<Step>> scripts) {
  Join();
  {
    std::lock_guard lock(mutex_);
    commands_.clear();
    messages_.clear();
    completed_ = served_ = 0;
    failure_.clear();
  }
  // A client that closes while the peer writes over TLS must not end the test process.
  ::signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread([this, scripts = std::move(scripts)] {
    for (size_t i = 0; i < scripts.size() && !stop_; ++i) Run(scripts[i]);
  });
}

void ScriptedPeer::Join() {
  finishing_ = true;
  if (thread_.joinable()) thread_.join();
  finishing_ = false;
}

void ScriptedPeer::Note(std::vector<std::string>& into, std::string text) {
  std::lock_guard lock(mutex_);
  into.push_back(std::move(text));
}

void ScriptedPeer::Run(const std::vector<Step>& steps) {
  const auto deadline = Clock::now() + lifetime;
  int fd = -1;
  while (fd < 0 && !stop_ && Clock::now() < deadline) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  }
  std::string failure = fd < 0 ? "no connection" : "";
  if (fd >= 0) ++accepted_;
  Connection c{fd, stop_, deadline};
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{2, 0};  // a TLS record that never completes
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  bool drain = true;
  std::string line;
  for (size_t i = 0; i < steps.size() && failure.empty(); ++i) {
    const Step& s = steps[i];
    const std::string at = " at step " + std::to_string(i + 1);
    switch (s.kind) {
      case Step::kExpect:
        if (s.bytes && c.buffer.find("\r\n") == std::string::npos) {
          failure = "\"" + s.chunks[0] + "\" did not come with the line before" + at;
          break;
        }
        if (!c.Line(line)) {
          failure = "the client closed or fell silent before \"" + s.chunks[0] + "\"" + at;
          break;
        }
        Note(commands_, line);
        if (strncasecmp(line.c_str(), s.chunks[0].c_str(), s.chunks[0].size()) != 0) {
          failure = "expected \"" + s.chunks[0] + "\", got \"" + line + "\"" + at;
        }
        break;
      case Step::kSend:
        for (size_t k = 0; k < s.chunks.size() && failure.empty(); ++k) {
          if (k > 0) std::this_thread::sleep_for(s.gap);
          if (!c.Write(s.chunks[k])) failure = "the client stopped reading" + at;
        }
        break;
      case Step::kData: {
        if (s.bytes) {  // only waits for them: the data step that follows reads them
          while (c.buffer.size() < s.bytes && c.Fill()) {
          }
          if (c.buffer.size() < s.bytes) failure = "the data ended early" + at;
          break;
        }
        std::string kept;
        bool ended = false;
        for (;;) {
          // Up to the end line if it is here; else all but a tail that may begin it.
          const size_t end = c.buffer.find("\r\n.\r\n");
          ended = end != std::string::npos;
          const size_t take =
              ended ? end + 2 : c.buffer.size() - std::min<size_t>(c.buffer.size(), 4);
          kept.append(c.buffer, 0, take);
          c.buffer.erase(0, ended ? take + 3 : take);
          if (ended || !c.Fill()) break;
        }
        if (ended) {
          Note(messages_, std::move(kept));
        } else {
          failure = "the data ended without its end line" + at;
        }
        break;
      }
      case Step::kStall:
        if (!c.Stall(s.gap)) failure = "the client closed during a stall" + at;
        break;
      case Step::kClose:
        ::shutdown(fd, SHUT_WR);
        break;
      case Step::kHangUp:
      case Step::kReset: {
        linger l{1, 0};
        if (s.kind == Step::kReset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        drain = false;
        i = steps.size();
        break;
      }
      case Step::kStartTls:
        if (!c.StartTls(s.wrong_name)) failure = "TLS handshake failed" + at;
        break;
    }
  }
  // Keeps what the client still says until it closes, or until the test has stopped running
  // its loop (Join) and nothing more comes.
  for (int got = 0; fd >= 0 && drain && got >= 0 && c.Alive() && (got || !finishing_);) {
    size_t end;
    while ((end = c.buffer.find("\r\n")) != std::string::npos) {
      Note(commands_, c.buffer.substr(0, end));
      c.buffer.erase(0, end + 2);
    }
    got = c.Read();
  }
  if (fd >= 0) ++ended_;
  std::lock_guard lock(mutex_);
  ++served_;
  if (failure.empty()) {
    ++completed_;
  } else if (failure_.empty()) {
    failure_ = failure;
  }
}

int ScriptedPeer::Count(const std::string& prefix) {
  int n = 0;
  for (const auto& c : Commands()) n += strncasecmp(c.c_str(), prefix.c_str(), prefix.size()) == 0;
  return n;
}

}  // namespace support
