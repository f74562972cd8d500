#include "postwing/tcp_client.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/factory.hpp"
#include "platform/resolver.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using namespace std::chrono_literals;

// A listening socket on a loopback address with a port the system chose.
class Listener {
 public:
  explicit Listener(const char* address, bool listen_for_real = true) {
    family_ = std::strchr(address, ':') ? AF_INET6 : AF_INET;
    fd_ = ::socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family_ == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, address, &a->sin6_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      ::inet_pton(AF_INET, address, &a->sin_addr);
      len = sizeof *a;
    }
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    // Bound but not listening: connections to the port are refused, and no one else takes it.
    if (ok_ && listen_for_real) ok_ = ::listen(fd_, 16) == 0;
    len = sizeof ss;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = platform::AddressPort(reinterpret_cast<sockaddr*>(&ss));
  }
  ~Listener() { ::close(fd_); }
  bool ok() const { return ok_; }
  int port() const { return port_; }

  // The next connection, or -1 after two seconds.
  int Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  int family_ = AF_INET;
  int port_ = 0;
  bool ok_ = false;
};

// Reads what has arrived on a blocking descriptor within the time limit.
std::string ReadFor(int fd, size_t want, std::chrono::milliseconds limit = 2000ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (out.size() < want && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

struct Recorder {
  int connects = 0;
  int closes = 0;
  int completes = 0;
  std::vector<std::pair<int32_t, std::string>> errors;
  std::vector<int32_t> arrivals;
  std::vector<std::pair<int32_t, int32_t>> progress;
  std::vector<std::string> order;

  void Attach(TcpClient& c) {
    c.SetOnConnect([this] {
      ++connects;
      order.push_back("connect");
    });
    c.SetOnClose([this] {
      ++closes;
      order.push_back("close");
    });
    c.SetOnError([this](int32_t n, const std::string& d) {
      errors.emplace_back(n, d);
      order.push_back("error");
    });
    c.SetOnDataArrival([this](int32_t total) {
      arrivals.push_back(total);
      order.push_back("data");
    });
    c.SetOnSendProgress([this](int32_t s, int32_t r) { progress.emplace_back(s, r); });
    c.SetOnSendComplete([this] {
      ++completes;
      order.push_back("complete");
    });
  }
};

class TcpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { SetThreadEventLoop(MakePollEventLoop()); }
  void TearDown() override {
    platform::SetResolver(nullptr);
    client_.reset();
    SetThreadEventLoop(nullptr);
  }

  std::shared_ptr<TcpClient> NewClient() {
    client_ = detail::Factory::Make<TcpClient>();
    rec_ = Recorder{};
    rec_.Attach(*client_);
    return client_;
  }

  // Connects the client to host:port and accepts on listener; returns the server side.
  int ConnectTo(Listener& listener, const std::string& host) {
    client_->SetRemoteHost(host);
    client_->SetRemotePort(listener.port());
    client_->Connect();
    EXPECT_EQ(client_->State(), TcpClient::sckResolvingHost);
    // The kernel completes the handshake before the accept.
    EXPECT_TRUE(RunEventsUntil([&] { return rec_.connects == 1; }, 2s));
    int server = listener.Accept();
    EXPECT_GE(server, 0);
    return server;
  }

  std::shared_ptr<TcpClient> client_;
  Recorder rec_;
};

class TcpClientBothFamilies : public TcpClientTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(TcpClientBothFamilies, ConnectsAndExchangesData) {
  Listener listener(GetParam());
  if (!listener.ok()) GTEST_SKIP() << GetParam() << " not available";
  NewClient();
  int server = ConnectTo(listener, GetParam());
  ASSERT_GE(server, 0);
  EXPECT_EQ(client_->State(), TcpClient::sckConnected);
  EXPECT_EQ(client_->RemoteHostIP(), GetParam());
  EXPECT_EQ(client_->LocalIP(), GetParam());
  EXPECT_EQ(client_->RemotePort(), listener.port());
  EXPECT_GT(client_->LocalPort(), 0);
  EXPECT_NE(::fcntl(client_->SocketHandle(), F_GETFD), -1);

  client_->SendData("EHLO there\r\n");
  EXPECT_TRUE(RunEventsUntil([&] { return rec_.completes == 1; }, 2s));
  EXPECT_EQ(ReadFor(server, 12), "EHLO there\r\n");
  ASSERT_EQ(rec_.progress.size(), 1u);
  EXPECT_EQ(rec_.progress[0], std::make_pair(12, 0));

  ASSERT_EQ(5, ::write(server, "250 o", 5));
  EXPECT_TRUE(RunEventsUntil([&] { return !rec_.arrivals.empty(); }, 2s));
  EXPECT_EQ(rec_.arrivals.back(), 5);
  EXPECT_EQ(client_->BytesReceived(), 5);
  std::string got;
  client_->GetData(got);
  EXPECT_EQ(got, "250 o");
  EXPECT_EQ(client_->BytesReceived(), 0);

  client_->Close();
  EXPECT_EQ(client_->State(), TcpClient::sckClosed);
  EXPECT_EQ(client_->SocketHandle(), -1);
  client_->Close();                   // harmless twice
  EXPECT_EQ(ReadFor(server, 1), "");  // the server sees the end
  ::close(server);
  EXPECT_TRUE(rec_.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpClientBothFamilies, ::testing::Values("127.0.0.1", "::1"));

TEST_F(TcpClientTest, PeerCloseDeliversDataThenCloseAndStateClosing) {
  Listener listener("127.0.0.1");
  NewClient();
  int server = ConnectTo(listener, "127.0.0.1");
  ASSERT_EQ(9, ::write(server, "221 bye\r\n", 9));
  ::close(server);
  EXPECT_TRUE(RunEventsUntil([&] { return rec_.closes == 1; }, 2s));
  EXPECT_EQ(rec_.order, (std::vector<std::string>{"connect", "data", "close"}));
  EXPECT_EQ(client_->State(), TcpClient::sckClosing);
  std::string got;
  client_->GetData(got);
  EXPECT_EQ(got, "221 bye\r\n");
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(rec_.closes, 1);  // end of stream is reported once, with no spinning
  client_->Close();
  EXPECT_EQ(client_->State(), TcpClient::sckClosed);
}

TEST_F(TcpClientTest, RefusedPortReports10061Once) {
  Listener bound("127.0.0.1", /*listen_for_real=*/false);
  NewClient();
  client_->SetRemoteHost("127.0.0.1");
  client_->SetRemotePort(bound.port());
  client_->Connect();
  EXPECT_TRUE(RunEventsUntil([&] { return !rec_.errors.empty(); }, 2s));
  RunEventsUntil([] { return false; }, 50ms);
  ASSERT_EQ(rec_.errors.size(), 1u);
  EXPECT_EQ(rec_.errors[0].first, 10061);
  EXPECT_NE(rec_.errors[0].second.find("refused"), std::string::npos);
  EXPECT_EQ(client_->State(), TcpClient::sckError);
  EXPECT_EQ(rec_.connects, 0);
  client_->Close();
  EXPECT_EQ(client_->State(), TcpClient::sckClosed);
}

TEST_F(TcpClientTest, ResolverSeamMakesANameNotFound) {
  std::atomic<bool> off_loop{false};
  std::thread::id loop_thread = std::this_thread::get_id();
  platform::SetResolver([&](const std::string& host, uint16_t) {
    off_loop = std::this_thread::get_id() != loop_thread;
    platform::ResolveResult r;
    EXPECT_EQ(host, "mail.nowhere.test");
    r.error = 11001;
    r.description = platform::WinsockErrorText(11001);
    return r;
  });
  NewClient();
  client_->SetRemoteHost("mail.nowhere.test");
  client_->SetRemotePort(25);
  client_->Connect();
  EXPECT_TRUE(RunEventsUntil([&] { return !rec_.errors.empty(); }, 2s));
  RunEventsUntil([] { return false; }, 30ms);
  ASSERT_EQ(rec_.errors.size(), 1u);
  EXPECT_EQ(rec_.errors[0].first, 11001);
  EXPECT_EQ(client_->State(), TcpClient::sckError);
  EXPECT_TRUE(off_loop);
}

TEST_F(TcpClientTest, EmptyHostIsNotFound) {
  NewClient();
  client_->SetRemotePort(25);
  client_->Connect();
  EXPECT_TRUE(RunEventsUntil([&] { return !rec_.errors.empty(); }, 2s));
  EXPECT_EQ(rec_.errors[0].first, 11001);
}

TEST_F(TcpClientTest, TriesEachResolvedAddressInOrder) {
  Listener refused("127.0.0.1", false);
  Listener listener("127.0.0.1");
  platform::SetResolver([&](const std::string&, uint16_t) {
    platform::ResolveResult r;
    platform::SocketAddress a;
    // The first address refuses; the second is the listener.
    platform::ParseNumericAddress("127.0.0.1", static_cast<uint16_t>(refused.port()), a);
    r.addresses.push_back(a);
    platform::ParseNumericAddress("127.0.0.1", static_cast<uint16_t>(listener.port()), a);
    r.addresses.push_back(a);
    return r;
  });
  NewClient();
  int server = ConnectTo(listener, "mail.example.test");
  EXPECT_GE(server, 0);
  EXPECT_TRUE(rec_.errors.empty());
  EXPECT_EQ(client_->RemoteHost(), "mail.example.test");
  EXPECT_EQ(client_->RemoteHostIP(), "127.0.0.1");
  ::close(server);
}

TEST_F(TcpClientTest, ResultOfAnAbandonedResolutionIsDropped) {
  Listener listener("127.0.0.1");
  std::atomic<bool> slow_done{false};
  platform::SetResolver([&](const std::string& host, uint16_t port) {
    platform::ResolveResult r;
    if (host == "slow.test") {
      std::this_thread::sleep_for(150ms);
      r.error = 11001;
      slow_done = true;
      return r;
    }
    platform::SocketAddress a;
    platform::ParseNumericAddress("127.0.0.1", port, a);
    r.addresses.push_back(a);
    return r;
  });
  NewClient();
  client_->SetRemoteHost("slow.test");
  client_->SetRemotePort(listener.port());
  client_->Connect();
  client_->Close();
  int server = ConnectTo(listener, "fast.test");
  EXPECT_TRUE(RunEventsUntil([&] { return slow_done.load(); }, 2s));
  RunEventsUntil([] { return false; }, 50ms);  // the stale result is posted and dropped
  EXPECT_TRUE(rec_.errors.empty());
  EXPECT_EQ(client_->State(), TcpClient::sckConnected);
  ::close(server);

  // A client destroyed while resolving never hears of the result either.
  slow_done = false;
  client_->Close();
  client_->SetRemoteHost("slow.test");
  client_->Connect();
  client_.reset();
  EXPECT_TRUE(RunEventsUntil([&] { return slow_done.load(); }, 2s));
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_TRUE(rec_.errors.empty());
}

TEST_F(TcpClientTest, CloseInsideDataArrivalStopsAllEvents) {
  Listener listener("127.0.0.1");
  NewClient();
  int server = ConnectTo(listener, "127.0.0.1");
  int calls = 0;
  client_->SetOnDataArrival([&](int32_t) {
    ++calls;
    client_->Close();
  });
  ASSERT_EQ(3, ::write(server, "abc", 3));
  EXPECT_TRUE(RunEventsUntil([&] { return calls == 1; }, 2s));
  (void)!::write(server, "def", 3);
  ::close(server);
  RunEventsUntil([] { return false; }, 50ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(rec_.closes, 0);
  EXPECT_TRUE(rec_.errors.empty());
  EXPECT_EQ(client_->State(), TcpClient::sckClosed);
}

TEST_F(TcpClientTest, DestroyedInsideEventsWithoutTouchingFreedMemory) {
  Listener listener("127.0.0.1");
  // Inside Connect.
  NewClient();
  client_->SetOnConnect([&] { client_.reset(); });
  client_->SetRemoteHost("127.0.0.1");
  client_->SetRemotePort(listener.port());
  client_->Connect();
  EXPECT_TRUE(RunEventsUntil([&] { return client_ == nullptr; }, 2s));
  int s1 = listener.Accept();
  EXPECT_EQ(ReadFor(s1, 1), "");  // destroyed with the connection open: it is closed
  ::close(s1);

  // Inside DataArrival, with more data and the end of stream already waiting.
  NewClient();
  int s2 = ConnectTo(listener, "127.0.0.1");
  client_->SetOnDataArrival([&](int32_t) { client_.reset(); });
  client_->SetOnClose([] { ADD_FAILURE() << "close after destruction"; });
  ASSERT_EQ(4, ::write(s2, "data", 4));
  ::close(s2);
  EXPECT_TRUE(RunEventsUntil([&] { return client_ == nullptr; }, 2s));
  RunEventsUntil([] { return false; }, 30ms);

  // Inside SendProgress, with writes still queued.
  NewClient();
  int s3 = ConnectTo(listener, "127.0.0.1");
  client_->SetOnSendProgress([&](int32_t, int32_t) { client_.reset(); });
  client_->SendData("one\r\n");
  client_->SendData("two\r\n");
  EXPECT_TRUE(RunEventsUntil([&] { return client_ == nullptr; }, 2s));
  RunEventsUntil([] { return false; }, 30ms);
  ::close(s3);

  // Inside Error.
  Listener refused("127.0.0.1", false);
  NewClient();
  client_->SetOnError([&](int32_t, const std::string&) { client_.reset(); });
  client_->SetRemoteHost("127.0.0.1");
  client_->SetRemotePort(refused.port());
  client_->Connect();
  EXPECT_TRUE(RunEventsUntil([&] { return client_ == nullptr; }, 2s));
}

TEST_F(TcpClientTest, WritesProceedWhileADataHandlerRunsANestedPass) {
  Listener listener("127.0.0.1");
  NewClient();
  int server = ConnectTo(listener, "127.0.0.1");
  constexpr size_t kSize = 8u << 20;  // far more than the socket buffers hold
  std::string got;
  std::thread reader([&] { got = ReadFor(server, kSize, 10s); });
  bool finished_inside = false;
  client_->SetOnDataArrival([&](int32_t) {
    std::string reply;
    client_->GetData(reply);
    client_->SendData(std::string(kSize, 'm'));
    // As a message encoder yielding inside the handler of the server's reply does.
    finished_inside = RunEventsUntil([&] { return rec_.completes == 1; }, 10s);
  });
  ASSERT_EQ(5, ::write(server, "354\r\n", 5));
  EXPECT_TRUE(RunEventsUntil([&] { return rec_.completes == 1; }, 10s));
  reader.join();
  EXPECT_TRUE(finished_inside);
  EXPECT_EQ(got.size(), kSize);
  ::close(server);
}

TEST_F(TcpClientTest, MisuseRaisesWinsockErrors) {
  NewClient();
  try {
    client_->SendData("x");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 40006);
  }
  client_->SetRemoteHost("127.0.0.1");
  client_->SetRemotePort(1);
  client_->Connect();
  try {
    client_->Connect();
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 40020);
  }
  try {
    client_->SetRemotePort(70000);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), 380);
  }
}

