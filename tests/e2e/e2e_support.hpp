// Real peers for the end-to-end tests: Python servers on 127.0.0.1, the email parser, and a
// send driven on the library's own loop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "postwing/event_loop.hpp"
#include "postwing/send_mail.hpp"
#include "support/send_outcome.hpp"
#include "support/temp_dir.hpp"

namespace e2e {

namespace fs = std::filesystem;

inline std::string ServersDir() {
  return std::string(POSTWING_TESTS_DIR) + "/e2e/servers/";
}

using support::ReadFile;
using support::TempDir;
using support::WriteFile;

// A Python server started with /usr/bin/python3; it prints "PORT <n>" when it listens and
// is stopped (SIGTERM, then SIGKILL) when this object goes.
class PythonServer {
 public:
  explicit PythonServer(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      std::string python = POSTWING_PYTHON;
      argv.push_back(python.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(python.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    port_ = ReadPort(std::chrono::seconds(20));
  }
  ~PythonServer() { Stop(); }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;

  int port() const { return port_; }
  // What the server printed up to its "PORT" line.
  const std::string& banner() const { return banner_; }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int ReadPort(std::chrono::seconds limit) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buf[256];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        auto at = text.find("PORT ");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
          banner_ = text;
          return std::stoi(text.substr(at + 5));
        }
      }
    }
    Stop();
    throw std::runtime_error("the server did not report its port: " + text);
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  int port_ = 0;
  std::string banner_;
};

// n bytes of every value, the same for the same seed.
inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Runs a command and returns its standard output.
inline std::string Capture(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

inline std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case 'x':
        out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
        i += 2;
        break;
      default:
        out.push_back('\\');
        out.push_back(c);
        break;
    }
  }
  return out;
}

// A message as Python's email package reads it.
struct Parsed {
  struct Part {
    std::string content_type, filename, encoding, data;
    std::string charset = {};  // "--strict" only
    std::string content_id = {};
  };
  struct Address {
    std::string field, name, address;
  };
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<Part> parts;
  std::vector<Part> others;  // the second parser's leaf parts ("--strict")
  std::vector<Address> addresses;
  std::vector<std::pair<std::string, std::string>> uu;  // name, data
  std::string tree;                                     // "multipart/mixed[text/plain,image/png]"
  std::string defect_texts;
  long long date = -1;  // the Date field in seconds since 1970 ("--strict")
  int defects = -1;

  std::string Header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
      if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    }
    return "<absent>";
  }
};

inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// flags: dump_message.py's options ("--strict --crlf").
inline Parsed Parse(const fs::path& eml, const fs::path& outdir, const std::string& flags = "") {
  Parsed parsed;
  std::string out = Capture(std::string(POSTWING_PYTHON) + " " + ServersDir() + "dump_message.py " +
                            flags + " '" + eml.string() + "' '" + outdir.string() + "'");
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto f = SplitTabs(line);
    if (f[0] == "header" && f.size() >= 3) {
      parsed.headers.emplace_back(Unescape(f[1]), Unescape(f[2]));
    } else if (f[0] == "part" && f.size() >= 6) {
      parsed.parts.push_back({Unescape(f[2]), Unescape(f[3]), Unescape(f[4]), ReadFile(f[5]),
                              f.size() > 6 ? f[6] : ""});
    } else if (f[0] == "other" && f.size() >= 6) {
      parsed.others.push_back({Unescape(f[2]), Unescape(f[3]), Unescape(f[4]), ReadFile(f[5])});
    } else if (f[0] == "addr" && f.size() >= 4) {
      parsed.addresses.push_back({f[1], f[2] == "-" ? "" : Unescape(f[2]), Unescape(f[3])});
    } else if (f[0] == "cid" && f.size() >= 3 && std::stoul(f[1]) <= parsed.parts.size()) {
      parsed.parts[std::stoul(f[1]) - 1].content_id = Unescape(f[2]);
    } else if (f[0] == "tree" && f.size() >= 2) {
      parsed.tree = Unescape(f[1]);
    } else if (f[0] == "date" && f.size() >= 2) {
      parsed.date = std::stoll(f[1]);
    } else if (f[0] == "defect" && f.size() >= 2) {
      parsed.defect_texts += Unescape(f[1]) + "; ";
    } else if (f[0] == "uu" && f.size() >= 4) {
      parsed.uu.emplace_back(Unescape(f[2]), ReadFile(f[3]));
    } else if (f[0] == "defects") {
      parsed.defects = std::stoi(f[1]);
    }
  }
  return parsed;
}

}  // namespace e2e
