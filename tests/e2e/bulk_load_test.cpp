// 2,000 messages from 50 SendMail objects on one thread, each sending its 40 in turn over a
// kept connection, to the private Postfix through misbehaving_relay.py, which closes the
// connection in every 17th DATA, refuses every 13th RCPT and stalls one MAIL past TimeOut.
// Each message must reach each recipient the server took exactly once, or be reported failed
// to its host and not arrive at all; half the objects allow partial delivery. Afterwards the
// descriptors are back to where they started and every socket and child the objects made is
// released with them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"

namespace {

using namespace postwing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kObjects = 50, kEach = 40, kMessages = kObjects * kEach;
const std::string kTo[] = {"to@example.org", "cc@example.org"};

size_t Entries(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) n += !e.is_directory();
  return n;
}

// What the host learnt of one message.
struct Outcome {
  int completes = 0;
  SendResult result;
  std::vector<int32_t> errors;  // WinsockError numbers, or the one Send raised
};

struct Sender {
  std::shared_ptr<SendMail> mail;
  int sent = 0, current = -1;  // current: the message under way
};

TEST(BulkLoad, EveryMessageArrivesOnceOrIsReportedFailed) {
  if (geteuid() != 0) GTEST_SKIP() << "private Postfix instances need root";
  e2e::TempDir dir;
  fs::permissions(dir.path(), fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  e2e::PythonServer pair(
      {e2e::ServersDir() + "postfix_pair.py", "--dir", (dir / "pf").string(), "--lifetime", "150"});
  e2e::PythonServer relay({e2e::ServersDir() + "misbehaving_relay.py", "--to",
                           std::to_string(pair.port("FINAL")), "--close-every", "17",
                           "--refuse-every", "13", "--stall", "100", "--warm",
                           std::to_string(kObjects), "--lifetime", "150"});
  // TimeOut (5 s: a loaded Postfix can keep the first 50 greetings waiting 3 s) bounds the
  // command replies and ends the stalled MAIL; the reply to the data keeps a margin, since a
  // time-out there could hide a delivered message.
  session::WaitFloors() = {0ms, 0ms, 60s};
  ThreadEventLoop();  // the loop's own descriptors belong to the baseline
  const size_t fds_before = Entries("/proc/self/fd");

  std::vector<Outcome> out(kMessages);
  std::vector<Sender> senders(kObjects);
  int connects = 0;                       // connections the objects opened
  std::vector<std::weak_ptr<void>> made;  // every object, socket and child of the run
  for (Sender& s : senders) {
    s.mail = SendMail::Create();
    made.push_back(s.mail);
    s.mail->OnSendComplete([s = &s, &out] {
      EXPECT_GE(s->current, 0) << "a SendComplete with no send under way";
      Outcome& o = out[std::max(s->current, 0)];
      ++o.completes;
      o.result = s->mail->Result();
      s->current = -1;
    });
    s.mail->OnSendStatus(
        [&connects](std::string& line) { connects += line == ">>Connecting\r\n"; });
    s.mail->OnWinsockError([s = &s, &out](int32_t& number, auto&...) {
      if (s->current >= 0) out[s->current].errors.push_back(number);
    });
  }

  auto start_next = [&](Sender& s, int k) {
    const int n = k * kEach + s.sent++;
    s.mail->Clear();
    s.mail->SetSMTPServer("127.0.0.1");
    s.mail->SetSMTPServerPort(relay.port());
    s.mail->SetTimeOut(5);
    s.mail->SetKeepConnection(true);
    s.mail->SetAllowPartialDelivery(k % 2 == 1);
    s.mail->Header()->SetFrom("load@example.org");
    s.mail->Header()->SetToList(kTo[0]);
    s.mail->Header()->SetCcList(kTo[1]);
    s.mail->Header()->SetSubject("load " + std::to_string(n));
    s.mail->Body()->SetText("Message " + std::to_string(n) + " of the load test.\r\n");
    made.insert(made.end(), {s.mail->Winsock(), s.mail->Header(), s.mail->Body()});
    s.current = n;
    try {
      s.mail->Send();
    } catch (const Exception& e) {
      out[n].errors.push_back(e.Number());
      ++out[n].completes;  // the raise ends it
      s.current = -1;
    }
  };
  auto idle = [&](const Sender& s) { return s.current < 0 && s.sent < kEach; };
  const auto send_limit = std::chrono::steady_clock::now() + 100s;
  for (bool busy = true; busy && std::chrono::steady_clock::now() < send_limit;) {
    busy = false;
    for (int k = 0; k < kObjects; ++k) {
      if (idle(senders[k])) start_next(senders[k], k);
      busy |= senders[k].current >= 0 || senders[k].sent < kEach;
    }
    RunEventsUntil([&] { return std::any_of(senders.begin(), senders.end(), idle); }, 100ms);
  }

  // Releasing the objects ends the kept connections with QUIT: the library waits a moment for
  // the server's reply on the thread's loop.
  senders.clear();
  size_t fds_after = 0, alive = 0;
  RunEventsUntil(
      [&] {
        fds_after = Entries("/proc/self/fd");
        alive = std::count_if(made.begin(), made.end(), [](auto& w) { return !w.expired(); });
        return fds_after == fds_before && alive == 0;
      },
      5s);
  session::WaitFloors() = {};

  // Every message the server took is in its queue by now; delivered when the queue is empty.
  const fs::path queue = dir / "pf" / "final" / "queue";
  auto queued = [&] { return Entries(queue / "incoming") + Entries(queue / "active"); };
  for (auto end = std::chrono::steady_clock::now() + 30s;
       queued() + Entries(queue / "deferred") > 0 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(queued(), 0u) << "Postfix did not deliver within 30 s";

  std::map<std::pair<int, std::string>, int> copies;
  const auto delivered = e2e::Delivered(dir / "pf" / "Maildir");
  for (const auto& copy : delivered) {
    const bool ours = copy.subject.rfind("load ", 0) == 0;
    ++copies[{ours ? std::stoi(copy.subject.substr(5)) : -1, copy.recipient}];
  }

  int accepted = 0, partial = 0, duplicate = 0, missing = 0, failed_arrived = 0, unended = 0;
  int untold = 0;      // failed messages the host heard no error of
  size_t matched = 0;  // copies of the test's messages to its recipients
  for (int n = 0; n < kMessages; ++n) {
    const SendResult& r = out[n].result;
    std::set<std::string> refused;  // recipients the server did not take
    for (const auto& rc : r.recipients) {
      if (rc.code >= 400) refused.insert(rc.address);
    }
    unended += out[n].completes != 1;
    EXPECT_EQ(r.partial, r.accepted && !refused.empty()) << "message " << n;
    EXPECT_TRUE(n / kEach % 2 == 1 || !r.partial) << "message " << n << " allows no partial";
    accepted += r.accepted;
    partial += r.partial;
    untold += !r.accepted && out[n].errors.empty();
    for (const auto& to : kTo) {
      const int got = copies[{n, to}];  // (message, recipient) copies delivered
      matched += got;
      missing += r.accepted && !refused.count(to) && got == 0;
      duplicate += got > 1;
      failed_arrived += !r.accepted && got > 0;
    }
  }
  std::printf("%d messages: %d accepted (%d partly), %d failed; %zu copies; %d connections\n",
              kMessages, accepted, partial, kMessages - accepted, matched, connects);
  EXPECT_EQ(duplicate, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(failed_arrived, 0);
  EXPECT_EQ(untold, 0) << "failures the host was not told of";
  EXPECT_EQ(unended, 0) << "sends not ended (SendComplete or a raise) exactly once in time";
  EXPECT_EQ(matched, delivered.size()) << "copies of no message of the test";
  // The relay did misbehave: refusals, closes and the stall failed some messages, and
  // refusals on objects that allow it made partial deliveries.
  EXPECT_GT(kMessages - accepted, kMessages / 17);
  EXPECT_GT(partial, kMessages / 13 / 4);
  EXPECT_LT(connects, kMessages / 4) << "the connections were not kept";
  EXPECT_EQ(fds_after, fds_before);
  EXPECT_EQ(alive, 0u);
}

}  // namespace
