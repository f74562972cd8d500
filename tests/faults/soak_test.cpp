// Many sends in a row against a fast local peer: on one object (with Clear) and on fresh
// objects. Open descriptors and the library's temporary files ("~pw*" in TempPath) stay
// constant and resident memory settles; LeakSanitizer (the sanitizer build) or valgrind
// (scripts/soak.sh) checks the memory itself. POSTWING_SOAK_SENDS sets the number of sends
// (200 by default; 2000 for a run by hand).
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/module.hpp"
#include "postwing/postwing.hpp"
#include "support/scripted_peer.hpp"
#include "support/send_outcome.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define POSTWING_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POSTWING_SOAK_ASAN 1
#endif
#endif

namespace {

using namespace postwing;

#ifdef POSTWING_SOAK_ASAN
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int Sends() {
  const char* env = std::getenv("POSTWING_SOAK_SENDS");
  const int n = env ? std::atoi(env) : 0;
  return n > 0 ? n : 200;
}

int CountEntries(const std::string& dir, const std::string& prefix) {
  int count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) count += std::string(e->d_name).rfind(prefix, 0) == 0;
    closedir(d);
  }
  return count;
}

int OpenDescriptors() {
  return CountEntries("/proc/self/fd", "");
}
int TempFiles() {
  return CountEntries(platform::TempPath(), "~pw");
}

// valgrind puts its preload libraries in the client's environment.
bool UnderValgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::string(preload).find("vgpreload") != std::string::npos;
}

// VmRSS of this process in KiB (0 where /proc is missing).
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Each send carries a file and an in-memory attachment; every other one is a plain RFC 822
// message, whose attachments are uuencoded (the encoder's staging files).
void Fill(SendMail& mail, int port, int n, const std::string& file) {
  mail.SetSMTPServer("127.0.0.1");
  mail.SetSMTPServerPort(port);
  mail.SetTimeOut(5);
  mail.Header()->SetFrom("from@example.org");
  mail.Header()->SetToList("to@example.org");
  mail.Header()->SetSubject("soak " + std::to_string(n));
  mail.Header()->SetMIMECompliant(n % 2 == 0);
  mail.Body()->SetText("soak body " + std::to_string(n) + "\r\n");
  mail.Attachments()->Add(file);
  mail.Attachments()->Add(std::string(1001, static_cast<char>(n)), "memory.dat");
}

// Growth of resident memory allowed from the end of the warm-up to the end of the run. A
// 2,000-send run of the plain build moves by less than 64 KiB either way; a leaked message
// (over 5 KiB with its attachments) per send exceeds this within 400 sends. Shorter runs
// rely on LeakSanitizer.
constexpr long kRssGrowthKiB = 2 * 1024;

class Soak : public ::testing::TestWithParam<bool> {};

TEST_P(Soak, DescriptorsTempFilesAndMemoryStayConstant) {
  const bool fresh_objects = GetParam();
  const int sends = Sends();
  // Long enough for the allocator's arenas and the loop's tables to reach their working size.
  const int warm_up = 20;
  // The peer is restarted per batch so that its own log does not grow with the run.
  const int batch = 100;
  const std::string file = platform::TempPath() + "pw_soak_" + std::to_string(getpid()) + ".bin";
  {
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 3000; ++i) out.put(static_cast<char>(i * 7));
  }
  support::ScriptedPeer server;
  auto mail = SendMail::Create();
  int fds = 0, temps = 0;
  long rss_warm = 0, rss_mid = 0, rss_peak = 0;
  for (int i = 0; i < sends + warm_up; ++i) {
    if (i % batch == 0) server.Serve(support::GoodDialogue(), std::min(batch, sends + warm_up - i));
    if (i == warm_up) {
      fds = OpenDescriptors();
      temps = TempFiles();
      rss_warm = ResidentKiB();
    }
    if (i == warm_up + sends / 2) rss_mid = ResidentKiB();
    if (fresh_objects) {
      mail = SendMail::Create();
    } else {
      mail->Clear();
    }
    Fill(*mail, server.port(), i, file);
    const auto o = support::SendAndWait(mail, std::chrono::seconds(10));
    ASSERT_EQ(o.completes, 1) << "send " << i << "\n" << o.Transcript();
    ASSERT_TRUE(o.Accepted()) << "send " << i << "\n" << o.Transcript();
    ASSERT_TRUE(o.errors.empty()) << "send " << i;
    if (i >= warm_up) rss_peak = std::max(rss_peak, ResidentKiB());
  }
  mail.reset();
  server.Join();
  RunEventsUntil([] { return false; }, std::chrono::milliseconds(20));
  const int fds_end = OpenDescriptors();
  // Other test processes may stage a file of their own for a moment: a leaked one stays.
  int temps_end = TempFiles();
  for (int tries = 0; temps_end != temps && tries < 20; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    temps_end = TempFiles();
  }
  const long rss_end = ResidentKiB();
  std::remove(file.c_str());
  std::printf(
      "[   SOAK   ] %s objects, %d sends after %d: descriptors %d -> %d, temp files %d -> %d, "
      "VmRSS KiB %ld after warm-up, %ld half-way, %ld at end (peak %ld, growth %+ld)\n",
      fresh_objects ? "fresh" : "cleared", sends, warm_up, fds, fds_end, temps, temps_end, rss_warm,
      rss_mid, rss_end, rss_peak, rss_end - rss_warm);
  std::fflush(stdout);
  // One less at most: the object of the last send is gone.
  EXPECT_LE(fds_end, fds);
  EXPECT_GE(fds_end, fds - 1);
  EXPECT_EQ(temps_end, temps);
  // ASan's quarantine holds freed blocks back (up to 256 MiB) and valgrind keeps its own
  // records, so only a plain build's resident size says anything.
  if (!kSanitized && !UnderValgrind()) {
    EXPECT_LT(rss_end - rss_warm, kRssGrowthKiB);
  }
}

INSTANTIATE_TEST_SUITE_P(Objects, Soak, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Fresh") : std::string("Cleared");
                         });

}  // namespace
