// The library's own event loop on poll, and the per-thread loop storage.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/quick_yield.hpp"
#include "postwing/event_loop.hpp"

namespace postwing {

namespace platform {
thread_local constinit int quick_pass_credit = 0;
}  // namespace platform

namespace {

using Clock = std::chrono::steady_clock;
using platform::quick_pass_credit;

// ThreadLoops' current, as a plain pointer DoEvents reads without the guard of a thread_local
// that has a destructor: DoEvents runs every few hundred bytes inside the codecs.
// initial-exec: a fixed offset from the thread pointer, no call to find the variable.
__attribute__((tls_model("initial-exec"))) thread_local constinit EventLoop* current_loop = nullptr;

class PollEventLoop final : public EventLoop, public std::enable_shared_from_this<PollEventLoop> {
 public:
  PollEventLoop() { wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~PollEventLoop() override {
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }
  PollEventLoop(const PollEventLoop&) = delete;
  PollEventLoop& operator=(const PollEventLoop&) = delete;

  Id Watch(int fd, unsigned events, std::function<void(unsigned)> callback) override {
    auto w = std::make_shared<WatchEntry>();
    w->fd = fd;
    w->events = events & (kReadable | kWritable);
    w->callback = std::move(callback);
    Id id = ++last_id_;
    watches_.emplace(id, std::move(w));
    poll_set_dirty_ = true;
    quick_pass_credit = 0;
    return id;
  }

  void UpdateWatch(Id watch, unsigned events) override {
    auto it = watches_.find(watch);
    if (it == watches_.end()) return;
    events &= (kReadable | kWritable);
    if (it->second->events != events) {
      it->second->events = events;
      poll_set_dirty_ = true;
      quick_pass_credit = 0;
    }
  }

  void Unwatch(Id watch) override {
    if (watches_.erase(watch) != 0) {
      poll_set_dirty_ = true;
      quick_pass_credit = 0;
    }
  }

  Id AddTimer(std::chrono::milliseconds delay, std::function<void()> callback) override {
    if (delay.count() < 0) delay = std::chrono::milliseconds(0);
    Id id = ++last_id_;
    Clock::time_point now = Clock::now();
    Clock::time_point due = delay > std::chrono::duration_cast<std::chrono::milliseconds>(
                                        Clock::time_point::max() - now)
                                ? Clock::time_point::max()
                                : now + delay;
    timers_.emplace(id,
                    TimerEntry{due, std::make_shared<std::function<void()>>(std::move(callback))});
    timer_order_.emplace(due, id);
    passes_ = stride_;  // the next quick pass looks at the clock
    quick_pass_credit = 0;
    return id;
  }

  void CancelTimer(Id timer) override {
    auto it = timers_.find(timer);
    if (it == timers_.end()) return;
    timer_order_.erase({it->second.due, timer});
    timers_.erase(it);
  }

  void Post(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(post_mutex_);
      posted_.push_back(std::move(task));
    }
    // Only the first post after the loop took the queue needs to wake the poll, and only
    // when it comes from another thread: the loop's own thread sees the flag before it
    // sleeps.
    // Sequentially consistent with RunOnce: a new runner's store and its read of the flag
    // cannot both miss this post's store of the flag and read of the runner.
    // A post from another thread waits out the credit, a few microseconds at most.
    if (runner_.load() == std::this_thread::get_id()) quick_pass_credit = 0;
    if (!post_pending_.exchange(true) && wake_fd_ >= 0 &&
        runner_.load() != std::this_thread::get_id()) {
      uint64_t one = 1;
      ssize_t r = ::write(wake_fd_, &one, sizeof one);
      (void)r;
    }
  }

  void RunOnce(std::chrono::milliseconds max_wait) override {
    bool poll = true;
    if (max_wait.count() <= 0) {
      // The pass DoEvents makes every few hundred bytes inside the codecs must be cheap:
      // return without a system call when nothing can be due, and without reading the clock
      // until enough passes have gone by for it to have moved (see Pace).
      const bool posts = post_pending_.load(std::memory_order_acquire);
      if (!posts && watches_.empty() && timers_.empty()) return;
      ++passes_;
      if (!posts && !poll_set_dirty_ && passes_ < stride_) return;
      const Clock::time_point now = Clock::now();
      Pace(now);
      poll = !watches_.empty() && (poll_set_dirty_ || now - last_poll_ >= kMinPollInterval);
      const bool timer_due = !timer_order_.empty() && timer_order_.begin()->first <= now;
      if (!poll && !timer_due && !posts) {
        // The coming quick passes would find nothing either: the codecs may skip them.
        if (current_loop == this && stride_ > 1) {
          quick_pass_credit = stride_ - 1;
          passes_ += stride_ - 1;
        }
        return;
      }
    } else {
      quick_pass_credit = 0;
      // A waiting pass breaks the rhythm: the next quick pass reads the clock again.
      stride_ = 1;
      passes_ = 0;
      last_sample_ = {};
    }
    // Before the pass reads the post flag to choose its wait (a quick pass that returns
    // above never sleeps, so it need not be the runner yet).
    if (runner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
      runner_.store(std::this_thread::get_id());
    }
    auto self = shared_from_this();  // a callback may drop the last other owner
    RunPass(max_wait, poll);
  }

