// Runs postwing-send (or any program) as a child process, and the capture SMTP server.
#pragma once

#include <fcntl.h>
#include <poll.h>
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

// Runs the program to its end (killed at the limit), feeding stdin_text and collecting both
// outputs.
inline ProcessResult RunProcess(const ProcessSpec& job) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env_strings = ChildEnvironment(job.env);
  std::vector<char*> argv, envp;
  for (const auto& a : job.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);

  ProcessResult r;
  size_t written = 0;
  int stdin_fd = in[1];
  if (job.stdin_text.empty()) {
    close(stdin_fd);
    stdin_fd = -1;
  }
  int open_outputs = 2;
  const auto deadline = start + job.limit;
  while (open_outputs > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {stdin_fd, POLLOUT, 0}};
    int n = poll(fds, stdin_fd >= 0 ? 3 : 2, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[65536];
        ssize_t got = read(fds[k].fd, buf, sizeof buf);
        if (got > 0) {
          (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          close(fds[k].fd);
          (k == 0 ? out[0] : err[0]) = -1;
          --open_outputs;
        }
      }
    }
    if (stdin_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put =
          write(stdin_fd, job.stdin_text.data() + written, job.stdin_text.size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = job.stdin_text.size();
      if (written == job.stdin_text.size()) {
        close(stdin_fd);
        stdin_fd = -1;
      }
    }
  }
  if (stdin_fd >= 0) close(stdin_fd);
  if (out[0] >= 0) close(out[0]);
  if (err[0] >= 0) close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
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
  std::string Transcript() const { return e2e::ReadFile(inbox() / "transcript.jsonl"); }

 private:
  e2e::TempDir dir_;
  std::unique_ptr<e2e::PythonServer> server_;
};

}  // namespace cli_test
