// Runs postwing-send (or any program) as a child process, and the capture SMTP server.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/e2e_support.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace cli_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ProcessResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timed_out = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

struct ProcessSpec {
  std::vector<std::string> argv;
  // Variables to set (a value) or remove (nullopt) in the child's environment.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_text;
  std::chrono::milliseconds limit{60000};
};

inline std::vector<std::string> ChildEnvironment(
    std::map<std::string, std::optional<std::string>> changes) {
  // postwing-send reads none of the machine's accounts files unless a test names one.
  changes.insert({{"POSTWING_ACCOUNTS", ""}, {"POSTWING_SYSTEM_ACCOUNTS", ""}});
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (!changes.count(name)) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

// Runs the program to its end (killed at the limit), stdin_text as its input, and collects
// both outputs. They go through files, so the child never waits on a pipe nobody reads.
inline ProcessResult RunProcess(const ProcessSpec& job) {
  support::TempDir dir;
  support::WriteFile(dir.path() / "in", job.stdin_text);
  const std::string in = (dir.path() / "in").string(), out = (dir.path() / "out").string(),
                    err = (dir.path() / "err").string();
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env_strings = ChildEnvironment(job.env);
  std::vector<char*> argv, envp;
  for (const auto& a : job.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                        open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
    for (int k = 0; k < 3; ++k) dup2(fds[k], k);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ProcessResult r;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (!r.timed_out && Clock::now() - start > job.limit) {
      r.timed_out = true;
      kill(pid, SIGKILL);
    }
    usleep(2000);
  }
  r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = support::ReadFile(out);
  r.err = support::ReadFile(err);
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
  fs::path message(int n) const {
    char name[16];
    std::snprintf(name, sizeof name, "%04d.eml", n);
    return inbox() / name;
  }
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
