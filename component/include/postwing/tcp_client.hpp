// The event-driven TCP client socket behind SendMail::Winsock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "postwing/types.hpp"

namespace postwing {
namespace detail {
struct TcpClientAccess;
}

// A TCP client on the thread's event loop. Name resolution runs off the loop and the
// connect is non-blocking; every event is delivered on the thread that created it.
// Errors carry Windows Sockets numbers (11001 host not found, 10061 refused, ...).
class TcpClient : public Object {
 public:
  enum States : int32_t {
    sckClosed = 0,
    sckOpen = 1,
    sckListening = 2,
    sckConnectionPending = 3,
    sckResolvingHost = 4,
    sckHostResolved = 5,
    sckConnecting = 6,
    sckConnected = 7,
    sckClosing = 8,
    sckError = 9,
  };

  explicit TcpClient(detail::PassKey);
  ~TcpClient() override;
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  int32_t State() const;
  // The bound port while there is a connection, else the port to bind (0 = any).
  int32_t LocalPort() const;
  // Ports outside 0..65535 raise error 380.
  void SetLocalPort(int32_t port);
  int32_t RemotePort() const;
  void SetRemotePort(int32_t port);
  std::string RemoteHost() const;
  void SetRemoteHost(std::string host);
  // The dotted (or IPv6) address of the peer once connected.
  std::string RemoteHostIP() const;
  // The local address of the connection in dotted (or IPv6) form.
  std::string LocalIP() const;
  // The operating-system descriptor, -1 when there is none.
  int SocketHandle() const;
  // Options of the operating-system socket; each returns 0, or the system's error number.
  int32_t KeepAlive(bool& on) const;
  int32_t SetKeepAlive(bool on);
  // Seconds a blocked write or read may wait; 0 for no limit.
  int32_t SetSendTimeout(int32_t seconds);
  int32_t SetReceiveTimeout(int32_t seconds);
  // Bytes received and not yet taken by GetData.
  int32_t BytesReceived() const;
  // Bytes queued by SendData and not yet written (with TLS: plaintext whose records are not
  // yet written), so a writer of much data can wait for room instead of queueing it all.
  uint64_t BytesUnsent() const;

  // Starts resolving RemoteHost and connecting to RemotePort; returns at once. Every
  // address the name resolves to is tried in order. Raises error 40020 unless Closed.
  void Connect();
  // Closes the connection; harmless on a closed socket. Pending writes are dropped.
  void Close();
  // Queues data; it is written as the peer accepts it. The string is moved, not copied.
  // Raises error 40006 unless Connected.
  void SendData(std::string data);
  // Hands over all data received and not yet taken.
  void GetData(std::string& data);

  // Event handlers; each is called on the loop's thread.
  void SetOnConnect(std::function<void()> handler);
  void SetOnDataArrival(std::function<void(int32_t bytes_total)> handler);
  void SetOnClose(std::function<void()> handler);
  void SetOnError(std::function<void(int32_t number, const std::string& description)> handler);
  // After each write, once per SendData piece the write reached, in order: the bytes of
  // the piece this write sent, and the bytes of the piece still waiting (0 on its last).
  void SetOnSendProgress(std::function<void(int32_t bytes_sent, int32_t bytes_remaining)> handler);
  void SetOnSendComplete(std::function<void()> handler);

  // Encrypts the open connection (TLS client): what was received and not yet taken is
  // dropped, the handshake runs on the loop, and from then on SendData and GetData carry
  // plaintext (SendProgress counts plaintext bytes). done(true, "TLSv1.3 <cipher>") once
  // established; on failure the connection is closed (State sckError) and done(false,
  // reason in words) is called. server_name is checked against the certificate when
  // verify is set (ca_file: PEM file to trust instead of the system's store).
  void StartTls(std::string server_name, bool verify, std::string ca_file,
                std::function<void(bool established, const std::string& text)> done);
  // The connection is encrypted (the handshake has completed).
  bool IsSecure() const;

 private:
  friend struct detail::TcpClientAccess;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace postwing
