// The composer's parts without a window: the small functions, mailto: links as a desktop
// passes them, and the library's event loop on Qt (watches, timers, posts from other
// threads, bounded waits, nesting).
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <postwing/exception.hpp>

#include "composer_test_support.hpp"
#include "mailto.hpp"
#include "mod_email.hpp"
#include "qt_event_loop.hpp"

using composer::QtEventLoop;
using postwing::EventLoop;
using namespace modEmail;
using namespace std::chrono_literals;

namespace {

// A pipe: read end, write end.
struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    for (int fd : {r, w}) {
      if (fd >= 0) ::close(fd);
    }
  }
  void Write() { QCOMPARE(::write(w, "x", 1), ssize_t{1}); }
};

// Runs passes until done() or five seconds; true when done.
bool RunUntil(QtEventLoop& loop, const std::function<bool()>& done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 5000) loop.RunOnce(50ms);
  return done();
}

}  // namespace

class UnitsTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { composer_test::IsolateHome(); }

 private slots:
  void FileAndFolderParts() {
    const char* rows[][3] = {{"/home/u/drafts/Unnamed.html", "Unnamed.html", "/home/u/drafts/"},
                             {"C:\\mail\\Unnamed.html", "Unnamed.html", "C:\\mail\\"},
                             {"Unnamed.html", "", ""},
                             {"/home/u/", "", "/home/u/"},
                             {"/home/u/  name.html  ", "name.html", "/home/u/"},
                             {"/x/stream:part.txt", "part.txt", "/x/"}};
    for (const auto& r : rows) {
      QCOMPARE(FileNamePart(r[0]), QString(r[1]));
      QCOMPARE(FolderPart(r[0]), QString(r[2]));
    }
  }

  // Text the conversions cannot take is an error of the runtime's number, never a guess.
  void Conversions() {
    QCOMPARE(ColorToHtml(1 | 2 << 8 | 10 << 16 | 0xFF << 24), QString("01020A"));
    QCOMPARE(PadLeft("7", 3, "0x"), QString("007"));
    for (const char* yes : {"True", "true", "-1", " 2 "}) QVERIFY(TextToBoolean(yes));
    for (const char* no : {"False", "0"}) QVERIFY(!TextToBoolean(no));
    const std::pair<const char*, int> numbers[] = {{"", 0},       {"  587  ", 587}, {"25abc", 25},
                                                   {"smtp", 0},   {"24.5", 24},     {"25.5", 26},
                                                   {"2.5e2", 250}};
    for (const auto& [text, number] : numbers) QCOMPARE(LeadingNumberToLong(text), number);
    const std::pair<std::function<void()>, int> errors[] = {
        {[] { PadLeft("abcd", 3, "0"); }, 5},
        {[] { TextToBoolean("Yes please"); }, 13},
        {[] { LeadingNumberToLong("99999999999"); }, 6},
        {[] { SecurityFromText("SSL maybe"); }, 13}};
    for (const auto& [convert, number] : errors) {
      try {
        convert();
        QFAIL("converted");
      } catch (const postwing::Exception& e) {
        QCOMPARE(e.Number(), number);
      }
    }
    QCOMPARE(SecurityFromText(""), postwing::emxNoSecurity);
    QCOMPARE(SecurityFromText("starttls"), postwing::emxStartTLS);
    QCOMPARE(SecurityFromText("2"), postwing::emxImplicitTLS);
    for (auto v : {postwing::emxNoSecurity, postwing::emxStartTLS, postwing::emxImplicitTLS}) {
      QCOMPARE(SecurityFromText(SecurityToText(v)), v);
    }
  }

  void TempFilesAndThePrivateSettingsFile() {
    const QString a = TempFileName(), b = TempFileName();
    QVERIFY(a != b && QFileInfo(a).fileName().startsWith("~pw") && QFileInfo(a).size() == 0);
    QCOMPARE(FolderPart(a), composer_test::HomeRoot() + "/tmp/");
    QFile::remove(a), QFile::remove(b);

    QCOMPARE(GetSetting("User", "nobody"), QString("nobody"));
    SaveSetting(kKeyPassword, "s3cret; with = signs");
    QCOMPARE(GetSetting(kKeyPassword, ""), QString("s3cret; with = signs"));
    const QByteArray file = QFile::encodeName(SettingsFileName());
    QCOMPARE(file, QFile::encodeName(composer_test::HomeRoot() + "/config/composer/composer.conf"));
    struct stat st {};
    QVERIFY(::stat(file, &st) == 0 && (st.st_mode & 0777) == 0600);
    // An older file readable by others is tightened at the next write.
    ::chmod(file, 0644);
    SaveSetting(kKeyUser, "someone");
    QVERIFY(::stat(file, &st) == 0 && (st.st_mode & 0777) == 0600);
  }

  void Mailto_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("fields");  // to, cc, bcc, subject, body
    QTest::newRow("all fields, any case, UTF-8")
        << "MAILTO:ann@example.org,bob@example.org?Subject=Caf%C3%A9%20at%203&body=Line "
           "1%0D%0ALine+2&cc=carol@example.org&bcc=dave@example.org&to=eve@example.org"
        << QStringList{"ann@example.org; bob@example.org; eve@example.org", "carol@example.org",
                       "dave@example.org", "Caf\u00e9 at 3", "Line 1\nLine+2"};
    QTest::newRow("no path, encoded separators, bad escape kept")
        << "mailto:?to=ann%40example.org%2Cbob@example.org&subject=100%&x-other=1"
        << QStringList{"ann@example.org; bob@example.org", "", "", "100%", ""};
    QTest::newRow("line breaks cannot add a header")
        << "mailto:ann@example.org%0D%0ABcc:%20x@example.org?subject=Hi%0D%0ABcc:%20y@example.org"
        << QStringList{"ann@example.org Bcc: x@example.org", "", "", "Hi Bcc: y@example.org", ""};
  }
  void Mailto() {
    QFETCH(QString, link);
    QFETCH(QStringList, fields);
    const auto m = composer::ParseMailto(link);
    QVERIFY(m.has_value());
    QCOMPARE((QStringList{m->to, m->cc, m->bcc, m->subject, m->body}), fields);
    QCOMPARE(composer::ParseMailto("mailto:ann@example.org")->to, QString("ann@example.org"));
    QVERIFY(!composer::ParseMailto("http://example.org/?mailto:ann@example.org"));
  }

  void WatchReadablePausesUnwatchesAndHangsUp() {
    QtEventLoop loop;
    Pipe p;
    int calls = 0;
    unsigned seen = 0;
    auto id = loop.Watch(p.r, EventLoop::kReadable, [&](unsigned ready) {
      ++calls, seen = ready;
      char buf[16];
      while (::read(p.r, buf, sizeof buf) > 0) {
      }
    });
    p.Write();
    QVERIFY(RunUntil(loop, [&] { return calls == 1; }));
    QCOMPARE(seen, unsigned(EventLoop::kReadable));
    // Paused: ready data is not delivered until the watch wants it again.
    loop.UpdateWatch(id, 0);
    p.Write();
    loop.RunOnce(100ms);
    QCOMPARE(calls, 1);
    loop.UpdateWatch(id, EventLoop::kReadable | EventLoop::kWritable);
    QVERIFY(RunUntil(loop, [&] { return calls == 2; }));
    // A hang-up is both readable and writable.
    ::close(p.w);
    p.w = -1;
    QVERIFY(RunUntil(loop, [&] { return seen == (EventLoop::kReadable | EventLoop::kWritable); }));
    loop.Unwatch(id);
    const int before = calls;
    loop.RunOnce(100ms);
    QCOMPARE(calls, before);
    loop.Unwatch(id);  // unknown ids are harmless
    loop.UpdateWatch(id, EventLoop::kReadable);
  }

  // Two watches on one descriptor; one unwatches itself inside its callback, the other is
  // never entered again from a nested pass while it runs (the writable level stays ready).
  void WatchesShareADescriptorAndNestedPassesDoNotReenter() {
    QtEventLoop loop;
    Pipe p;
    int a = 0, b = 0, depth = 0, max_depth = 0;
    EventLoop::Id ia = loop.Watch(p.w, EventLoop::kWritable, [&](unsigned) {
      ++a;
      loop.Unwatch(ia);
    });
    loop.Watch(p.w, EventLoop::kWritable, [&](unsigned) {
      max_depth = std::max(max_depth, ++depth);
      if (++b == 1) {
        for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);
      }
      --depth;
    });
    QVERIFY(RunUntil(loop, [&] { return b > 5; }));
    QCOMPARE(a, 1);
    QCOMPARE(max_depth, 1);
  }

  void TimersPostsAndBoundedWaits() {
    QtEventLoop loop;
    std::atomic<int> fired = 0, cancelled = 0, chained = 0, posted = 0;
    loop.AddTimer(10ms, [&] { ++fired; });
    auto c = loop.AddTimer(20ms, [&] { ++cancelled; });
    loop.CancelTimer(c);
    loop.AddTimer(0ms, [&] { loop.AddTimer(0ms, [&] { ++chained; }); });
    std::thread poster([&] {
      std::this_thread::sleep_for(50ms);
      loop.Post([&] { ++posted; });
    });
    QVERIFY(RunUntil(loop, [&] { return fired == 1 && chained == 1 && posted == 1; }));
    poster.join();
    QElapsedTimer t;
    t.start();
    loop.RunOnce(150ms);  // Qt's wait has no limit of its own
    QVERIFY(t.elapsed() >= 100 && t.elapsed() < 5000);
    QCOMPARE(fired + cancelled, 1);
    loop.CancelTimer(c);  // already gone: harmless
  }
};

QTEST_MAIN(UnitsTest)
#include "units_test.moc"
