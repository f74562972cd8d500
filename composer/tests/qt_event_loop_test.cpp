// The library's event loop on Qt: watches, timers, posts from other threads, bounded
// waits, nesting, and the library's own DoEvents and RunEventsUntil on top of it.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "qt_event_loop.hpp"

using composer::QtEventLoop;
using postwing::EventLoop;
using namespace std::chrono_literals;

namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
  }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  int r() const { return fds[0]; }
  int w() const { return fds[1]; }
  void CloseWriter() {
    ::close(fds[1]);
    fds[1] = -1;
  }
};

void Write(int fd) {
  char c = 'x';
  QCOMPARE(::write(fd, &c, 1), ssize_t{1});
}

// Runs passes until done() or the limit; true when done.
bool RunUntil(QtEventLoop& loop, const std::function<bool()>& done, int limit_ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < limit_ms) loop.RunOnce(50ms);
  return done();
}

}  // namespace

class QtEventLoopTest : public QObject {
  Q_OBJECT

 private slots:
  void WatchReportsReadableAndPauses() {
    QtEventLoop loop;
    Pipe p;
    int calls = 0;
    unsigned seen = 0;
    auto id = loop.Watch(p.r(), EventLoop::kReadable, [&](unsigned ready) {
      ++calls;
      seen = ready;
      char buf[16];
      while (::read(p.r(), buf, sizeof buf) > 0) {
      }
    });
    QVERIFY(id != 0);
    loop.RunOnce(0ms);
    QCOMPARE(calls, 0);
    Write(p.w());
    QVERIFY(RunUntil(loop, [&] { return calls == 1; }));
    QCOMPARE(seen, unsigned(EventLoop::kReadable));
    // Paused: ready data is not delivered until the watch wants it again.
    loop.UpdateWatch(id, 0);
    Write(p.w());
    loop.RunOnce(100ms);
    QCOMPARE(calls, 1);
    loop.UpdateWatch(id, EventLoop::kReadable);
    QVERIFY(RunUntil(loop, [&] { return calls == 2; }));
    loop.Unwatch(id);
    Write(p.w());
    loop.RunOnce(100ms);
    QCOMPARE(calls, 2);
    loop.Unwatch(id);  // unknown ids are harmless
  }

  void HangUpIsReadableAndWritable() {
    QtEventLoop loop;
    Pipe p;
    unsigned seen = 0;
    auto id = loop.Watch(p.r(), EventLoop::kReadable | EventLoop::kWritable,
                         [&](unsigned ready) { seen = ready; });
    p.CloseWriter();
    QVERIFY(RunUntil(loop, [&] { return seen != 0; }));
    QCOMPARE(seen, unsigned(EventLoop::kReadable | EventLoop::kWritable));
    loop.Unwatch(id);
  }

  void TwoWatchesOnOneDescriptor() {
    QtEventLoop loop;
    Pipe p;
    int a = 0, b = 0;
    auto ia = loop.Watch(p.w(), EventLoop::kWritable, [&](unsigned) { ++a; });
    auto ib = loop.Watch(p.w(), EventLoop::kWritable, [&](unsigned) { ++b; });
    QVERIFY(RunUntil(loop, [&] { return a > 0 && b > 0; }));
    loop.Unwatch(ia);
    const int before = a;
    QVERIFY(RunUntil(loop, [&] { return b > 5; }));
    QCOMPARE(a, before);
    loop.Unwatch(ib);
  }

  void UnwatchInsideItsOwnCallback() {
    QtEventLoop loop;
    Pipe p;
    int calls = 0;
    EventLoop::Id id = 0;
    id = loop.Watch(p.w(), EventLoop::kWritable, [&](unsigned) {
      ++calls;
      loop.Unwatch(id);
    });
    QVERIFY(RunUntil(loop, [&] { return calls == 1; }));
    loop.RunOnce(50ms);
    loop.RunOnce(0ms);
    QCOMPARE(calls, 1);
  }

  void ARunningWatchIsNotEnteredAgainFromANestedPass() {
    QtEventLoop loop;
    Pipe p;
    int depth = 0, max_depth = 0, calls = 0;
    auto id = loop.Watch(p.w(), EventLoop::kWritable, [&](unsigned) {
      ++calls;
      max_depth = std::max(max_depth, ++depth);
      if (calls == 1) {
        for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);  // the writable level stays ready
      }
      --depth;
    });
    QVERIFY(RunUntil(loop, [&] { return calls >= 2; }));
    QCOMPARE(max_depth, 1);
    loop.Unwatch(id);
  }

  void TimersFireOnceAndCancel() {
    QtEventLoop loop;
    int fired = 0, cancelled = 0;
    loop.AddTimer(10ms, [&] { ++fired; });
    auto c = loop.AddTimer(20ms, [&] { ++cancelled; });
    loop.CancelTimer(c);
    QVERIFY(RunUntil(loop, [&] { return fired == 1; }));
    loop.RunOnce(60ms);
    QCOMPARE(fired, 1);
    QCOMPARE(cancelled, 0);
    loop.CancelTimer(c);  // already gone: harmless
    // A timer may add another from its callback.
    int chained = 0;
    loop.AddTimer(0ms, [&] { loop.AddTimer(0ms, [&] { ++chained; }); });
    QVERIFY(RunUntil(loop, [&] { return chained == 1; }));
  }

  void PostFromAnotherThreadWakesTheWait() {
    QtEventLoop loop;
    std::atomic<int> ran{0};
    std::thread poster([&] {
      std::this_thread::sleep_for(50ms);
      loop.Post([&] { ran = 1; });
    });
    QVERIFY(RunUntil(loop, [&] { return ran == 1; }));
    poster.join();
  }

  void RunOnceWaitsAtMostItsLimit() {
    QtEventLoop loop;
    QElapsedTimer t;
    t.start();
    loop.RunOnce(150ms);
    QVERIFY(t.elapsed() >= 100);
    QVERIFY(t.elapsed() < 5000);
    t.restart();
    loop.RunOnce(0ms);
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
