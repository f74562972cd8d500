// Name resolution, address texts and the Windows Sockets error numbers.
#include "platform/resolver.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace postwing::platform {
namespace {

std::mutex& ResolverMutex() {
  static std::mutex m;
  return m;
}

Resolver& InstalledResolver() {
  static Resolver r;
  return r;
}

int32_t WinsockErrorOfGai(int gai, int err) {
  switch (gai) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
    case EAI_FAMILY:
      return 10047;
    case EAI_MEMORY:
      return 10055;
    case EAI_SERVICE:
      return 10109;
    case EAI_SYSTEM:
      return WinsockErrorOf(err);
    default:
      return 11003;
  }
}

}  // namespace

int32_t WinsockErrorOf(int err) {
  switch (err) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case EOPNOTSUPP:
      return 10045;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case EPIPE:
    case ESHUTDOWN:
      return 10058;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    default:
      return 10022;
  }
}

std::string WinsockErrorText(int32_t number) {
  switch (number) {
    case 10004:
      return "The operation was interrupted";
    case 10009:
      return "The socket descriptor is not valid";
    case 10013:
      return "Permission denied: the system refused access to the socket";
    case 10014:
      return "A bad address was passed to the socket";
    case 10022:
      return "Invalid argument to a socket operation";
    case 10024:
      return "Too many open files: no socket could be created";
    case 10035:
      return "The operation would block";
    case 10036:
      return "An operation is already in progress on the socket";
    case 10037:
      return "The socket is already connecting";
    case 10038:
      return "The descriptor is not a socket";
    case 10039:
      return "A destination address is required";
    case 10040:
      return "The message is too long";
    case 10041:
      return "Wrong protocol type for the socket";
    case 10042:
      return "Bad protocol option";
    case 10043:
      return "The protocol is not supported";
    case 10045:
      return "The operation is not supported on this socket";
    case 10047:
      return "The address family is not supported on this machine";
    case 10048:
      return "The local address is already in use";
    case 10049:
      return "The address is not available on this machine";
    case 10050:
      return "The network is down";
    case 10051:
      return "The network is unreachable";
    case 10052:
      return "The connection was dropped by a network reset";
    case 10053:
      return "The connection was aborted by this machine";
    case 10054:
      return "The connection was reset by the remote side";
    case 10055:
      return "No buffer space is available for the socket";
    case 10056:
      return "The socket is already connected";
    case 10057:
      return "The socket is not connected";
    case 10058:
      return "Cannot send: the connection has been shut down";
    case 10060:
      return "The connection attempt timed out";
    case 10061:
      return "Connection refused: nothing accepts connections at that address and port";
    case 10064:
      return "The remote host is down";
    case 10065:
      return "No route to the remote host";
    case 10109:
      return "The service (port) is not known";
    case 11001:
      return "Host not found: the name could not be resolved";
    case 11002:
      return "Host not found for now: the name server did not answer; try again";
    case 11003:
      return "The name server failed for good";
    default:
      return "Socket error " + std::to_string(number);
  }
}

bool ParseNumericAddress(const std::string& host, uint16_t port, SocketAddress& out) {
  std::string text = host;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  out = SocketAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    out.length = sizeof(sockaddr_in);
    return true;
  }
  // Scoped addresses (fe80::1%eth0) go through getaddrinfo, which knows the scope names.
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    out.length = sizeof(sockaddr_in6);
    return true;
  }
  out = SocketAddress{};
  return false;
}

ResolveResult SystemResolve(const std::string& host, uint16_t port) {
  ResolveResult result;
  SocketAddress numeric;
  if (ParseNumericAddress(host, port, numeric)) {
    result.addresses.push_back(numeric);
    return result;
  }
  std::string name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  if (name.empty()) {
    result.error = 11001;
    result.description = WinsockErrorText(11001);
    return result;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    result.error = WinsockErrorOfGai(rc, errno);
    result.description = WinsockErrorText(result.error);
    if (result.error >= 11001 && result.error <= 11003) result.description += " (" + name + ")";
    return result;
  }
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    SocketAddress a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = ai->ai_addrlen;
    result.addresses.push_back(a);
  }
  ::freeaddrinfo(list);
  if (result.addresses.empty()) {
    result.error = 11001;
    result.description = WinsockErrorText(11001) + " (" + name + ")";
  }
  return result;
}

void SetResolver(Resolver resolver) {
  std::lock_guard<std::mutex> lock(ResolverMutex());
  InstalledResolver() = std::move(resolver);
}

Resolver CurrentResolver() {
  std::lock_guard<std::mutex> lock(ResolverMutex());
  if (InstalledResolver()) return InstalledResolver();
  return SystemResolve;
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  }
  return text;
}

int32_t AddressPort(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  }
  if (address->sa_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  }
  return 0;
}

}  // namespace postwing::platform
