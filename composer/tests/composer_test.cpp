// The composer on the offscreen platform with scripted dialogs: its small functions, mailto:
// links and the library's event loop on Qt; the main, configuration and attachments windows
// and the HTML editor's commands; and sending from the window to SMTP servers started by the
// test on 127.0.0.1: the message as the server receives it (parsed by Python's email
// package), the progress and status texts, the first send opening the configuration window,
// failed sends that keep the message, the completion steps, and stopping or closing during a
// send.
#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <postwing/exception.hpp>

#include "address_completer.hpp"
#include "dialogs.hpp"
#include "e2e/e2e_support.hpp"
#include "frm_attachments.hpp"
#include "frm_send_mail.hpp"
#include "html_editor.hpp"
#include "mailto.hpp"
#include "mod_email.hpp"
#include "outgoing.hpp"
#include "qt_event_loop.hpp"
#include "spell_checker.hpp"

using composer::HtmlEditor;
using postwing::EventLoop;
using postwing::Exception;
using namespace modEmail;
using namespace std::chrono_literals;

namespace {

// A private home for the whole run (settings, drafts, temporary files), removed at its end.
QString HomeRoot() {
  static QTemporaryDir home(QDir::tempPath() + "/composer-test-XXXXXX");
  return home.path();
}

// Writes a file at a path below the test's home; returns its full path.
QString WriteFile(const QString& path, const QByteArray& data) {
  QFile f(HomeRoot() + "/" + path);
  QDir().mkpath(QFileInfo(f).path());
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) qFatal("cannot write a file");
  return f.fileName();
}

// Dialogs answered by the test: every message box is recorded, and each dialog takes the
// next queued answer (none queued: OK or No, a cancel for the others).
class ScriptedDialogs : public composer::Dialogs {
 public:
  QStringList said, titles;  // the text and the title of each message box shown
  QVariantList answers;      // an int, a path, paths, a colour, a text
  std::vector<QColor> colour_initials;
  // Runs in place of a modal window; returns its result. By default rejects it.
  std::function<int(QDialog&)> exec;
  int execs = 0;

  using Str = const QString&;  // texts, titles, captions, folders, filters, prompts
  int MessageBox(QWidget*, Str text, Str title, composer::MsgBoxButtons buttons,
                 composer::MsgBoxIcon) override {
    said << text, titles << title;
    if (const QVariant a = Take(); a.isValid()) return a.toInt();
    return buttons == composer::MsgBoxButtons::OkOnly ? composer::vbOK : composer::vbNo;
  }
  QStringList OpenFileNames(QWidget*, Str, Str, Str) override { return Take().toStringList(); }
  QString OpenFileName(QWidget*, Str, Str, Str) override { return Take().toString(); }
  QString SaveFileName(QWidget*, Str, Str, Str) override { return Take().toString(); }
  std::optional<QColor> Color(QWidget*, const QColor& initial, Str) override {
    colour_initials.push_back(initial);
    const QColor c = Take().value<QColor>();
    return c.isValid() ? std::optional(c) : std::nullopt;
  }
  std::optional<QFont> Font(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<QString> Text(QWidget*, Str, Str, Str) override {
    const QString t = Take().toString();
    return t.isNull() ? std::nullopt : std::optional(t);
  }
  bool Print(QWidget*, QTextDocument*) override { return false; }
  int Exec(QDialog& dialog) override {
    ++execs;
    return exec ? exec(dialog) : (dialog.reject(), int(QDialog::Rejected));
  }
  QVariant Take() { return answers.isEmpty() ? QVariant() : answers.takeFirst(); }
};

// A control of a window by its object name; aborts the test run when there is none.
template <class T>
T* Child(const QObject& window, const char* name) {
  if (T* child = window.findChild<T*>(name)) return child;
  qFatal("no control named %s", name);
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
  composer::HtmlEditor* dhtEdit = Child<composer::HtmlEditor>(window, "dhtEdit");
  frmSendMail* operator->() const { return &window; }
  // To, CC, BCC, Subject, the attachments line and the text, as the window shows them.
  QStringList Fields() const {
    return {txtTo->text(),      txtCC->text(),          txtBCC->text(),
            txtSubject->text(), txtAttachments->text(), dhtEdit->toPlainText()};
  }
  // A menu item by its object name ("mnuFileNew"), or a toolbar button by its name.
  QAction* Action(const QString& name) const {
    return name.startsWith("mnu") ? Child<QAction>(window, qPrintable(name)) : window.Button(name);
  }
};

// Sends here take well under a second; a failing wait costs three times this in Qt Test.
constexpr int kSendLimitMs = 30000;

const QByteArray kBinary = QByteArray::fromStdString(e2e::RandomBytes(70000, 7));

const QString kTo = "Jane Example <jane@example.org>, bob@example.org";
const QByteArray kNotes = "Notes line one\r\n\tindented line two\r\n.starts with a dot\r\n";

void Configure(int port, const QString& from = "tom@example.org", const char* configured = "True") {
  const QString settings[][2] = {
      {kKeyServer, "127.0.0.1"},   {kKeyPort, QString::number(port)}, {kKeyUser, ""},
      {kKeyPassword, ""},          {kKeyFromAddress, from},           {kKeySecurity, "None"},
      {kKeyConfigured, configured}};
  for (const auto& [key, value] : settings) SaveSetting(key, value);
}

}  // namespace

class ComposerTest : public QObject {
  Q_OBJECT

