#include "platform/module.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "platform/content_types.hpp"
#include "postwing/exception.hpp"

namespace postwing::platform {
namespace {

// A private directory under the system's temporary directory, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/pw-module-test-XXXXXX";
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    EXPECT_EQ(0, std::system(cmd.c_str()));
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name, const std::string& content) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  std::string path_;
};

// Sets an environment variable for the scope of a test.
class EnvOverride {
 public:
  EnvOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~EnvOverride() {
    if (had_)
      ::setenv(name_.c_str(), old_.c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

int ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Number();
  }
  return 0;
}

TEST(WholeFile, ReadsEveryByteValueInOrder) {
  ScratchDir dir;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  std::string text = ReadWholeFile(dir.File("all.bin", bytes));
  ASSERT_EQ(text.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<unsigned char>(text[i]), i);
}

TEST(WholeFile, EmptyFileGivesEmptyText) {
  ScratchDir dir;
  EXPECT_EQ(ReadWholeFile(dir.File("empty", "")), "");
}

TEST(WholeFile, ErrorsCarryTheRuntimeFileNumbers) {
  ScratchDir dir;
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(dir.path() + "/missing.txt"); }), 53);
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(dir.path()); }), 75);  // a directory
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(dir.path() + "/no/such/dir/f"); }), 53);
  EXPECT_EQ(ErrorNumberOf([&] { WriteWholeFile(dir.path() + "/no/such/dir/f", "x"); }), 76);
  if (::geteuid() != 0) {  // root reads everything
    std::string locked = dir.File("locked", "secret");
    ::chmod(locked.c_str(), 0);
    EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(locked); }), 70);
  }
  try {
    ReadWholeFile(dir.path() + "/missing.txt");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Source(), "postwing");
    EXPECT_EQ(e.Description(), "File not found");
  }
}

