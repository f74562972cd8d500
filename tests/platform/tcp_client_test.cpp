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
#include "message/message_test_util.hpp"
#include "platform/resolver.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/exception.hpp"

namespace postwing {
namespace {

using namespace std::chrono_literals;

// A listening socket on a loopback address (IPv4 or IPv6) with a port the system chose;
// bound but not listening, connections to it are refused and no one else takes the port.
class Listener {
 public:
  explicit Listener(const char* address, bool listen = true) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    platform::SocketAddress a;
    ok_ = platform::ParseNumericAddress(address, 0, a);
    std::memcpy(&ss, &a.storage, a.length);
    fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok_ = ok_ && ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), a.length) == 0 &&
          (!listen || ::listen(fd_, 16) == 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = platform::AddressPort(reinterpret_cast<sockaddr*>(&ss));
  }
  ~Listener() { ::close(fd_); }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  // The next connection, or -1 after two seconds.
  int Accept() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 2000) == 1 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  int fd_ = -1, port_ = 0;
  bool ok_ = false;
};

void Idle(std::chrono::milliseconds limit) {
  RunEventsUntil([] { return false; }, limit);
}

class TcpClientTest : public ::testing::Test {
 protected:
  TcpClientTest() { SetThreadEventLoop(MakePollEventLoop()); }
  ~TcpClientTest() override {
    platform::SetResolver(nullptr);
    client_.reset();
    SetThreadEventLoop(nullptr);
  }

  // A new client whose events are recorded.
  void NewClient() {
    client_ = detail::Factory::Make<TcpClient>();
    connects_ = closes_ = completes_ = 0;
    errors_.clear();
    order_.clear();
    progress_.clear();
    client_->SetOnConnect([this] { ++connects_, order_.push_back("connect"); });
    client_->SetOnClose([this] { ++closes_, order_.push_back("close"); });
    client_->SetOnError([this](int32_t n, const std::string& d) { errors_.emplace_back(n, d); });
    client_->SetOnDataArrival([this](int32_t total) { order_.push_back(std::to_string(total)); });
    client_->SetOnSendProgress([this](int32_t s, int32_t r) { progress_.emplace_back(s, r); });
    client_->SetOnSendComplete([this] { ++completes_; });
  }
  void Connect(const std::string& host, int port) {
    client_->SetRemoteHost(host);
    client_->SetRemotePort(port);
    client_->Connect();
  }
  // Connects a new client to host and accepts on listener; returns the server side.
  int ConnectTo(Listener& listener, const std::string& host = "127.0.0.1") {
    NewClient();
    Connect(host, listener.port());
    EXPECT_EQ(client_->State(), TcpClient::sckResolvingHost);
    // The kernel completes the handshake before the accept.
    EXPECT_TRUE(RunEventsUntil([&] { return connects_ == 1; }, 2s));
    const int server = listener.Accept();
    EXPECT_GE(server, 0);
    return server;
  }

  std::shared_ptr<TcpClient> client_;
  int connects_ = 0, closes_ = 0, completes_ = 0;
  std::vector<std::pair<int32_t, std::string>> errors_;
  std::vector<std::string> order_;
  std::vector<std::pair<int32_t, int32_t>> progress_;
};

class TcpClientBothFamilies : public TcpClientTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(TcpClientBothFamilies, ConnectsExchangesDataAndHearsThePeerClose) {
  Listener listener(GetParam());
  if (!listener.ok()) GTEST_SKIP() << GetParam() << " not available";
  const int server = ConnectTo(listener, GetParam());
  EXPECT_EQ(client_->State(), TcpClient::sckConnected);
  EXPECT_EQ(client_->RemoteHostIP(), GetParam());
  EXPECT_EQ(client_->LocalIP(), GetParam());
  EXPECT_EQ(client_->RemotePort(), listener.port());
  EXPECT_GT(client_->LocalPort(), 0);
  EXPECT_NE(::fcntl(client_->SocketHandle(), F_GETFD), -1);
  client_->SendData("EHLO there\r\n");
  EXPECT_TRUE(RunEventsUntil([&] { return completes_ == 1; }, 2s));
  char buf[16];
  pollfd p{server, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(::read(server, buf, sizeof buf))),
            "EHLO there\r\n");
  EXPECT_EQ(progress_, (std::vector<std::pair<int32_t, int32_t>>{{12, 0}}));
  ASSERT_EQ(5, ::write(server, "250 o", 5));
  EXPECT_TRUE(RunEventsUntil([&] { return order_.back() == "5"; }, 2s));
  EXPECT_EQ(client_->BytesReceived(), 5);
  std::string got;
  client_->GetData(got);
  EXPECT_EQ(got, "250 o");
  EXPECT_EQ(client_->BytesReceived(), 0);
  // The peer's last data comes before its close, which is reported once, with no spinning.
  ASSERT_EQ(9, ::write(server, "221 bye\r\n", 9));
  ::close(server);
  EXPECT_TRUE(RunEventsUntil([&] { return closes_ == 1; }, 2s));
  EXPECT_EQ(order_, (std::vector<std::string>{"connect", "5", "9", "close"}));
  EXPECT_EQ(client_->State(), TcpClient::sckClosing);
  Idle(50ms);
  EXPECT_EQ(closes_, 1);
  client_->Close();
  EXPECT_EQ(client_->State(), TcpClient::sckClosed);
  EXPECT_EQ(client_->SocketHandle(), -1);
  client_->Close();  // harmless twice
  EXPECT_TRUE(errors_.empty());
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpClientBothFamilies, ::testing::Values("127.0.0.1", "::1"));

