#include "composer_test_support.hpp"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace composer_test {

namespace {
QTemporaryDir* home = nullptr;
}

void IsolateHome() {
  if (!home) {
    home = new QTemporaryDir(QDir::tempPath() + "/composer-test-XXXXXX");
    std::atexit([] { delete home; });
  }
  for (const char* name : {"config", "data", "tmp", "runtime"})
    QDir().mkpath(HomeRoot() + "/" + name);
  QFile::setPermissions(HomeRoot() + "/runtime",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(HomeRoot() + "/config"));
  qputenv("XDG_DATA_HOME", QFile::encodeName(HomeRoot() + "/data"));
  qputenv("TMPDIR", QFile::encodeName(HomeRoot() + "/tmp"));
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(HomeRoot() + "/runtime"));
}

QString HomeRoot() {
  return home ? home->path() : QString();
}

QString WriteFile(const QString& path, const QByteArray& data) {
  QFile f(HomeRoot() + "/" + path);
  QDir().mkpath(QFileInfo(f).path());
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) qFatal("cannot write a file");
  return f.fileName();
}

std::shared_ptr<ScriptedDialogs> InstallScriptedDialogs() {
  auto d = std::make_shared<ScriptedDialogs>();
  composer::SetDialogs(d);
  return d;
}

std::unique_ptr<LocalServer> LocalServer::Capture(const QStringList& extra) {
  static int count = 0;
  auto s = std::make_unique<LocalServer>();
  s->folder_ = HomeRoot() + QString("/server-%1").arg(++count);
  QDir().mkpath(s->folder_);
  s->process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  s->process_.start(COMPOSER_PYTHON,
                    QStringList{POSTWING_TESTS_DIR "/e2e/servers/capture_server.py", "--dir",
                                s->folder_, "--lifetime", "120"} +
                        extra);
  QByteArray line;
  QElapsedTimer t;
  t.start();
  while (!line.contains('\n') && t.elapsed() < 20000 &&
         s->process_.state() != QProcess::NotRunning) {
    s->process_.waitForReadyRead(500);
    line += s->process_.readAll();
  }
  s->port_ = line.startsWith("PORT ") ? line.mid(5).trimmed().toInt() : 0;
  return s->port_ > 0 ? std::move(s) : nullptr;
}

LocalServer::~LocalServer() {
  process_.terminate();
  if (!process_.waitForFinished(5000)) process_.kill(), process_.waitForFinished(5000);
}

Composer WindowFixture::Open(bool active) {
  window_ = std::make_unique<frmSendMail>();
  window_->Form_Load();
  if (active) [&] { QVERIFY(QTest::qWaitForWindowActive(window_.get())); }();
  return Composer{*window_};
}

void WindowFixture::cleanup() {
  if (window_) window_->Editor()->document()->setModified(false);
  window_.reset();
  composer::SetDialogs(nullptr);
}

QJsonObject ParseMessage(const QString& eml) {
  QProcess p;
  p.start(COMPOSER_PYTHON, {COMPOSER_TESTS_DIR "/parse_message.py", eml});
  if (!p.waitForFinished(20000)) return {};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

}  // namespace composer_test