TEST(WholeFile, WriteCreatesTruncatesAndRoundTrips) {
  ScratchDir dir;
  std::string path = dir.path() + "/out.bin";
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  WriteWholeFile(path, big);
  EXPECT_EQ(ReadWholeFile(path), big);
  WriteWholeFile(path, "short");
  EXPECT_EQ(ReadWholeFile(path), "short");
  WriteWholeFile(path, "");
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(PathHelpers, ExtensionAndFileNameWithEitherSeparator) {
  struct Case {
    const char* path;
    const char* extension;
    const char* file_name;
  } cases[] = {
      {"/home/ann/report.pdf", "pdf", "report.pdf"},
      {"C:\\Docs\\report.PDF", "PDF", "report.PDF"},
      {"/home/ann.b/README", "", "README"},  // the dot is in a directory name
      {"C:\\ann.b\\README", "", "README"},
      {"/mixed\\style/name.tar.gz", "gz", "name.tar.gz"},
      {"/tmp/trailing.", "", "trailing."},
      {"/tmp/ spaced.txt ", "txt", "spaced.txt"},
      {"/tmp/meeting 10:30.txt", "txt", "meeting 10:30.txt"},
      {"bare.txt", "txt", "bare.txt"},  // a name in the working folder
      {"", "", ""},
      {"/dir/", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtensionOf(c.path), c.extension) << c.path;
    EXPECT_EQ(FileNameOf(c.path), c.file_name) << c.path;
  }
}

TEST(PathHelpers, DomainOfTakesTextAfterTheFirstAt) {
  EXPECT_EQ(DomainOf("ann@example.org"), "example.org");
  EXPECT_EQ(DomainOf("a@b@c"), "b@c");
  EXPECT_EQ(DomainOf("no-at-sign"), "no-at-sign");
  EXPECT_EQ(DomainOf("trailing@"), "");
}

TEST(PathHelpers, IsExistingFileOnlyForRegularFiles) {
  ScratchDir dir;
  std::string file = dir.File("f.txt", "x");
  EXPECT_TRUE(IsExistingFile(file));
  EXPECT_FALSE(IsExistingFile(dir.path()));
  EXPECT_FALSE(IsExistingFile(dir.path() + "/none"));
  EXPECT_FALSE(IsExistingFile(""));
  EXPECT_FALSE(IsExistingFile("/dev/null"));
  std::string link = dir.path() + "/link";
  ASSERT_EQ(0, ::symlink(file.c_str(), link.c_str()));
  EXPECT_TRUE(IsExistingFile(link));
}

class ContentTypes : public ::testing::Test {
 protected:
  void TearDown() override { ReloadContentTypes(); }
};

TEST_F(ContentTypes, CompiledInTableServesAMachineWithoutFiles) {
  ScratchDir dir;
  EnvOverride home("HOME", dir.path().c_str());
  ReloadContentTypes(dir.path() + "/no-mime.types");
  struct {
    const char* ext;
    const char* type;
  } cases[] = {{"pdf", "application/pdf"},
               {"ZIP", "application/zip"},
               {"png", "image/png"},
               {"jpg", "image/jpeg"},
               {"JPEG", "image/jpeg"},
               {"gif", "image/gif"},
               {"html", "text/html"},
               {"htm", "text/html"},
               {"txt", "text/plain"},
               {"csv", "text/csv"},
               {"xml", "application/xml"},
               {"json", "application/json"},
               {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
               {"eml", "message/rfc822"}};
  for (const auto& c : cases) EXPECT_EQ(ContentTypeForExtension(c.ext), c.type) << c.ext;
  EXPECT_EQ(ContentTypeForExtension("no-such-ext"), "");
  EXPECT_EQ(ContentTypeForExtension(""), "");
  EXPECT_EQ(ContentTypeForFileName("/a/b/c.Pdf"), "application/pdf");
  EXPECT_EQ(ContentTypeForFileName("C:\\dir.pdf\\file"), "");
}

TEST_F(ContentTypes, UserFileOverridesSystemFileWhichOverridesTheTable) {
  ScratchDir dir;
  std::string system = dir.File("mime.types",
                                "# comment line\n"
                                "application/x-first\tdup sh\n"
                                "application/x-second dup\n"
                                "text/x-system  sys PDF # trailing comment\n"
                                "not-a-type ignored\n");
  dir.File(".mime.types", "text/x-mine sys\n");
  EnvOverride home("HOME", dir.path().c_str());
  ReloadContentTypes(system);
  EXPECT_EQ(ContentTypeForExtension("dup"), "application/x-first");  // first line wins
  EXPECT_EQ(ContentTypeForExtension("pdf"), "text/x-system");        // file over the table
  EXPECT_EQ(ContentTypeForExtension("sys"), "text/x-mine");          // user over system
  EXPECT_EQ(ContentTypeForExtension("ignored"), "");
  EXPECT_EQ(ContentTypeForExtension("png"), "image/png");  // still from the table
}

TEST(TempFiles, TempPathFollowsTmpdirAndEndsWithSlash) {
  ScratchDir dir;
  {
    EnvOverride tmp("TMPDIR", dir.path().c_str());
    EXPECT_EQ(TempPath(), dir.path() + "/");
  }
  {
    EnvOverride tmp("TMPDIR", nullptr);
    EXPECT_EQ(TempPath(), "/tmp/");
  }
  {
    EnvOverride tmp("TMPDIR", (dir.path() + "/not-there").c_str());
    EXPECT_EQ(TempPath(), "/tmp/");
  }
}

TEST(TempFiles, TempFileNameCreatesAnEmptyPrivateFile) {
  ScratchDir dir;
  EnvOverride tmp("TMPDIR", dir.path().c_str());
  std::string a = TempFileName();
  std::string b = TempFileName();
  EXPECT_NE(a, b);
  for (const std::string& p : {a, b}) {
    EXPECT_EQ(p.rfind(dir.path() + "/~pw", 0), 0u) << p;
    struct stat st {};
    ASSERT_EQ(0, ::stat(p.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST(TempFiles, FailureRaisesErrnoWithTheFixedText) {
  // No one, root included, creates files in /proc.
  EnvOverride tmp("TMPDIR", "/proc");
  try {
    std::string made = TempFileName();
    ADD_FAILURE() << "made " << made;
  } catch (const Exception& e) {
    EXPECT_TRUE(e.Number() == ENOENT || e.Number() == EACCES) << e.Number();
    EXPECT_EQ(e.Source(), "postWing");
    EXPECT_EQ(e.Description(), "Error determining TempFileName");
  }
}

TEST(TimeZone, RuleCases) {
  EXPECT_EQ(TimeZoneText(-330, 0, false), "+0530");
  EXPECT_EQ(TimeZoneText(300, -60, true), "-0400");
  EXPECT_EQ(TimeZoneText(300, -60, false), "-0500");
  EXPECT_EQ(TimeZoneText(0, 0, false), "+0000");
  EXPECT_EQ(TimeZoneText(0, -60, true), "+0100");
  EXPECT_EQ(TimeZoneText(-765, 0, false), "+1245");
  EXPECT_EQ(TimeZoneText(600, 0, false), "-1000");
}

TEST(TimeZone, LocalZoneIncludesDaylightSavingTime) {
  struct Case {
    const char* tz;
    const char* winter;  // what the zone shows in January and in July
    const char* summer;
  } cases[] = {{"UTC0", "+0000", "+0000"},
               {"IST-5:30", "+0530", "+0530"},
               {"EST5EDT,M3.2.0,M11.1.0", "-0500", "-0400"},
               {"CET-1CEST,M3.5.0,M10.5.0/3", "+0100", "+0200"}};
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  for (const auto& c : cases) {
    EnvOverride tz("TZ", c.tz);
    ::tzset();
    std::tm local{};
    ::localtime_r(&now, &local);
    EXPECT_EQ(TimeZoneText(), local.tm_isdst > 0 ? c.summer : c.winter) << c.tz;
  }
  ::tzset();
}

TEST(Guid, ShapeAndUniqueness) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string g = NewGuidText();
    ASSERT_EQ(g.size(), 36u);
    for (size_t k = 0; k < g.size(); ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        EXPECT_EQ(g[k], '-') << g;
      } else {
        EXPECT_TRUE((g[k] >= '0' && g[k] <= '9') || (g[k] >= 'A' && g[k] <= 'F')) << g;
      }
    }
    EXPECT_EQ(g[14], '4') << g;  // version 4
    EXPECT_NE(std::string("89AB").find(g[19]), std::string::npos) << g;
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(Host, ComputerNameIsTheHostName) {
  char name[256] = {};
  ASSERT_EQ(0, ::gethostname(name, sizeof name - 1));
  EXPECT_EQ(ComputerName(), name[0] ? std::string(name) : "UNKNOWN");
}

}  // namespace
}  // namespace postwing::platform
