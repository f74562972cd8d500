// Arbitrary server bytes, cut at arbitrary points, through a SendMail's data-arrival path on
// a real loopback connection. Checks: no crash, no hang, SendComplete at most once and
// exactly once by the end, nothing written after an error but QUIT, and the message never
// reported sent unless a reply after the data accepted it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"

namespace {

using namespace postwing;

void Fail(const char* what, const std::vector<std::string>& status) {
  std::fprintf(stderr, "reply_fuzz: %s\n", what);
  for (const auto& s : status) std::fprintf(stderr, "  %s", s.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static support::ScriptedPeer peer;
  // First byte: options (AUTH, VRFY, two recipients) and the number of cuts; then one byte
  // per cut (a position scaled over the rest); the rest is what the server sends.
  if (size < 1) return 0;
  const uint8_t options = data[0];
  size_t cuts = options >> 5;
  if (size < 1 + cuts) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data + 1 + cuts), size - 1 - cuts);
  std::vector<size_t> at;
  for (size_t i = 0; i < cuts; ++i) at.push_back(bytes.size() * data[1 + i] / 256);
  std::sort(at.begin(), at.end());
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t a : at) {
    pieces.push_back(bytes.substr(from, a - from));
    from = a;
  }
  pieces.push_back(bytes.substr(from));

  auto mail = SendMail::Create();
  mail->SetSMTPServer("127.0.0.1");
  mail->SetSMTPServerPort(peer.port());
  mail->SetTimeOut(2);
  mail->Header()->SetFrom("from@example.org");
  mail->Header()->SetToList((options & 4) ? "a@example.org;b@example.org" : "a@example.org");
  if (options & 2) mail->Header()->SetVerify(true);
  if (options & 1) {
    mail->SetUser("joe@example.org");
    mail->SetPassword("secret");
  }
  mail->Body()->SetText("fuzz body");

  std::vector<std::string> status;
  int completes = 0;
  bool error = false;
  bool after_data = false;  // ">>Sending" seen: the end of the data has been written
  auto c1 = mail->OnSendStatus([&](std::string& line) {
    status.push_back(line);
    if (completes > 0) Fail("status after SendComplete", status);
    if (error && line.rfind(">>", 0) == 0 && line != ">>QUIT\r\n") {
      Fail("a write after an error", status);
    }
    if (line == ">>Sending\r\n") after_data = true;
  });
  auto c2 = mail->OnSendComplete([&] {
    if (++completes > 1) Fail("SendComplete twice", status);
  });
  auto c3 = mail->OnWinsockError(
      [&](int32_t&, std::string&, std::string&, std::string&, int32_t&) { error = true; });

  // A short pause between pieces lets the client read each on its own; then the peer closes.
  peer.Serve({support::Raw(std::move(pieces), std::chrono::milliseconds(1)), support::Close()});
  try {
    mail->Send();
  } catch (const Exception&) {
    completes = completes == 0 ? 1 : completes;
  }
  // The peer closes after its last piece, so the send must end well within the time-out.
  if (!RunEventsUntil([&] { return completes > 0; }, std::chrono::seconds(8))) {
    Fail("no SendComplete (hang)", status);
  }
  peer.Join();
  DoEvents();
  if (completes != 1) Fail("SendComplete not exactly once", status);
  if (mail->Result().accepted && !after_data) Fail("accepted without data", status);
  c1.Disconnect();
  c2.Disconnect();
  c3.Disconnect();
  return 0;
}
