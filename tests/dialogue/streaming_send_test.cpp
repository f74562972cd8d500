// A large file attachment sent through a real SendMail while it streams: the bytes on the
// wire, the progress events, and a send that ends in the middle of the data (cancel, a
// server that closes or refuses, a file that shrinks) ending exactly once and never
// passing for a delivery.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codecs/base64.hpp"
#include "postwing/postwing.hpp"
#include "support/loopback.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace std::chrono_literals;

// What the SMTP peer does once the data has begun.
struct Behaviour {
  std::chrono::milliseconds pause_before_data{0};  // reads nothing for a while first
  size_t stop_after = 0;                           // 0: read the whole message
  std::string say_at_stop;                         // written when it stops, before closing
  size_t say_early_after = 0;                      // 0: nothing said during the data
  std::string final_reply = "250 queued\r\n";
};

// A minimal SMTP peer on 127.0.0.1 for one connection, bounded in time.
class StreamPeer {
 public:
  explicit StreamPeer(Behaviour b) : behaviour_(std::move(b)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~StreamPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return listener_.port(); }
  // Joins; then the message data (without the end-of-data line) and every byte received.
  void Finish() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& data() const { return data_; }
  size_t received() const { return received_; }
  bool got_end_of_data() const { return got_end_; }

 private:
  bool ReadMore(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char chunk[1 << 16];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      received_ += static_cast<size_t>(n);
      buffer.append(chunk, static_cast<size_t>(n));
      return true;
    }
    return false;
  }
  void Say(int fd, const std::string& text) {
    (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  void Run() {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int fd = -1;
    while (fd < 0 && !stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p{listener_.fd(), POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) return;
    Say(fd, "220 stream peer\r\n");
    std::string buffer;
    bool in_data = false;
    for (;;) {
      if (!in_data) {
        const size_t end = buffer.find("\r\n");
        if (end == std::string::npos) {
          if (!ReadMore(fd, buffer, deadline)) break;
          continue;
        }
        const std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        if (line == "DATA") {
          Say(fd, "354 go ahead\r\n");
          in_data = true;
          std::this_thread::sleep_for(behaviour_.pause_before_data);
          data_start_ = received_ - buffer.size();
        } else if (line == "QUIT") {
          Say(fd, "221 bye\r\n");
          break;
        } else {
          Say(fd, "250 ok\r\n");
        }
        continue;
      }
      if (behaviour_.say_early_after != 0 && !said_early_ &&
          received_ - data_start_ >= behaviour_.say_early_after) {
        said_early_ = true;
        Say(fd, "250 early\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      if (behaviour_.stop_after != 0 && received_ - data_start_ >= behaviour_.stop_after) {
        if (!behaviour_.say_at_stop.empty()) Say(fd, behaviour_.say_at_stop);
        break;
      }
      const size_t end = buffer.find("\r\n.\r\n");
      if (end != std::string::npos) {
        data_ = buffer.substr(0, end + 2);
        buffer.erase(0, end + 5);
        got_end_ = true;
        in_data = false;
        Say(fd, behaviour_.final_reply);
        continue;
      }
      if (!ReadMore(fd, buffer, deadline)) break;
    }
    ::close(fd);
  }

  Behaviour behaviour_;
  support::LoopbackSocket listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::string data_;
  size_t received_ = 0;
  size_t data_start_ = 0;
  bool got_end_ = false;
  bool said_early_ = false;
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& data) {
    path = (std::filesystem::temp_directory_path() /
            ("pw-stream-send-" + std::to_string(::getpid()) + ".bin"))
               .string();
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  ~TempFile() { std::remove(path.c_str()); }
};

using Outcome = support::SendOutcome;

class StreamingSend : public ::testing::Test {
 protected:
  // Sends the file as a Base64 attachment; on_progress runs on each SendProgress.
  Outcome Send(StreamPeer& peer, const std::string& path,
               std::function<void(postwing::SendMail&, int64_t)> on_progress = {},
               postwing::EncodeTypes encoding = postwing::emxBase64) {
    auto mail = postwing::SendMail::Create();
    mail->SetSMTPServer("127.0.0.1");
    mail->SetSMTPServerPort(peer.port());
    mail->SetTimeOut(10);
    mail->Header()->SetFrom("from@example.org");
    mail->Header()->SetToList("to@example.org");
    mail->Body()->SetText("streaming body");
    mail->Attachments()->Add(postwing::Variant(path), "", "", encoding);
    auto o = std::make_shared<Outcome>();
    postwing::SendMail* raw = mail.get();
    auto c1 = mail->OnSendStatus([o](std::string& s) { o->status.push_back(s); });
    auto c2 = mail->OnSendComplete([o] { ++o->completes; });
    auto c3 = mail->OnWinsockError([o](int32_t& n, std::string&, std::string&, std::string&,
                                       int32_t&) { o->errors.push_back({n, "", ""}); });
    auto c4 = mail->OnSendProgress([o, raw, on_progress](int32_t& sent, int32_t&) {
      o->progress_bytes += sent;
      if (on_progress) on_progress(*raw, o->progress_bytes);
    });
    try {
      mail->Send();
    } catch (const postwing::Exception&) {
    }
    postwing::RunEventsUntil([o] { return o->completes > 0; }, 60s);
    // A moment more, so that a second SendComplete would show.
    postwing::RunEventsUntil([] { return false; }, 100ms);
    c1.Disconnect();
    c2.Disconnect();
    c3.Disconnect();
    c4.Disconnect();
    return *o;
  }
};

// The attachment's content as it was written whole before: its lines, the CR LF of the
// piece, the blank line, then the closing boundary.
std::string ExpectedContent(const std::string& data) {
  postwing::Base64 codec;
  codec.Init();
  int16_t span = 76;
  return "\r\n\r\n" + codec.EncodeLines(data, span) + "\r\n\r\n--";
}

TEST_F(StreamingSend, ALargeFileArrivesByteForByteThroughASlowStart) {
  // Larger than the socket queue's bound, and the peer reads nothing at first: the data
  // phase must wait for room instead of queueing the whole text.
  const std::string data = RandomBytes(20 * 1024 * 1024 + 1234, 11);
  const TempFile file(data);
  StreamPeer peer(Behaviour{.pause_before_data = 300ms, .stop_after = 0, .say_at_stop = {}});
  const Outcome o = Send(peer, file.path);
  peer.Finish();
  EXPECT_EQ(o.completes, 1);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(o.Accepted());
  ASSERT_TRUE(peer.got_end_of_data());
  EXPECT_NE(peer.data().find(ExpectedContent(data)), std::string::npos);
  // Every byte written was reported, commands included.
  EXPECT_EQ(static_cast<size_t>(o.progress_bytes), peer.received());
  // The status lines of the part, once each and in order.
  std::vector<std::string> part;
  for (const auto& s : o.status) {
    if (s.find(file.path) != std::string::npos) part.push_back(s);
  }
  const std::vector<std::string> expected = {"Loading " + file.path + "\r\n",
                                             "Base64 Encoding " + file.path + "\r\n",
                                             ">>Adding " + file.path + "\r\n"};
  EXPECT_EQ(part, expected);
}

TEST_F(StreamingSend, APositiveReplyBeforeTheDataIsWrittenIsNotItsAcceptance) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 15);
  const TempFile file(data);
  Behaviour b;
  b.say_early_after = 1024 * 1024;
  b.final_reply = "550 refused after all\r\n";
  StreamPeer peer(b);
  const Outcome o = Send(peer, file.path);
  peer.Finish();
  EXPECT_TRUE(peer.got_end_of_data());
  EXPECT_EQ(o.completes, 1);
  EXPECT_FALSE(o.Accepted());
  ASSERT_EQ(o.errors.size(), 1u);
  EXPECT_EQ(o.error(), postwing::emxHostError);
}

TEST_F(StreamingSend, ACancelInTheMiddleEndsTheSendOnce) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 12);
  const TempFile file(data);
  StreamPeer peer(Behaviour{.pause_before_data = 200ms, .stop_after = 0, .say_at_stop = {}});
  bool cancelled = false;
  const Outcome o = Send(peer, file.path, [&](postwing::SendMail& mail, int64_t bytes) {
    if (!cancelled && bytes > 6 * 1024 * 1024) {
      cancelled = true;
      mail.Cancel();
    }
  });
  peer.Finish();
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(o.completes, 1);
  EXPECT_FALSE(o.Accepted());
  EXPECT_FALSE(o.Saw(">>Sending\r\n"));
  EXPECT_FALSE(peer.got_end_of_data());
}

