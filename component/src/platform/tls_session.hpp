// TLS on memory buffers: the socket moves the ciphertext, this side only transforms it, so
// the handshake and the records run on the thread's event loop like any other I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace postwing::platform {

struct TlsOptions {
  // The name the certificate must carry (and the SNI, unless it is an address literal).
  std::string server_name;
  bool verify = true;
  // PEM file of trusted certificates; empty: the system's trust store.
  std::string ca_file;
};

class TlsSession {
 public:
  enum class Status { kDone, kPending, kFailed };
  enum class ReadResult { kOk, kClosed, kFailed };

  // Null, with error set to the reason in words, when the settings cannot be used.
  static std::unique_ptr<TlsSession> Create(const TlsOptions& options, std::string& error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Advances the client handshake with what has been fed so far.
  Status Handshake();
  // Ciphertext received from the peer.
  void Feed(const char* data, size_t size);
  // Appends the plaintext that can be decrypted now. kClosed: the peer ended the session.
  ReadResult Read(std::string& plain);
  // Encrypts into the output. False on failure (see ErrorText).
  bool Write(const char* data, size_t size);

  // Ciphertext waiting to be written to the socket.
  const char* OutputData() const { return output_.data() + output_offset_; }
  size_t OutputSize() const { return output_.size() - output_offset_; }
  void Consume(size_t size);
  // Every ciphertext byte ever put into the output.
  uint64_t Produced() const { return produced_; }

  // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established.
  std::string Established() const;
  const std::string& ErrorText() const { return error_; }

  struct Handles;

 private:
  TlsSession();
  void CollectOutput();
  void SetError(int ssl_error, const char* what);

  std::unique_ptr<Handles> h_;
  std::string output_;
  size_t output_offset_ = 0;
  uint64_t produced_ = 0;
  std::string error_;
};

}  // namespace postwing::platform
