// CPU time of Send's connect wait for a server that accepts and never greets: the wait
// sleeps in the event loop, so a TimeOut-long wait should cost next to nothing.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "postwing/postwing.hpp"

namespace {

double ThreadCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A listening socket on 127.0.0.1: the kernel completes the handshake from its backlog, so
// the client connects and then hears nothing.
struct SilentServer {
  int fd = -1;
  int port = 0;
  SilentServer() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~SilentServer() { ::close(fd); }
};

void BM_ConnectWaitSilentServer(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  SilentServer server;
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    auto mail = postwing::SendMail::Create();
    mail->SetSMTPServer("127.0.0.1");
    mail->SetSMTPServerPort(server.port);
    mail->SetTimeOut(seconds);
    mail->Header()->SetFrom("a@example.org");
    mail->Header()->SetToList("b@example.org");
    mail->Body()->SetText(postwing::Variant("x"));
    double cpu0 = ThreadCpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    mail->Send();
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += ThreadCpuSeconds() - cpu0;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["wall_s"] = wall / n;
  state.counters["cpu_s"] = cpu / n;
  state.counters["cpu_pct_of_core"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_ConnectWaitSilentServer)->Arg(5)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
