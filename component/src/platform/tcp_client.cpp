// The event-driven TCP client: resolution on a worker thread, everything else on the
// creating thread's event loop.
#include "postwing/tcp_client.hpp"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "core/error_report.hpp"
#include "platform/resolver.hpp"
#include "platform/tcp_client_access.hpp"
#include "platform/tls_session.hpp"
#include "postwing/event_loop.hpp"

namespace postwing {
namespace {

using platform::SocketAddress;

constexpr size_t kReadChunk = 64 * 1024;
// Bounds per pass, so one busy connection cannot starve the rest of the loop.
constexpr size_t kMaxReadPerPass = 1024 * 1024;
constexpr size_t kMaxWritePerPass = 8 * 1024 * 1024;
// Reading pauses while this much is received and not taken by GetData.
constexpr size_t kMaxUnread = 64 * 1024 * 1024;
constexpr int kMaxIov = 64;

constexpr int32_t kErrBadState = 40006;
constexpr int32_t kErrInvalidOperation = 40020;

int32_t Clamp32(size_t n) {
  return n > static_cast<size_t>(std::numeric_limits<int32_t>::max())
             ? std::numeric_limits<int32_t>::max()
             : static_cast<int32_t>(n);
}

template <class F, class... A>
void Raise(const std::shared_ptr<F>& handler, A&&... args) {
  std::shared_ptr<F> keep = handler;  // the handler may replace or drop itself
  if (keep && *keep) (*keep)(std::forward<A>(args)...);
}

// Counts the handlers of a socket's events on the stack.
struct EventScope {
  explicit EventScope(int& depth) : depth_(depth) { ++depth_; }
  ~EventScope() { --depth_; }
  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  int& depth_;
};

using Reports = std::vector<std::pair<int32_t, int32_t>>;  // bytes sent, bytes left of a piece

}  // namespace

struct ClientState : std::enable_shared_from_this<ClientState> {
  int32_t state = TcpClient::sckClosed;
  int32_t local_port = 0;
  int32_t remote_port = 0;
  std::string remote_host;

  std::shared_ptr<EventLoop> loop;
  int fd = -1;
  // Reading and writing have a watch each, so queued data keeps flowing while a handler
  // of arriving data runs a nested pass (e.g. encoding a message with DoEvents).
  EventLoop::Id read_watch = 0;
  EventLoop::Id write_watch = 0;
  // Changes at every Connect and Close: work begun for an earlier connection is dropped.
  uint64_t generation = 0;
  std::vector<SocketAddress> addresses;
  size_t next_address = 0;
  int last_error = 0;

  std::string local_ip;
  std::string remote_ip;
  int32_t bound_port = 0;

  struct Piece {
    std::string data;
    size_t offset = 0;
    size_t acked = 0;  // with TLS: plaintext whose records have been written
  };
  std::deque<Piece> queue;
  std::string received;
  bool read_paused = false;
  bool eof = false;
  // The queue's last byte waits until the peer's bytes that came before it are read.
  bool held = false;
  bool guard_end = false;  // see TcpClientAccess::SetGuardEnd
  // A handler of this socket's events runs: SendData only queues, and what a handler of
  // arriving data queued goes out in one write when it returns.
  int in_event = 0;
  // SendData on an idle socket writes at once; the write's progress, and the error of a
  // failed one, are raised from the loop like those of any other write.
  Reports unreported;
  bool complete_unreported = false;
  bool report_posted = false;
  int write_error = 0;

  std::shared_ptr<std::function<void()>> on_connect;
  std::shared_ptr<std::function<void(int32_t)>> on_data;
  std::shared_ptr<std::function<void()>> on_close;
  std::shared_ptr<std::function<void(int32_t, const std::string&)>> on_error;
  std::shared_ptr<std::function<void(int32_t, int32_t)>> on_progress;
  std::shared_ptr<std::function<void()>> on_send_complete;

