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
template <class T>
class KeyedList {
 public:
  using Entry = KeyedEntry<T>;
  using List = std::vector<Entry>;

  size_t Size() const { return list_->size(); }
  const Entry& At(size_t position) const { return (*list_)[position]; }
  // Position of the item with this key (compared without case), or Size() when absent.
  size_t Find(std::string_view key) const {
    if (key.empty() || !Contains(key)) return Size();
    const std::string folded = FoldKey(key);
    for (size_t i = 0; i < list_->size(); ++i) {
      if (!(*list_)[i].key.empty() && FoldKey((*list_)[i].key) == folded) return i;
    }
    return Size();
  }
  bool Contains(std::string_view key) const {
    return !key.empty() && keys_.count(FoldKey(key)) != 0;
  }
  // The caller checks the key is free.
  void PushBack(std::shared_ptr<T> item, std::string key) {
    if (!key.empty()) keys_.insert(FoldKey(key));
    Mutable().push_back(Entry{std::move(item), std::move(key)});
  }
  void Erase(size_t position) {
    List& list = Mutable();
    if (!list[position].key.empty()) keys_.erase(FoldKey(list[position].key));
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(position));
  }
  void Clear() {
    list_ = std::make_shared<List>();
    keys_.clear();
  }

  Enumerator<T> Begin() const { return Enumerator<T>(list_, 0); }
  Enumerator<T> End() const { return Enumerator<T>(list_, list_->size()); }

 private:
  List& Mutable() {
    if (list_.use_count() > 1) list_ = std::make_shared<List>(*list_);
    return *list_;
  }
  std::shared_ptr<List> list_ = std::make_shared<List>();
  std::unordered_set<std::string> keys_;
};

}  // namespace postwing::detail
