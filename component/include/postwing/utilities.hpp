// File and content-type services for hosts.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "postwing/types.hpp"

namespace postwing {

class SendMail;

class Utilities : public Object {
 public:
  explicit Utilities(detail::PassKey) {}

  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  void SetParent(const std::shared_ptr<SendMail>& Parent) { parent_ = Parent; }

  // The whole file as text, one character per byte (an empty file gives ""). A file that
  // cannot be read raises its file error (53, 70, 75 ...), recorded as "Utilities.ReadFile".
  Variant ReadFile(const std::string& FileName);

  // The MIME type registered for an extension, given with or without dots ("zip", ".zip").
  // An extension without a type raises 12012, recorded twice as
  // "Utilities.GetContentTypeForExt".
  std::string GetContentTypeForExt(std::string_view Extension);

 private:
  std::weak_ptr<SendMail> parent_;
};

}  // namespace postwing
