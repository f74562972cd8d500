// A large file attachment sent through a real SendMail while it streams: the bytes on the
// wire, the progress events, and a send that ends in the middle of the data (cancel, a
// server that closes or refuses, a file that shrinks) ending exactly once and never
// passing for a delivery.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

namespace {

using namespace std::chrono_literals;
using namespace support;
using Steps = std::vector<Step>;

// The dialogue up to the 354, then the given steps, then QUIT.
Steps Dialogue(Steps data) {
  Steps steps = {Reply("220 stream peer"), Expect("HELO"),  Reply("250 ok"),
                 Expect("MAIL"),           Reply("250 ok"), Expect("RCPT"),
                 Reply("250 ok"),          Expect("DATA"),  Reply("354 go ahead")};
  steps.insert(steps.end(), data.begin(), data.end());
  steps.insert(steps.end(), {Expect("QUIT"), Reply("221 bye"), Close()});
  return steps;
}

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

using Outcome = SendOutcome;

// Sends the file as an attachment; on_progress runs on each SendProgress.
Outcome Send(ScriptedPeer& peer, const std::string& path,
             std::function<void(postwing::SendMail&, int64_t)> on_progress = {},
             postwing::EncodeTypes encoding = postwing::emxBase64) {
  auto mail = NewMail(peer.port(), 10);
  mail->Attachments()->Add(postwing::Variant(path), "", "", encoding);
  return SendAndWait(mail, 60s, std::move(on_progress));
}

// The attachment's content as it was written whole before: its lines, the CR LF of the
// piece, the blank line, then the closing boundary.
std::string ExpectedContent(const std::string& data) {
  postwing::Base64 codec;
  codec.Init();
  int16_t span = 76;
  return "\r\n\r\n" + codec.EncodeLines(data, span) + "\r\n\r\n--";
}

TEST(StreamingSend, ALargeFileArrivesByteForByteThroughASlowStart) {
  // Larger than the socket queue's bound, and the peer reads nothing at first: the data
  // phase must wait for room instead of queueing the whole text.
  const std::string data = RandomBytes(20 * 1024 * 1024 + 1234, 11);
  const TempFile file(data);
  ScriptedPeer peer(Dialogue({Stall(300ms), Data(), Reply("250 queued")}));
  const Outcome o = Send(peer, file.path);
  EXPECT_EQ(o.completes, 1);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(o.Accepted());
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_NE(peer.Messages()[0].find(ExpectedContent(data)), std::string::npos);
  // Every byte written was reported, commands included.
  size_t written = peer.Messages()[0].size() + 3;  // and ".\r\n"
  for (const auto& line : peer.Commands()) written += line.size() + 2;
  EXPECT_EQ(static_cast<size_t>(o.progress_bytes), written);
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

TEST(StreamingSend, APositiveReplyBeforeTheDataIsWrittenIsNotItsAcceptance) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 15);
  const TempFile file(data);
  ScriptedPeer peer(Dialogue({DataPart(1 << 20), Reply("250 early"), Stall(300ms), Data(),
                              Reply("550 refused after all")}));
  const Outcome o = Send(peer, file.path);
  EXPECT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(o.completes, 1);
  EXPECT_FALSE(o.Accepted());
  ASSERT_EQ(o.errors.size(), 1u);
  EXPECT_EQ(o.error(), postwing::emxHostError);
}

TEST(StreamingSend, ACancelInTheMiddleEndsTheSendOnce) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 12);
  const TempFile file(data);
  ScriptedPeer peer(Dialogue({Stall(200ms), Data(), Reply("250 queued")}));
  bool cancelled = false;
  const Outcome o = Send(peer, file.path, [&](postwing::SendMail& mail, int64_t bytes) {
    if (!cancelled && bytes > 6 * 1024 * 1024) {
      cancelled = true;
      mail.Cancel();
    }
  });
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(o.completes, 1);
  EXPECT_FALSE(o.Accepted());
  EXPECT_FALSE(o.Saw(">>Sending\r\n"));
  EXPECT_TRUE(peer.Messages().empty());
}

TEST(StreamingSend, AServerThatClosesOrRefusesInTheMiddleIsNoDelivery) {
  const std::string data = RandomBytes(24 * 1024 * 1024, 13);
  const TempFile file(data);
  for (const std::string say : {"", "552 5.3.4 message too big\r\n"}) {
    SCOPED_TRACE("say: " + say);
    ScriptedPeer peer({Reply("220 stream peer"), Expect("HELO"), Reply("250 ok"), Expect("MAIL"),
                       Reply("250 ok"), Expect("RCPT"), Reply("250 ok"), Expect("DATA"),
                       Reply("354 go ahead"), DataPart(3 << 20), Raw({say}), HangUp()});
    const Outcome o = Send(peer, file.path);
    EXPECT_EQ(o.completes, 1);
    EXPECT_FALSE(o.errors.empty());
    EXPECT_FALSE(o.Accepted());
    EXPECT_FALSE(o.Saw(">>Sending\r\n"));
    EXPECT_TRUE(peer.Messages().empty());
  }
}

// Every kind of file part is read while it is sent; one that shrinks, or that changes so
// that the fields already written no longer fit it, ends the send before the end of data.
TEST(StreamingSend, AFileThatShrinksOrChangesWhileSentFailsWithoutTheEndOfData) {
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
    ScriptedPeer peer(Dialogue({Data(), Reply("250 queued")}));
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
    EXPECT_TRUE(changed);
    EXPECT_EQ(o.completes, 1);
    ASSERT_FALSE(o.errors.empty());
    EXPECT_EQ(o.error(), 62);
    EXPECT_FALSE(o.Accepted());
    EXPECT_FALSE(o.Saw(">>Sending\r\n"));
    EXPECT_TRUE(peer.Messages().empty());
  }
}

}  // namespace