  // TLS (tcp_client.cpp's last section): ciphertext on the socket, plaintext above it.
  std::unique_ptr<platform::TlsSession> tls;
  bool tls_handshaking = false;
  std::function<void(bool, const std::string&)> tls_done;
  size_t tls_encrypt_index = 0;  // first piece not wholly encrypted
  uint64_t tls_written = 0;      // ciphertext bytes written to the socket
  struct TlsMark {
    uint64_t end;  // the ciphertext position that completes these plaintext bytes
    size_t plain;
  };
  std::deque<TlsMark> tls_marks;
  void StartTls(platform::TlsOptions options, std::function<void(bool, const std::string&)> done);
  void ResetTls();
  bool WantsWrite() const;
  bool TlsIncoming(size_t start, size_t& total, bool& got_eof);
  void TlsFailed(std::string reason);
  void WriteQueuedTls();

  void Connect();
  void Close();
  void SendData(std::string data);

  void CloseDescriptor();
  void Fail(int32_t number, const std::string& description);
  void FailSystem(int err);
  void OnResolved(uint64_t gen, platform::ResolveResult result);
  void TryNextAddress();
  void OnReadable();
  void OnWritable();
  void OnConnectReady();
  void ReadAvailable();
  bool PeerBytesWaiting() const;
  void Hold();
  ssize_t WriteOnce(Reports& progress, size_t& requested);
  bool WriteAvailable();
  void WriteQueued();
  void WriteNow();
  void ReportWritten();
  void UpdateWatch();
};

void ClientState::CloseDescriptor() {
  if (loop) {
    if (read_watch != 0) loop->Unwatch(read_watch);
    if (write_watch != 0) loop->Unwatch(write_watch);
  }
  read_watch = 0;
  write_watch = 0;
  if (fd >= 0) ::close(fd);
  fd = -1;
  held = false;
  unreported.clear();
  complete_unreported = false;
  write_error = 0;
}

void ClientState::Close() {
  ++generation;
  CloseDescriptor();
  ResetTls();
  state = TcpClient::sckClosed;
  queue.clear();
  addresses.clear();
  read_paused = false;
  eof = false;
}

void ClientState::Fail(int32_t number, const std::string& description) {
  ++generation;  // whatever was under way on this connection stops
  CloseDescriptor();
  ResetTls();
  queue.clear();
  state = TcpClient::sckError;
  Raise(on_error, number, description);
}

void ClientState::FailSystem(int err) {
  const int32_t number = platform::WinsockErrorOf(err);
  Fail(number, platform::WinsockErrorText(number));
}

void ClientState::Connect() {
  if (state != TcpClient::sckClosed) {
    throw Exception(kErrInvalidOperation, std::string(detail::kSourceWinsock),
                    "Invalid operation at current state");
  }
  ++generation;
  const uint64_t gen = generation;
  loop = SharedThreadEventLoop();
  ResetTls();
  received.clear();
  queue.clear();
  guard_end = false;
  local_ip.clear();
  remote_ip.clear();
  bound_port = 0;
  eof = false;
  read_paused = false;
  state = TcpClient::sckResolvingHost;

  std::weak_ptr<ClientState> weak = weak_from_this();
  const auto port = static_cast<uint16_t>(remote_port);
  SocketAddress numeric;
  if (platform::ParseNumericAddress(remote_host, port, numeric)) {
    platform::ResolveResult result;
    result.addresses.push_back(numeric);
    loop->Post([weak, gen, result = std::move(result)]() mutable {
      if (auto self = weak.lock()) self->OnResolved(gen, std::move(result));
    });
    return;
  }
  // getaddrinfo blocks for as long as the name servers take: run it off the loop.
  platform::Resolver resolver = platform::CurrentResolver();
  std::shared_ptr<EventLoop> target = loop;
  std::string host = remote_host;
  try {
    std::thread([weak, gen, target, host, port, resolver = std::move(resolver)] {
      platform::ResolveResult result;
      try {
        result = resolver(host, port);
      } catch (...) {
        result = platform::ResolveResult{};
        result.error = 11003;
        result.description = platform::WinsockErrorText(11003);
      }
      target->Post([weak, gen, result = std::move(result)]() mutable {
        if (auto self = weak.lock()) self->OnResolved(gen, std::move(result));
      });
    }).detach();
  } catch (const std::system_error&) {
    platform::ResolveResult result;
    result.error = 10055;
    result.description = platform::WinsockErrorText(10055);
    loop->Post([weak, gen, result = std::move(result)]() mutable {
      if (auto self = weak.lock()) self->OnResolved(gen, std::move(result));
    });
  }
}

void ClientState::OnResolved(uint64_t gen, platform::ResolveResult result) {
  if (gen != generation || state != TcpClient::sckResolvingHost) return;
  auto self = shared_from_this();
  if (result.error != 0 || result.addresses.empty()) {
    int32_t number = result.error != 0 ? result.error : 11001;
    std::string text =
        result.description.empty() ? platform::WinsockErrorText(number) : result.description;
    Fail(number, text);
    return;
  }
  state = TcpClient::sckHostResolved;
  addresses = std::move(result.addresses);
  next_address = 0;
  last_error = 0;
  state = TcpClient::sckConnecting;
  TryNextAddress();
}

void ClientState::TryNextAddress() {
  while (next_address < addresses.size()) {
    const SocketAddress& a = addresses[next_address++];
    const int family = a.storage.ss_family;
    int s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
      last_error = errno;
      continue;
    }
    if (local_port != 0) {
      SocketAddress local;
      if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&local.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(static_cast<uint16_t>(local_port));
        local.length = sizeof(sockaddr_in6);
      } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&local.storage);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(static_cast<uint16_t>(local_port));
        local.length = sizeof(sockaddr_in);
      }
      if (::bind(s, reinterpret_cast<sockaddr*>(&local.storage), local.length) != 0) {
        last_error = errno;
        ::close(s);
        continue;
      }
    }
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&a.storage), a.length);
    if (rc == 0 || errno == EINPROGRESS || errno == EINTR) {
      // Even an immediate success is reported from the loop, never from inside Connect.
      fd = s;
      std::weak_ptr<ClientState> weak = weak_from_this();
      read_watch = loop->Watch(fd, 0, [weak](unsigned) {
        if (auto self = weak.lock()) self->OnReadable();
      });
      write_watch = loop->Watch(fd, EventLoop::kWritable, [weak](unsigned) {
        if (auto self = weak.lock()) self->OnWritable();
      });
      return;
    }
    last_error = errno;
    ::close(s);
  }
  FailSystem(last_error != 0 ? last_error : ECONNREFUSED);
}

