// A handler's connection to an event.
#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace postwing {

// Returned by SendMail::On...; Disconnect() removes the handler. Dropping the
// Connection does not disconnect.
class Connection {
 public:
  Connection() = default;
  explicit Connection(std::function<void()> disconnect)
      : disconnect_(std::make_shared<std::function<void()>>(std::move(disconnect))) {}

  void Disconnect() {
    if (disconnect_ && *disconnect_) {
      auto f = std::move(*disconnect_);
      *disconnect_ = nullptr;
      f();
    }
  }
  bool Connected() const { return disconnect_ && *disconnect_; }

 private:
  std::shared_ptr<std::function<void()>> disconnect_;
};

}  // namespace postwing
