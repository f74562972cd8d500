// A large file attachment sent through a real SendMail while it streams: the bytes on the
// wire, the progress events, and a send that ends in the middle of the data (cancel, a
// server that closes or refuses, a file that shrinks) ending exactly once and never
// passing for a delivery.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using namespace support;

// The dialogue up to the 354, then the given steps (by default the data accepted), then QUIT.
Steps Dialogue(Steps data = {Data(), Reply("250 queued")}) {
  return Steps{Reply("220 stream peer"), Expect("HELO"),  Reply("250 ok"),
               Expect("MAIL"),           Reply("250 ok"), Expect("RCPT"),
               Reply("250 ok"),          Expect("DATA"),  Reply("354 go ahead")} +
         data + Steps{Expect("QUIT"), Reply("221 bye"), Close()};
}

// Sends the file as an attachment; on_progress runs on each SendProgress.
SendOutcome Send(ScriptedPeer& peer, const std::string& path,
                 std::function<void(postwing::SendMail&, int64_t)> on_progress = {},
                 postwing::EncodeTypes encoding = postwing::emxBase64) {
  auto mail = NewMail(peer.port(), 10);
  mail->Attachments()->Add(postwing::Variant(path), "", "", encoding);
  return SendAndWait(mail, 60s, std::move(on_progress));
}

TEST(StreamingSend, ALargeFileArrivesByteForByteThroughASlowStart) {
  // Larger than the socket queue's bound, and the peer reads nothing at first: the data
  // phase must wait for room instead of queueing the whole text.
  const std::string data = RandomBytes(20 * 1024 * 1024 + 1234, 11);
  TempDir dir;
  const std::string path = dir.File("attached.bin", data);
  ScriptedPeer peer(Dialogue({Stall(300ms), Data(), Reply("250 queued")}));
  const SendOutcome o = Send(peer, path);
  EXPECT_EQ(o.completes, 1);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(o.Accepted());
  ASSERT_EQ(peer.Messages().size(), 1u);
  // The attachment's content as it was written whole before: its lines, the CR LF of the
  // piece, the blank line, then the closing boundary.
  postwing::Base64 codec;
  codec.Init();
  int16_t span = 76;
  const std::string content = "\r\n\r\n" + codec.EncodeLines(data, span) + "\r\n\r\n--";
  EXPECT_NE(peer.Messages()[0].find(content), std::string::npos);
  // Every byte written was reported, commands included.
  size_t written = peer.Messages()[0].size() + 3;  // and ".\r\n"
  for (const auto& line : peer.Commands()) written += line.size() + 2;
  EXPECT_EQ(static_cast<size_t>(o.progress_bytes), written);
  // The status lines of the part, once each and in order.
  std::vector<std::string> part;
  for (const auto& s : o.status) {
    if (s.find(path) != std::string::npos) part.push_back(s);
  }
  const std::vector<std::string> expected = {
      "Loading " + path + "\r\n", "Base64 Encoding " + path + "\r\n", ">>Adding " + path + "\r\n"};
  EXPECT_EQ(part, expected);
}

// A send that ends in the middle of the data (a cancel, a server that closes or refuses, a
// file that shrinks or changes so that the fields already written no longer fit it) ends once,
// before the end of data, and never passes for a delivery; nor does a positive reply that
// comes before the data is written.
TEST(StreamingSend, ASendThatEndsInTheMiddleOfTheDataIsNoDelivery) {
  std::string text;  // every kind of file part is read while it is sent
  while (text.size() < 24 * 1024 * 1024) text += "a line of safe text, read twice\r\n";
  using Change = std::function<void(postwing::SendMail&, const std::string&)>;
  const Change cancel = [](postwing::SendMail& mail, const std::string&) { mail.Cancel(); };
  const Change shrink = [](postwing::SendMail&, const std::string& path) {
    std::filesystem::resize_file(path, 4 * 1024 * 1024);
  };
  const Change nul = [](postwing::SendMail&, const std::string& path) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(20 * 1024 * 1024);
    f.write("\0", 1);
  };
  // The end of the data leaves the queue while the early reply waits unread.
  const Change drain = [](postwing::SendMail& mail, const std::string&) {
    mail.OnSendStatus([&mail](std::string& text) {
      if (text == ">>Sending\r\n")
        postwing::RunEventsUntil([&] { return mail.Winsock()->BytesUnsent() <= 1; }, 10s);
    });
  };
  const struct {
    const char* name;
    Steps steps;
    Change change;  // after the first MiB
    postwing::EncodeTypes encoding;
    int32_t error;  // -1: any
    bool data_ends = false;
  } cases[] = {
      {"a cancel", Dialogue({Stall(200ms), Data(), Reply("250 queued")}), cancel,
       postwing::emxBase64, 0},
      {"the server closes", Dialogue({DataPart(3 << 20), HangUp()}), nullptr, postwing::emxBase64,
       -1},
      {"the server refuses and closes",
       Dialogue({DataPart(3 << 20), Raw({"552 5.3.4 message too big\r\n"}), HangUp()}), nullptr,
       postwing::emxBase64, -1},
      {"Base64 shrinks", Dialogue(), shrink, postwing::emxBase64, 62},
      {"as it is shrinks", Dialogue(), shrink, postwing::emx7Bit, 62},
      {"quoted-printable shrinks", Dialogue(), shrink, postwing::emxQuotedPrintable, 62},
      {"as it is, gains a NUL", Dialogue(), nul, postwing::emx7Bit, 62},
      {"a 250 before the data is written",
       Dialogue({DataPart(1 << 20), Reply("250 early"), Data(), Reply("550 refused after all")}),
       drain, postwing::emxBase64, postwing::emxHostError, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("attached.bin", text);
    ScriptedPeer peer(c.steps);
    bool changed = false;
    const SendOutcome o = Send(
        peer, path,
        [&](postwing::SendMail& mail, int64_t bytes) {
          if (c.change && !changed && bytes > 1024 * 1024) {
            changed = true;
            c.change(mail, path);
          }
        },
        c.encoding);
    EXPECT_EQ(changed, c.change != nullptr);
    EXPECT_EQ(o.completes, 1);
    ASSERT_EQ(o.errors.size(), c.error ? 1u : 0u) << o.Transcript();
    if (c.error > 0) {
      EXPECT_EQ(o.error(), c.error);
    }
    EXPECT_FALSE(o.Accepted());
    EXPECT_EQ(o.Saw(">>Sending\r\n"), c.data_ends);
    EXPECT_EQ(peer.Messages().size(), c.data_ends ? 1u : 0u);
  }
}

}  // namespace