// Names are resolved off the loop; each address is tried in order; a resolution the client
// gave up (closed, or destroyed) is dropped; a failed connection reports one error.
TEST_F(TcpClientTest, ResolvesOffTheLoopTriesEachAddressAndReportsOneError) {
  Listener refused("127.0.0.1", /*listen=*/false);
  Listener listener("127.0.0.1");
  std::atomic<bool> off_loop{false}, slow_done{false};
  const auto loop_thread = std::this_thread::get_id();
  platform::SetResolver([&](const std::string& host, uint16_t port) {
    off_loop = std::this_thread::get_id() != loop_thread;
    platform::ResolveResult r;
    if (host == "slow.test") std::this_thread::sleep_for(150ms), slow_done = true;
    if (host == "slow.test" || host == "mail.nowhere.test") {
      r.error = 11001;
      r.description = platform::WinsockErrorText(11001);
      return r;
    }
    // mail.example.test: the first address refuses, the second is the listener.
    std::vector<std::pair<std::string, int>> to = {{host, port}};
    if (host == "mail.example.test")
      to = {{"127.0.0.1", refused.port()}, {"127.0.0.1", listener.port()}};
    for (const auto& [address, p] : to) {
      platform::SocketAddress a;
      platform::ParseNumericAddress(address, static_cast<uint16_t>(p), a);
      r.addresses.push_back(a);
    }
    return r;
  });
  NewClient();
  Connect("slow.test", 25);
  client_->Close();
  Connect("mail.example.test", 25);
  EXPECT_TRUE(RunEventsUntil([&] { return connects_ == 1; }, 2s));
  const int server = listener.Accept();
  EXPECT_EQ(client_->RemoteHost(), "mail.example.test");
  EXPECT_EQ(client_->RemoteHostIP(), "127.0.0.1");
  EXPECT_TRUE(RunEventsUntil([&] { return slow_done.load(); }, 2s));
  Idle(50ms);  // the stale result is posted and dropped
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(client_->State(), TcpClient::sckConnected);
  ::close(server);
  slow_done = false;
  client_->Close();
  Connect("slow.test", 25);
  client_.reset();
  EXPECT_TRUE(RunEventsUntil([&] { return slow_done.load(); }, 2s));
  Idle(50ms);
  EXPECT_TRUE(errors_.empty());
  for (const auto& [host, number] :
       {std::pair{"mail.nowhere.test", 11001}, {"127.0.0.1", 10061}, {"", 11001}}) {
    if (host[0] == '\0') platform::SetResolver(nullptr);  // the default one refuses it too
    NewClient();
    Connect(host, refused.port());
    EXPECT_TRUE(RunEventsUntil([&] { return !errors_.empty(); }, 2s));
    Idle(50ms);
    ASSERT_EQ(errors_.size(), 1u) << host;
    EXPECT_EQ(errors_[0].first, number);
    EXPECT_FALSE(errors_[0].second.empty());
    EXPECT_EQ(client_->State(), TcpClient::sckError);
    EXPECT_EQ(connects_, 0);
    EXPECT_TRUE(off_loop) << "resolving does not block the loop";
    client_->Close();
    EXPECT_EQ(client_->State(), TcpClient::sckClosed);
  }
}

TEST_F(TcpClientTest, MisuseRaisesWinsockErrors) {
  NewClient();
  EXPECT_EQ(testing::Raised([&] { client_->SendData("x"); }).Number(), 40006);
  Connect("127.0.0.1", 1);
  EXPECT_EQ(testing::Raised([&] { client_->Connect(); }).Number(), 40020);
  EXPECT_EQ(testing::Raised([&] { client_->SetRemotePort(70000); }).Number(), 380);
}

}  // namespace
}  // namespace postwing
