#include "platform/module.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "message/message_test_util.hpp"
#include "platform/content_types.hpp"
#include "postwing/exception.hpp"

namespace postwing::platform {
namespace {

using testing::Raised;
using testing::ScopedEnv;

// Files of known size are read straight, those whose size the system does not tell (pipes,
// /proc) to their end.
TEST(WholeFile, ReadsEveryByteOfFilesPipesAndProc) {
  support::TempDir dir;
  for (size_t size : {size_t{0}, size_t{256}, size_t{65536}, size_t{65537}, size_t{5000003}}) {
    const std::string data = support::RandomBytes(size, 1);
    EXPECT_TRUE(ReadWholeFile(dir.File("f", data)) == data) << size;
  }
  EXPECT_NE(ReadWholeFile("/proc/self/status").find("Name:"), std::string::npos);
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string data = support::RandomBytes(300001, 2);
  std::thread writer([&] {  // in pieces: more than one read piece
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < data.size();) {
      const ssize_t n = ::write(fd, data.data() + at, std::min<size_t>(7000, data.size() - at));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::close(fd);
  });
  const std::string read = ReadWholeFile(fifo);
  writer.join();
  EXPECT_TRUE(read == data);
}

TEST(WholeFile, WriteTruncatesAndErrorsCarryTheRuntimeFileNumbers) {
  support::TempDir dir;
  const std::string path = dir.File("out.bin", support::RandomBytes(200000, 3));
  WriteWholeFile(path, "short");
  EXPECT_EQ(ReadWholeFile(path), "short");
  const std::string missing = (dir / "missing.txt").string();
  EXPECT_EQ(Raised([&] { ReadWholeFile(missing); }).Description(), "File not found");
  EXPECT_EQ(Raised([&] { ReadWholeFile(missing); }).Number(), 53);
  EXPECT_EQ(Raised([&] { ReadWholeFile(dir.path().string()); }).Number(), 75);
  EXPECT_EQ(Raised([&] { ReadWholeFile((dir / "no/dir/f").string()); }).Number(), 53);
  EXPECT_EQ(Raised([&] { WriteWholeFile((dir / "no/dir/f").string(), "x"); }).Number(), 76);
  if (::geteuid() != 0) {  // root reads everything
    const std::string locked = dir.File("locked", "secret");
    ::chmod(locked.c_str(), 0);
    EXPECT_EQ(Raised([&] { ReadWholeFile(locked); }).Number(), 70);
  }
}

TEST(PathHelpers, ExtensionFileNameAndExistingFile) {
  // clang-format off
  const char* cases[][3] = {  // path, extension, file name
      {"/home/ann/report.pdf", "pdf", "report.pdf"}, {"C:\\Docs\\report.PDF", "PDF", "report.PDF"},
      {"/home/ann.b/README", "", "README"}, {"C:\\ann.b\\README", "", "README"},  // a folder's dot
      {"/mixed\\style/name.tar.gz", "gz", "name.tar.gz"}, {"/tmp/trailing.", "", "trailing."},
      {"/tmp/ spaced.txt ", "txt", "spaced.txt"}, {"", "", ""}, {"/dir/", "", ""},
      {"/tmp/meeting 10:30.txt", "txt", "meeting 10:30.txt"},
      {"bare.txt", "txt", "bare.txt"}};  // a name in the working folder
  // clang-format on
  for (const auto& [path, extension, file_name] : cases) {
    EXPECT_EQ(ExtensionOf(path), extension) << path;
    EXPECT_EQ(FileNameOf(path), file_name) << path;
  }
  support::TempDir dir;
  const std::string file = dir.File("f.txt");
  const std::string link = (dir / "link").string();
  ASSERT_EQ(0, ::symlink(file.c_str(), link.c_str()));
  EXPECT_TRUE(IsExistingFile(file));
  EXPECT_TRUE(IsExistingFile(link));
  for (std::string other :
       {dir.path().string(), (dir / "none").string(), std::string(), std::string("/dev/null")}) {
    EXPECT_FALSE(IsExistingFile(other)) << other;
  }
}

// The user's file over the system's over the compiled-in table, which serves a machine
// without files.
TEST(ContentTypes, UserFileOverSystemFileOverTheTable) {
  support::TempDir dir;
  ScopedEnv home("HOME", dir.path().c_str());
  ReloadContentTypes((dir / "no-mime.types").string());
  for (const char* ext : {"pdf", ".PDF"})
    EXPECT_EQ(ContentTypeForExtension(ext), "application/pdf");
  EXPECT_EQ(ContentTypeForExtension("JPEG"), "image/jpeg");
  EXPECT_EQ(ContentTypeForExtension("no-such-ext"), "");
  EXPECT_EQ(ContentTypeForExtension(""), "");
  EXPECT_EQ(ContentTypeForFileName("/a/b/c.Pdf"), "application/pdf");
  EXPECT_EQ(ContentTypeForFileName("C:\\dir.pdf\\file"), "");
  const std::string system =
      dir.File("mime.types",
               "# comment line\napplication/x-first\tdup sh\napplication/x-second dup\n"
               "text/x-system  sys PDF # trailing comment\nnot-a-type ignored\n");
  dir.File(".mime.types", "text/x-mine sys\n");
  ReloadContentTypes(system);
  EXPECT_EQ(ContentTypeForExtension("dup"), "application/x-first");  // first line wins
  EXPECT_EQ(ContentTypeForExtension("pdf"), "text/x-system");        // file over the table
  EXPECT_EQ(ContentTypeForExtension("sys"), "text/x-mine");          // user over system
  EXPECT_EQ(ContentTypeForExtension("ignored"), "");
  EXPECT_EQ(ContentTypeForExtension("png"), "image/png");  // still from the table
  ReloadContentTypes();
}

TEST(TempFiles, TempPathFollowsTmpdirAndTempFileNameMakesAnEmptyPrivateFile) {
  support::TempDir dir;
  for (const std::string& unusable : {std::string(), (dir / "not-there").string()}) {
    ScopedEnv tmp("TMPDIR", unusable.empty() ? nullptr : unusable.c_str());
    EXPECT_EQ(TempPath(), "/tmp/");
  }
  ScopedEnv tmp("TMPDIR", dir.path().c_str());
  EXPECT_EQ(TempPath(), dir.path().string() + "/");
  const std::string a = TempFileName();
  EXPECT_NE(a, TempFileName());
  EXPECT_EQ(a.rfind(dir.path().string() + "/~pw", 0), 0u) << a;
  struct stat st {};
  ASSERT_EQ(0, ::stat(a.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No one, root included, creates files in /proc.
  ScopedEnv proc("TMPDIR", "/proc");
  const Exception e = Raised([] { TempFileName(); });
  EXPECT_TRUE(e.Number() == ENOENT || e.Number() == EACCES) << e.Number();
  EXPECT_EQ(e.Description(), "Error determining TempFileName");
}

TEST(TimeZone, RuleCasesAndTheLocalZoneWithDaylightSavingTime) {
  EXPECT_EQ(TimeZoneText(300, -60, true), "-0400");
  EXPECT_EQ(TimeZoneText(-765, 0, false), "+1245");
  const char* cases[][3] = {// zone, what it shows in winter and in summer
                            {"IST-5:30", "+0530", "+0530"},
                            {"EST5EDT,M3.2.0,M11.1.0", "-0500", "-0400"},
                            {"CET-1CEST,M3.5.0,M10.5.0/3", "+0100", "+0200"}};
  const std::time_t now = std::time(nullptr);
  for (const auto& c : cases) {
    testing::ScopedZone zone(c[0]);
    std::tm local{};
    ::localtime_r(&now, &local);
    EXPECT_EQ(TimeZoneText(), local.tm_isdst > 0 ? c[2] : c[1]) << c[0];
  }
}

}  // namespace
}  // namespace postwing::platform
