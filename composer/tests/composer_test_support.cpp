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

int ScriptedDialogs::MessageBox(QWidget*, const QString& text, const QString& title,
                                composer::MsgBoxButtons buttons, composer::MsgBoxIcon) {
  messages.push_back({text, title});
  if (!answers.empty()) {
    int a = answers.front();
    answers.pop_front();
    return a;
  }
  return buttons == composer::MsgBoxButtons::OkOnly ? composer::vbOK : composer::vbNo;
}

QStringList ScriptedDialogs::OpenFileNames(QWidget*, const QString&, const QString&,
                                           const QString&) {
  if (open_files.empty()) return {};
  QStringList f = open_files.front();
  open_files.pop_front();
  return f;
}

QString ScriptedDialogs::OpenFileName(QWidget*, const QString&, const QString&, const QString&) {
  if (open_file.empty()) return {};
  QString f = open_file.front();
  open_file.pop_front();
  return f;
}

QString ScriptedDialogs::SaveFileName(QWidget*, const QString&, const QString&, const QString&) {
  if (save_file.empty()) return {};
  QString f = save_file.front();
  save_file.pop_front();
  return f;
}

std::optional<QColor> ScriptedDialogs::Color(QWidget*, const QColor& initial, const QString&) {
  colour_initials.push_back(initial);
  if (colours.empty()) return std::nullopt;
  const QColor c = colours.front();
  colours.pop_front();
  if (!c.isValid()) return std::nullopt;
  return c;
}

std::optional<QString> ScriptedDialogs::Text(QWidget*, const QString&, const QString&,
                                             const QString&) {
  if (texts.empty()) return std::nullopt;
  const QString t = texts.front();
  texts.pop_front();
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
      wbrEdit(Child<composer::HtmlEditor>(w, "wbrEdit")),
      mnuFileNew(Child<QAction>(w, "mnuFileNew")),
      mnuFileSave(Child<QAction>(w, "mnuFileSave")),
      mnuFileOpen(Child<QAction>(w, "mnuFileOpen")),
      mnuFilePrint(Child<QAction>(w, "mnuFilePrint")),
      mnuFileSend(Child<QAction>(w, "mnuFileSend")),
      mnuFileAttach(Child<QAction>(w, "mnuFileAttach")),
      mnuFileExit(Child<QAction>(w, "mnuFileExit")),
      mnuEditCut(Child<QAction>(w, "mnuEditCut")),
      mnuEditCopy(Child<QAction>(w, "mnuEditCopy")),
      mnuEditPaste(Child<QAction>(w, "mnuEditPaste")),
      mnuEditPasteText(Child<QAction>(w, "mnuEditPasteText")),
      mnuEditRedo(Child<QAction>(w, "mnuEditRedo")),
      mnuEditSelectAll(Child<QAction>(w, "mnuEditSelectAll")),
      mnuEditFind(Child<QAction>(w, "mnuEditFind")),
      mnuFormatBackgroundColor(Child<QAction>(w, "mnuFormatBackgroundColor")),
      mnuViewSource(Child<QAction>(w, "mnuViewSource")),
      mnuViewAttachments(Child<QAction>(w, "mnuViewAttachments")),
      mnuViewConfiguration(Child<QAction>(w, "mnuViewConfiguration")) {}

QJsonObject ParseMessage(const QString& eml) {
  QProcess p;
  p.start(COMPOSER_PYTHON, {COMPOSER_TESTS_DIR "/parse_message.py", eml});
  if (!p.waitForFinished(20000)) return {};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

}  // namespace composer_test