void ClientState::OnReadable() {
  auto self = shared_from_this();
  ReportWritten();
  if (fd >= 0 && !eof && (state == TcpClient::sckConnected)) ReadAvailable();
}

void ClientState::OnWritable() {
  auto self = shared_from_this();
  ReportWritten();
  if (state == TcpClient::sckConnecting) {
    OnConnectReady();
    return;
  }
  if (fd >= 0 && write_error != 0) {
    FailSystem(write_error);
    return;
  }
  if (fd >= 0 && WantsWrite()) WriteQueued();
}

void ClientState::OnConnectReady() {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  if (err == 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
    err = errno == ENOTCONN ? ECONNREFUSED : errno;
  }
  if (err != 0) {
    CloseDescriptor();
    last_error = err;
    TryNextAddress();
    return;
  }
  sockaddr_storage local{};
  socklen_t local_len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0) {
    local_ip = platform::AddressText(reinterpret_cast<sockaddr*>(&local));
    bound_port = platform::AddressPort(reinterpret_cast<sockaddr*>(&local));
  }
  remote_ip = platform::AddressText(reinterpret_cast<sockaddr*>(&peer));
  addresses.clear();
  state = TcpClient::sckConnected;
  UpdateWatch();
  Raise(on_connect);
}

void ClientState::UpdateWatch() {
  if (!loop || fd < 0) return;
  const bool connected = state == TcpClient::sckConnected || state == TcpClient::sckClosing;
  const bool reading = connected && !eof && !read_paused;
  const bool writing = state == TcpClient::sckConnecting ||
                       (connected && (WantsWrite() || write_error != 0) && !held);
  if (read_watch != 0) loop->UpdateWatch(read_watch, reading ? unsigned{EventLoop::kReadable} : 0u);
  if (write_watch != 0)
    loop->UpdateWatch(write_watch, writing ? unsigned{EventLoop::kWritable} : 0u);
}

