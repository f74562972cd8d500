// The host handlers connected to a SendMail's events.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace postwing::detail {

// Handlers in connection order. A raise walks a snapshot, so a handler may connect or
// disconnect others (or itself); one disconnected during a raise is not called after that.
template <class Fn>
class HandlerList {
 public:
  struct Entry {
    uint64_t id;
    std::function<Fn> fn;
    bool connected = true;
  };
  using Snapshot_t = std::vector<std::shared_ptr<Entry>>;

  uint64_t Add(std::function<Fn> fn) {
    uint64_t id = next_id_++;
    entries_.push_back(std::make_shared<Entry>(Entry{id, std::move(fn)}));
    return id;
  }
  void Remove(uint64_t id) {
    auto it =
        std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e->id == id; });
    if (it == entries_.end()) return;
    (*it)->connected = false;
    entries_.erase(it);
  }
  Snapshot_t Snapshot() const { return entries_; }
  size_t Size() const { return entries_.size(); }

 private:
  Snapshot_t entries_;
  uint64_t next_id_ = 1;
};

struct EventHandlers {
  HandlerList<void(std::string&)> status;
  HandlerList<void()> complete;
  HandlerList<void(int32_t&, int32_t&)> progress;
  HandlerList<void(int32_t&, std::string&, std::string&, std::string&, int32_t&)> winsock_error;
};

}  // namespace postwing::detail
