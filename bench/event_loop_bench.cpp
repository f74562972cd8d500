// What a pass of the thread's event loop costs when nothing is ready: the codecs call
// DoEvents every few hundred bytes, so this is paid millions of times per large message.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "codecs/base64.hpp"

#include "postwing/event_loop.hpp"

#include "null_loop.hpp"

namespace {

using postwing::EventLoop;

// A fresh poll loop for the benchmark's thread, with `watches` idle socket watches.
class IdleLoop {
 public:
  explicit IdleLoop(int watches) {
    loop_ = postwing::MakePollEventLoop();
    postwing::SetThreadEventLoop(loop_);
    for (int i = 0; i < watches; ++i) {
      int fd[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd) != 0) continue;
      fds_.push_back(fd[0]);
      fds_.push_back(fd[1]);
      loop_->Watch(fd[0], EventLoop::kReadable, [](unsigned) {});
    }
  }
  ~IdleLoop() {
    postwing::SetThreadEventLoop(nullptr);
    loop_.reset();
    for (int fd : fds_) ::close(fd);
  }
  EventLoop& loop() { return *loop_; }

 private:
  std::shared_ptr<EventLoop> loop_;
  std::vector<int> fds_;
};

void BM_DoEventsNothingWatched(benchmark::State& state) {
  IdleLoop idle(0);
  for (auto _ : state) postwing::DoEvents();
}
BENCHMARK(BM_DoEventsNothingWatched);

void BM_DoEventsPendingTimer(benchmark::State& state) {
  IdleLoop idle(0);
  idle.loop().AddTimer(std::chrono::hours(1), [] {});
  for (auto _ : state) postwing::DoEvents();
}
BENCHMARK(BM_DoEventsPendingTimer);

void BM_DoEventsIdleWatches(benchmark::State& state) {
  IdleLoop idle(static_cast<int>(state.range(0)));
  for (auto _ : state) postwing::DoEvents();
}
BENCHMARK(BM_DoEventsIdleWatches)->Arg(1)->Arg(4)->Arg(16);

// The cost of one posted task travelling through the loop on the same thread.
void BM_PostAndRun(benchmark::State& state) {
  IdleLoop idle(0);
  int runs = 0;
  for (auto _ : state) {
    idle.loop().Post([&runs] { ++runs; });
    postwing::DoEvents();
  }
  benchmark::DoNotOptimize(runs);
}
BENCHMARK(BM_PostAndRun);

// Encoding 1 MiB with the yields active while a socket is watched, as a send does (arg 1),
// against the same encoding whose yields do nothing (arg 0). The codec yields every 101
// groups (303 bytes); the difference is what the yields cost.
void BM_EncodeWhileSocketWatched(benchmark::State& state) {
  const bool yields = state.range(0) != 0;
  std::unique_ptr<IdleLoop> idle;
  if (yields) {
    idle = std::make_unique<IdleLoop>(1);
  } else {
    postwing::SetThreadEventLoop(std::make_shared<NullLoop>());
  }
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    int16_t span = 76;
    std::string text = codec.EncodeLines(data, span);
    benchmark::DoNotOptimize(text.data());
  }
  if (!yields) postwing::SetThreadEventLoop(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
  state.SetLabel(yields ? "yields, socket watched" : "yields doing nothing");
}
BENCHMARK(BM_EncodeWhileSocketWatched)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// For scale: a bare poll(2) with a zero time-out on one descriptor.
void BM_BarePollOneFd(benchmark::State& state) {
  int fd[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  for (auto _ : state) {
    pollfd p{fd[0], POLLIN, 0};
    benchmark::DoNotOptimize(::poll(&p, 1, 0));
  }
  ::close(fd[0]);
  ::close(fd[1]);
}
BENCHMARK(BM_BarePollOneFd);

}  // namespace

BENCHMARK_MAIN();
