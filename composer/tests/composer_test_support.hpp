// Helpers shared by the composer's test suites: an isolated home, dialogs that answer
// by script, and local SMTP servers.
#pragma once

#include <QColor>
#include <QDir>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "dialogs.hpp"
#include "frm_send_mail.hpp"
#include "qt_event_loop.hpp"

class QAction;
class QComboBox;
class QLineEdit;
class QPushButton;
namespace composer {
class HtmlEditor;
}

namespace composer_test {

// Points XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR at a fresh private folder, so a test
// never reads or writes the user's settings. Call before the application exists.
void IsolateHome();
QString HomeRoot();

// Dialogs answered by the test: every message box is recorded, answers are taken in
// order (vbOK/vbNo by default), and the other dialogs return what the test queued.
class ScriptedDialogs : public composer::Dialogs {
 public:
  struct Message {
    QString text;
    QString title;
  };
  std::vector<Message> messages;
  std::deque<int> answers;
  std::deque<QStringList> open_files;
  std::deque<QString> open_file;
  std::deque<QString> save_file;
  std::deque<QColor> colours;  // an invalid colour cancels
  std::vector<QColor> colour_initials;
  std::deque<QString> texts;  // a null text cancels
  // Runs in place of a modal window; returns its result. By default rejects it.
  std::function<int(QDialog&)> exec;
  int execs = 0;

  int MessageBox(QWidget*, const QString& text, const QString& title,
                 composer::MsgBoxButtons buttons, composer::MsgBoxIcon) override;
  QStringList OpenFileNames(QWidget*, const QString&, const QString&, const QString&) override;
  QString OpenFileName(QWidget*, const QString&, const QString&, const QString&) override;
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override;
  std::optional<QColor> Color(QWidget*, const QColor& initial, const QString&) override;
  std::optional<QFont> Font(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<QString> Text(QWidget*, const QString&, const QString&, const QString&) override;
  bool Print(QWidget*, QTextDocument*) override { return false; }
  int Exec(QDialog& dialog) override;
};

// Installs a fresh ScriptedDialogs and returns it.
std::shared_ptr<ScriptedDialogs> InstallScriptedDialogs();

// A local server run by /usr/bin/python3; stopped when the object goes.
class LocalServer {
 public:
  // The capture server of the library's tests, with extra arguments (e.g. --refuse).
  static std::unique_ptr<LocalServer> Capture(const QStringList& extra = {});
  ~LocalServer();

  int Port() const { return port_; }
  QString Folder() const { return folder_; }
  // The path of the n-th message kept (from 1), once it exists.
  QString MessagePath(int n) const;

 private:
  bool Start(const QString& script, const QStringList& args);
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
  explicit Composer(frmSendMail& w);
  frmSendMail* operator->() const { return &window; }
  frmSendMail& window;
  QLineEdit *txtTo, *txtCC, *txtBCC, *txtSubject, *txtAttachments;
  QPushButton* cmdAttachments;
  QComboBox* cbxStyle;
  QWidget* picHeader;
  composer::HtmlEditor *dhtEdit, *wbrEdit;
  // A menu item, e.g. "mnuFileNew".
  QAction* Menu(const char* name) const;
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
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();

 private:
  std::shared_ptr<composer::QtEventLoop> loop_;
};

// Runs tests/parse_message.py on a kept message; returns its JSON output parsed.
QJsonObject ParseMessage(const QString& eml);

}  // namespace composer_test
