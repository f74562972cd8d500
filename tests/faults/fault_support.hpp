// What one send showed its host, driven on the library's loop against a FaultServer.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults/fault_server.hpp"
#include "postwing/postwing.hpp"
#include "support/send_outcome.hpp"

namespace faults {

using Outcome = support::SendOutcome;

class Recorder {
 public:
  explicit Recorder(const std::shared_ptr<postwing::SendMail>& mail)
      : outcome_(std::make_shared<Outcome>()) {
    auto o = outcome_;
    c1_ = mail->OnSendStatus([o](std::string& data) { o->status.push_back(data); });
    c2_ = mail->OnSendComplete([o] { ++o->completes; });
    c3_ = mail->OnWinsockError([o](int32_t& number, std::string&, std::string&, std::string&,
                                   int32_t&) { o->errors.push_back({number, "", ""}); });
  }
  ~Recorder() {
    c1_.Disconnect();
    c2_.Disconnect();
    c3_.Disconnect();
  }
  Outcome& outcome() { return *outcome_; }
  std::shared_ptr<Outcome> shared() { return outcome_; }

 private:
  std::shared_ptr<Outcome> outcome_;
  postwing::Connection c1_, c2_, c3_;
};

// Sends and runs the loop until SendComplete or the limit; then a moment more, so that a
// second SendComplete would show.
inline Outcome SendAndWait(const std::shared_ptr<postwing::SendMail>& mail,
                           std::chrono::milliseconds limit) {
  Recorder recorder(mail);
  auto o = recorder.shared();
  const auto start = std::chrono::steady_clock::now();
  try {
    mail->Send();
  } catch (const postwing::Exception&) {
  }
  postwing::RunEventsUntil([o] { return o->completes > 0; }, limit);
  o->took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start);
  postwing::RunEventsUntil([] { return false; }, std::chrono::milliseconds(30));
  return *o;
}

// A SendMail aimed at a FaultServer of its own.
class FaultTest : public ::testing::Test {
 protected:
  std::shared_ptr<postwing::SendMail> NewMail() {
    auto mail = postwing::SendMail::Create();
    mail->SetSMTPServer("127.0.0.1");
    mail->SetSMTPServerPort(server_.port());
    mail->SetTimeOut(2);
    mail->Header()->SetFrom("from@example.org");
    mail->Header()->SetToList("to@example.org");
    mail->Body()->SetText("fault test body");
    return mail;
  }
  static int Count(const std::vector<std::string>& log, const std::string& prefix) {
    int n = 0;
    for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  FaultServer server_;
};

}  // namespace faults
