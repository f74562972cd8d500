#include "send.hpp"

#include <cstdio>

namespace postwing_send {

int SendMessage(const Options&) {
  std::fputs("postwing-send: sending is not built yet\n", stderr);
  return kExitUsage;
}

}  // namespace postwing_send
