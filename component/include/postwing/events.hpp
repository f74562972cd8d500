// The event sink interface of SendMail.
#pragma once

#include <cstdint>
#include <string>

#include "postwing/types.hpp"

namespace postwing {

// A second receiver of a SendMail's events, for hosts that run many objects at once and
// tell them apart by ID. Every operation does nothing by default; the returned value is
// ignored. An exception thrown here travels back into the procedure that raised the event.
class ISendMailEvents {
 public:
  virtual ~ISendMailEvents() = default;
  virtual Variant SendStatus(std::string Data, Variant ID);
  virtual Variant SendComplete(Variant ID);
  virtual Variant SendProgress(int32_t BytesSent, int32_t BytesRemaining, Variant ID);
  virtual Variant WinsockError(int32_t Number, std::string Source, std::string Description,
                               std::string HelpFile, int32_t HelpContext, Variant ID);
};

}  // namespace postwing
