// Switches of TcpClient that only the library's own sessions use.
#pragma once

#include "postwing/tcp_client.hpp"

namespace postwing::detail {

struct TcpClientAccess {
  // While on, the last byte queued waits as long as bytes of the peer wait unread, so that
  // whatever came before the end of what was queued is raised while BytesUnsent() counts
  // it. Off on every new connection.
  static void SetGuardEnd(TcpClient& client, bool on);
};

}  // namespace postwing::detail