void ClientState::ReadAvailable() {
  if (held) {
    held = false;  // what it waited for is read now
    UpdateWatch();
  }
  size_t total = 0;
  bool got_eof = false;
  int err = 0;
  const size_t start = received.size();
  // Read into one scratch buffer of the thread and keep only what came: growing the
  // connection's buffer by a whole chunk per read would zero it each time and keep its
  // capacity on every idle connection.
  thread_local std::vector<char> scratch(kReadChunk);
  while (total < kMaxReadPerPass) {
    ssize_t n = ::recv(fd, scratch.data(), kReadChunk, 0);
    if (n > 0) {
      received.append(scratch.data(), static_cast<size_t>(n));
      total += static_cast<size_t>(n);
      if (static_cast<size_t>(n) < kReadChunk) break;  // drained for now
      continue;
    }
    if (n == 0) {
      got_eof = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) err = errno;
    break;
  }
  if (tls && !TlsIncoming(start, total, got_eof)) return;
  const uint64_t gen = generation;
  if (total > 0) {
    if (received.size() >= kMaxUnread) {
      read_paused = true;
      UpdateWatch();
    }
    {
      EventScope scope(in_event);
      Raise(on_data, Clamp32(received.size()));
    }
    if (gen != generation) return;
    // The handler's answer goes out in one write now, not after the next poll.
    if (in_event == 0 && !held && WantsWrite()) {
      WriteQueued();
      if (gen != generation) return;
    }
  }
  if (got_eof) {
    eof = true;
    state = TcpClient::sckClosing;
    UpdateWatch();
    Raise(on_close);
    return;
  }
  if (err != 0) FailSystem(err);
}

// While the end is guarded, before the queue's last byte goes: bytes of the peer's that wait unread
// while reading can take them keep that byte back until they are read, so all that came before the
// end of what was queued is raised while BytesUnsent() counts it: an early reply cannot pass for
// the answer to the whole (a "250" sent in the middle of a message's data, for the acceptance of
// it).
bool ClientState::PeerBytesWaiting() const {
  if (!guard_end || eof || read_paused || read_watch == 0 || state != TcpClient::sckConnected)
    return false;
  int unread = 0;
  return ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0;
}

// Only the last byte is left: writing waits for the next read (or more data queued).
void ClientState::Hold() {
  held = true;
  UpdateWatch();
}

// One write of what the queue holds: adds a report per piece it reached to progress. The bytes
// written (0 when the socket takes nothing now or the last byte waits), or -1 with write_error
// set; requested: the bytes it asked to write.
ssize_t ClientState::WriteOnce(Reports& progress, size_t& requested) {
  iovec iov[kMaxIov];
  int count = 0;
  requested = 0;
  for (auto it = queue.begin(); it != queue.end() && count < kMaxIov; ++it, ++count) {
    iov[count].iov_base = it->data.data() + it->offset;
    iov[count].iov_len = it->data.size() - it->offset;
    requested += iov[count].iov_len;
  }
  const bool keep_last = static_cast<size_t>(count) == queue.size() && PeerBytesWaiting();
  if (keep_last) {
    --iov[count - 1].iov_len;
    if (--requested == 0) {
      Hold();
      return 0;
    }
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<size_t>(count);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    write_error = errno;
    return -1;
  }
  size_t left = static_cast<size_t>(n);
  while (left > 0 && !queue.empty()) {
    Piece& p = queue.front();
    size_t take = std::min(left, p.data.size() - p.offset);
    p.offset += take;
    left -= take;
    progress.emplace_back(Clamp32(take), Clamp32(p.data.size() - p.offset));
    if (p.offset == p.data.size()) queue.pop_front();
  }
  if (keep_last && static_cast<size_t>(n) == requested) Hold();
  return n;
}