 private:
  struct WatchEntry {
    int fd = -1;
    unsigned events = 0;
    bool running = false;
    std::function<void(unsigned)> callback;
  };
  struct TimerEntry {
    Clock::time_point due;
    std::shared_ptr<std::function<void()>> callback;
  };

  void RebuildPollSet() {
    poll_fds_.clear();
    poll_ids_.clear();
    poll_fds_.push_back(pollfd{wake_fd_, POLLIN, 0});
    poll_ids_.push_back(0);
    for (const auto& [id, w] : watches_) {
      // A running watch is left out so a nested pass cannot spin on its descriptor.
      if (w->events == 0 || w->running) continue;
      short ev = 0;
      if (w->events & kReadable) ev |= POLLIN;
      if (w->events & kWritable) ev |= POLLOUT;
      poll_fds_.push_back(pollfd{w->fd, ev, 0});
      poll_ids_.push_back(id);
    }
    poll_set_dirty_ = false;
  }

  // The poll time-out in nanoseconds: up to max_wait, shortened by due timers and posts.
  int64_t WaitNanos(std::chrono::milliseconds max_wait, Clock::time_point now) const {
    if (max_wait.count() <= 0 || post_pending_.load()) return 0;
    int64_t wait = std::chrono::duration_cast<std::chrono::nanoseconds>(max_wait).count();
    if (max_wait > std::chrono::milliseconds(std::numeric_limits<int64_t>::max() / 1000000)) {
      wait = std::numeric_limits<int64_t>::max();
    }
    if (!timer_order_.empty()) {
      Clock::time_point due = timer_order_.begin()->first;
      if (due <= now) return 0;
      int64_t until = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count();
      if (until < wait) wait = until;
    }
    return wait;
  }

  void RunPass(std::chrono::milliseconds max_wait, bool poll_descriptors) {
    Clock::time_point now = Clock::now();
    int64_t wait_ns = WaitNanos(max_wait, now);

    std::vector<std::pair<Id, unsigned>> ready;
    if ((poll_descriptors && !watches_.empty()) || wait_ns > 0) {
      if (poll_set_dirty_) RebuildPollSet();
      timespec ts{};
      timespec* tsp = &ts;
      constexpr int64_t kMaxWait = int64_t{86400} * 1000000000;  // a day per poll is plenty
      if (wait_ns > kMaxWait) wait_ns = kMaxWait;
      ts.tv_sec = static_cast<time_t>(wait_ns / 1000000000);
      ts.tv_nsec = static_cast<long>(wait_ns % 1000000000);
      int n = ::ppoll(poll_fds_.data(), poll_fds_.size(), tsp, nullptr);
      last_poll_ = Clock::now();
      if (n > 0) {
        for (size_t i = 0; i < poll_fds_.size() && n > 0; ++i) {
          short re = poll_fds_[i].revents;
          if (re == 0) continue;
          --n;
          if (poll_ids_[i] == 0) {
            uint64_t value;
            ssize_t r = ::read(wake_fd_, &value, sizeof value);
            (void)r;
            continue;
          }
          unsigned ev = 0;
          if (re & (POLLERR | POLLHUP | POLLNVAL)) {
            ev = kReadable | kWritable;
          } else {
            if (re & (POLLIN | POLLPRI)) ev |= kReadable;
            if (re & POLLOUT) ev |= kWritable;
          }
          ready.emplace_back(poll_ids_[i], ev);
        }
      }
      now = last_poll_;
    }

    for (const auto& [id, ev] : ready) DispatchWatch(id, ev);
    RunDueTimers(now);
    RunPosted();
  }

  void DispatchWatch(Id id, unsigned ev) {
    auto it = watches_.find(id);
    if (it == watches_.end()) return;  // removed by an earlier callback of this pass
    std::shared_ptr<WatchEntry> w = it->second;
    if (w->running) return;
    unsigned deliver = ev & w->events;
    if (deliver == 0) return;
    struct Running {
      PollEventLoop* loop;
      WatchEntry* w;
      explicit Running(PollEventLoop* l, WatchEntry* e) : loop(l), w(e) {
        w->running = true;
        loop->poll_set_dirty_ = true;
      }
      ~Running() {
        w->running = false;
        loop->poll_set_dirty_ = true;
      }
    } guard(this, w.get());
    w->callback(deliver);
  }

