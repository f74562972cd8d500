// The keyed, ordered list behind the collections: insertion order, keys compared without
// regard to case, and a copy on write so an enumeration in progress sees its snapshot.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "postwing/enumeration.hpp"

namespace postwing::detail {

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