// Writes while the socket takes it (a bounded amount per pass); the progress waits in
// unreported. False after a failed write (write_error).
bool ClientState::WriteAvailable() {
  size_t written = 0;
  while (!queue.empty() && written < kMaxWritePerPass) {
    size_t requested = 0;
    const ssize_t n = WriteOnce(unreported, requested);
    if (n <= 0) return n == 0;
    written += static_cast<size_t>(n);
    if (queue.empty()) complete_unreported = true;
    if (held || static_cast<size_t>(n) < requested) break;  // the peer's window is full
  }
  return true;
}

// From the socket's events: the writes' progress is raised before the error of a failed one.
void ClientState::WriteQueued() {
  if (tls) {
    WriteQueuedTls();
    return;
  }
  const bool ok = WriteAvailable();
  if (queue.empty()) UpdateWatch();
  const uint64_t gen = generation;
  ReportWritten();
  if (!ok && gen == generation) FailSystem(write_error);
}

// SendData on an idle socket: written at once, which saves a pass of the loop per command;
// the events follow from the loop.
void ClientState::WriteNow() {
  WriteAvailable();
  if (!queue.empty()) UpdateWatch();  // the rest, or the error, from the loop
  if (unreported.empty() || report_posted) return;
  report_posted = true;
  std::weak_ptr<ClientState> weak = weak_from_this();
  loop->Post([weak] {
    if (auto self = weak.lock()) {
      self->report_posted = false;
      self->ReportWritten();
    }
  });
}

// The progress of writes made at once, before any later event of the socket.
void ClientState::ReportWritten() {
  if (unreported.empty()) return;
  const Reports reports = std::move(unreported);
  unreported.clear();
  const bool complete = std::exchange(complete_unreported, false);
  EventScope scope(in_event);
  const uint64_t gen = generation;
  for (const auto& [sent, remaining] : reports) {
    Raise(on_progress, sent, remaining);
    if (gen != generation) return;
  }
  if (complete && queue.empty()) Raise(on_send_complete);
}

void ClientState::SendData(std::string data) {
  if (state != TcpClient::sckConnected) {
    throw Exception(kErrBadState, std::string(detail::kSourceWinsock),
                    "Wrong protocol or connection state for the requested transaction or request");
  }
  if (data.empty()) return;
  bool was_empty = queue.empty();
  queue.push_back(Piece{std::move(data), 0});
  if (held) {
    held = false;  // the byte kept back is no longer the last
    UpdateWatch();
  }
  if (!was_empty) return;
  if (!tls && in_event == 0 && !held && write_error == 0) {
    WriteNow();
  } else {
    UpdateWatch();
  }
}

// ---- TLS ----

// Plaintext is encrypted this much at a time, and only while less than kTlsOutputLow of
// ciphertext waits: memory stays bounded and SendProgress follows the socket closely.
constexpr size_t kTlsChunk = 64 * 1024;
constexpr size_t kTlsOutputLow = 256 * 1024;

void ClientState::ResetTls() {
  tls.reset();
  tls_handshaking = false;
  tls_done = nullptr;
  tls_encrypt_index = 0;
  tls_written = 0;
  tls_marks.clear();
  for (auto& p : queue) p.acked = 0;
}

bool ClientState::WantsWrite() const {
  if (!tls) return !queue.empty();
  return tls->OutputSize() > 0 || (!tls_handshaking && tls_encrypt_index < queue.size());
}

