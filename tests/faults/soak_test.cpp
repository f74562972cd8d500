// Many sends in a row against a fast local peer: on one object (with Clear) and on fresh
// objects. Open descriptors and the library's temporary files ("~pw*" in TempPath) stay
// constant; LeakSanitizer (the sanitizer build) checks the memory. POSTWING_SOAK_SENDS sets
// the number of sends (200 by default; 2000 for a run by hand).
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "faults/fault_server.hpp"
#include "faults/fault_support.hpp"
#include "platform/module.hpp"
#include "postwing/postwing.hpp"

namespace {

using namespace postwing;

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

std::vector<faults::Step> Dialogue() {
  using namespace faults;
  return {Send("220 ready\r\n"),    Expect("HELO"), Send("250 hello\r\n"),    Expect("MAIL"),
          Send("250 ok\r\n"),       Expect("RCPT"), Send("250 ok\r\n"),       Expect("DATA"),
          Send("354 go ahead\r\n"), Data(),         Send("250 accepted\r\n"), Expect("QUIT"),
          Send("221 bye\r\n")};
}

void Fill(SendMail& mail, int port, int n) {
  mail.SetSMTPServer("127.0.0.1");
  mail.SetSMTPServerPort(port);
  mail.SetTimeOut(5);
  mail.Header()->SetFrom("from@example.org");
  mail.Header()->SetToList("to@example.org");
  mail.Header()->SetSubject("soak " + std::to_string(n));
  mail.Body()->SetText("soak body " + std::to_string(n) + "\r\n");
}

class Soak : public ::testing::TestWithParam<bool> {};

TEST_P(Soak, DescriptorsAndTempFilesStayConstant) {
  const bool fresh_objects = GetParam();
  const int sends = Sends();
  faults::FaultServer server;
  const int warm_up = 3;
  server.Serve(Dialogue(), sends + warm_up);
  auto mail = SendMail::Create();
  int fds = 0, temps = 0;
  for (int i = 0; i < sends + warm_up; ++i) {
    if (i == warm_up) {
      fds = OpenDescriptors();
      temps = TempFiles();
    }
    if (fresh_objects) {
      mail = SendMail::Create();
    } else {
      mail->Clear();
    }
    Fill(*mail, server.port(), i);
    const auto o = faults::SendAndWait(mail, std::chrono::seconds(10));
    ASSERT_EQ(o.completes, 1) << "send " << i << "\n" << o.Transcript();
    ASSERT_TRUE(o.Accepted()) << "send " << i << "\n" << o.Transcript();
    ASSERT_TRUE(o.errors.empty()) << "send " << i;
  }
  mail.reset();
  server.Join();
  RunEventsUntil([] { return false; }, std::chrono::milliseconds(20));
  // One less at most: the object of the last send is gone.
  EXPECT_LE(OpenDescriptors(), fds);
  EXPECT_GE(OpenDescriptors(), fds - 1);
  EXPECT_EQ(TempFiles(), temps);
}

INSTANTIATE_TEST_SUITE_P(Objects, Soak, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Fresh") : std::string("Cleared");
                         });

}  // namespace
