// The thread's event loop: everything the library waits for arrives through it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace postwing {

// The interface behind DoEvents and RunEventsUntil. A host with a loop of its own
// (Qt, GLib, ...) implements it and installs it with SetThreadEventLoop; otherwise the
// library uses its own loop built on poll. All members but Post are called on the
// loop's thread only.
class EventLoop {
 public:
  using Id = uint64_t;
  enum IoEvents : unsigned { kReadable = 1, kWritable = 2 };

  virtual ~EventLoop() = default;

  // Watches a descriptor; the callback receives the ready IoEvents (an error or hang-up
  // is reported as readable and writable). Returns a non-zero id.
  virtual Id Watch(int fd, unsigned events, std::function<void(unsigned ready)> callback) = 0;
  // Changes the events of a watch (0 pauses it).
  virtual void UpdateWatch(Id watch, unsigned events) = 0;
  // Removes a watch; safe from inside its own callback and for unknown ids.
  virtual void Unwatch(Id watch) = 0;

  // A one-shot timer; returns a non-zero id.
  virtual Id AddTimer(std::chrono::milliseconds delay, std::function<void()> callback) = 0;
  // Cancels a pending timer; safe for fired or unknown ids.
  virtual void CancelTimer(Id timer) = 0;

  // Runs the task on the loop's thread in a later pass. May be called from any thread.
  virtual void Post(std::function<void()> task) = 0;

  // One pass: waits at most max_wait for something to become ready (0 = do not wait),
  // then runs what is ready. Passes nest: a callback may run a pass itself; a watch or
  // timer whose callback is running is not run again inside itself.
  virtual void RunOnce(std::chrono::milliseconds max_wait) = 0;
};

// The library's own loop on poll.
std::shared_ptr<EventLoop> MakePollEventLoop();

// Installs the loop of the calling thread (nullptr returns to the library's own loop).
void SetThreadEventLoop(std::shared_ptr<EventLoop> loop);
// The calling thread's loop, created on first use.
EventLoop& ThreadEventLoop();
// The same loop as a shared owner, for objects that must keep it alive (e.g. to Post to it
// from another thread).
std::shared_ptr<EventLoop> SharedThreadEventLoop();

// One pass that does not block: runs every socket event, timer and posted task ready now.
void DoEvents();

// Runs the loop, sleeping in the poll, until done() holds or limit passes; returns done().
// A limit of 0 or less makes one pass that does not block.
bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

}  // namespace postwing
