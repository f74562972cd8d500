// The dialogue against a raw-socket peer that splits, joins, delays and withholds replies.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"

namespace {

using namespace postwing;
using e2e::Outcome;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string Send(const std::string& text) {
  return "{\"send\": " + Json(text) + "}";
}
std::string Chunks(const std::vector<std::string>& chunks, double gap = 0.2) {
  std::string list;
  for (const auto& c : chunks) list += (list.empty() ? "" : ", ") + Json(c);
  return "{\"send\": [" + list + "], \"gap\": " + std::to_string(gap) + "}";
}
std::string Expect(const std::string& prefix) {
  return "{\"expect\": " + Json(prefix) + "}";
}
std::string Sleep(double seconds) {
  return "{\"sleep\": " + std::to_string(seconds) + "}";
}
const std::string kData = "{\"data\": true}";
const std::string kClose = "{\"close\": true}";

// The usual end of a dialogue after the recipients: DATA, the data, acceptance, QUIT.
std::vector<std::string> Tail() {
  return {Expect("DATA"), Send("354 go ahead\r\n"), kData, Send("250 accepted\r\n"),
          Expect("QUIT"), Send("221 bye\r\n"),      kClose};
}

class Scripted : public ::testing::Test {
 protected:
  // The reply waits' floors in seconds rather than minutes, so a stall ends quickly.
  Scripted() { session::WaitFloors() = {2500ms, 1500ms, 4000ms}; }
  ~Scripted() override { session::WaitFloors() = {}; }

  void Start(std::vector<std::string> steps) {
    std::string script = "[";
    for (size_t i = 0; i < steps.size(); ++i) script += (i ? ",\n" : "\n") + steps[i];
    script += "]";
    e2e::WriteFile(dir_ / "script.json", script);
    server_ = std::make_unique<e2e::PythonServer>(std::vector<std::string>{
        e2e::ServersDir() + "scripted_server.py", "--script", (dir_ / "script.json").string(),
        "--log", (dir_ / "log.txt").string(), "--lifetime", "60"});
    mail_ = SendMail::Create();
    mail_->SetSMTPServer("127.0.0.1");
    mail_->SetSMTPServerPort(server_->port());
    mail_->SetTimeOut(5);
    mail_->Header()->SetFrom("from@example.org");
    mail_->Header()->SetToList("to@example.org");
    mail_->Body()->SetText("scripted body");
  }
  std::vector<std::string> Log() {
    // The server notes the end of the connection last; give it a moment.
    for (int i = 0; i < 100; ++i) {
      auto log = e2e::ScriptLog(dir_ / "log.txt");
      if (!log.empty() && log.back() == "CLOSED") return log;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return e2e::ScriptLog(dir_ / "log.txt");
  }
  static int Count(const std::vector<std::string>& log, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

  e2e::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
  std::shared_ptr<SendMail> mail_;
};

TEST_F(Scripted, SplitMultiLineReplyIsOneReply) {
  std::vector<std::string> steps = {
      Chunks({"220-scripted", " ESMTP\r\n220 ", "ready\r\n"}),
      Expect("EHLO"),
      Chunks({"250-scripted\r\n250-AUTH LOGIN\r\n250-SI", "ZE 1000\r", "\n250 HELP\r\n"}),
      Expect("AUTH LOGIN"),
      Send("334 VXNlcm5hbWU6\r\n"),
      Expect(""),
      Send("334 UGFzc3dvcmQ6\r\n"),
      Expect(""),
      Send("235 welcome\r\n"),
      Expect("MAIL"),
      Send("250 ok\r\n"),
      Expect("RCPT"),
      Send("250 ok\r\n")};
  for (auto& s : Tail()) steps.push_back(s);
  Start(steps);
  mail_->SetUser("joe");
  mail_->SetPassword("pw");
  Outcome o = e2e::SendAndWait(mail_);
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty()) << (o.errors.empty() ? "" : o.errors[0].description);
  auto log = Log();
  EXPECT_EQ(Count(log, "AUTH LOGIN"), 1);
  EXPECT_EQ(Count(log, "DATA:"), 1);
  // The status shows each reply whole, as received.
  EXPECT_TRUE(o.Saw("<<220-scripted ESMTP\r\n220 ready\r\n"));
  EXPECT_TRUE(o.Saw("<<250-scripted\r\n250-AUTH LOGIN\r\n250-SIZE 1000\r\n250 HELP\r\n"));
  EXPECT_TRUE(o.Saw("<<250 accepted\r\n"));
}

TEST_F(Scripted, JoinedRepliesAreEachProcessedInOrder) {
  std::vector<std::string> steps = {
      Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n250 sender ok\r\n"),
      Expect("MAIL"),        Expect("RCPT"), Send("250 recipient ok\r\n")};
  for (auto& s : Tail()) steps.push_back(s);
  Start(steps);
  Outcome o = e2e::SendAndWait(mail_);
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(o.Saw("<<250 hello\r\n"));
  EXPECT_TRUE(o.Saw("<<250 sender ok\r\n"));
  EXPECT_EQ(Count(Log(), "DATA:"), 1);
}

TEST_F(Scripted, TheReplyToTheDataMayTakeLongerThanTimeOut) {
  Start({Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
         Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"), Expect("DATA"),
         Send("354 go ahead\r\n"), kData, Sleep(2.5), Send("250 accepted late\r\n"), Expect("QUIT"),
         Send("221 bye\r\n"), kClose});
  mail_->SetTimeOut(1);
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(15));
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty()) << (o.errors.empty() ? "" : o.errors[0].description);
  EXPECT_TRUE(o.Saw("<<250 accepted late\r\n"));
}

