// The ordered, keyed collections of the object model and their for-each.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace postwing::detail {

// Keys compare without regard to case (ASCII letters only: other bytes compare exactly).
std::string FoldKey(std::string_view key);

template <class T>
struct KeyedEntry {
  std::shared_ptr<T> item;
  std::string key;  // as given at insertion; empty for an item without key
};

// Visits the items a collection held when the loop began: a handler that adds, removes or
// clears during a for-each changes the collection, not the loop in progress.
template <class T>
class Enumerator {
 public:
  using List = std::vector<KeyedEntry<T>>;
  using iterator_category = std::forward_iterator_tag;
  using value_type = std::shared_ptr<T>;
  using difference_type = std::ptrdiff_t;
  using reference = const std::shared_ptr<T>&;
  using pointer = const std::shared_ptr<T>*;

  Enumerator() = default;
  Enumerator(std::shared_ptr<const List> list, size_t index)
      : list_(std::move(list)), index_(index) {}

  reference operator*() const { return (*list_)[index_].item; }
  pointer operator->() const { return &(*list_)[index_].item; }
  Enumerator& operator++() {
    ++index_;
    return *this;
  }
  Enumerator operator++(int) {
    Enumerator old = *this;
    ++index_;
    return old;
  }
  friend bool operator==(const Enumerator& a, const Enumerator& b) {
    const bool a_end = a.AtEnd(), b_end = b.AtEnd();
    if (a_end || b_end) return a_end == b_end;
    return a.list_ == b.list_ && a.index_ == b.index_;
  }

 private:
  bool AtEnd() const { return !list_ || index_ >= list_->size(); }
  std::shared_ptr<const List> list_;
  size_t index_ = 0;
};

// Items in insertion order with optional unique keys. Copy on write, so that enumerators
// keep the list they started on.
// The keyed, ordered list behind each collection (the library's own).
template <class T>
class KeyedList;

}  // namespace postwing::detail
