// The poll loop's own promises; the sessions on it (session, dialogue, fault suites) reach the
// rest of its code.
#include "postwing/event_loop.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/quick_yield.hpp"

namespace postwing {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }
  ~SocketPair() {
    for (int f : fd) ::close(f);
  }
  void Send() { EXPECT_EQ(1, ::write(fd[1], "x", 1)); }
  void Drain() {
    char buf[16];
    while (::read(fd[0], buf, sizeof buf) > 0) {
    }
  }
};

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool Idle(std::chrono::milliseconds limit) {
  return RunEventsUntil([] { return false; }, limit);
}

// A fresh poll loop installed for the test's thread, removed afterwards.
class EventLoopTest : public ::testing::Test {
 protected:
  EventLoopTest() { SetThreadEventLoop(loop_); }
  ~EventLoopTest() override { SetThreadEventLoop(nullptr); }

  std::shared_ptr<EventLoop> loop_ = MakePollEventLoop();
};

TEST_F(EventLoopTest, TimersFireInDeadlineOrderOnceAndZeroDelayOnesInALaterPass) {
  std::vector<int> order;
  loop_->AddTimer(30ms, [&] { order.push_back(3); });
  loop_->AddTimer(10ms, [&] { order.push_back(1); });
  loop_->AddTimer(20ms, [&] { order.push_back(2); });
  EventLoop::Id cancelled = loop_->AddTimer(15ms, [&] { order.push_back(99); });
  loop_->CancelTimer(cancelled);
  loop_->CancelTimer(cancelled);  // twice, and unknown ids, are harmless
  loop_->CancelTimer(123456);
  loop_->Unwatch(123456);
  EXPECT_TRUE(RunEventsUntil([&] { return order.size() == 3; }, 2s));
  EXPECT_FALSE(Idle(40ms));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop_->AddTimer(0ms, again);
  };
  loop_->AddTimer(0ms, again);
  DoEvents();
  DoEvents();
  EXPECT_EQ(runs, 2);
  // A zero limit makes one pass that does not block.
  EXPECT_TRUE(RunEventsUntil([&] { return runs == 3; }, 0ms));
  EXPECT_FALSE(Idle(-5ms));
  EXPECT_TRUE(
      RunEventsUntil([] { return true; }, std::chrono::milliseconds::max()));  // no overflow
}

// A wait with an idle watch (a silent server's socket) or a paused one sleeps; a nested wait
// inside a watch's callback, its descriptor still readable, neither calls it again nor spins.
TEST_F(EventLoopTest, WaitsSleepAndANestedPassDoesNotReenterARunningWatch) {
  SocketPair sp;
  int outer_calls = 0, timer_runs = 0, paused_calls = 0;
  // Always writable, but paused: a socket with nothing to write.
  const auto paused =
      loop_->Watch(sp.fd[1], EventLoop::kWritable, [&](unsigned) { ++paused_calls; });
  loop_->UpdateWatch(paused, 0);
  double cpu_in_nested = 1;
  loop_->Watch(sp.fd[0], EventLoop::kReadable, [&](unsigned) {
    ++outer_calls;
    loop_->AddTimer(200ms, [&] { ++timer_runs; });
    const double before = CpuSeconds();
    EXPECT_TRUE(RunEventsUntil([&] { return timer_runs == 1; }, 2s));
    cpu_in_nested = CpuSeconds() - before;
    sp.Drain();
  });
  const double before = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Idle(500ms));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(elapsed >= 500ms && elapsed < 1000ms);
  EXPECT_LT(CpuSeconds() - before, 0.05);
  EXPECT_EQ(paused_calls, 0);
  sp.Send();
  EXPECT_TRUE(RunEventsUntil([&] { return outer_calls == 1; }, 2s));
  EXPECT_EQ(outer_calls, 1);
  EXPECT_LT(cpu_in_nested, 0.05);
  // Once the callback returned, the watch is live again.
  sp.Send();
  EXPECT_TRUE(RunEventsUntil([&] { return outer_calls == 2; }, 2s));
}

// A callback may remove the other watches and timers of its pass (they do not run), its own
// watch (its captures live on to its end) and the thread's loop (the pass holds it).
TEST_F(EventLoopTest, CallbackMayRemoveWatchesTimersAndLoopsOfItsOwnPass) {
  SocketPair a, b;
  int calls = 0, timer_calls = 0;
  EventLoop::Id wa = 0, wb = 0, t = 0;
  auto remove_all = [&](SocketPair& p) {
    ++calls;
    p.Drain();
    loop_->Unwatch(wa);
    loop_->Unwatch(wb);
    loop_->CancelTimer(t);
  };
  wa = loop_->Watch(a.fd[0], EventLoop::kReadable, [&](unsigned) { remove_all(a); });
  wb = loop_->Watch(b.fd[0], EventLoop::kReadable, [&](unsigned) { remove_all(b); });
  t = loop_->AddTimer(0ms, [&] { ++timer_calls; });
  a.Send();
  b.Send();
  std::this_thread::sleep_for(5ms);
  DoEvents();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(timer_calls, 0);
  bool ran = false;
  wa = loop_->Watch(a.fd[0], EventLoop::kReadable, [&, payload = std::string(100, 'p')](unsigned) {
    loop_->Unwatch(wa);
    ran = payload.size() == 100;
  });
  a.Send();
  EXPECT_TRUE(RunEventsUntil([&] { return ran; }, 1s));
  loop_->Post([&] {
    SetThreadEventLoop(nullptr);
    loop_.reset();
    ran = false;
  });
  EXPECT_TRUE(RunEventsUntil([&] { return !ran; }, 1s));
}

// Posts run in order, also through a nested pass, and those posted meanwhile in the next
// pass; posts from other threads wake the wait at once.
TEST_F(EventLoopTest, PostsRunInOrderThroughNestedPassesAndFromOtherThreads) {
  std::vector<int> order;
  loop_->Post([&] { order.push_back(1), DoEvents(); });  // runs 2 before it returns
  loop_->Post([&] { order.push_back(2), loop_->Post([&] { order.push_back(3); }); });
  DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  std::atomic<int> count{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([loop = loop_, &count] {
      std::this_thread::sleep_for(50ms);  // the wait below sleeps until woken
      for (int i = 0; i < 1000; ++i) loop->Post([&count] { ++count; });
    });
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(RunEventsUntil([&] { return count.load() == 4000; }, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// The codecs' yield skips only quick passes that would find nothing: what this thread gives
// the loop is seen at the very next yield, however many yields were skipped before it.
TEST_F(EventLoopTest, YieldsSkipOnlyPassesThatWouldFindNothing) {
  SocketPair pair;
  loop_->Watch(pair.fd[0], EventLoop::kReadable, [](unsigned) {});  // a send's socket
  int posted = 0, timed = 0;
  int granted = 0;  // the skipping is really at work
  for (int i = 0; i < 100000; ++i) {
    platform::Yield();
    granted = std::max(granted, platform::quick_pass_credit);
  }
  EXPECT_GT(granted, 0);
  loop_->Post([&] { ++posted; });
  platform::Yield();
  EXPECT_EQ(1, posted);
  for (int i = 0; i < 100000; ++i) platform::Yield();
  loop_->AddTimer(0ms, [&] { ++timed; });
  platform::Yield();
  EXPECT_EQ(1, timed);
}

}  // namespace
}  // namespace postwing