  void RunDueTimers(Clock::time_point now) {
    if (timer_order_.empty() || timer_order_.begin()->first > now) return;
    // Timers that become due while these run wait for the next pass.
    std::vector<Id> due;
    for (auto it = timer_order_.begin(); it != timer_order_.end() && it->first <= now; ++it) {
      due.push_back(it->second);
    }
    for (Id id : due) {
      auto it = timers_.find(id);
      if (it == timers_.end()) continue;  // cancelled by an earlier callback
      std::shared_ptr<std::function<void()>> cb = std::move(it->second.callback);
      timer_order_.erase({it->second.due, id});
      timers_.erase(it);
      (*cb)();
    }
  }

  void RunPosted() {
    if (!post_pending_.load(std::memory_order_acquire)) return;
    post_pending_.store(false, std::memory_order_release);
    size_t count;
    {
      std::lock_guard<std::mutex> lock(post_mutex_);
      count = posted_.size();
    }
    // One at a time, so a nested pass keeps the order; tasks posted meanwhile wait.
    for (size_t i = 0; i < count; ++i) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(post_mutex_);
        if (posted_.empty()) break;
        task = std::move(posted_.front());
        posted_.pop_front();
      }
      if (task) task();
    }
  }

  // Sets how many quick passes go by before the clock is read again: as many as took about
  // kClockInterval lately, so a due timer or descriptor waits that long at most while the
  // passes keep their pace. A pass that came late shortens the stride at once.
  void Pace(Clock::time_point now) {
    if (last_sample_ != Clock::time_point{} && passes_ > 0) {
      const auto per_pass = (now - last_sample_) / passes_;
      if (per_pass.count() <= 0) {
        stride_ = kMaxStride;
      } else {
        const auto stride = kClockInterval / per_pass;
        stride_ = stride < 1 ? 1 : stride > kMaxStride ? kMaxStride : static_cast<int>(stride);
      }
    }
    last_sample_ = now;
    passes_ = 0;
  }

  static constexpr std::chrono::nanoseconds kClockInterval{5000};
  static constexpr int kMaxStride = 64;
  int stride_ = 1;
  int passes_ = 0;  // quick passes since the clock was last read
  Clock::time_point last_sample_{};

  // Non-blocking passes sample the descriptors at most this often (unless the watches
  // changed): a poll costs a system call, and readiness seen a few microseconds later is
  // no different from readiness that arrived a few microseconds later.
  static constexpr std::chrono::microseconds kMinPollInterval{200};

  int wake_fd_ = -1;
  Id last_id_ = 0;
  Clock::time_point last_poll_{};
  std::unordered_map<Id, std::shared_ptr<WatchEntry>> watches_;
  std::map<Id, TimerEntry> timers_;
  std::set<std::pair<Clock::time_point, Id>> timer_order_;
  bool poll_set_dirty_ = true;
  std::vector<pollfd> poll_fds_;
  std::vector<Id> poll_ids_;

  std::mutex post_mutex_;
  std::deque<std::function<void()>> posted_;
  std::atomic<bool> post_pending_{false};
  // The thread that runs the loop; set before its first pass.
  std::atomic<std::thread::id> runner_{std::this_thread::get_id()};
};

struct ThreadLoops {
  ~ThreadLoops() { current_loop = nullptr; }
  std::shared_ptr<EventLoop> installed;
  std::shared_ptr<EventLoop> own;
  EventLoop* current = nullptr;
};

ThreadLoops& Loops() {
  thread_local ThreadLoops loops;
  return loops;
}

}  // namespace

std::shared_ptr<EventLoop> MakePollEventLoop() {
  return std::make_shared<PollEventLoop>();
}

void SetThreadEventLoop(std::shared_ptr<EventLoop> loop) {
  ThreadLoops& l = Loops();
  l.installed = std::move(loop);
  l.current = l.installed ? l.installed.get() : l.own.get();
  current_loop = l.current;
  quick_pass_credit = 0;
}

std::shared_ptr<EventLoop> SharedThreadEventLoop() {
  ThreadLoops& l = Loops();
  if (l.installed) return l.installed;
  if (!l.own) {
    l.own = MakePollEventLoop();
    l.current = l.own.get();
    current_loop = l.current;
  }
  return l.own;
}

EventLoop& ThreadEventLoop() {
  ThreadLoops& l = Loops();
  if (l.current) return *l.current;
  return *SharedThreadEventLoop();
}

void DoEvents() {
  EventLoop* loop = current_loop;
  (loop ? *loop : ThreadEventLoop()).RunOnce(std::chrono::milliseconds(0));
}

bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  Clock::time_point start = Clock::now();
  Clock::time_point deadline = limit.count() <= 0 ? start
                               : limit > std::chrono::duration_cast<std::chrono::milliseconds>(
                                             Clock::time_point::max() - start)
                                   ? Clock::time_point::max()
                                   : start + limit;
  if (limit.count() <= 0) {
    if (done()) return true;
    DoEvents();
    return done();
  }
  for (;;) {
    if (done()) return true;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    // Hold the loop: a callback may install another one for this thread.
    std::shared_ptr<EventLoop> loop = SharedThreadEventLoop();
    loop->RunOnce(left);
  }
}

}  // namespace postwing