void ClientState::StartTls(platform::TlsOptions options,
                           std::function<void(bool, const std::string&)> done) {
  if (state != TcpClient::sckConnected || tls) {
    throw Exception(kErrBadState, std::string(detail::kSourceWinsock),
                    "Wrong protocol or connection state for the requested transaction or request");
  }
  // Bytes that came in clear must not pass for part of the encrypted session.
  received.clear();
  if (read_paused) read_paused = false;
  // Plaintext already queued but unwritten would go out encrypted: count it from zero.
  for (auto& p : queue) {
    if (p.offset != 0) p.data.erase(0, p.offset);
    p.offset = 0;
    p.acked = 0;
  }
  std::string error;
  tls = platform::TlsSession::Create(options, error);
  tls_done = std::move(done);
  tls_encrypt_index = 0;
  tls_written = 0;
  tls_marks.clear();
  tls_handshaking = true;
  if (!tls) {
    // Reported from the loop, never from inside StartTls.
    const uint64_t gen = generation;
    std::weak_ptr<ClientState> weak = weak_from_this();
    tls = nullptr;
    loop->Post([weak, gen, error] {
      if (auto self = weak.lock(); self && self->generation == gen) self->TlsFailed(error);
    });
    return;
  }
  if (tls->Handshake() == platform::TlsSession::Status::kFailed) {
    const std::string reason = tls->ErrorText();
    const uint64_t gen = generation;
    std::weak_ptr<ClientState> weak = weak_from_this();
    loop->Post([weak, gen, reason] {
      if (auto self = weak.lock(); self && self->generation == gen) self->TlsFailed(reason);
    });
    return;
  }
  UpdateWatch();
}

