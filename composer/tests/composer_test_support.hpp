// Helpers of the composer's test suites: an isolated home, dialogs answered by script,
// the capture server, the main window's controls and the message parser.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVariant>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "dialogs.hpp"
#include "frm_send_mail.hpp"
#include "html_editor.hpp"
#include "qt_event_loop.hpp"

namespace composer_test {

// A fresh private folder for the whole run, removed at its end.
inline QString HomeRoot() {
  static QTemporaryDir home(QDir::tempPath() + "/composer-test-XXXXXX");
  return home.path();
}

// Points the XDG folders and TMPDIR into that folder, so a test never reads or writes the
// user's settings. Call before the application exists.
inline void IsolateHome() {
  for (const char* name : {"config", "data", "tmp", "runtime"}) {
    QDir().mkpath(HomeRoot() + "/" + name);
  }
  QFile::setPermissions(HomeRoot() + "/runtime",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(HomeRoot() + "/config"));
  qputenv("XDG_DATA_HOME", QFile::encodeName(HomeRoot() + "/data"));
  qputenv("TMPDIR", QFile::encodeName(HomeRoot() + "/tmp"));
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(HomeRoot() + "/runtime"));
}

// Writes a file at a path below the test's home; returns its full path.
inline QString WriteFile(const QString& path, const QByteArray& data) {
  QFile f(HomeRoot() + "/" + path);
  QDir().mkpath(QFileInfo(f).path());
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) qFatal("cannot write a file");
  return f.fileName();
}

// Dialogs answered by the test: every message box is recorded, and each dialog takes the
// next queued answer (none queued: OK or No, a cancel for the others).
class ScriptedDialogs : public composer::Dialogs {
 public:
  struct Message {
    QString text, title;
  };
  std::vector<Message> messages;
  std::deque<QVariant> answers;  // an int, a path, paths, a colour, a text
  std::vector<QColor> colour_initials;
  // Runs in place of a modal window; returns its result. By default rejects it.
  std::function<int(QDialog&)> exec;
  int execs = 0;

  int MessageBox(QWidget*, const QString& text, const QString& title,
                 composer::MsgBoxButtons buttons, composer::MsgBoxIcon) override {
    messages.push_back({text, title});
    const QVariant a = Take();
    if (a.isValid()) return a.toInt();
    return buttons == composer::MsgBoxButtons::OkOnly ? composer::vbOK : composer::vbNo;
  }
  QStringList OpenFileNames(QWidget*, const QString&, const QString&, const QString&) override {
    return Take().toStringList();
  }
  QString OpenFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return Take().toString();
  }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return Take().toString();
  }
  std::optional<QColor> Color(QWidget*, const QColor& initial, const QString&) override {
    colour_initials.push_back(initial);
    const QColor c = Take().value<QColor>();
    return c.isValid() ? std::optional(c) : std::nullopt;
  }
  std::optional<QFont> Font(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<QString> Text(QWidget*, const QString&, const QString&, const QString&) override {
    const QString t = Take().toString();
    return t.isNull() ? std::nullopt : std::optional(t);
  }
  bool Print(QWidget*, QTextDocument*) override { return false; }
  int Exec(QDialog& dialog) override {
    ++execs;
    if (exec) return exec(dialog);
    dialog.reject();
    return QDialog::Rejected;
  }

 private:
  QVariant Take() {
    if (answers.empty()) return {};
    const QVariant a = answers.front();
    answers.pop_front();
    return a;
  }
};

// The capture server of the library's tests (extra arguments, e.g. --refuse), run by
// /usr/bin/python3 and stopped when the object goes.
class LocalServer {
 public:
  static std::unique_ptr<LocalServer> Capture(const QStringList& extra = {}) {
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
  ~LocalServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill(), process_.waitForFinished(5000);
  }
  int Port() const { return port_; }
  // The path of the n-th message kept (from 1), and ext "json" for its envelope.
  QString MessagePath(int n, const char* ext = "eml") const {
    return folder_ + QString("/%1.%2").arg(n, 4, 10, QChar('0')).arg(ext);
  }

 private:
  QProcess process_;
  QString folder_;
  int port_ = 0;
};

// A control of a window by its object name; aborts the test run when there is none.
template <class T>
T* Child(const QObject& window, const char* name) {
  T* child = window.findChild<T*>(name);
  if (!child) qFatal("no control named %s", name);
  return child;
}

// The main window's controls, reached by their object names; -> reaches the window.
struct Composer {
  frmSendMail& window;
  QLineEdit* txtTo = Child<QLineEdit>(window, "txtTo");
  QLineEdit* txtCC = Child<QLineEdit>(window, "txtCC");
  QLineEdit* txtBCC = Child<QLineEdit>(window, "txtBCC");
  QLineEdit* txtSubject = Child<QLineEdit>(window, "txtSubject");
  QLineEdit* txtAttachments = Child<QLineEdit>(window, "txtAttachments");
  QPushButton* cmdAttachments = Child<QPushButton>(window, "cmdAttachments");
  QComboBox* cbxStyle = Child<QComboBox>(window, "cbxStyle");
  QWidget* picHeader = Child<QWidget>(window, "picHeader");
  composer::HtmlEditor* dhtEdit = Child<composer::HtmlEditor>(window, "dhtEdit");
  composer::HtmlEditor* wbrEdit = Child<composer::HtmlEditor>(window, "wbrEdit");
  frmSendMail* operator->() const { return &window; }
  // A menu item, e.g. "mnuFileNew".
  QAction* Menu(const char* name) const { return Child<QAction>(window, name); }
};

// Runs tests/parse_message.py on a kept message; returns its JSON output parsed.
inline QJsonObject ParseMessage(const QString& eml) {
  QProcess p;
  p.start(COMPOSER_PYTHON, {COMPOSER_TESTS_DIR "/parse_message.py", eml});
  if (!p.waitForFinished(20000)) return {};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

}  // namespace composer_test
