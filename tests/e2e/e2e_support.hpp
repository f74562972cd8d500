// Real peers for the end-to-end tests: Python servers on 127.0.0.1, the private Postfix's
// Maildir and the two email parsers; sends are driven on the library's own loop
// (support/send_outcome.hpp).
#pragma once

#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/send_outcome.hpp"
#include "support/temp_dir.hpp"

namespace e2e {

namespace fs = std::filesystem;
using support::RandomBytes;
using support::ReadFile;
using support::TempDir;
using support::WriteFile;

inline std::string ServersDir() {
  return std::string(POSTWING_TESTS_DIR) + "/e2e/servers/";
}

// A Python server started with /usr/bin/python3; it prints "PORT <n>" when it listens and
// is stopped (SIGTERM, then SIGKILL) when this object goes.
class PythonServer {
 public:
  explicit PythonServer(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0 || (pid_ = fork()) < 0) throw std::runtime_error("pipe or fork failed");
    if (pid_ == 0) {
      dup2(out[1], 1);
      args.insert(args.begin(), POSTWING_PYTHON);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    while (banner_.find('\n', banner_.find("PORT ")) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      char buf[256];
      const ssize_t n = poll(&p, 1, 20000) > 0 ? read(fd_, buf, sizeof buf) : -1;
      if (n <= 0) {
        Stop();
        throw std::runtime_error("the server did not report its port: " + banner_);
      }
      banner_.append(buf, static_cast<size_t>(n));
    }
  }
  ~PythonServer() { Stop(); }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;

  // The port it printed as "NAME <port>".
  int port(const std::string& name = "PORT") const {
    return std::stoi(banner_.substr(banner_.find(name + " ") + name.size() + 1));
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int tries = 0; waitpid(pid_, nullptr, WNOHANG) == 0; ++tries) {
      if (tries == 100) kill(pid_, SIGKILL);  // 3 s after SIGTERM
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    close(fd_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string banner_;  // what the server printed up to its "PORT" line
};

// Runs a command and returns its standard output.
inline std::string Capture(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  pclose(f);
  return out;
}

// A message delivered by the private Postfix, with what it added: the envelope's sender
// (Return-Path) and the recipient (Delivered-To).
struct Copy {
  fs::path path;
  std::string sender, recipient, subject;
};

inline std::vector<Copy> Delivered(const fs::path& maildir) {
  std::vector<Copy> copies;
  for (const auto& entry : fs::directory_iterator(maildir / "new")) {
    Copy& copy = copies.emplace_back(Copy{entry.path(), "", "", ""});
    std::istringstream in(ReadFile(entry.path()));
    for (std::string line; std::getline(in, line) && !line.empty();) {
      const size_t colon = line.find(": ");
      const std::string name = line.substr(0, colon), value = line.substr(colon + 2);
      if (name == "Return-Path") copy.sender = value.substr(1, value.size() - 2);
      if (name == "Delivered-To") copy.recipient = value;
      if (strcasecmp(name.c_str(), "Subject") == 0) copy.subject = value;
    }
  }
  return copies;
}

// A message as Python's email package (parts) and maildrop's reformime (others) read it.
struct Parsed {
  struct Part {
    std::string content_type, filename, encoding, data, charset, content_id;
  };
  struct Address {
    std::string field, name, address;
  };
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<Part> parts, others;
  std::vector<Address> addresses;
  std::string tree;     // "multipart/mixed[text/plain,image/png]"
  std::string defects;  // each defect Python registered, "; " after each
  long long date = -1;  // the Date field in seconds since 1970

  std::string Header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
      if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    }
    return "<absent>";
  }
};

// flags: dump_message.py's options ("--crlf" for a Maildir's copy).
inline Parsed Parse(const fs::path& eml, const std::string& flags = "") {
  Parsed p;
  std::istringstream lines(Capture(std::string(POSTWING_PYTHON) + " " + ServersDir() +
                                   "dump_message.py " + flags + " '" + eml.string() + "'"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::vector<std::string> f;  // the kind, then each field's bytes
    for (std::string hex; std::getline(fields, hex, '\t');) {
      std::string& bytes = f.emplace_back(f.empty() ? hex : "");
      for (size_t i = 0; f.size() > 1 && i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      }
    }
    f.resize(7);
    if (f[0] == "header") p.headers.emplace_back(f[1], f[2]);
    if (f[0] == "addr") p.addresses.push_back({f[1], f[2], f[3]});
    if (f[0] == "part" || f[0] == "other") {
      (f[0] == "part" ? p.parts : p.others).push_back({f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    if (f[0] == "tree") p.tree = f[1];
    if (f[0] == "date") p.date = std::stoll(f[1]);
    if (f[0] == "defect") p.defects += f[1] + "; ";
  }
  if (p.tree.empty()) throw std::runtime_error("dump_message.py failed on " + eml.string());
  return p;
}

}  // namespace e2e
