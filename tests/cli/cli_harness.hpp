// Runs postwing-send (or any program) as a child process, and the capture SMTP server.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.hpp"
#include "support/temp_dir.hpp"

namespace cli_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ProcessResult {
  int exit_code = -1;  // -1 when killed by a signal (at the minute's limit)
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

struct ProcessSpec {
  std::vector<std::string> argv;
  // Variables to set (a value) or remove (nullopt) in the child's environment.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_text;
};

// Any text as one word for sh, line breaks and quotes included.
inline std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the program to its end (killed after a minute), stdin_text as its input, and collects
// both outputs. They go through files, so the child never waits on a pipe nobody reads.
inline ProcessResult RunProcess(const ProcessSpec& job) {
  support::TempDir dir;
  support::WriteFile(dir / "in", job.stdin_text);
  auto env = job.env;
  // postwing-send reads none of the machine's accounts files unless a test names one.
  env.insert({{"POSTWING_ACCOUNTS", ""}, {"POSTWING_SYSTEM_ACCOUNTS", ""}});
  std::string command = "exec timeout -s KILL 60 env";
  for (const auto& [name, value] : env) command += value ? "" : " -u " + Quoted(name);
  for (const auto& [name, value] : env) command += value ? " " + Quoted(name + "=" + *value) : "";
  for (const auto& a : job.argv) command += " " + Quoted(a);
  command += " <" + Quoted(dir / "in") + " >" + Quoted(dir / "out") + " 2>" + Quoted(dir / "err");
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  ProcessResult r;
  r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.out = support::ReadFile(dir / "out");
  r.err = support::ReadFile(dir / "err");
  return r;
}

// tests/e2e/servers/capture_server.py with its inbox in a folder of its own; every accepted
// message lands there as 0001.eml (+ 0001.json for the envelope).
class CaptureServer {
 public:
  explicit CaptureServer(std::vector<std::string> extra_args = {}) {
    std::vector<std::string> args = {e2e::ServersDir() + "capture_server.py", "--dir",
                                     inbox().string(), "--lifetime", "180"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    server_ = std::make_unique<e2e::PythonServer>(args);
  }

  int port() const { return server_->port(); }
  std::string port_text() const { return std::to_string(port()); }
  fs::path inbox() const { return dir_ / "inbox"; }
  fs::path message(int n) const { return inbox() / (std::to_string(10000 + n).substr(1) + ".eml"); }
  int MessageCount() const {
    int count = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(inbox(), ec))
      count += e.path().extension() == ".eml";
    return count;
  }
  std::string Transcript() const { return support::ReadFile(inbox() / "transcript.jsonl"); }

 private:
  support::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
};

}  // namespace cli_test
