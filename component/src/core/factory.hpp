// Makes the library's objects; hosts cannot.
#pragma once

#include <memory>

#include "postwing/types.hpp"

namespace postwing::detail {

struct Factory {
  static PassKey Key() { return PassKey{}; }
  template <class T, class... Args>
  static std::shared_ptr<T> Make(Args&&... args) {
    return std::make_shared<T>(PassKey{}, std::forward<Args>(args)...);
  }
};

}  // namespace postwing::detail