TEST_F(StreamingSend, AServerThatClosesOrRefusesInTheMiddleIsNoDelivery) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 13);
  const TempFile file(data);
  for (const std::string say : {"", "552 5.3.4 message too big\r\n"}) {
    SCOPED_TRACE("say: " + say);
    StreamPeer peer(
        Behaviour{.pause_before_data = 0ms, .stop_after = 3 * 1024 * 1024, .say_at_stop = say});
    const Outcome o = Send(peer, file.path);
    peer.Finish();
    EXPECT_EQ(o.completes, 1);
    EXPECT_FALSE(o.errors.empty());
    EXPECT_FALSE(o.Accepted());
    EXPECT_FALSE(o.Saw(">>Sending\r\n"));
    EXPECT_FALSE(peer.got_end_of_data());
  }
}

// Every kind of file part is read while it is sent; one that shrinks, or that changes so
// that the fields already written no longer fit it, ends the send before the end of data.
TEST_F(StreamingSend, AFileThatShrinksOrChangesWhileSentFailsWithoutTheEndOfData) {
  std::string text;
  while (text.size() < 24 * 1024 * 1024) text += "a line of safe text, read twice\r\n";
  const struct {
    const char* name;
    postwing::EncodeTypes encoding;
    bool shrink;
  } cases[] = {{"Base64", postwing::emxBase64, true},
               {"as it is", postwing::emx7Bit, true},
               {"quoted-printable", postwing::emxQuotedPrintable, true},
               {"as it is, gains a NUL", postwing::emx7Bit, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempFile file(text);
    StreamPeer peer(Behaviour{});
    bool changed = false;
    const auto change = [&](postwing::SendMail&, int64_t bytes) {
      if (changed || bytes <= 1024 * 1024) return;
      changed = true;
      if (c.shrink) {
        std::filesystem::resize_file(file.path, 4 * 1024 * 1024);
      } else {
        std::fstream f(file.path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(20 * 1024 * 1024);
        f.write("\0", 1);
      }
    };
    const Outcome o = Send(peer, file.path, change, c.encoding);
    peer.Finish();
    EXPECT_TRUE(changed);
    EXPECT_EQ(o.completes, 1);
    ASSERT_FALSE(o.errors.empty());
    EXPECT_EQ(o.error(), 62);
    EXPECT_FALSE(o.Accepted());
    EXPECT_FALSE(o.Saw(">>Sending\r\n"));
    EXPECT_FALSE(peer.got_end_of_data());
  }
}

}  // namespace
