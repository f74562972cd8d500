// STUB: replaced by its owner.
#pragma once

#include <memory>

#include "postwing/types.hpp"

namespace postwing {

class SendMail;

class Body : public Object {
 public:
  explicit Body(detail::PassKey) {}
  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  void SetParent(const std::shared_ptr<SendMail>& parent) { parent_ = parent; }

 private:
  std::weak_ptr<SendMail> parent_;
};

}  // namespace postwing
