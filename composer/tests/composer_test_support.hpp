// Helpers shared by the composer's test suites: an isolated home, dialogs answered by
// script, the capture server, and the fixture of the suites that drive the main window.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QDialog>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
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

// Points the XDG folders and TMPDIR at a fresh private folder, so a test never reads or
// writes the user's settings. Call before the application exists.
void IsolateHome();
QString HomeRoot();
// Writes a file at a path below the test's home; returns its full path.
QString WriteFile(const QString& path, const QByteArray& data);

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

// Installs a fresh ScriptedDialogs and returns it.
std::shared_ptr<ScriptedDialogs> InstallScriptedDialogs();

// The capture server of the library's tests (extra arguments, e.g. --refuse), run by
// /usr/bin/python3 and stopped when the object goes.
class LocalServer {
 public:
  static std::unique_ptr<LocalServer> Capture(const QStringList& extra = {});
  ~LocalServer();
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

// The fixture of the suites that drive the main window: the library's loop on Qt,
// scripted dialogs, and one window per test.
class WindowFixture : public QObject {
  Q_OBJECT

 public:
  static void initMain() { IsolateHome(); }

 protected:
  // A loaded window; with active, once the window manager made it the active one.
  Composer Open(bool active = false);
  std::shared_ptr<ScriptedDialogs> dialogs_;
  std::unique_ptr<frmSendMail> window_;

 private slots:
  void initTestCase() { loop_ = composer::QtEventLoop::InstallForThisThread(); }
  void cleanupTestCase() { postwing::SetThreadEventLoop(nullptr); }
  void init() { dialogs_ = InstallScriptedDialogs(); }
  void cleanup();

 private:
  std::shared_ptr<composer::QtEventLoop> loop_;
};

// Runs tests/parse_message.py on a kept message; returns its JSON output parsed.
QJsonObject ParseMessage(const QString& eml);

}  // namespace composer_test
