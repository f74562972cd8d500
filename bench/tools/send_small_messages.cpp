// Sends small messages in a loop from one process, one connection each, and prints the rate:
// the library's side of the small-message comparison in bench/compare_send.sh.
//
//   send_small_messages PORT COUNT
//
// Each message is built on a fresh SendMail (header, a short text body) and sent to
// 127.0.0.1:PORT; the loop waits for the end of each send before starting the next. Prints
// "<count> messages in <seconds> s: <rate> messages/s"; exits 1 if any send failed.
#include <postwing/postwing.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    auto mail = postwing::SendMail::Create();
    mail->SetSMTPServer("127.0.0.1");
    mail->SetSMTPServerPort(port);
    auto header = mail->Header();
    header->SetFrom("Bench <bench@example.org>");
    header->SetToList("sink@example.org");
    header->SetSubject("Small message " + std::to_string(i + 1));
    mail->Body()->SetText(postwing::Variant(
        "Hello,\r\n\r\nthis is a small message of the send benchmark.\r\n\r\nBench\r\n"));
    bool complete = false;
    bool failed = false;
    mail->OnSendComplete([&complete] { complete = true; });
    mail->OnWinsockError(
        [&failed](int32_t& number, std::string&, std::string& text, std::string&, int32_t&) {
          std::fprintf(stderr, "error %d: %s\n", number, text.c_str());
          failed = true;
        });
    try {
      mail->Send();
    } catch (const postwing::Exception& e) {
      std::fprintf(stderr, "Send: %s\n", e.what());
      return 1;
    }
    if (!postwing::RunEventsUntil([&complete] { return complete; }, std::chrono::seconds(30))) {
      std::fprintf(stderr, "message %d did not complete\n", i + 1);
      return 1;
    }
    failures += failed;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d messages in %.3f s: %.1f messages/s\n", count, seconds, count / seconds);
  return failures == 0 ? 0 : 1;
}
