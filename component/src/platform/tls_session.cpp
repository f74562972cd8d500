// OpenSSL client sessions on memory BIOs.
#include "platform/tls_session.hpp"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace postwing::platform {
namespace {

bool IsAddressLiteral(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

// OpenSSL's reason for the oldest error in the queue, in words; empties the queue.
std::string QueuedReason() {
  std::string reason;
  while (unsigned long e = ERR_get_error()) {
    if (!reason.empty()) continue;
    const char* text = ERR_reason_error_string(e);
    if (text != nullptr) {
      reason = text;
    } else {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      reason = buf;
    }
  }
  return reason;
}

}  // namespace

struct TlsSession::Handles {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // owned by ssl
  BIO* out = nullptr;  // owned by ssl
  bool verify = true;
  ~Handles() {
    if (ssl != nullptr) SSL_free(ssl);
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

TlsSession::TlsSession() : h_(std::make_unique<Handles>()) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Create(const TlsOptions& options, std::string& error) {
  ERR_clear_error();
  std::unique_ptr<TlsSession> s(new TlsSession());
  Handles& h = *s->h_;
  h.verify = options.verify;
  auto fail = [&](const std::string& text) {
    const std::string reason = QueuedReason();
    error = reason.empty() ? text + "." : text + ": " + reason + ".";
    return nullptr;
  };
  h.ctx = SSL_CTX_new(TLS_client_method());
  if (h.ctx == nullptr) return fail("TLS could not be set up");
  SSL_CTX_set_min_proto_version(h.ctx, TLS1_2_VERSION);
  if (options.verify) {
    if (!options.ca_file.empty()) {
      if (SSL_CTX_load_verify_locations(h.ctx, options.ca_file.c_str(), nullptr) != 1) {
        return fail("The certificate file '" + options.ca_file + "' could not be read");
      }
    } else if (SSL_CTX_set_default_verify_paths(h.ctx) != 1) {
      return fail("The system's trusted certificates could not be loaded");
    }
    SSL_CTX_set_verify(h.ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(h.ctx, SSL_VERIFY_NONE, nullptr);
  }
  h.ssl = SSL_new(h.ctx);
  if (h.ssl == nullptr) return fail("TLS could not be set up");
  h.in = BIO_new(BIO_s_mem());
  h.out = BIO_new(BIO_s_mem());
  if (h.in == nullptr || h.out == nullptr) {
    BIO_free(h.in);
    BIO_free(h.out);
    return fail("TLS could not be set up");
  }
  // An empty memory BIO means "no data yet", not end of stream.
  BIO_set_mem_eof_return(h.in, -1);
  SSL_set_bio(h.ssl, h.in, h.out);
  SSL_set_connect_state(h.ssl);

  std::string name = options.server_name;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  const bool literal = IsAddressLiteral(name);
  if (!literal && !name.empty() && SSL_set_tlsext_host_name(h.ssl, name.c_str()) != 1) {
    return fail("The server name '" + name + "' cannot be used for TLS");
  }
  if (options.verify) {
    int ok = 0;
    if (literal) {
      ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(h.ssl), name.c_str());
    } else {
      SSL_set_hostflags(h.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      ok = SSL_set1_host(h.ssl, name.c_str());
    }
    if (ok != 1)
      return fail("The server name '" + name + "' cannot be checked against a certificate");
  }
  return s;
}

void TlsSession::Feed(const char* data, size_t size) {
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
    const int n = BIO_write(h_->in, data, chunk);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void TlsSession::CollectOutput() {
  const size_t pending = BIO_ctrl_pending(h_->out);
  if (pending == 0) return;
  if (output_offset_ == output_.size()) {
    output_.clear();
    output_offset_ = 0;
  }
  const size_t old = output_.size();
  output_.resize(old + pending);
  const int n = BIO_read(h_->out, output_.data() + old, static_cast<int>(pending));
  output_.resize(old + static_cast<size_t>(std::max(n, 0)));
  produced_ += static_cast<uint64_t>(std::max(n, 0));
}

void TlsSession::Consume(size_t size) {
  output_offset_ += std::min(size, OutputSize());
  if (output_offset_ == output_.size()) {
    output_.clear();
    output_offset_ = 0;
  } else if (output_offset_ > (1u << 20) && output_offset_ > output_.size() / 2) {
    output_.erase(0, output_offset_);
    output_offset_ = 0;
  }
}

void TlsSession::SetError(int ssl_error, const char* what) {
  if (h_->verify) {
    const long result = SSL_get_verify_result(h_->ssl);
    if (result != X509_V_OK) {
      ERR_clear_error();
      error_ = std::string("The server's certificate was not accepted: ") +
               X509_verify_cert_error_string(result) + ".";
      return;
    }
  }
  std::string reason = QueuedReason();
  if (reason.empty() && ssl_error == SSL_ERROR_SYSCALL)
    reason = "the connection ended unexpectedly";
  error_ = std::string(what) + (reason.empty() ? "." : ": " + reason + ".");
}

TlsSession::Status TlsSession::Handshake() {
  ERR_clear_error();
  const int rc = SSL_do_handshake(h_->ssl);
  CollectOutput();
  if (rc == 1) return Status::kDone;
  const int e = SSL_get_error(h_->ssl, rc);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return Status::kPending;
  SetError(e, "The TLS handshake failed");
  return Status::kFailed;
}

TlsSession::ReadResult TlsSession::Read(std::string& plain) {
  char buf[16 * 1024];
  for (;;) {
    ERR_clear_error();
    size_t got = 0;
    const int rc = SSL_read_ex(h_->ssl, buf, sizeof buf, &got);
    if (rc == 1) {
      plain.append(buf, got);
      continue;
    }
    const int e = SSL_get_error(h_->ssl, rc);
    CollectOutput();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return ReadResult::kOk;
    if (e == SSL_ERROR_ZERO_RETURN) return ReadResult::kClosed;
    SetError(e, "The encrypted connection failed");
    return ReadResult::kFailed;
  }
}

bool TlsSession::Write(const char* data, size_t size) {
  ERR_clear_error();
  size_t written = 0;
  // Memory BIOs grow as needed, so a write completes at once.
  const int rc = SSL_write_ex(h_->ssl, data, size, &written);
  CollectOutput();
  if (rc == 1 && written == size) return true;
  SetError(SSL_get_error(h_->ssl, rc), "The encrypted connection failed");
  return false;
}

std::string TlsSession::Established() const {
  const char* cipher = SSL_get_cipher_name(h_->ssl);
  return std::string(SSL_get_version(h_->ssl)) + " " + (cipher != nullptr ? cipher : "");
}

}  // namespace postwing::platform
