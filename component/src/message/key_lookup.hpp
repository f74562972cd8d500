// How a collection reads a key given as "a 1-based index or a name".
#pragma once

#include <cstdint>
#include <string>

#include "postwing/types.hpp"

namespace postwing::detail {

struct CollectionKey {
  bool is_index = false;
  int64_t index = 0;
  std::string name;
};

// Whole numbers (and booleans) are indexes, strings are names; an empty key raises 5,
// a date, array or object 13.
CollectionKey ClassifyKey(const Variant& key);

}  // namespace postwing::detail
