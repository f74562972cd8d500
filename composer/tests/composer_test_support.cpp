#include "composer_test_support.hpp"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <cstdlib>

#include "frm_send_mail.hpp"
#include "html_editor.hpp"

namespace composer_test {

namespace {
QTemporaryDir* home = nullptr;
}

void IsolateHome() {
  if (!home) {
    home = new QTemporaryDir(QDir::tempPath() + "/composer-test-XXXXXX");
    home->setAutoRemove(true);
    std::atexit([] { delete home; });
  }
  const QString root = home->path();
  QDir().mkpath(root + "/config");
  QDir().mkpath(root + "/data");
  QDir().mkpath(root + "/tmp");
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + "/config"));
  qputenv("XDG_DATA_HOME", QFile::encodeName(root + "/data"));
  qputenv("TMPDIR", QFile::encodeName(root + "/tmp"));
  QDir().mkpath(root + "/runtime");
  QFile::setPermissions(root + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + "/runtime"));
}

QString HomeRoot() {
  return home ? home->path() : QString();
}

namespace {
// The next queued answer, or an empty one (a cancel) when none is queued.
template <class T>
T Take(std::deque<T>& queue) {
  if (queue.empty()) return T();
  T answer = std::move(queue.front());
  queue.pop_front();
  return answer;
}
}  // namespace

int ScriptedDialogs::MessageBox(QWidget*, const QString& text, const QString& title,
                                composer::MsgBoxButtons buttons, composer::MsgBoxIcon) {
  messages.push_back({text, title});
  if (!answers.empty()) return Take(answers);
  return buttons == composer::MsgBoxButtons::OkOnly ? composer::vbOK : composer::vbNo;
}

QStringList ScriptedDialogs::OpenFileNames(QWidget*, const QString&, const QString&,
                                           const QString&) {
  return Take(open_files);
}

QString ScriptedDialogs::OpenFileName(QWidget*, const QString&, const QString&, const QString&) {
  return Take(open_file);
}

QString ScriptedDialogs::SaveFileName(QWidget*, const QString&, const QString&, const QString&) {
  return Take(save_file);
}

std::optional<QColor> ScriptedDialogs::Color(QWidget*, const QColor& initial, const QString&) {
  colour_initials.push_back(initial);
  const QColor c = Take(colours);
  if (!c.isValid()) return std::nullopt;
  return c;
}

std::optional<QString> ScriptedDialogs::Text(QWidget*, const QString&, const QString&,
                                             const QString&) {
  const QString t = Take(texts);
  if (t.isNull()) return std::nullopt;
  return t;
}

int ScriptedDialogs::Exec(QDialog& dialog) {
  ++execs;
  if (exec) return exec(dialog);
  dialog.reject();
  return QDialog::Rejected;
}

std::shared_ptr<ScriptedDialogs> InstallScriptedDialogs() {
  auto d = std::make_shared<ScriptedDialogs>();
  composer::SetDialogs(d);
  return d;
}

std::unique_ptr<LocalServer> LocalServer::Capture(const QStringList& extra) {
  auto server = std::unique_ptr<LocalServer>(new LocalServer);
  QStringList args{"--dir", "%DIR%", "--lifetime", "120"};
  args += extra;
  if (!server->Start(POSTWING_TESTS_DIR "/e2e/servers/capture_server.py", args)) return nullptr;
  return server;
}

bool LocalServer::Start(const QString& script, const QStringList& args) {
  static int count = 0;
  folder_ = HomeRoot() + QString("/server-%1").arg(++count);
  QDir().mkpath(folder_);
  QStringList all{script};
  all += args;
  for (auto& a : all) a.replace("%DIR%", folder_);
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(COMPOSER_PYTHON, all);
  if (!process_.waitForStarted(10000)) return false;
  QByteArray line;
  QElapsedTimer t;
  t.start();
  while (!line.contains('\n') && t.elapsed() < 20000) {
    process_.waitForReadyRead(500);
    line += process_.readAll();
  }
  if (!line.startsWith("PORT ")) return false;
  port_ = line.mid(5).trimmed().toInt();
  return port_ > 0;
}

LocalServer::~LocalServer() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
}

QString LocalServer::MessagePath(int n) const {
  return folder_ + QString("/%1.eml").arg(n, 4, 10, QChar('0'));
}

Composer::Composer(frmSendMail& w)
    : window(w),
      txtTo(Child<QLineEdit>(w, "txtTo")),
      txtCC(Child<QLineEdit>(w, "txtCC")),
      txtBCC(Child<QLineEdit>(w, "txtBCC")),
      txtSubject(Child<QLineEdit>(w, "txtSubject")),
      txtAttachments(Child<QLineEdit>(w, "txtAttachments")),
      cmdAttachments(Child<QPushButton>(w, "cmdAttachments")),
      cbxStyle(Child<QComboBox>(w, "cbxStyle")),
      picHeader(Child<QWidget>(w, "picHeader")),
      dhtEdit(Child<composer::HtmlEditor>(w, "dhtEdit")),
      wbrEdit(Child<composer::HtmlEditor>(w, "wbrEdit")) {}

Composer WindowFixture::Open(bool active) {
  window_ = std::make_unique<frmSendMail>();
  window_->Form_Load();
  if (active) [&] { QVERIFY(QTest::qWaitForWindowActive(window_.get())); }();
  return Composer(*window_);
}

void WindowFixture::initTestCase() {
  loop_ = composer::QtEventLoop::InstallForThisThread();
}

void WindowFixture::cleanupTestCase() {
  postwing::SetThreadEventLoop(nullptr);
}

void WindowFixture::init() {
  dialogs_ = InstallScriptedDialogs();
}

void WindowFixture::cleanup() {
  if (window_) window_->Editor()->document()->setModified(false);
  window_.reset();
  composer::SetDialogs(nullptr);
}

QAction* Composer::Menu(const char* name) const {
  return Child<QAction>(window, name);
}

QJsonObject ParseMessage(const QString& eml) {
  QProcess p;
  p.start(COMPOSER_PYTHON, {COMPOSER_TESTS_DIR "/parse_message.py", eml});
  if (!p.waitForFinished(20000)) return {};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

}  // namespace composer_test
