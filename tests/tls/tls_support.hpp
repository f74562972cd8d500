// Test certificates for the TLS tests, made with the openssl command.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_support.hpp"

namespace tls_test {

namespace fs = std::filesystem;

// A CA, a server certificate it signed for 127.0.0.1 and localhost, and one for another
// name; made once for the whole suite.
class Certificates {
 public:
  static const Certificates& Get() {
    static Certificates c;
    return c;
  }
  fs::path ca, cert, key, wrong_cert, wrong_key;
  bool ok = false;

 private:
  Certificates() {
    const fs::path d = dir_.path();
    ca = d / "ca.pem";
    cert = d / "server.pem";
    key = d / "server.key";
    wrong_cert = d / "wrong.pem";
    wrong_key = d / "wrong.key";
    e2e::WriteFile(d / "server.ext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                   "extendedKeyUsage=serverAuth\n");
    e2e::WriteFile(d / "wrong.ext",
                   "subjectAltName=DNS:mail.example.test\nbasicConstraints=CA:FALSE\n"
                   "extendedKeyUsage=serverAuth\n");
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string cmd =
        "cd '" + d.string() + "' && openssl req -x509" + ec +
        " -keyout ca.key -out ca.pem -days 2 -subj '/CN=postwing test CA'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
        " && openssl req" +
        ec + " -keyout server.key -out server.csr -subj /CN=127.0.0.1" +
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
        " -out server.pem -days 2 -extfile server.ext" +
        " && openssl req" + ec + " -keyout wrong.key -out wrong.csr -subj /CN=mail.example.test" +
        " && openssl x509 -req -in wrong.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
        " -out wrong.pem -days 2 -extfile wrong.ext"
        " >/dev/null 2>&1";
    ok = std::system(cmd.c_str()) == 0 && fs::exists(cert) && fs::exists(wrong_cert);
  }
  e2e::TempDir dir_;
};

// The capture server's arguments for mode starttls, implicit or plain (no STARTTLS offered).
inline std::vector<std::string> ServerArgs(const fs::path& inbox, const std::string& mode,
                                           bool wrong_name) {
  const Certificates& c = Certificates::Get();
  std::vector<std::string> args = {e2e::ServersDir() + "capture_server.py",
                                   "--dir",
                                   inbox.string(),
                                   "--lifetime",
                                   "120",
                                   "--cert",
                                   (wrong_name ? c.wrong_cert : c.cert).string(),
                                   "--key",
                                   (wrong_name ? c.wrong_key : c.key).string()};
  if (mode != "plain") args.insert(args.end(), {"--tls", mode});
  return args;
}

}  // namespace tls_test
