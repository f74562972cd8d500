// The library's event loop on Qt: watches, timers, posts from other threads, bounded
// waits, nesting, and the library's own DoEvents and RunEventsUntil on top of it.
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "qt_event_loop.hpp"

using composer::QtEventLoop;
using postwing::EventLoop;
using namespace std::chrono_literals;

class QtEventLoopTest : public QObject {
  Q_OBJECT

  std::unique_ptr<QtEventLoop> loop_;
  int r_ = -1, w_ = -1;  // a pipe: read end, write end

  // Runs passes until done() or five seconds; true when done.
  bool RunUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) loop_->RunOnce(50ms);
    return done();
  }
  void Write() { QCOMPARE(::write(w_, "x", 1), ssize_t{1}); }

 private slots:
  void init() {
    loop_ = std::make_unique<QtEventLoop>();
    int fds[2];
    QCOMPARE(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    r_ = fds[0], w_ = fds[1];
  }
  void cleanup() {
    loop_.reset();
    for (int fd : {r_, w_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  void WatchReportsReadablePausesAndUnwatches() {
    int calls = 0;
    unsigned seen = 0;
    auto id = loop_->Watch(r_, EventLoop::kReadable, [&](unsigned ready) {
      ++calls, seen = ready;
      char buf[16];
      while (::read(r_, buf, sizeof buf) > 0) {
      }
    });
    loop_->RunOnce(0ms);
    QCOMPARE(calls, 0);
    Write();
    QVERIFY(RunUntil([&] { return calls == 1; }));
    QCOMPARE(seen, unsigned(EventLoop::kReadable));
    // Paused: ready data is not delivered until the watch wants it again.
    loop_->UpdateWatch(id, 0);
    Write();
    loop_->RunOnce(100ms);
    QCOMPARE(calls, 1);
    loop_->UpdateWatch(id, EventLoop::kReadable);
    QVERIFY(RunUntil([&] { return calls == 2; }));
    loop_->Unwatch(id);
    Write();
    loop_->RunOnce(100ms);
    QCOMPARE(calls, 2);
    loop_->Unwatch(id);  // unknown ids are harmless
    loop_->UpdateWatch(id, EventLoop::kReadable);
  }

  void HangUpIsReadableAndWritable() {
    unsigned seen = 0;
    loop_->Watch(r_, EventLoop::kReadable | EventLoop::kWritable, [&](unsigned r) { seen = r; });
    ::close(w_);
    w_ = -1;
    QVERIFY(RunUntil([&] { return seen != 0; }));
    QCOMPARE(seen, unsigned(EventLoop::kReadable | EventLoop::kWritable));
  }

  // Two watches on one descriptor; one unwatches itself inside its callback, the other is
  // never entered again from a nested pass while it runs (the writable level stays ready).
  void WatchesShareADescriptorAndNestedPassesDoNotReenter() {
    int a = 0, b = 0, depth = 0, max_depth = 0;
    EventLoop::Id ia = loop_->Watch(w_, EventLoop::kWritable, [&](unsigned) {
      ++a;
      loop_->Unwatch(ia);
    });
    loop_->Watch(w_, EventLoop::kWritable, [&](unsigned) {
      max_depth = std::max(max_depth, ++depth);
      if (++b == 1) {
        for (int i = 0; i < 5; ++i) loop_->RunOnce(10ms);
      }
      --depth;
    });
    QVERIFY(RunUntil([&] { return b > 5; }));
    QCOMPARE(a, 1);
    QCOMPARE(max_depth, 1);
  }

  void TimersFireOnceCancelAndChain() {
    int fired = 0, cancelled = 0, chained = 0;
    loop_->AddTimer(10ms, [&] { ++fired; });
    auto c = loop_->AddTimer(20ms, [&] { ++cancelled; });
    loop_->CancelTimer(c);
    loop_->AddTimer(0ms, [&] { loop_->AddTimer(0ms, [&] { ++chained; }); });
    QVERIFY(RunUntil([&] { return fired == 1 && chained == 1; }));
    loop_->RunOnce(60ms);
    QCOMPARE(fired, 1);
    QCOMPARE(cancelled, 0);
    loop_->CancelTimer(c);  // already gone: harmless
  }

  void PostFromAnotherThreadWakesTheWait() {
    std::atomic<int> ran{0};
    std::thread poster([&] {
      std::this_thread::sleep_for(50ms);
      loop_->Post([&] { ran = 1; });
    });
    QVERIFY(RunUntil([&] { return ran == 1; }));
    poster.join();
  }

  void RunOnceWaitsAtMostItsLimit() {
    QElapsedTimer t;
    t.start();
    loop_->RunOnce(150ms);
    QVERIFY(t.elapsed() >= 100 && t.elapsed() < 5000);
    t.restart();
    loop_->RunOnce(0ms);
    QVERIFY(t.elapsed() < 1000);
  }

  void TheLibrarysPassesRunOnQt() {
    auto loop = QtEventLoop::InstallForThisThread();
    QVERIFY(&postwing::ThreadEventLoop() == loop.get());
    bool qt_timer = false, library_timer = false;
    QTimer::singleShot(20, [&] { qt_timer = true; });
    loop->AddTimer(20ms, [&] { library_timer = true; });
    QVERIFY(postwing::RunEventsUntil([&] { return qt_timer && library_timer; }, 5000ms));
    int posted = 0;
    loop->Post([&] { ++posted; });
    postwing::DoEvents();
    QCOMPARE(posted, 1);
    postwing::SetThreadEventLoop(nullptr);
  }
};

QTEST_MAIN(QtEventLoopTest)
#include "qt_event_loop_test.moc"