 public:
  // Before the application exists: settings, drafts and temporary files go below the
  // test's home, never the user's.
  static void initMain() {
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"}) {
      QDir().mkpath(HomeRoot() + "/" + variable);
      qputenv(variable, QFile::encodeName(HomeRoot() + "/" + variable));
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(HomeRoot()));  // private (0700) as Qt wants
  }

 private:
  std::shared_ptr<composer::QtEventLoop> loop_;
  std::shared_ptr<ScriptedDialogs> dialogs_;
  std::unique_ptr<frmSendMail> window_;

  // A loaded window; with active, once the window manager made it the active one; with html,
  // showing that document.
  Composer Open(bool active = false, const QString& html = {}) {
    window_ = std::make_unique<frmSendMail>();
    window_->Form_Load();
    if (active) [&] { QVERIFY(QTest::qWaitForWindowActive(window_.get())); }();
    if (!html.isEmpty()) window_->Editor()->SetDocumentHTML(html);
    return Composer{*window_};
  }
  // Puts the user's attention into the editor, as a click there would.
  void FocusEditor(const Composer& w) {
    w.dhtEdit->setFocus();
    QTRY_VERIFY(w->Button("Text Color")->isEnabled());  // on only while the editor is active
  }
  static void Place(HtmlEditor* e, int from, int to = -1) {
    QTextCursor c(e->document());
    c.setPosition(from), c.setPosition(to < 0 ? from : to, QTextCursor::KeepAnchor);
    e->setTextCursor(c);
  }

  // A message as a user writes it: addresses, subject, a list, a link, a pasted picture
  // and two attachments.
  void Fill(const Composer& w) {
    w->SetFields(kTo, "cc@example.org", "hidden@example.org", "Quarterly figures");
    w.dhtEdit->SetDocumentHTML(
        "<p>Hello <b>Jane</b>,</p><p>the figures are attached. Grüße, 5 €</p><ul><li>one</li></ul>"
        "<p><a href='https://example.org/q'>report</a></p>");
    // Typed by the user in a new paragraph: the document has changes.
    w.dhtEdit->moveCursor(QTextCursor::End);
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "X");
    QImage red(4, 4, QImage::Format_RGB32);
    red.fill(Qt::red);
    QApplication::clipboard()->setImage(red);
    w->mnuEditPaste_Click();
    dialogs_->answers.push_back(QStringList{WriteFile("outbox/report.bin", kBinary),
                                            WriteFile("outbox/notes.txt", kNotes)});
    w->Button("Attach File")->trigger();
  }

 private slots:
  void initTestCase() { loop_ = composer::QtEventLoop::InstallForThisThread(); }
  void cleanupTestCase() { postwing::SetThreadEventLoop(nullptr); }
  void init() { composer::SetDialogs(dialogs_ = std::make_shared<ScriptedDialogs>()); }
  void cleanup() {
    if (window_) window_->Editor()->document()->setModified(false);
    window_.reset();
    composer::SetDialogs(nullptr);
  }

  // Path parts and conversions; text a conversion cannot take is an error of the runtime's
  // number, never a guess. The settings file is private to the user. mailto: links fill the
  // fields, and their line breaks add no header. Spelling is underlined, not formatted.
  void HelpersSettingsMailtoAndSpelling() {
    const char* paths[][3] = {{"/home/u/drafts/Unnamed.html", "Unnamed.html", "/home/u/drafts/"},
                              {"C:\\mail\\Unnamed.html", "Unnamed.html", "C:\\mail\\"},
                              {"Unnamed.html", "", ""},
                              {"/home/u/", "", "/home/u/"},
                              {"/home/u/  name.html  ", "name.html", "/home/u/"},
                              {"/x/stream:part.txt", "part.txt", "/x/"}};
    for (const auto& [path, name, folder] : paths)
      QCOMPARE(QStringList({FileNamePart(path), FolderPart(path)}), QStringList({name, folder}));
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
      } catch (const Exception& e) {
        QCOMPARE(e.Number(), number);
      }
    }
    QCOMPARE(SecurityFromText(""), postwing::emxNoSecurity);
    QCOMPARE(SecurityFromText("starttls"), postwing::emxStartTLS);
    for (const char* tls : {"TLS", "2"}) QCOMPARE(SecurityFromText(tls), postwing::emxImplicitTLS);
    // Made 0600; an older file readable by others is tightened at the next write.
    SaveSetting(kKeyPassword, "s3cret; with = signs");
    QCOMPARE(GetSetting(kKeyPassword, ""), QString("s3cret; with = signs"));
    const QByteArray file = QFile::encodeName(SettingsFileName());
    struct stat st {};
    QVERIFY(::stat(file, &st) == 0 && (st.st_mode & 0777) == 0600);
    ::chmod(file, 0644);
    SaveSetting(kKeyUser, "someone");
    QVERIFY(::stat(file, &st) == 0 && (st.st_mode & 0777) == 0600);
    const std::pair<const char*, QStringList> links[] = {
        // to, cc, bcc, subject, body
        {"MAILTO:ann@example.org,bob@example.org?Subject=Caf%C3%A9%20at%203&body=Line "
         "1%0D%0ALine+2&cc=carol@example.org&bcc=dave@example.org&to=eve@example.org",
         {"ann@example.org; bob@example.org; eve@example.org", "carol@example.org",
          "dave@example.org", "Caf\u00e9 at 3", "Line 1\nLine+2"}},
        // No path, encoded separators, a bad escape kept.
        {"mailto:?to=ann%40example.org%2Cbob@example.org&subject=100%&x-other=1",
         {"ann@example.org; bob@example.org", "", "", "100%", ""}},
        // Line breaks cannot add a header.
        {"mailto:ann@example.org%0D%0ABcc:%20x@example.org?subject=Hi%0D%0ABcc:%20y@example.org",
         {"ann@example.org Bcc: x@example.org", "", "", "Hi Bcc: y@example.org", ""}},
        {"mailto:ann@example.org", {"ann@example.org", "", "", "", ""}}};
    for (const auto& [link, fields] : links) {
      const auto m = composer::ParseMailto(link);
      QVERIFY2(m && QStringList({m->to, m->cc, m->bcc, m->subject, m->body}) == fields, link);
    }
    QVERIFY(!composer::ParseMailto("http://example.org/?mailto:ann@example.org"));
    // Spelling: off without a dictionary; misspelt words marked, with suggestions.
    HtmlEditor e;
    e.setPlainText("The quikc fox");
    e.SetSpellLanguage("xx_NONE");  // no such dictionary: off, nothing marked
    QVERIFY(!e.Spelling()->Active());
    e.SetSpellLanguage("en_US");
    const auto marks = e.document()->firstBlock().layout()->formats();
    QVERIFY(marks.size() == 1 && marks[0].start == 4 && marks[0].length == 5);
    QVERIFY(e.Spelling()->Suggestions("quikc").contains("quick"));
    QVERIFY(!e.toHtml().contains("underline"));  // marks are no formatting of the message
  }

  // The library's loop on Qt: a paused watch hears nothing, a hang-up is both readable and
  // writable; of two watches on one descriptor one unwatches itself in its callback, the other
  // is never entered again from a nested pass while it runs (the writable level stays ready);
  // timers can be cancelled, other threads post, and a pass waits no longer than asked.
  void EventLoopOnQt() {
    composer::QtEventLoop loop;
    int p[2];
    QVERIFY(::pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0);
    const auto until = [&](const std::function<bool()>& done) {  // or five seconds
      for (QDeadlineTimer limit(5000); !done() && !limit.hasExpired();) loop.RunOnce(50ms);
      return done();
    };
    int calls = 0, a = 0, b = 0, depth = 0, max_depth = 0;
    unsigned seen = 0;
    auto id = loop.Watch(p[0], EventLoop::kReadable, [&](unsigned r) { ++calls, seen = r; });
    QCOMPARE(::write(p[1], "x", 1), ssize_t{1});
    QVERIFY(until([&] { return calls > 0 && seen == EventLoop::kReadable; }));
    loop.UpdateWatch(id, 0);  // the byte stays unread, yet nothing is heard
    const int heard = calls;
    loop.RunOnce(100ms);
    QCOMPARE(calls, heard);
    EventLoop::Id ia = 0, ib = 0;
    ia = loop.Watch(p[1], EventLoop::kWritable, [&](unsigned) { ++a, loop.Unwatch(ia); });
    ib = loop.Watch(p[1], EventLoop::kWritable, [&](unsigned) {
      max_depth = std::max(max_depth, ++depth);
      if (++b == 1)
        for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);
      --depth;
    });
    QVERIFY(until([&] { return b > 5; }));
    QVERIFY(a == 1 && max_depth == 1);
    loop.Unwatch(ib);
    loop.Unwatch(ib);  // unknown ids are harmless
    loop.UpdateWatch(ib, EventLoop::kReadable);
    loop.UpdateWatch(id, EventLoop::kReadable | EventLoop::kWritable);
    ::close(p[1]);
    QVERIFY(until([&] { return seen == (EventLoop::kReadable | EventLoop::kWritable); }));
    loop.UpdateWatch(id, 0);  // kept, and p[0] open: the loop's end drops its notifiers
    std::atomic<int> fired = 0, cancelled = 0, chained = 0, posted = 0;
    loop.AddTimer(10ms, [&] { ++fired; });
    auto c = loop.AddTimer(20ms, [&] { ++cancelled; });
    loop.CancelTimer(c);
    loop.AddTimer(0ms, [&] { loop.AddTimer(0ms, [&] { ++chained; }); });
    std::thread poster([&] { std::this_thread::sleep_for(50ms), loop.Post([&] { ++posted; }); });
    QVERIFY(until([&] { return fired == 1 && chained == 1 && posted == 1; }));
    poster.join();
    const QDeadlineTimer waited(5000);
    loop.RunOnce(150ms);  // Qt's wait has no limit of its own
    QVERIFY(waited.remainingTime() <= 4900 && !waited.hasExpired());
    QCOMPARE(fired + cancelled, 1);
    loop.CancelTimer(c);  // already gone: harmless
  }

  // A start makes the drafts folder and a scratch document, which goes with the window, and
  // writes no draft by itself; each toolbar button has its icon drawn and its name in the tip.
  // The attachments line shows only with attachments; a start that fails says why and goes no
  // further.
  void StartupToolbarAndTheAttachmentsLine() {
    QDir(DataFolder()).removeRecursively();
    Composer w = Open(true);
    QVERIFY(QDir(DraftsFolder()).exists() && !QFile::exists(DraftsFolder() + "/Unnamed.html") &&
            dialogs_->said.isEmpty());
    const QDir scratch(QDir::tempPath(), "~pw*");
    QCOMPARE(scratch.entryList(QDir::Files).size(), 1);
    for (QAction* b : Child<QToolBar>(w.window, "tbrSend")->actions()) {
      if (b->isSeparator() || b->text().isEmpty()) continue;
      QVERIFY2(b->toolTip().startsWith(b->text()) && w->Button(b->text()) == b,
               qPrintable(b->text()));
      QVERIFY2(!b->icon().pixmap(20).toImage().isNull(), qPrintable(b->text()));
    }
    w->resize(900, 600);
    QVERIFY(!w.txtAttachments->isVisibleTo(&w.window) &&
            !w.Action("mnuViewAttachments")->isEnabled());
    const QString a = WriteFile("attach/a.txt", "alpha"), b = WriteFile("attach/b.pdf", "beta"),
                  c = WriteFile("attach/c data.csv", "x,y\n");
    dialogs_->answers.push_back(QStringList{a, b, c});
    w->Button("Attach File")->trigger();
    QCOMPARE(w.txtAttachments->text(), QString("a.txt; b.pdf; c data.csv; "));
    QVERIFY(w.txtAttachments->isVisibleTo(&w.window) &&
            w.Action("mnuViewAttachments")->isEnabled());
    w->resize(300, 80);  // too small for the panel: nothing is reported
    QApplication::processEvents();
    w->resize(900, 600);
    w->AttachFiles();  // a cancelled dialog changes nothing and says nothing
    QCOMPARE(w->Attachments()->Count(), 3);
    QVERIFY(dialogs_->said.isEmpty());
    // The window lists source paths; Remove drops the selected ones and re-adds the rest.
    QStringList listed;
    int row = 1;  // the one to remove; -1: all
    dialogs_->exec = [&](QDialog& d) {
      auto* list = Child<QListWidget>(d, "lstAttachments");
      for (int i = 0; i < list->count(); ++i) listed << list->item(i)->text();
      row < 0 ? list->selectAll() : list->item(row)->setSelected(true);
      static_cast<frmAttachments&>(d).cmdRemove_Click();
      return int(QDialog::Accepted);
    };
    QTest::mouseClick(w.cmdAttachments, Qt::LeftButton);
    QCOMPARE(listed, (QStringList{a, b, c}));
    QCOMPARE(w.txtAttachments->text(), QString("a.txt; c data.csv; "));
    row = -1;  // every item: the collection empties and the line hides
    w.Action("mnuViewAttachments")->trigger();
    QCOMPARE(w->Attachments()->Count(), 0);
    QVERIFY(w.txtAttachments->text().isEmpty() && !w.txtAttachments->isVisibleTo(&w.window) &&
            !w.cmdAttachments->isVisibleTo(&w.window) &&
            !w.Action("mnuViewAttachments")->isEnabled());
    // Two files of one name go together; a missing file and a repeated one are named.
    const QString one = WriteFile("one/Same.txt", "1"), two = WriteFile("two/same.TXT", "3");
    const QString gone = HomeRoot() + "/two/gone.txt";
    w->AttachPaths({one, gone, two, one});
    QCOMPARE(w.txtAttachments->text(), QString("Same.txt; same.TXT; "));
    QCOMPARE(dialogs_->said, QStringList{"These files could not be attached:\n\"" + gone +
                                         "\": the file does not exist or is not a file\n\"" + one +
                                         "\": the file is already attached"});
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(w->close());
    QVERIFY(scratch.entryList(QDir::Files).isEmpty());
    qputenv("TMPDIR", "/nonexistent/composer");
    frmSendMail failed;
    failed.Form_Load();
    qputenv("TMPDIR", QFile::encodeName(HomeRoot() + "/TMPDIR"));
    QCOMPARE(dialogs_->said.back(), QString("Error determining TempPath"));
    QCOMPARE(Composer{failed}.cbxStyle->count(), 0);  // the steps after the failing one did not run
  }

  // The editing commands are on only while the editor has the user's attention; a
  // latched button reads as pressed where the cursor is, and stays usable to undo itself.
  void ButtonsFollowTheEditorsAttentionAndTheCursor() {
    Composer w = Open(true, "<p>plain <b>bold</b> text</p>");
    Place(w.dhtEdit, 6, 8);
    QVERIFY(w.txtTo->hasFocus());  // after load
    auto editing = [&](bool on) {
      for (const char* key :
           {"Copy", "Cut", "Bold", "Align Left", "Font", "Insert Image", "View Details",
            "mnuEditCopy", "mnuEditSelectAll", "mnuFormatBackgroundColor"})
        QVERIFY2(w.Action(key)->isEnabled() == on, key);
      QVERIFY(w.cbxStyle->isEnabled() && w.Action("mnuEditFind")->isEnabled());
      QVERIFY(w->Button("Attach File")->isEnabled());
    };
    editing(false);
    FocusEditor(w);
    editing(true);
    QVERIFY(w->Button("Bold")->isChecked());
    QTest::keyClick(w.dhtEdit, Qt::Key_Right);  // a key release runs SetState
    QVERIFY(w->Button("Bold")->isChecked() && w->Button("Align Left")->isChecked());
    Place(w.dhtEdit, 2);
    QTest::keyClick(w.dhtEdit, Qt::Key_Right);
    QVERIFY(!w->Button("Bold")->isChecked() && w->Button("Bold")->isEnabled());
    w.txtSubject->setFocus();  // leaving the editor turns them off again
    QTRY_VERIFY(!w->Button("Text Color")->isEnabled());
    editing(false);
    // The editor's own statuses: unknown commands, selections, a read-only document.
    QCOMPARE(w.dhtEdit->QueryStatus(12345), int(HtmlEditor::kNotSupported));
    QVERIFY_THROWS_EXCEPTION(Exception, w.dhtEdit->ExecCommand(12345));
    w.dhtEdit->setReadOnly(true);
    QCOMPARE(w.dhtEdit->QueryStatus(HtmlEditor::DECMD_BOLD), int(HtmlEditor::kDisabled));
  }

  // Each editing button or menu item on a small document, the whole text selected or the
  // cursor placed: what the document shows afterwards ("!" not shows, "text:" its text),
  // and whether the button then reads as pressed.
  void EditingCommands() {
    const QString link = "<p>see <a href=\"https://a.test/\">the site</a> now</p>";
    const QString picture = WriteFile("pictures/p.png", {});
    QImage(2, 2, QImage::Format_RGB32).save(picture);
    dialogs_->exec = [](QDialog& d) {  // the link dialog
      Child<QLineEdit>(d, "txtLinkUrl")->setText("https://example.org/");
      return int(QDialog::Accepted);
    };
    const auto row = [&](const QString& command, const QString& html, int cursor,
                         const QVariant& answer, const QString& shows, bool pressed = false) {
      Composer w = Open(true, html);
      FocusEditor(w);
      cursor < 0 ? w.dhtEdit->selectAll() : Place(w.dhtEdit, cursor);
      dialogs_->answers = {answer};
      QAction* action = w.Action(command);
      action->trigger();
      const QString now = shows.startsWith("text:") ? "text:" + w.dhtEdit->toPlainText()
                                                    : w.dhtEdit->DocumentHTML();
      QVERIFY2(shows.startsWith('!') ? !now.contains(shows.mid(1)) : now.contains(shows),
               qPrintable(command + ": " + now));
      QVERIFY2(action->isChecked() == pressed && dialogs_->said.isEmpty(), qPrintable(command));
    };
    row("Bold", "plain", -1, {}, "font-weight:700", true);
    row("Italic", "plain", -1, {}, "font-style:italic", true);
    row("Underline", "plain", -1, {}, "text-decoration: underline", true);
    row("Center", "plain", -1, {}, "align=\"center\"", true);
    row("Align Right", "plain", -1, {}, "align=\"right\"", true);
    row("Align Left", "<p align=\"right\">plain</p>", -1, {}, "!align=\"right\"", true);
    row("Indent", "plain", 0, {}, "-qt-block-indent:1", false);
    row("Outdent", "<p style=\"-qt-block-indent:1\">plain</p>", 0, {}, "!-qt-block-indent:1");
    row("Cut", "plain", -1, {}, "text:", false);
    row("View Details", "plain", 0, {}, "text:plain", true);
    row("Insert Hyperlink", "see the site now", -1, {}, "<a href=\"https://example.org/\">");
    row("Insert Image", "plain", 5, picture,
        "<img src=\"" + QUrl::fromLocalFile(picture).toString());
    row("Properties", link, 6, "https://b.test/", "href=\"https://b.test/\"");
    row("mnuFormatUnlink", link, 6, {}, "!href=");
    row("Text Color", "red", -1, QColor(Qt::red), "color:#ff0000;\">red");
  }

  // The style box sets each format of its list and shows it; "Remove Format" keeps the links.
  // The background colour dialog opens on the current colour, and cancelling it changes
  // nothing.
  void StyleBoxAndBackgroundColour() {
    Composer w =
        Open(true, "<p><b><i>styled</i></b> <a href=\"https://x.test/\">link</a></p><p>other</p>");
    FocusEditor(w);
    // Every format of the list is set, and shown by the box afterwards.
    for (int i = 0; i + 1 < w.cbxStyle->count(); ++i) {
      emit w.cbxStyle->activated(i);
      w->SetState();
      QCOMPARE(w.cbxStyle->currentIndex(), i);
    }
    QVERIFY(w.dhtEdit->hasFocus());  // chosen with the mouse: back to the editor
    emit w.cbxStyle->activated(w.cbxStyle->findText("Heading 1"));
    QVERIFY(w.dhtEdit->DocumentHTML().contains("<h1"));
    emit w.cbxStyle->activated(w.cbxStyle->findText("Numbered List"));
    QCOMPARE(w.dhtEdit->QueryStatus(HtmlEditor::DECMD_OUTDENT), int(HtmlEditor::kEnabled));
    emit w.cbxStyle->activated(w.cbxStyle->findText("Normal"));
    QVERIFY(!w.dhtEdit->textCursor().currentList());
    Place(w.dhtEdit, 9);
    QVERIFY(w.dhtEdit->textCursor().charFormat().fontWeight() < QFont::DemiBold);  // no heading
    QCOMPARE(w.dhtEdit->document()->lastBlock().blockFormat().headingLevel(), 0);  // untouched
    w.dhtEdit->selectAll();
    emit w.cbxStyle->activated(w.cbxStyle->findText("Remove Format"));
    // "Remove Format" removes the formatting, not the links.
    const QString html = w.dhtEdit->DocumentHTML();
    QVERIFY(!html.contains("font-weight:700") && !html.contains("font-style:italic"));
    QVERIFY(html.contains("href=\"https://x.test/\""));
    QVERIFY_THROWS_EXCEPTION(
        Exception, w.dhtEdit->ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Remove Format"));
    // Typed letters do not choose; Enter returns to the editor.
    w.cbxStyle->setFocus();
    QTRY_VERIFY(w.cbxStyle->hasFocus());
    const int before = w.cbxStyle->currentIndex();
    QTest::keyClicks(w.cbxStyle, "Heading");
    QCOMPARE(w.cbxStyle->currentIndex(), before);
    QTest::keyClick(w.cbxStyle, Qt::Key_Return);
    QTRY_VERIFY(w.dhtEdit->hasFocus());
    dialogs_->answers = {QColor(0, 0, 255), QVariant()};
    w.Action("mnuFormatBackgroundColor")->trigger();
    w.Action("mnuFormatBackgroundColor")->trigger();
    QCOMPARE(dialogs_->colour_initials, (std::vector<QColor>{Qt::white, QColor(0, 0, 255)}));
    QVERIFY(w.dhtEdit->DocumentHTML().contains("bgcolor=\"#0000ff\"") && dialogs_->said.isEmpty());
    QVERIFY_THROWS_EXCEPTION(Exception,
                             w.dhtEdit->ExecCommand(HtmlEditor::DECMD_SETBACKCOLOR, 0, "zz0000"));
    w.dhtEdit->SetBodyInnerHTML("<p>new body</p>");  // the colour survives a new body
    QCOMPARE(w.dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#0000FF"));
  }

  // Enter and Shift+Enter, a link with a text of its own, Ctrl+B, pasting through the scratch
  // document; the source view round trip, and File > New leaving it.
  void KeysLinksPasteAndSourceView() {
    Composer w = Open(true);
    FocusEditor(w);
    QTest::keyClicks(w.dhtEdit, "one");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(w.dhtEdit, "two");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "three");
    QCOMPARE(w.dhtEdit->document()->blockCount(), 2);
    // A list chosen now takes the last paragraph only.
    emit w.cbxStyle->activated(w.cbxStyle->findText("Bulleted List"));
    QCOMPARE(composer::PlainTextOf(*w.dhtEdit->document()), QString("one\r\ntwo\r\n- three\r\n"));
    // A link with a text of the user's own; text typed after it is not part of it.
    w.dhtEdit->clear();
    QTest::keyClicks(w.dhtEdit, "site");
    w.dhtEdit->selectAll();
    dialogs_->exec = [](QDialog& d) {
      Child<QLineEdit>(d, "txtLinkText")->setText("our page");
      Child<QLineEdit>(d, "txtLinkUrl")->setText("https://example.org/p");
      return int(QDialog::Accepted);
    };
    w->Button("Insert Hyperlink")->trigger();
    QTest::keyClick(w.dhtEdit, Qt::Key_Left);  // back to the link's end, then typing
    QTest::keyClick(w.dhtEdit, Qt::Key_Right);
    QTest::keyClicks(w.dhtEdit, " now");
    QCOMPARE(composer::PlainTextOf(*w.dhtEdit->document()),
             QString("our page <https://example.org/p> now\r\n"));
    QTest::keyClick(w.dhtEdit, Qt::Key_B, Qt::ControlModifier);  // Ctrl+B as the toolbar
    QVERIFY(w->Button("Bold")->isChecked());
    // Paste goes through the scratch document: the clipboard then holds the editor's HTML.
    w.dhtEdit->clear();
    QApplication::clipboard()->setText("from the clipboard");
    QTest::keyClick(w.dhtEdit, Qt::Key_A);  // something to undo; a key release runs SetState
    QVERIFY(w.Action("mnuEditPaste")->isEnabled());
    QTest::keyClick(w.dhtEdit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(w.dhtEdit->toPlainText(), QString("afrom the clipboard"));
    QVERIFY(QApplication::clipboard()->mimeData()->hasHtml() &&
            Child<HtmlEditor>(w.window, "wbrEdit")->toPlainText().isEmpty());
    w.dhtEdit->ExecCommand(HtmlEditor::DECMD_UNDO);  // the paste undone and done again
    w.dhtEdit->ExecCommand(HtmlEditor::DECMD_REDO);
    QTest::keyClick(w.dhtEdit, Qt::Key_Insert, Qt::ShiftModifier);  // does nothing
    QCOMPARE(w.dhtEdit->toPlainText(), QString("afrom the clipboard"));
    // The source view, edited and rendered again.
    w.dhtEdit->SetDocumentHTML("<p>Hello <b>World</b></p>");
    w.Action("mnuViewSource")->trigger();
    QVERIFY(w.Action("mnuViewSource")->isChecked());
    QString source = w.dhtEdit->toPlainText();
    QVERIFY(source.contains("World</span>") && source.contains("font-weight"));
    // Edit the source as text, then render it again.
    w.dhtEdit->SetBodyInnerText(source.replace("World", "There"));
    w.Action("mnuViewSource")->trigger();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("Hello There"));
    Place(w.dhtEdit, 8);
    QVERIFY(w.dhtEdit->textCursor().charFormat().fontWeight() >= QFont::Bold);
    // Text typed without markup survives unticking; Undo brings back what was there.
    w.Action("mnuViewSource")->trigger();
    w.dhtEdit->selectAll();
    QTest::keyClicks(w.dhtEdit, "a < b");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "c");
    w.Action("mnuViewSource")->trigger();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("a < b\nc"));
    w.dhtEdit->undo();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("a < b\nc"));  // the source text again
    // File > New leaves the source view.
    w.Action("mnuViewSource")->trigger();
    dialogs_->answers.push_back(composer::vbNo);
    w.Action("mnuFileNew")->trigger();
    QVERIFY(!w.Action("mnuViewSource")->isChecked() && !w.dhtEdit->SourceView());
  }

  // What stops a send before anything goes out: a malformed address, and the reminders.
  void RemindersBeforeSending() {
    const char* mention =
        "The text mentions an attachment, but no file is attached. Send it anyway?";
    const char* rows[][4] = {
        // CC, subject, text, what is said
        {"\"Doe, Jane\" <jane@example.org>; carol at example.org", "", "Hello",
         "\"carol at example.org\" in CC is not an e-mail address. Nothing was sent."},
        {"", "", "Hi", "The message has no subject. Send it anyway?"},
        {"", "S", "The figures are attached.", mention},
        {"", "S", "Enclosed you find", mention},
        {"", "S", "Attaching nothing", "No sender address"}};
    SaveSetting(kKeyConfigured, "True");
    SaveSetting(kKeyFromAddress, "");  // a send that gets past the reminders stops at once
    for (const auto& [cc, subject, text, reminder] : rows) {
      Composer w = Open(true);
      w->SetFields("Bob <bob@example.org>, carol@example.org", cc, "", subject);
      w.dhtEdit->setPlainText(text);
      dialogs_->said.clear();
      w->Button("Send")->trigger();  // answered No: nothing more happens
      QCOMPARE(dialogs_->said.size(), 1);
      QVERIFY2(dialogs_->said[0].startsWith(reminder) && !w->Sending(), text);
    }
  }

  // Each field, an attachment and the body count as a change: closing asks (Cancel keeps the
  // window), File > New empties all. Yes, then a cancelled Save As keeps the window too; Yes
  // with a file chosen saves and closes, a name without an extension getting ".html".
  void AnyChangeCountsAndNewEmptiesEverything() {
    for (int change = 0; change < 6; ++change) {
      Composer w = Open(true);
      QLineEdit* boxes[] = {w.txtTo, w.txtCC, w.txtBCC, w.txtSubject, w.txtAttachments};
      if (change < 4) boxes[change]->setText("a@example.org");
      if (change == 4) w->AttachPaths({WriteFile("n/n.txt", "n")});
      if (change == 5) QTest::keyClicks(w.dhtEdit, "text");
      dialogs_->said.clear();
      dialogs_->answers = {composer::vbCancel, composer::vbNo};
      QVERIFY2(!w->close(), qPrintable(QString::number(change)));
      w.Action("mnuFileNew")->trigger();
      QCOMPARE(dialogs_->said, QStringList(2, "Do you want to save these changes?"));
      QCOMPARE(w.Fields(), QStringList(6));
      QCOMPARE(w->Attachments()->Count(), 0);
      QVERIFY(w->close());  // nothing left to ask about
    }
    Composer w = Open(true);
    QTest::keyClicks(w.dhtEdit, "draft");
    dialogs_->answers = {composer::vbYes, QString(), composer::vbYes, HomeRoot() + "/closing"};
    QVERIFY(!w->close() && w->isVisible());
    QVERIFY(w->close());
    QVERIFY(e2e::ReadFile((HomeRoot() + "/closing.html").toStdString()).find("draft") !=
            std::string::npos);
    QVERIFY_THROWS_EXCEPTION(Exception, w.dhtEdit->SaveDocument("/nonexistent/dir/x.html"));
  }

  void DraftsReopenWholeAndAutosaveRestoresAfterACrash() {
    Composer w = Open(true);
    w->SetFields("Jane <jane@example.org>, \"Doe\" <d@example.org>", "a@example.org",
                 "b@example.org", "Figures & <notes>");
    w->AttachPaths({WriteFile("d/figures.csv", "1,2")});
    QTest::keyClicks(w.dhtEdit, "Body");
    QImage blue(3, 3, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    w.dhtEdit->InsertImageData(blue);
    const auto message = [](const Composer& r) {  // and the number of pictures
      return r.Fields() << QString::number(composer::ImagesOf(*r.dhtEdit->document()).size());
    };
    const QStringList written = message(w);
    // Saved, emptied and opened again.
    const QString path = DraftsFolder() + "/draft.html";
    dialogs_->answers.push_back(path);
    QVERIFY(w->mnuFileSave_Click());  // never saved: Save behaves as Save As
    QCOMPARE(w->windowTitle(), QString("draft.html - Message (HTML)"));
    QVERIFY(!w->HasChanges());
    w.Action("mnuFileNew")->trigger();
    QVERIFY(!w.dhtEdit->LoadDocument(path + ".missing"));
    dialogs_->answers.push_back(path);
    w->mnuFileOpen_Click();
    QCOMPARE(message(w), written);
    QVERIFY(!w->HasChanges());
    // Autosaved while changed, and offered on the next start after a crash.
    w.txtCC->setText("c@example.org");
    w->Autosave();
    QVERIFY(QFile::exists(w->AutosavePath()));
    frmSendMail restored_window;
    Composer restored{restored_window};
    dialogs_->answers.push_back(composer::vbYes);
    restored->Form_Load();
    QVERIFY(dialogs_->said.back().contains("restore"));
    QCOMPARE(message(restored), message(w));
    QVERIFY(restored->HasChanges() && restored.dhtEdit->CurrentDocumentPath().isEmpty());
    // Closing normally leaves no copy behind.
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(restored->close());
    QVERIFY(!QFile::exists(w->AutosavePath()));
  }

  // Unconfigured, the first send opens the configuration window, which shows what is stored
  // (only the sender is typed there); cancelled, it stores nothing and the send stops on the
  // missing sender. A send that fails keeps the whole message; the next one delivers it and
  // empties the window.
  void ARealSendDeliversTheMessageAndEmptiesTheWindow_data() {
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message");
    const char* rows[][3] = {{"first send", "", ""},
                             {"refused recipient", "refuse", "550"},
                             {"no server", "closed", ""},
                             {"configuration cancelled", "cancel",
                              "No sender address is set: enter yours under View > Configuration."}};
    for (const auto& [tag, failure, message] : rows)
      QTest::newRow(tag) << QString(failure) << QString(message);
  }
  void ARealSendDeliversTheMessageAndEmptiesTheWindow() {
    QFETCH(QString, failure);
    QFETCH(QString, message);
    const QString kept = HomeRoot() + "/" + QTest::currentDataTag(), refused = kept + " refused";
    // The end-to-end tests' capture server keeps a message in 0001.eml, its envelope in 0001.json.
    const std::string capture = e2e::ServersDir() + "capture_server.py";
    e2e::PythonServer server({capture, "--dir", kept.toStdString(), "--lifetime", "120"}),
        refusing({capture, "--dir", refused.toStdString(), "--lifetime", "120", "--refuse",
                  "RCPT:*:550"});
    if (failure == "closed") refusing.Stop();  // nobody listens on its port any more
    QFile::remove(SettingsFileName());
    const bool first = failure.isEmpty() || failure == "cancel";
    Configure(failure == "refuse" || failure == "closed" ? refusing.port() : server.port(),
              first ? "" : "tom@example.org", first ? "False" : "True");
    dialogs_->exec = [&](QDialog& d) {
      Child<QLineEdit>(d, "txtFromAddress")->setText("tom@example.org");
      Child<QPushButton>(d, failure == "cancel" ? "cmdCancel" : "cmdSave")->click();
      return d.result();
    };
    Composer w = Open();
    Fill(w);
    if (!failure.isEmpty()) {
      const QString document = w.dhtEdit->DocumentHTML();
      w->Button("Send")->trigger();
      QTRY_VERIFY_WITH_TIMEOUT(!dialogs_->said.isEmpty() && !w->Sending(), kSendLimitMs);
      QCOMPARE(dialogs_->titles[0], QString("Error Message"));
      QVERIFY2(dialogs_->said[0].startsWith(message), qPrintable(dialogs_->said[0]));
      // A refused send still ends with QUIT; the status follows once that is done.
      QTRY_COMPARE_WITH_TIMEOUT(w->PanelText("Status"), QString("Not sent"), kSendLimitMs);
      // Nothing of the message is lost.
      QCOMPARE(w.Fields().mid(0, 5), (QStringList{kTo, "cc@example.org", "hidden@example.org",
                                                  "Quarterly figures", "report.bin; notes.txt; "}));
      QVERIFY(w.dhtEdit->DocumentHTML() == document && w.dhtEdit->IsDirty() &&
              w->Button("Send")->isEnabled());
      QVERIFY(!QFile::exists(refused + "/0001.eml") && !QFile::exists(kept + "/0001.eml"));
      dialogs_->said.clear();
      Configure(server.port());
    }
    QStringList statuses;
    QList<int> percents;
    int64_t reported = 0;
    auto watch = w->Mail()->OnSendProgress([&](int32_t& bytes, int32_t&) {
      reported += bytes;
      statuses << w->PanelText("Status");  // the window's handler came first
      percents << w->PanelText("Progress").remove('%').toInt();
    });
    w->Button("Send")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(w->PanelText("Status"), QString("Complete"), kSendLimitMs);
    watch.Disconnect();
    QCOMPARE(dialogs_->execs, int(first));
    QCOMPARE(dialogs_->said, QStringList());
    QVERIFY2(!statuses.isEmpty() && std::ranges::is_sorted(percents), "progress never goes back");
    QCOMPARE(statuses.back(), QString("Sending - Bytes Sent: %1").arg(reported));
    // The completion steps.
    QVERIFY(!w->Sending() && w->PanelText("Progress").isEmpty() && !w->Button("Send")->isEnabled());
    QCOMPARE(w.Fields(), QStringList(6));
    QVERIFY(!w.txtAttachments->isVisibleTo(&w.window) && w->Attachments()->Count() == 0 &&
            !w.dhtEdit->IsDirty());
    QCOMPARE(w->windowTitle(), QString("Unnamed.html - Message (HTML)"));
    QCOMPARE(w.dhtEdit->document()->documentMargin(), 6.0);  // the margin is kept
    // The message as Python's email package reads it: the envelope, the fields, the HTML
    // document, the picture and both attachments.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(kept + "/0001.eml"), 10000);
    const auto q = [](const std::string& s) { return QByteArray::fromStdString(s); };
    const QJsonObject envelope =
        QJsonDocument::fromJson(q(e2e::ReadFile((kept + "/0001.json").toStdString()))).object();
    QCOMPARE(envelope["mail_from"].toString(), QString("tom@example.org"));
    QCOMPARE(envelope["rcpt_tos"].toArray(), (QJsonArray{"jane@example.org", "bob@example.org",
                                                         "cc@example.org", "hidden@example.org"}));
    const e2e::Parsed m = e2e::Parse((kept + "/0001.eml").toStdString());
    QVERIFY2(m.defects.empty(), m.defects.c_str());
    QCOMPARE(q(m.Header("Subject")), QByteArray("Quarterly figures"));
    QCOMPARE(q(m.Header("Bcc")), QByteArray("<absent>"));
    QCOMPARE(q(m.tree), QByteArray("multipart/mixed[multipart/related[multipart/alternative["
                                   "text/plain,text/html],image/png],application/octet-stream,"
                                   "text/plain]"));
    const auto& parts = m.parts;  // the text, the HTML, the picture, the two files
    QCOMPARE(QString::fromUtf8(q(parts[0].data)),
             QString::fromUtf8("Hello Jane,\r\nthe figures are attached. Grüße, 5 €\r\n"
                               "- one\r\nreport <https://example.org/q>\r\nX[image]\r\n"));
    const QString html = QString::fromUtf8(q(parts[1].data));
    QCOMPARE(q(parts[1].charset), QByteArray("utf-8"));
    QVERIFY2(html.contains("Jane</span>") && html.contains(QString::fromUtf8("Grüße, 5 €")),
             qPrintable(html));
    QVERIFY(!html.contains("-qt-") && !html.contains("qrichtext"));
    // The picture is an inline part that the HTML names by its Content-ID.
    QVERIFY(html.contains("src=\"cid:" +
                          QString::fromStdString(parts[2].content_id).mid(1).chopped(1)));
    QCOMPARE(QImage::fromData(q(parts[2].data)).pixelColor(1, 1), QColor(Qt::red));
    QCOMPARE(q(parts[3].filename), QByteArray("report.bin"));
    QCOMPARE(q(parts[3].data), kBinary);
    QCOMPARE(q(parts[4].filename), QByteArray("notes.txt"));
    QCOMPARE(q(parts[4].data), kNotes);
    // The addresses are offered for completion, newest first, after what is typed already.
    auto* completer = static_cast<composer::AddressCompleter*>(w.txtCC->completer());
    QCOMPARE(composer::RecentAddresses(), completer->Addresses());
    QCOMPARE(completer->Addresses().mid(0, 2),
             (QStringList{"Jane Example <jane@example.org>", "bob@example.org"}));
    w.txtCC->setText("x@example.org; bo");
    QCOMPARE(completer->pathFromIndex(completer->model()->index(1, 0)),
             QString("x@example.org; bob@example.org"));
  }

  // A send that stays in progress: the Security setting reached the SendMail, Stop ends it
  // and keeps the message, and closing asks first.
  void StoppingOrClosingDuringASend() {
    QTcpServer silent;  // greets, then never answers: the send stays in progress
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    connect(&silent, &QTcpServer::newConnection, [&] {
      while (QTcpSocket* s = silent.nextPendingConnection()) s->write("220 silent\r\n");
    });
    Configure(silent.serverPort());
    SaveSetting(kKeySecurity, "STARTTLS");
    Composer w = Open();
    Fill(w);
    w->Button("Send")->trigger();
    QCOMPARE(w->Mail()->Security(), postwing::emxStartTLS);
    // One message at a time.
    QVERIFY(w->Sending() && w->Button("Stop")->isEnabled() && !w->Button("Send")->isEnabled());
    w->Button("Stop")->trigger();  // the send ends cleanly; the message stays
    QVERIFY(!w->Sending() && !w->Button("Stop")->isEnabled());
    QCOMPARE(w->PanelText("Status"), QString("Not sent"));
    QCOMPARE(w.txtTo->text(), kTo);
    // A stored value that names no choice stops the send before anything goes out in clear.
    SaveSetting(kKeySecurity, "SSL please");
    w->Button("Send")->trigger();
    QVERIFY(dialogs_->said.size() == 1 && dialogs_->said[0].contains("Security") && !w->Sending());
    // Closing during a send: No keeps the window and the transfer.
    SaveSetting(kKeySecurity, "None");
    w->Button("Send")->trigger();
    QVERIFY(w->Sending());
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(!w->close() && w->isVisible() && w->Sending());
    QCOMPARE(dialogs_->titles.back(), QString("Warning / Confirmation Message"));
    // Yes: the transfer is cancelled; the unsent message is still there, so the
    // unsaved-changes question follows; Cancel keeps the window open.
    dialogs_->answers = {composer::vbYes, composer::vbCancel};
    QVERIFY(!w->close() && !w->Sending());
    QCOMPARE(w->PanelText("Status"), QString("Not sent"));
    QCOMPARE(w->Attachments()->Count(), 2);
    // Closing again asks only about the changes.
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(w->close());
    const QString busy = "An E-mail is in progress... cancel and quit anyway",
                  save = "Do you want to save these changes?";
    QCOMPARE(dialogs_->said.mid(1), (QStringList{busy, busy, save, save}));
  }
};

QTEST_MAIN(ComposerTest)
#include "composer_test.moc"
