// Host name resolution behind TcpClient, with a seam for tests.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace postwing::platform {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

struct ResolveResult {
  // 0, or a Windows Sockets error number (11001 host not found, ...).
  int32_t error = 0;
  std::string description;
  // In the order they are to be tried.
  std::vector<SocketAddress> addresses;
};

// Maps a host name (or a numeric address) and port to addresses. Runs off the loop.
using Resolver = std::function<ResolveResult(const std::string& host, uint16_t port)>;

// The system's resolver (getaddrinfo).
ResolveResult SystemResolve(const std::string& host, uint16_t port);

// Replaces the resolver used by every later Connect of this process; an empty function
// restores the system's. For tests that must not depend on the outside network.
void SetResolver(Resolver resolver);
Resolver CurrentResolver();

// The numeric form of a literal IPv4 or IPv6 address (brackets allowed), if host is one.
bool ParseNumericAddress(const std::string& host, uint16_t port, SocketAddress& out);

// The text of an address ("192.0.2.1", "2001:db8::1") and its port.
std::string AddressText(const sockaddr* address);
int32_t AddressPort(const sockaddr* address);

// Windows Sockets numbers and descriptions for system errors.
int32_t WinsockErrorOf(int err);
std::string WinsockErrorText(int32_t number);

}  // namespace postwing::platform
