// A loop whose pass does nothing: with it installed, the codecs' yields are reduced to the
// bare call, the baseline the cost of the real yields is measured against.
#pragma once

#include "postwing/event_loop.hpp"

class NullLoop final : public postwing::EventLoop {
 public:
  Id Watch(int, unsigned, std::function<void(unsigned)>) override { return 1; }
  void UpdateWatch(Id, unsigned) override {}
  void Unwatch(Id) override {}
  Id AddTimer(std::chrono::milliseconds, std::function<void()>) override { return 1; }
  void CancelTimer(Id) override {}
  void Post(std::function<void()>) override {}
  void RunOnce(std::chrono::milliseconds) override {}
};