// A reply is awaited at least its floor (here shortened: 2.5 s for the greeting and the
// commands, 1.5 s for the 354), TimeOut when that is longer.
TEST_F(Scripted, RepliesAreAwaitedTheirFloorOrTimeOut) {
  struct Case {
    const char* name;
    const char* slow;  // the command whose reply is late ("" for the greeting)
    double delay;
    int32_t time_out;
    bool real_floors;
    int32_t error;  // 0: delivered
  } cases[] = {
      {"greeting", "", 2, 1, false, 0},
      {"RCPT", "RCPT", 2, 1, false, 0},
      {"354 past its floor", "DATA", 2, 1, false, 10060},
      {"RCPT under a longer TimeOut", "RCPT", 3, 4, false, 0},
      // A greylisting server, with the default TimeOut and the real floors.
      {"RCPT after 20 s", "RCPT", 20, 15, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> steps = {
        Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
        Send("250 ok\r\n"),    Expect("RCPT"), Send("250 ok\r\n")};
    for (auto& s : Tail()) steps.push_back(s);
    auto at = steps.begin();
    if (*c.slow) at = std::find(steps.begin(), steps.end(), Expect(c.slow)) + 1;
    steps.insert(at, Sleep(c.delay));
    fs::remove(dir_ / "log.txt");
    Start(steps);
    mail_->SetTimeOut(c.time_out);
    if (c.real_floors) session::WaitFloors() = {};
    Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(40));
    session::WaitFloors() = {2500ms, 1500ms, 4000ms};
    EXPECT_EQ(o.complete_count, 1);
    EXPECT_EQ(o.errors.empty() ? 0 : o.errors[0].number, c.error) << o.Transcript();
    EXPECT_EQ(Count(Log(), "DATA:"), c.error == 0 ? 1 : 0);
  }
}

// Each failure ends the send once, with its own number and text, and stops the dialogue.
TEST_F(Scripted, FailuresEndTheSendWithTheirNumberAndText) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    int32_t number;
    std::string description;  // empty: not checked
    const char* method;       // of the last record
    const char* never;        // a command the server must not see
  } cases[] = {
      {"silent after MAIL",
       {Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"), Sleep(30)},
       10060,
       "",
       "SendMail.Timeout",
       "RCPT"},
      {"endless reply",
       {Send("220 ready\r\n"), Expect("HELO"), Send("250-" + std::string(1 << 20, 'x')), Sleep(10)},
       emxReplyTooLong,
       "The server's reply exceeds 1048576 bytes.",
       "SendMail.DataArrival",
       "MAIL"},
      {"garbage reply",
       {Send("220 ready\r\n"), Expect("HELO"), Send("hello there\r\n"), Expect("QUIT"),
        Send("221 bye\r\n"), kClose},
       13,
       "",
       "SendMail.Process",
       "MAIL"},
      {"refused greeting",
       {Send("421 too busy\r\n"), Expect("QUIT"), Send("221 bye\r\n"), kClose},
       12003,
       "421 too busy",
       "SendMail.Process",
       "HELO"},
      {"refused data",
       {Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
        Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"), Expect("DATA"),
        Send("554 no data for you\r\n"), Expect("QUIT"), Send("221 bye\r\n"), kClose},
       12003,
       "554 no data for you",
       "SendMail.Process",
       "DATA:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "log.txt");
    Start(c.steps);
    mail_->SetTimeOut(1);
    Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
    EXPECT_EQ(o.complete_count, 1);
    ASSERT_EQ(o.errors.size(), 1u) << o.Transcript();
    EXPECT_EQ(o.errors[0].number, c.number);
    if (!c.description.empty()) {
      EXPECT_EQ(o.errors[0].description, c.description);
    }
    EXPECT_LT(o.took, std::chrono::seconds(6));
    auto errors = mail_->Errors();
    ASSERT_GE(errors->Count(), 1);
    EXPECT_EQ(errors->Item(errors->Count())->Number(), c.number);
    EXPECT_EQ(errors->Item(errors->Count())->Method(), c.method);
    EXPECT_EQ(Count(Log(), c.never), 0);
  }
}

TEST_F(Scripted, StrayStartOfDataNeverSendsTheMessageTwice) {
  Start({Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
         Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"), Expect("DATA"),
         Send("354 go ahead\r\n"), kData, Send("250 accepted\r\n354 again\r\n"), Expect("QUIT"),
         Sleep(0.5), Send("221 bye\r\n"), kClose});
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty());
  auto log = Log();
  EXPECT_EQ(Count(log, "DATA:"), 1);
  EXPECT_EQ(Count(log, "."), 0);
}

