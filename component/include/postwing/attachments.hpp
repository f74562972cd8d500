// STUB: replaced by its owner.
#pragma once

#include <memory>

#include "postwing/types.hpp"

namespace postwing {

class SendMail;

class Attachments : public Object {
 public:
  explicit Attachments(detail::PassKey) {}
  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  void SetParent(const std::shared_ptr<SendMail>& parent) { parent_ = parent; }
  int32_t Count() const { return 0; }

 private:
  std::weak_ptr<SendMail> parent_;
};

}  // namespace postwing
