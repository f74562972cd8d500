// The one SMTP peer of the dialogue, fault, TLS and fuzz tests: a listening socket on
// 127.0.0.1 (a port the system chose) served by a thread, which follows a script of steps
// for each connection and keeps every command line and message it receives. Every wait is
// bounded, and the thread ends with the object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.hpp"

namespace support {

using namespace std::chrono_literals;

struct Step {
  enum Kind { kExpect, kSend, kData, kStall, kClose, kHangUp, kReset, kStartTls };
  Step(Kind k, std::vector<std::string> c = {}, std::chrono::milliseconds g = {}, size_t n = 0)
      : kind(k), chunks(std::move(c)), gap(g), bytes(n) {}
  Kind kind;
  std::vector<std::string> chunks;  // kSend: written with `gap` between them; kExpect: prefix
  std::chrono::milliseconds gap;    // kSend: between chunks; kStall: its length
  size_t bytes;  // kData: stop after this many bytes of data (0: the end); kExpect: 1 for
                 // a line already received with the one before
  bool wrong_name = false;  // kStartTls: the certificate for another name
};

// Reads one command line; the script fails unless it starts with prefix (any case).
inline Step Expect(std::string prefix) {
  return {Step::kExpect, {std::move(prefix)}};
}
// A command line that came in the same write as the one before (RFC 2920 pipelining).
inline Step Pipelined(std::string prefix) {
  return {Step::kExpect, {std::move(prefix)}, {}, 1};
}
// A reply: each line of text ("\n" between lines) goes out with CR LF.
Step Reply(const std::string& text);
// Bytes as they are, in chunks with a pause between them (a reply split over reads).
inline Step Raw(std::vector<std::string> chunks, std::chrono::milliseconds gap = 100ms) {
  return {Step::kSend, std::move(chunks), gap};
}
// The message data up to the end-of-data line, kept.
inline Step Data() {
  return {Step::kData};
}
// Waits until `bytes` of the data have arrived, then goes on with the script.
inline Step DataPart(size_t bytes) {
  return {Step::kData, {}, 0ms, bytes};
}
// Reads nothing for this long; ends early when the client closes.
inline Step Stall(std::chrono::milliseconds length) {
  return {Step::kStall, {}, length};
}
// Stops writing; lines the client still writes are kept until it closes.
inline Step Close() {
  return {Step::kClose};
}
// Closes at once and reads nothing more (what is unread makes it a reset).
inline Step HangUp() {
  return {Step::kHangUp};
}
// Closes with a reset (RST) instead.
inline Step Reset() {
  return {Step::kReset};
}
// The server's side of a TLS handshake (after "220" to STARTTLS, or first for implicit TLS).
inline Step StartTls(bool wrong_name = false) {
  Step s{Step::kStartTls};
  s.wrong_name = wrong_name;
  return s;
}

using Steps = std::vector<Step>;
inline Steps operator+(Steps a, const Steps& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An accepted transaction and the end: MAIL, one RCPT, the data, QUIT, the close.
Steps Transaction();
// A whole good dialogue without a login: greeting, HELO, then the transaction.
Steps GoodDialogue();

// A CA, a certificate it signed for 127.0.0.1 and localhost, and one for another name, made
// once per test process with the openssl command.
struct TestCertificates {
  static const TestCertificates& Get();
  std::filesystem::path ca, cert, key, wrong_cert, wrong_key;
  bool ok = false;
};

class ScriptedPeer {
 public:
  ScriptedPeer() = default;
  // Serves the next `connections` connections, one after the other, with these steps.
  explicit ScriptedPeer(std::vector<Step> steps, int connections = 1) {
    Serve(std::move(steps), connections);
  }
  // Serves one connection with each script, in order.
  explicit ScriptedPeer(std::vector<std::vector<Step>> scripts) { Serve(std::move(scripts)); }
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int port() const { return listener_.port(); }
  void Serve(std::vector<Step> steps, int connections = 1);
  void Serve(std::vector<std::vector<Step>> scripts);
  // Waits for the connections to end (each bounded by `lifetime`); call it after the send
  // has ended, as the accessors do.
  void Join();

  // The accessors wait for the connections to end first.
  // Every line received, without its CR LF.
  std::vector<std::string> Commands() { return Join(), commands_; }
  // The data of each message, without the end line.
  std::vector<std::string> Messages() { return Join(), messages_; }
  int Count(const std::string& prefix);  // commands that start with prefix
  // Every step of every connection ran.
  bool Completed() { return Join(), served_ > 0 && completed_ == served_; }
  // Why the script stopped early ("" if it did not).
  std::string Failure() { return Join(), failure_; }
  int Accepted() const { return accepted_; }
  int Ended() const { return ended_; }  // connections served to their end

  std::chrono::seconds lifetime{20};

 private:
  struct Connection;
  void Run(const std::vector<Step>& steps);
  void Note(std::vector<std::string>& into, std::string text);

  LoopbackSocket listener_{8};
  std::atomic<bool> stop_{false}, finishing_{false};
  std::atomic<int> accepted_{0}, ended_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> commands_, messages_;
  int completed_ = 0, served_ = 0;
  std::string failure_;
};

}  // namespace support