void ClientState::TlsFailed(std::string reason) {
  // The alert, if any, on a best-effort basis: the connection ends either way.
  if (tls && fd >= 0 && tls->OutputSize() > 0) {
    (void)::send(fd, tls->OutputData(), tls->OutputSize(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  auto done = std::move(tls_done);
  ++generation;
  CloseDescriptor();
  ResetTls();
  queue.clear();
  received.clear();
  state = TcpClient::sckError;
  if (done) done(false, reason);
}

// Takes the ciphertext read since start out of received and puts back the plaintext it
// holds; total becomes the plaintext count. False when the connection's work has ended.
bool ClientState::TlsIncoming(size_t start, size_t& total, bool& got_eof) {
  auto self = shared_from_this();
  const uint64_t gen = generation;
  tls->Feed(received.data() + start, received.size() - start);
  received.resize(start);
  total = 0;
  if (tls_handshaking) {
    const auto status = tls->Handshake();
    if (status == platform::TlsSession::Status::kFailed) {
      TlsFailed(tls->ErrorText());
      return false;
    }
    if (status == platform::TlsSession::Status::kPending) {
      if (got_eof) {
        TlsFailed("The TLS handshake failed: the server closed the connection.");
        return false;
      }
      UpdateWatch();
      return true;
    }
    tls_handshaking = false;
    UpdateWatch();  // plaintext queued meanwhile may flow now
    auto done = std::move(tls_done);
    tls_done = nullptr;
    if (done) done(true, tls->Established());
    if (gen != generation || !tls || fd < 0) return false;
  }
  const auto result = tls->Read(received);
  total = received.size() - start;
  if (result == platform::TlsSession::ReadResult::kFailed) {
    const std::string reason = tls->ErrorText();
    Fail(emxTLSFailed, reason);
    return false;
  }
  if (result == platform::TlsSession::ReadResult::kClosed) got_eof = true;
  if (tls->OutputSize() > 0) UpdateWatch();
  return true;
}

void ClientState::WriteQueuedTls() {
  auto self = shared_from_this();
  EventScope scope(in_event);
  size_t written = 0;
  std::vector<std::pair<int32_t, int32_t>> progress;
  while (written < kMaxWritePerPass) {
    if (!tls_handshaking) {
      while (tls->OutputSize() < kTlsOutputLow && tls_encrypt_index < queue.size()) {
        Piece& p = queue[tls_encrypt_index];
        const size_t take = std::min(kTlsChunk, p.data.size() - p.offset);
        if (!tls->Write(p.data.data() + p.offset, take)) {
          const std::string reason = tls->ErrorText();  // Fail releases the session
          Fail(emxTLSFailed, reason);
          return;
        }
        p.offset += take;
        tls_marks.push_back(TlsMark{tls->Produced(), take});
        if (p.offset == p.data.size()) ++tls_encrypt_index;
      }
    }
    size_t requested = tls->OutputSize();
    if (requested == 0) break;
    const bool keep_last = !tls_handshaking && !queue.empty() &&
                           tls_encrypt_index == queue.size() && PeerBytesWaiting();
    if (keep_last && --requested == 0) {
      Hold();
      break;
    }
    ssize_t n = ::send(fd, tls->OutputData(), requested, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      FailSystem(errno);
      return;
    }
    tls->Consume(static_cast<size_t>(n));
    if (keep_last && static_cast<size_t>(n) == requested) Hold();
    tls_written += static_cast<uint64_t>(n);
    written += static_cast<size_t>(n);
    // Plaintext counts as sent once the records carrying it are written; one report per
    // piece this write completed records of.
    progress.clear();
    bool same_piece = false;
    bool finished_plain = false;
    while (!tls_marks.empty() && tls_marks.front().end <= tls_written && !queue.empty()) {
      const size_t plain = tls_marks.front().plain;
      tls_marks.pop_front();
      Piece& p = queue.front();
      p.acked += plain;
      const int32_t remaining = Clamp32(p.data.size() - p.acked);
      if (same_piece) {
        progress.back().first = Clamp32(static_cast<size_t>(progress.back().first) + plain);
        progress.back().second = remaining;
      } else {
        progress.emplace_back(Clamp32(plain), remaining);
      }
      same_piece = true;
      if (p.acked == p.data.size()) {
        queue.pop_front();
        if (tls_encrypt_index > 0) --tls_encrypt_index;
        same_piece = false;
        finished_plain = true;
      }
    }
    if (!WantsWrite()) UpdateWatch();
    const uint64_t gen = generation;
    for (const auto& [sent, remaining] : progress) {
      Raise(on_progress, sent, remaining);
      if (gen != generation) return;
    }
    if (finished_plain && queue.empty() && tls->OutputSize() == 0) {
      Raise(on_send_complete);
      return;
    }
    if (held || static_cast<size_t>(n) < requested) break;  // the peer's window is full
  }
  UpdateWatch();
}

struct TcpClient::Impl {
  std::shared_ptr<ClientState> s = std::make_shared<ClientState>();
};

void detail::TcpClientAccess::SetGuardEnd(TcpClient& client, bool on) {
  client.impl_->s->guard_end = on;
}

TcpClient::TcpClient(detail::PassKey) : impl_(std::make_unique<Impl>()) {}

TcpClient::~TcpClient() {
  ClientState& s = *impl_->s;
  s.Close();
  // A handler running now keeps its own copy; dropping these breaks owner cycles.
  s.on_connect.reset();
  s.on_data.reset();
  s.on_close.reset();
  s.on_error.reset();
  s.on_progress.reset();
  s.on_send_complete.reset();
}

int32_t TcpClient::State() const {
  return impl_->s->state;
}

int32_t TcpClient::LocalPort() const {
  const ClientState& s = *impl_->s;
  return s.bound_port != 0 && s.fd >= 0 ? s.bound_port : s.local_port;
}

void TcpClient::SetLocalPort(int32_t port) {
  if (port < 0 || port > 65535) detail::RaiseRuntimeError(detail::kErrInvalidPropertyValue);
  impl_->s->local_port = port;
}

int32_t TcpClient::RemotePort() const {
  return impl_->s->remote_port;
}

void TcpClient::SetRemotePort(int32_t port) {
  if (port < 0 || port > 65535) detail::RaiseRuntimeError(detail::kErrInvalidPropertyValue);
  impl_->s->remote_port = port;
}

std::string TcpClient::RemoteHost() const {
  return impl_->s->remote_host;
}
void TcpClient::SetRemoteHost(std::string host) {
  impl_->s->remote_host = std::move(host);
}
std::string TcpClient::RemoteHostIP() const {
  return impl_->s->remote_ip;
}
std::string TcpClient::LocalIP() const {
  return impl_->s->local_ip;
}
int32_t TcpClient::KeepAlive(bool& on) const {
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(SocketHandle(), SOL_SOCKET, SO_KEEPALIVE, &value, &length) != 0) return errno;
  on = value != 0;
  return 0;
}

int32_t TcpClient::SetKeepAlive(bool on) {
  const int value = on ? 1 : 0;
  return setsockopt(SocketHandle(), SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) == 0 ? 0
                                                                                         : errno;
}

namespace {

int32_t SetTimeout(int handle, int option, int32_t seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  return setsockopt(handle, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

}  // namespace

int32_t TcpClient::SetSendTimeout(int32_t seconds) {
  return SetTimeout(SocketHandle(), SO_SNDTIMEO, seconds);
}

int32_t TcpClient::SetReceiveTimeout(int32_t seconds) {
  return SetTimeout(SocketHandle(), SO_RCVTIMEO, seconds);
}

int TcpClient::SocketHandle() const {
  return impl_->s->fd;
}
int32_t TcpClient::BytesReceived() const {
  return Clamp32(impl_->s->received.size());
}

uint64_t TcpClient::BytesUnsent() const {
  const ClientState& s = *impl_->s;
  uint64_t unsent = 0;
  for (const auto& p : s.queue) unsent += p.data.size() - (s.tls ? p.acked : p.offset);
  return unsent;
}

void TcpClient::Connect() {
  impl_->s->Connect();
}
void TcpClient::Close() {
  impl_->s->Close();
}
void TcpClient::SendData(std::string data) {
  impl_->s->SendData(std::move(data));
}

void TcpClient::StartTls(std::string server_name, bool verify, std::string ca_file,
                         std::function<void(bool, const std::string&)> done) {
  platform::TlsOptions options;
  options.server_name = std::move(server_name);
  options.verify = verify;
  options.ca_file = std::move(ca_file);
  impl_->s->StartTls(std::move(options), std::move(done));
}

bool TcpClient::IsSecure() const {
  const ClientState& s = *impl_->s;
  return s.tls != nullptr && !s.tls_handshaking;
}

void TcpClient::GetData(std::string& data) {
  ClientState& s = *impl_->s;
  data = std::move(s.received);
  s.received.clear();
  if (s.read_paused) {
    s.read_paused = false;
    s.UpdateWatch();
  }
}

void TcpClient::SetOnConnect(std::function<void()> handler) {
  impl_->s->on_connect = std::make_shared<std::function<void()>>(std::move(handler));
}
void TcpClient::SetOnDataArrival(std::function<void(int32_t)> handler) {
  impl_->s->on_data = std::make_shared<std::function<void(int32_t)>>(std::move(handler));
}
void TcpClient::SetOnClose(std::function<void()> handler) {
  impl_->s->on_close = std::make_shared<std::function<void()>>(std::move(handler));
}
void TcpClient::SetOnError(std::function<void(int32_t, const std::string&)> handler) {
  impl_->s->on_error =
      std::make_shared<std::function<void(int32_t, const std::string&)>>(std::move(handler));
}
void TcpClient::SetOnSendProgress(std::function<void(int32_t, int32_t)> handler) {
  impl_->s->on_progress =
      std::make_shared<std::function<void(int32_t, int32_t)>>(std::move(handler));
}
void TcpClient::SetOnSendComplete(std::function<void()> handler) {
  impl_->s->on_send_complete = std::make_shared<std::function<void()>>(std::move(handler));
}

}  // namespace postwing
