// The thread's postwing::EventLoop on Qt's loop: the library's socket events, timers and
// waits go through Qt, so a wait inside the library keeps the window alive.
#pragma once

#include <QObject>

#include <map>
#include <memory>

#include <postwing/event_loop.hpp>

class QSocketNotifier;
class QTimer;

namespace composer {

class QtEventLoop final : public postwing::EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  Id Watch(int fd, unsigned events, std::function<void(unsigned ready)> callback) override;
  void UpdateWatch(Id watch, unsigned events) override;
  void Unwatch(Id watch) override;
  Id AddTimer(std::chrono::milliseconds delay, std::function<void()> callback) override;
  void CancelTimer(Id timer) override;
  void Post(std::function<void()> task) override;
  void RunOnce(std::chrono::milliseconds max_wait) override;

  // Installs a new loop for the calling thread (whose Qt loop must exist).
  static std::shared_ptr<QtEventLoop> InstallForThisThread();

 private:
  struct WatchEntry {
    int fd = -1;
    unsigned events = 0;
    bool running = false;
    std::shared_ptr<std::function<void(unsigned)>> callback;
  };
  // One notifier pair per descriptor, shared by every watch on it (Qt allows one
  // notifier per descriptor and type).
  struct FdEntry {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
  };

  void Activated(int fd, unsigned hint);
  void RefreshNotifiers(int fd);
  void DropNotifiers(int fd);

  std::unique_ptr<QObject> context_;  // owns notifiers and timers; receives posted tasks
  std::map<Id, WatchEntry> watches_;
  std::map<int, FdEntry> fds_;
  std::map<Id, QTimer*> timers_;
  Id next_id_ = 1;
};

}  // namespace composer