TEST_F(Scripted, ServerThatNeverClosesAfterQuitIsClosedQuietly) {
  Start({Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
         Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"), Expect("DATA"),
         Send("354 go ahead\r\n"), kData, Send("250 accepted\r\n"), Expect("QUIT"), Sleep(30)});
  mail_->SetTimeOut(1);
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_LT(o.took, std::chrono::seconds(6));
}

TEST_F(Scripted, EmptyPasswordIsAnEmptyLine) {
  std::vector<std::string> steps = {Send("220 ready\r\n"),
                                    Expect("EHLO"),
                                    Send("250 hello\r\n"),
                                    Expect("AUTH LOGIN"),
                                    Send("334 VXNlcm5hbWU6\r\n"),
                                    Expect("am9l"),
                                    Send("334 UGFzc3dvcmQ6\r\n"),
                                    Expect("\r\n"),
                                    Send("235 welcome\r\n"),
                                    Expect("MAIL"),
                                    Send("250 ok\r\n"),
                                    Expect("RCPT"),
                                    Send("250 ok\r\n")};
  for (auto& s : Tail()) steps.push_back(s);
  Start(steps);
  mail_->SetUser("joe");
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(o.Saw(">>\r\n"));
  EXPECT_EQ(Count(Log(), "DATA:"), 1);
}

TEST_F(Scripted, TheEnvelopeCarriesEachAddressInBracketsAndSkipsEmptyEntries) {
  std::vector<std::string> steps = {Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"),
                                    Expect("MAIL"), Send("250 ok\r\n")};
  for (int i = 0; i < 4; ++i) {
    steps.push_back(Expect("RCPT"));
    steps.push_back(Send("250 ok\r\n"));
  }
  for (auto& s : Tail()) steps.push_back(s);
  Start(steps);
  mail_->Header()->SetFrom("\"Sender, S\" <s@example.org>");
  mail_->Header()->SetToList("Bob <b@x.org>, c@x.org;;");
  mail_->Header()->SetCcList("\"Doe; J\" <j@x.org>;");
  mail_->Header()->SetBccList(";d@x.org;");
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
  EXPECT_TRUE(o.completed);
  EXPECT_TRUE(o.errors.empty()) << o.Transcript();
  std::vector<std::string> envelope;
  std::string data;
  for (const auto& line : Log()) {
    if (line.rfind("MAIL", 0) == 0 || line.rfind("RCPT", 0) == 0) envelope.push_back(line);
    if (line.rfind("DATA:", 0) == 0) data = line;
  }
  EXPECT_EQ(envelope,
            (std::vector<std::string>{"MAIL FROM: <s@example.org>\r\n", "RCPT TO: <b@x.org>\r\n",
                                      "RCPT TO: <c@x.org>\r\n", "RCPT TO: <j@x.org>\r\n",
                                      "RCPT TO: <d@x.org>\r\n"}));
  // The header lines separate the entries with ", "; the blind copy is not among them.
  EXPECT_NE(data.find("\r\nTO: Bob <b@x.org>, c@x.org\r\nCC: \"Doe; J\" <j@x.org>\r\n"),
            std::string::npos)
      << data;
  EXPECT_EQ(data.find("d@x.org"), std::string::npos);
}

TEST_F(Scripted, CancelDuringTheRecipientsWritesNothingMore) {
  Start({Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"),
         Send("250 ok\r\n"), Expect("RCPT"), Send("250 ok\r\n"), Sleep(5)});
  mail_->Header()->SetToList("one@example.org;two@example.org");
  auto c = mail_->OnSendStatus([this](std::string& data) {
    if (data == ">>RCPT TO: <one@example.org>\r\n") mail_->Cancel();
  });
  Outcome o = e2e::SendAndWait(mail_, std::chrono::seconds(10));
  c.Disconnect();
  EXPECT_TRUE(o.completed);
  EXPECT_FALSE(o.Saw(">>RCPT TO: <two@example.org>\r\n"));
  EXPECT_LT(o.took, std::chrono::seconds(6));
}

TEST_F(Scripted, TimeOutZeroWaitsWithoutLimit) {
  Start({Send("220 ready\r\n"), Expect("HELO"), Send("250 hello\r\n"), Expect("MAIL"), Sleep(30)});
  mail_->SetTimeOut(0);
  auto done = std::make_shared<bool>(false);
  auto c = mail_->OnSendComplete([done] { *done = true; });
  mail_->Send();
  RunEventsUntil([done] { return *done; }, std::chrono::milliseconds(2500));
  EXPECT_FALSE(*done);
  EXPECT_EQ(mail_->Errors()->Count(), 0);
  mail_->Cancel();
  EXPECT_TRUE(*done);
  c.Disconnect();
}

}  // namespace
