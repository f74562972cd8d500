// STUB: replaced by its owner.
#pragma once

namespace postwing {

class UUEncode {
 public:
  void Cancel() { cancelled_ = true; }

 private:
  bool cancelled_ = false;
};

}  // namespace postwing
