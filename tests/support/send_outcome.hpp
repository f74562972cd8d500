// What one send showed its host (the status lines, SendComplete, the errors, the progress),
// and a send driven on the thread's loop until it ends.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "postwing/postwing.hpp"

namespace support {

struct SendOutcome {
  struct Error {
    int32_t number;
    std::string source, description;
  };
  int completes = 0;
  int32_t raised = 0;  // the number of an exception from Send itself
  std::vector<std::string> status;
  std::vector<Error> errors;
  std::chrono::milliseconds took{0};
  int64_t progress_bytes = 0;

  bool Saw(const std::string& line) const { return std::ranges::count(status, line) > 0; }
  bool SawPrefix(const std::string& prefix) const {
    return std::ranges::any_of(status, [&](const auto& s) { return s.starts_with(prefix); });
  }
  // The first error reported (0: none).
  int32_t error() const { return errors.empty() ? 0 : errors[0].number; }
  // A reply "<<250..." after ">>Sending": the host would take the message as accepted.
  bool Accepted() const {
    bool sent = false;
    for (const auto& s : status) {
      if (s == ">>Sending\r\n") sent = true;
      if (sent && s.rfind("<<250", 0) == 0) return true;
    }
    return false;
  }
  std::string Transcript() const {
    std::string all;
    for (const auto& s : status) all += s;
    for (const auto& e : errors) all += "error " + std::to_string(e.number) + ": " + e.description;
    return all;
  }
};

// Keeps a SendMail's events in an outcome while it lives.
class EventRecorder {
 public:
  explicit EventRecorder(postwing::SendMail& mail,
                         std::function<void(postwing::SendMail&, int64_t)> on_progress = {})
      : o_(std::make_shared<SendOutcome>()) {
    auto o = o_;
    postwing::SendMail* raw = &mail;
    c_[0] = mail.OnSendStatus([o](std::string& data) { o->status.push_back(data); });
    c_[1] = mail.OnSendComplete([o] { ++o->completes; });
    c_[2] = mail.OnWinsockError([o](int32_t& number, std::string& source, std::string& description,
                                    std::string&, int32_t&) {
      o->errors.push_back({number, source, description});
    });
    c_[3] = mail.OnSendProgress([o, raw, on_progress](int32_t& sent, int32_t&) {
      o->progress_bytes += sent;
      if (on_progress) on_progress(*raw, o->progress_bytes);
    });
  }
  ~EventRecorder() {
    for (auto& c : c_) c.Disconnect();
  }
  SendOutcome& outcome() { return *o_; }
  const std::shared_ptr<SendOutcome>& shared() { return o_; }

 private:
  std::shared_ptr<SendOutcome> o_;
  postwing::Connection c_[4];
};

// Sends and runs the loop until SendComplete or the limit; then a moment more, so that a
// second SendComplete would show.
inline SendOutcome SendAndWait(const std::shared_ptr<postwing::SendMail>& mail,
                               std::chrono::milliseconds limit = std::chrono::seconds(30),
                               std::function<void(postwing::SendMail&, int64_t)> on_progress = {}) {
  EventRecorder recorder(*mail, std::move(on_progress));
  auto o = recorder.shared();
  const auto start = std::chrono::steady_clock::now();
  try {
    mail->Send();
  } catch (const postwing::Exception& e) {
    o->raised = e.Number();
  }
  postwing::RunEventsUntil([o] { return o->completes > 0; }, limit);
  o->took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start);
  postwing::RunEventsUntil([] { return false; }, std::chrono::milliseconds(50));
  return *o;
}

// Runs the loop in short passes until done() holds or the limit passes: for what a peer's
// thread changes, which does not wake the loop.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(2)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    postwing::ThreadEventLoop().RunOnce(std::chrono::milliseconds(5));
  }
  return done();
}

// Aims a SendMail at server:port with the fields Send requires.
inline void FillMessage(postwing::SendMail& mail, int port,
                        const std::string& server = "127.0.0.1") {
  mail.SetSMTPServer(server);
  mail.SetSMTPServerPort(port);
  mail.Header()->SetFrom("from@example.org");
  mail.Header()->SetToList("to@example.org");
  mail.Body()->SetText("test body");
}

inline std::shared_ptr<postwing::SendMail> NewMail(int port, int32_t time_out = 5) {
  auto mail = postwing::SendMail::Create();
  FillMessage(*mail, port);
  mail->SetTimeOut(time_out);
  return mail;
}

}  // namespace support