TEST_F(TcpClientTest, PiecesAreWrittenInOrderWithProgressPerPiece) {
  Listener listener("127.0.0.1");
  NewClient();
  int server = ConnectTo(listener, "127.0.0.1");
  std::string expected;
  std::vector<size_t> sizes = {5, 1, 70000, 3, 300000};
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string piece(sizes[i], static_cast<char>('a' + i));
    expected += piece;
    client_->SendData(std::move(piece));
  }
  std::string got;
  std::thread reader([&] { got = ReadFor(server, expected.size(), 5s); });
  EXPECT_TRUE(RunEventsUntil([&] { return rec_.completes == 1; }, 5s));
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  // Each piece's reports add up to its size and its last one has nothing remaining.
  size_t piece = 0, sent = 0;
  for (const auto& [s, r] : rec_.progress) {
    ASSERT_LT(piece, sizes.size());
    sent += static_cast<size_t>(s);
    EXPECT_EQ(sent + static_cast<size_t>(r), sizes[piece]);
    if (r == 0) {
      ++piece;
      sent = 0;
    }
  }
  EXPECT_EQ(piece, sizes.size());
  EXPECT_EQ(rec_.completes, 1);
  ::close(server);
}

TEST_F(TcpClientTest, HundredMebibytesReachASlowReaderComplete) {
  Listener listener("127.0.0.1");
  NewClient();
  int server = ConnectTo(listener, "127.0.0.1");
  constexpr size_t kSize = 100u << 20;
  std::string data(kSize, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < kSize; i += 4) {
    x = x * 1664525u + 1013904223u;
    std::memcpy(&data[i], &x, 4);
  }
  std::atomic<size_t> received{0};
  std::atomic<bool> matches{true};
  std::thread reader([&, copy = data] {
    std::vector<char> buf(256 * 1024);
    size_t at = 0;
    while (at < kSize) {
      pollfd p{server, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      ssize_t n = ::read(server, buf.data(), buf.size());
      if (n <= 0) break;
      if (std::memcmp(buf.data(), copy.data() + at, static_cast<size_t>(n)) != 0) matches = false;
      at += static_cast<size_t>(n);
      received = at;
      if (at % (4u << 20) < static_cast<size_t>(n)) std::this_thread::sleep_for(2ms);
    }
  });
  client_->SendData(std::move(data));
  EXPECT_TRUE(RunEventsUntil([&] { return rec_.completes == 1; }, 20s));
  reader.join();
  EXPECT_EQ(received.load(), kSize);
  EXPECT_TRUE(matches.load());
  ASSERT_GT(rec_.progress.size(), 1u);  // the reader kept it waiting
  uint64_t sum = 0;
  for (const auto& [s, r] : rec_.progress) {
    sum += static_cast<uint64_t>(s);
    EXPECT_EQ(sum + static_cast<uint64_t>(r), kSize);
  }
  EXPECT_EQ(sum, kSize);
  EXPECT_EQ(rec_.progress.back().second, 0);
  ::close(server);
}

}  // namespace
}  // namespace postwing
