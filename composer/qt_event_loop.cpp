#include "qt_event_loop.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <vector>

#include <poll.h>

namespace composer {

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>()) {}

QtEventLoop::~QtEventLoop() {
  for (auto& [id, timer] : timers_) delete timer;
  timers_.clear();
  for (auto& [fd, entry] : fds_) {
    delete entry.read;
    delete entry.write;
  }
  fds_.clear();
}

std::shared_ptr<QtEventLoop> QtEventLoop::InstallForThisThread() {
  auto loop = std::make_shared<QtEventLoop>();
  postwing::SetThreadEventLoop(loop);
  return loop;
}

postwing::EventLoop::Id QtEventLoop::Watch(int fd, unsigned events,
                                           std::function<void(unsigned ready)> callback) {
  Id id = next_id_++;
  WatchEntry entry;
  entry.fd = fd;
  entry.events = events & (kReadable | kWritable);
  entry.callback = std::make_shared<std::function<void(unsigned)>>(std::move(callback));
  watches_.emplace(id, std::move(entry));
  RefreshNotifiers(fd);
  return id;
}

void QtEventLoop::UpdateWatch(Id watch, unsigned events) {
  auto it = watches_.find(watch);
  if (it == watches_.end()) return;
  it->second.events = events & (kReadable | kWritable);
  RefreshNotifiers(it->second.fd);
}

void QtEventLoop::Unwatch(Id watch) {
  auto it = watches_.find(watch);
  if (it == watches_.end()) return;
  int fd = it->second.fd;
  watches_.erase(it);
  RefreshNotifiers(fd);
}

// A notifier is on while some watch on its descriptor wants that event and is not
// running: a running callback is never entered again from a nested pass, and a
// disabled notifier keeps a nested wait from spinning on a level that stays ready.
void QtEventLoop::RefreshNotifiers(int fd) {
  unsigned wanted = 0;
  bool any = false;
  for (const auto& [id, w] : watches_) {
    if (w.fd != fd) continue;
    any = true;
    if (!w.running) wanted |= w.events;
  }
  if (!any) {
    DropNotifiers(fd);
    return;
  }
  FdEntry& entry = fds_[fd];
  auto ensure = [&](QSocketNotifier*& notifier, QSocketNotifier::Type type, unsigned event) {
    if (!(wanted & event)) {
      if (notifier) notifier->setEnabled(false);
      return;
    }
    if (!notifier) {
      notifier = new QSocketNotifier(fd, type, context_.get());
      QObject::connect(notifier, &QSocketNotifier::activated, context_.get(),
                       [this, fd, event] { Activated(fd, event); });
    }
    notifier->setEnabled(true);
  };
  ensure(entry.read, QSocketNotifier::Read, kReadable);
  ensure(entry.write, QSocketNotifier::Write, kWritable);
}

void QtEventLoop::DropNotifiers(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  // The notifier may be the sender of the signal being delivered right now.
  for (QSocketNotifier* n : {it->second.read, it->second.write}) {
    if (!n) continue;
    n->setEnabled(false);
    QObject::disconnect(n, nullptr, context_.get(), nullptr);
    n->deleteLater();
  }
  fds_.erase(it);
}

void QtEventLoop::Activated(int fd, unsigned hint) {
  // Ask the descriptor what it is ready for: an error or hang-up counts as both.
  unsigned ready = hint;
  pollfd p{fd, POLLIN | POLLOUT, 0};
  if (::poll(&p, 1, 0) > 0) {
    ready = 0;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ready = kReadable | kWritable;
    if (p.revents & POLLIN) ready |= kReadable;
    if (p.revents & POLLOUT) ready |= kWritable;
  }
  std::vector<Id> targets;
  for (const auto& [id, w] : watches_) {
    if (w.fd == fd && !w.running && (w.events & ready)) targets.push_back(id);
  }
  for (Id id : targets) {
    auto it = watches_.find(id);
    if (it == watches_.end() || it->second.running) continue;  // removed by an earlier one
    unsigned deliver = it->second.events & ready;
    if (!deliver) continue;
    auto callback = it->second.callback;
    it->second.running = true;
    RefreshNotifiers(fd);
    struct Done {
      QtEventLoop* self;
      Id id;
      int fd;
      ~Done() {
        auto w = self->watches_.find(id);
        if (w != self->watches_.end()) w->second.running = false;
        self->RefreshNotifiers(fd);
      }
    } done{this, id, fd};
    (*callback)(deliver);
  }
}

postwing::EventLoop::Id QtEventLoop::AddTimer(std::chrono::milliseconds delay,
                                              std::function<void()> callback) {
  Id id = next_id_++;
  auto* timer = new QTimer(context_.get());
  timer->setSingleShot(true);
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, context_.get(),
                   [this, id, cb = std::move(callback)]() mutable {
                     auto it = timers_.find(id);
                     if (it == timers_.end()) return;
                     QTimer* t = it->second;
                     timers_.erase(it);
                     auto run = std::move(cb);  // the lambda dies with the timer
                     t->deleteLater();
                     run();
                   });
  timers_.emplace(id, timer);
  auto ms = delay.count() < 0 ? 0 : delay.count();
  timer->start(static_cast<int>(std::min<long long>(ms, 0x7fffffff)));
  return id;
}

void QtEventLoop::CancelTimer(Id timer) {
  auto it = timers_.find(timer);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

void QtEventLoop::Post(std::function<void()> task) {
  // A queued call is an event posted to the loop's thread: safe from any thread.
  QMetaObject::invokeMethod(
      context_.get(), [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtEventLoop::RunOnce(std::chrono::milliseconds max_wait) {
  if (max_wait.count() <= 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  // Qt's wait has no limit of its own: a timer bounds it.
  QTimer limit;
  limit.setSingleShot(true);
  limit.setTimerType(Qt::PreciseTimer);
  limit.start(static_cast<int>(std::min<long long>(max_wait.count(), 0x7fffffff)));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace composer
