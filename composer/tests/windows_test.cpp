// The main window, the configuration and attachments windows and the editing commands,
// on the offscreen platform with scripted dialogs.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

#include "composer_test_support.hpp"
#include "frm_attachments.hpp"
#include "frm_configure.hpp"
#include "frm_send_mail.hpp"
#include "html_editor.hpp"
#include "mod_email.hpp"
#include "outgoing.hpp"
#include "qt_event_loop.hpp"

using composer::HtmlEditor;
using composer_test::Child;
using composer_test::Composer;
using composer_test::HomeRoot;
using composer_test::ScriptedDialogs;
using namespace modEmail;

namespace {

QString WriteFile(const QString& folder, const QString& name, const QByteArray& data) {
  QDir().mkpath(folder);
  QFile f(folder + "/" + name);
  f.open(QIODevice::WriteOnly);
  f.write(data);
  return f.fileName();
}

int Px(int twips, QWidget* w) {
  return TwipsToPixelsY(twips, w);
}

}  // namespace

class WindowsTest : public composer_test::WindowFixture {
  Q_OBJECT

 private:
  // Puts the user's attention into the editor, as a click there would.
  void FocusEditor(const Composer& w) {
    w.dhtEdit->setFocus();
    QTRY_VERIFY(w->Button("Text Color")->isEnabled());  // on only while the editor is active
  }

 private slots:
  // ---- Start-up, title, layout ----

  void StartupCreatesTheMissingDraftsFolder() {
    QDir(DataFolder()).removeRecursively();
    Composer w = Open(true);
    QVERIFY(QDir(DraftsFolder()).exists());
    QCOMPARE(DraftsFolder(), composer_test::HomeRoot() + "/data/composer/drafts");
    QCOMPARE(w->windowTitle(), QString("Unnamed.html - Message (HTML)"));
    QVERIFY(dialogs_->messages.empty());
    // The window never writes the unnamed document itself.
    QVERIFY(!QFile::exists(DraftsFolder() + "/Unnamed.html"));
    // The scratch document exists while the window is open, and goes with it.
    const QDir temp(QDir::tempPath(), "~pw*");
    QCOMPARE(temp.entryList(QDir::Files).size(), 1);
    QVERIFY(w->close());
    QVERIFY(temp.entryList(QDir::Files).isEmpty());
  }

  void StartupFailureIsShownAndLeavesTheWindowNotReady() {
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent/composer");
    frmSendMail window;
    window.Form_Load();
    qputenv("TMPDIR", saved);
    Composer w(window);
    QCOMPARE(dialogs_->messages.size(), size_t{1});
    QCOMPARE(dialogs_->messages[0].title, QString("Error Message"));
    QCOMPARE(dialogs_->messages[0].text, QString("Error determining TempPath"));
    QCOMPARE(w.cbxStyle->count(), 0);  // the steps after the failing one did not run
  }

  void AddressPanelLayout() {
    Composer w = Open(true);
    w->resize(900, 600);
    // The attachments row shows only with attachments; the editor fills the rest below.
    for (bool attached : {false, true}) {
      if (attached) w->AttachPaths({WriteFile(HomeRoot() + "/files", "report.pdf", "%PDF")});
      QCOMPARE(w.txtAttachments->isVisibleTo(&w.window), attached);
      QCOMPARE(w.Menu("mnuViewAttachments")->isEnabled(), attached);
      QCOMPARE(w.picHeader->height(), Px((attached ? 1500 : 1170) + 285 + 100, &w.window));
      QCOMPARE(w.dhtEdit->geometry(), QRect(0, w.picHeader->height(), w->centralWidget()->width(),
                                            w->centralWidget()->height() - w.picHeader->height()));
    }
    // Too small for the panel: the editor keeps its place, nothing is reported.
    w->resize(300, 80);
    QApplication::processEvents();
    QVERIFY(dialogs_->messages.empty());
  }

  void ToolbarKeysAndMenus() {
    Composer w = Open(true);
    const QStringList keys{
        "Send",        "Stop",      "Save",        "Print",        "Cut",
        "Copy",        "Paste",     "Attach File", "Insert Image", "Insert Hyperlink",
        "Bold",        "Italic",    "Underline",   "Align Left",   "Center",
        "Align Right", "Indent",    "Outdent",     "Properties",   "View Details",
        "Font",        "Text Color"};
    for (const QString& key : keys) {
      QAction* b = w->Button(key);
      QVERIFY2(b, qPrintable(key));
      QVERIFY2(b->toolTip().startsWith(key), qPrintable(key));
      QVERIFY2(!b->icon().isNull(), qPrintable(key));
      QVERIFY2(!b->icon().pixmap(20).toImage().isNull(), qPrintable(key));
    }
    QCOMPARE(w.cbxStyle->toolTip(), QString("Style"));
    const std::pair<QAction*, const char*> shortcuts[] = {
        {w.Menu("mnuFileNew"), "Ctrl+N"},
        {w.Menu("mnuFileOpen"), "Ctrl+O"},
        {w.Menu("mnuFileSave"), "Ctrl+S"},
        {w.Menu("mnuFilePrint"), "Ctrl+P"},
        {w.Menu("mnuFileSend"), "Ctrl+Return"},
        {w.Menu("mnuFileAttach"), "Ctrl+Shift+A"},
        {w.Menu("mnuFileExit"), "Ctrl+Q"},
        {w.Menu("mnuEditPaste"), "Ctrl+V"},
        {w.Menu("mnuEditPasteText"), "Ctrl+Shift+V"},
        {w.Menu("mnuEditRedo"), "Ctrl+Y"}};
    for (const auto& [action, keys] : shortcuts) QCOMPARE(action->shortcut(), QKeySequence(keys));
    QCOMPARE(w.Menu("mnuEditCopy")->text(), QString("Copy"));
    // The Send button follows the To field.
    QVERIFY(!w->Button("Send")->isEnabled());
    w.txtTo->setText("someone@example.org");
    QVERIFY(w->Button("Send")->isEnabled());
    w.txtTo->clear();
    QVERIFY(!w->Button("Send")->isEnabled());
    // The style list: the editor's format names, then "Remove Format", the first selected.
    QCOMPARE(w.cbxStyle->itemText(0), QString("Normal"));
    QCOMPARE(w.cbxStyle->itemText(w.cbxStyle->count() - 1), QString("Remove Format"));
    QCOMPARE(w.cbxStyle->count(), HtmlEditor::FormatNames().size() + 1);
  }

  // ---- Configuration ----

  void ConfigurationLoadSaveAndCancel() {
    QFile::remove(SettingsFileName());
    const std::pair<const char*, const char*> boxes[] = {{kKeyServer, "txtSMTPServer"},
                                                         {kKeyPort, "txtSMTPServerPort"},
                                                         {kKeyUser, "txtLoginName"},
                                                         {kKeyPassword, "txtPassword"},
                                                         {kKeyFromAddress, "txtFromAddress"}};
    for (const auto& [key, box] : boxes) SaveSetting(key, QString(" %1 x").arg(box));
    SaveSetting(kKeySecurity, "STARTTLS");
    {
      frmConfigure c(nullptr);
      for (const auto& [key, box] : boxes)
        QCOMPARE(Child<QLineEdit>(c, box)->text(), QString(" %1 x").arg(box));
      QCOMPARE(Child<QComboBox>(c, "cbxSecurity")->currentText(), QString("STARTTLS"));
      // Opening the window marks the settings configured, before anything is typed.
      QCOMPARE(GetSetting(kKeyConfigured, "False"), QString("True"));
      Child<QLineEdit>(c, "txtSMTPServer")->setText("");
      Child<QLineEdit>(c, "txtSMTPServerPort")->setText("2525");
      Child<QComboBox>(c, "cbxSecurity")->setCurrentText("TLS");
      c.cmdSave_Click();
      QCOMPARE(c.result(), int(QDialog::Accepted));
    }
    QCOMPARE(GetSetting(kKeyServer, "x"), QString(""));  // empty is stored as empty
    QCOMPARE(GetSetting(kKeyPort, ""), QString("2525"));
    QCOMPARE(GetSetting(kKeySecurity, ""), QString("TLS"));

    // Cancel writes nothing, but the window's opening still marked the settings configured.
    QFile::remove(SettingsFileName());
    {
      frmConfigure c(nullptr);
      QCOMPARE(Child<QLineEdit>(c, "txtSMTPServer")->text(), QString(""));
      QCOMPARE(Child<QComboBox>(c, "cbxSecurity")->currentText(), QString("None"));
      Child<QLineEdit>(c, "txtSMTPServer")->setText("typed.example.org");
      c.cmdCancel_Click();
      QCOMPARE(c.result(), int(QDialog::Rejected));
    }
    QCOMPARE(GetSetting(kKeyConfigured, "False"), QString("True"));
    QCOMPARE(GetSetting(kKeyServer, "unset"), QString("unset"));
  }

  // ---- Attachments ----

  void AttachmentsLineAndRemove() {
    Composer w = Open(true);
    const QString folder = composer_test::HomeRoot() + "/attach";
    const QString a = WriteFile(folder, "a.txt", "alpha"), b = WriteFile(folder, "b.pdf", "beta"),
                  c = WriteFile(folder, "c data.csv", "x,y\n1,2\n");
    dialogs_->open_files.push_back({a, b, c});
    w->Button("Attach File")->trigger();
    QCOMPARE(w->Attachments()->Count(), 3);
    QCOMPARE(w.txtAttachments->text(), QString("a.txt; b.pdf; c data.csv; "));
    QVERIFY(w.txtAttachments->isVisibleTo(&w.window));

    // A cancelled dialog changes nothing and says nothing.
    w->AttachFiles();
    QCOMPARE(w->Attachments()->Count(), 3);
    QVERIFY(dialogs_->messages.empty());

    // The window lists source paths; Remove drops the selected ones and re-adds the rest.
    QStringList listed;
    dialogs_->exec = [&](QDialog& d) {
      auto& win = static_cast<frmAttachments&>(d);
      for (int i = 0; i < Child<QListWidget>(win, "lstAttachments")->count(); ++i)
        listed << Child<QListWidget>(win, "lstAttachments")->item(i)->text();
      Child<QListWidget>(win, "lstAttachments")->item(1)->setSelected(true);
      win.cmdRemove_Click();
      return int(QDialog::Accepted);
    };
    QTest::mouseClick(w.cmdAttachments, Qt::LeftButton);
    QCOMPARE(listed, (QStringList{a, b, c}));
    QCOMPARE(w->Attachments()->Count(), 2);
    QCOMPARE(w.txtAttachments->text(), QString("a.txt; c data.csv; "));

    // Removing every item empties the collection and hides the line.
    dialogs_->exec = [&](QDialog& d) {
      auto& win = static_cast<frmAttachments&>(d);
      Child<QListWidget>(win, "lstAttachments")->selectAll();
      win.cmdRemove_Click();
      return int(QDialog::Accepted);
    };
    w.Menu("mnuViewAttachments")->trigger();
    QCOMPARE(w->Attachments()->Count(), 0);
    QCOMPARE(w.txtAttachments->text(), QString());
    QVERIFY(!w.txtAttachments->isVisibleTo(&w.window));
    QVERIFY(!w.cmdAttachments->isVisibleTo(&w.window));
    QVERIFY(!w.Menu("mnuViewAttachments")->isEnabled());
  }

  void TwoFilesOfOneNameGoTogetherAndAMissingFileIsNamed() {
    Composer w = Open(true);
    const QString one = WriteFile(HomeRoot() + "/one", "Same.txt", "1");
    const QString two = WriteFile(HomeRoot() + "/two", "same.TXT", "3");
    const QString gone = HomeRoot() + "/two/gone.txt";
    w->AttachPaths({one, gone, two, one});
    QCOMPARE(w.txtAttachments->text(), QString("Same.txt; same.TXT; "));
    QCOMPARE(dialogs_->messages.size(), size_t{1});
    QVERIFY2(dialogs_->messages[0].text.contains("\"" + gone + "\": the file does not exist") &&
                 dialogs_->messages[0].text.contains(one + "\": the file is already attached"),
             qPrintable(dialogs_->messages[0].text));
  }

  // ---- Editing commands and SetState ----

  void SetStateGatesOnTheEditorsAttention() {
    Composer w = Open(true);
    w.dhtEdit->SetDocumentHTML("<p>plain <b>bold</b> text</p>");
    w.dhtEdit->selectAll();
    w->SetState();
    // After load the focus is in To: every editing command is off, the style box is not.
    QVERIFY(w.txtTo->hasFocus());
    for (const char* key : {"Copy", "Cut", "Bold", "Italic", "Underline", "Align Left",
                            "Properties", "Font", "Indent", "View Details", "Insert Image"}) {
      QVERIFY2(!w->Button(key)->isEnabled(), key);
    }
    QVERIFY(!w.Menu("mnuEditCopy")->isEnabled());
    QVERIFY(!w.Menu("mnuEditSelectAll")->isEnabled());
    QVERIFY(!w.Menu("mnuFormatBackgroundColor")->isEnabled());
    QVERIFY(w.cbxStyle->isEnabled());
    QVERIFY(w.Menu("mnuEditFind")->isEnabled());  // never touched by SetState
    QVERIFY(w->Button("Attach File")->isEnabled());

    FocusEditor(w);
    QVERIFY(w->Button("Copy")->isEnabled());
    QVERIFY(w->Button("Cut")->isEnabled());
    QVERIFY(w->Button("Font")->isEnabled());
    QVERIFY(w->Button("Insert Image")->isEnabled());
    QVERIFY(w->Button("View Details")->isEnabled());
    QVERIFY(w.Menu("mnuEditSelectAll")->isEnabled());
    QVERIFY(w.Menu("mnuFormatBackgroundColor")->isEnabled());

    // Leaving the editor for another field turns them off again.
    w.txtSubject->setFocus();
    QTRY_VERIFY(!w->Button("Text Color")->isEnabled());
    QVERIFY(!w->Button("Copy")->isEnabled());
    QVERIFY(!w.Menu("mnuEditCut")->isEnabled());
  }

  void LatchedButtonsFollowTheCursor() {
    Composer w = Open(true);
    w.dhtEdit->SetDocumentHTML("<p>plain <b>bold</b> text</p>");
    QVERIFY(!w->Button("Bold")->isEnabled());  // after load, with the focus in To
    QTextCursor c = w.dhtEdit->textCursor();
    c.setPosition(8);  // inside "bold"
    w.dhtEdit->setTextCursor(c);
    FocusEditor(w);
    // Pressed, and usable to undo the bold.
    QVERIFY(w->Button("Bold")->isChecked());
    QVERIFY(w->Button("Bold")->isEnabled());
    QTest::keyClick(w.dhtEdit, Qt::Key_Right);  // a key release runs SetState
    QVERIFY(w->Button("Bold")->isChecked());
    QVERIFY(w->Button("Align Left")->isChecked());
    QVERIFY(!w->Button("Center")->isChecked());
    c.setPosition(2);
    w.dhtEdit->setTextCursor(c);
    QTest::keyClick(w.dhtEdit, Qt::Key_Right);
    QVERIFY(!w->Button("Bold")->isChecked());
    QVERIFY(w->Button("Bold")->isEnabled());
    // Toolbar buttons run their command and then SetState.
    w.dhtEdit->selectAll();
    w->Button("Center")->trigger();
    QVERIFY(w->Button("Center")->isChecked());
    QVERIFY(!w->Button("Align Left")->isChecked());
    w->Button("Italic")->trigger();
    QVERIFY(w->Button("Italic")->isChecked());
    QVERIFY(w.dhtEdit->DocumentHTML().contains("font-style:italic"));
    // View Details is a toggle shown pressed while on.
    w->Button("View Details")->trigger();
    QVERIFY(w.dhtEdit->ShowDetails());
    QVERIFY(w->Button("View Details")->isChecked());
    w->Button("View Details")->trigger();
    QVERIFY(!w.dhtEdit->ShowDetails());
    QVERIFY(!w->Button("View Details")->isChecked());
  }

  void StyleBoxSetsFormatsAndRemovesFormatting() {
    Composer w = Open(true);
    w.dhtEdit->SetDocumentHTML("<p><b><i>styled</i></b> words</p>");
    FocusEditor(w);
    w.dhtEdit->selectAll();
    const int heading = w.cbxStyle->findText("Heading 2");
    emit w.cbxStyle->activated(heading);
    QCOMPARE(w.dhtEdit->textCursor().blockFormat().headingLevel(), 2);
    QVERIFY(w.dhtEdit->hasFocus());  // chosen with the mouse: back to the editor
    w->SetState();
    QCOMPARE(w.cbxStyle->currentText(), QString("Heading 2"));
    QVERIFY(w.dhtEdit->DocumentHTML().contains("<h2"));

    emit w.cbxStyle->activated(w.cbxStyle->findText("Normal"));
    QCOMPARE(w.dhtEdit->textCursor().blockFormat().headingLevel(), 0);
    w.dhtEdit->selectAll();
    emit w.cbxStyle->activated(w.cbxStyle->findText("Remove Format"));
    // "Remove Format" removes the formatting; it is not a format of that name.
    const QString html = w.dhtEdit->DocumentHTML();
    QVERIFY(!html.contains("font-weight:700"));
    QVERIFY(!html.contains("font-style:italic"));
    QVERIFY(dialogs_->messages.empty());
    w->SetState();
    QCOMPARE(w.cbxStyle->currentText(), QString("Normal"));
  }

  void StyleBoxIgnoresTypedLettersAndReturnsOnEnter() {
    Composer w = Open(true);
    w.cbxStyle->setFocus();
    QTRY_VERIFY(w.cbxStyle->hasFocus());
    const int before = w.cbxStyle->currentIndex();
    QTest::keyClicks(w.cbxStyle, "Heading");
    QCOMPARE(w.cbxStyle->currentIndex(), before);
    QTest::keyClick(w.cbxStyle, Qt::Key_Return);
    QTRY_VERIFY(w.dhtEdit->hasFocus());
  }

  void EnterStartsAParagraphShiftEnterBreaksTheLine() {
    Composer w = Open(true);
    FocusEditor(w);
    QTest::keyClicks(w.dhtEdit, "one");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(w.dhtEdit, "two");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "three");
    QCOMPARE(w.dhtEdit->document()->blockCount(), 2);
    QCOMPARE(w.dhtEdit->document()->toRawText(), "one" + QString(QChar(QChar::LineSeparator)) +
                                                     "two" + QChar(QChar::ParagraphSeparator) +
                                                     "three");
    // A list chosen now takes the last paragraph only.
    emit w.cbxStyle->activated(w.cbxStyle->findText("Bulleted List"));
    QVERIFY(!w.dhtEdit->document()->firstBlock().textList());
    QCOMPARE(composer::PlainTextOf(*w.dhtEdit->document()), QString("one\r\ntwo\r\n- three\r\n"));
  }

  void PasteGoesThroughTheScratchDocument() {
    Composer w = Open(true);
    FocusEditor(w);
    QApplication::clipboard()->setText("from the clipboard");
    QTest::keyClick(w.dhtEdit, Qt::Key_A);  // something to undo; a key release runs SetState
    QVERIFY(w.Menu("mnuEditPaste")->isEnabled());
    QTest::keyClick(w.dhtEdit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(w.dhtEdit->toPlainText(), QString("afrom the clipboard"));
    // The clipboard now holds the editor's own HTML form of the content.
    QVERIFY(QApplication::clipboard()->mimeData()->hasHtml());
    QVERIFY(w.wbrEdit->toPlainText().isEmpty());
    // Shift+Insert does nothing.
    QTest::keyClick(w.dhtEdit, Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(w.dhtEdit->toPlainText(), QString("afrom the clipboard"));
  }

  void BackgroundColour() {
    Composer w = Open(true);
    FocusEditor(w);
    QCOMPARE(w.dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#FFFFFF"));
    dialogs_->colours.push_back(QColor(0, 0, 255));
    w.Menu("mnuFormatBackgroundColor")->trigger();
    QCOMPARE(dialogs_->colour_initials.back(), QColor(Qt::white));
    QCOMPARE(w.dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#0000FF"));
    QVERIFY(w.dhtEdit->DocumentHTML().contains("bgcolor=\"#0000ff\""));
    // The dialog opens on the current colour; cancelling changes nothing and says nothing.
    dialogs_->colours.push_back(QColor());
    w.Menu("mnuFormatBackgroundColor")->trigger();
    QCOMPARE(dialogs_->colour_initials.back(), QColor(0, 0, 255));
    QCOMPARE(w.dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#0000FF"));
    QVERIFY(dialogs_->messages.empty());
    // The text colour is the text's, from the toolbar as from the menu.
    QTest::keyClicks(w.dhtEdit, "red ");
    w.dhtEdit->selectAll();
    dialogs_->colours.push_back(QColor(Qt::red));
    w->Button("Text Color")->trigger();
    QVERIFY(w.dhtEdit->DocumentHTML().contains("color:#ff0000;\">red"));
  }

  void SourceViewRoundTripAndLeaving() {
    Composer w = Open(true);
    w.dhtEdit->SetDocumentHTML("<p>Hello <b>World</b></p>");
    w.Menu("mnuViewSource")->trigger();
    QVERIFY(w.Menu("mnuViewSource")->isChecked());
    QString source = w.dhtEdit->toPlainText();
    QVERIFY(source.contains("World</span>") && source.contains("font-weight"));
    // Edit the source as text, then render it again.
    w.dhtEdit->SetBodyInnerText(source.replace("World", "There"));
    w.Menu("mnuViewSource")->trigger();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("Hello There"));
    QTextCursor c = w.dhtEdit->textCursor();
    c.setPosition(8);
    QVERIFY(c.charFormat().fontWeight() >= QFont::Bold);
    // Text typed without markup survives unticking; Undo brings back what was there.
    w.Menu("mnuViewSource")->trigger();
    w.dhtEdit->selectAll();
    QTest::keyClicks(w.dhtEdit, "a < b");
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "c");
    w.Menu("mnuViewSource")->trigger();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("a < b\nc"));
    w.dhtEdit->undo();
    QCOMPARE(w.dhtEdit->toPlainText(), QString("a < b\nc"));  // the source text again
    // File > New leaves the source view.
    w.Menu("mnuViewSource")->trigger();
    dialogs_->answers.push_back(composer::vbNo);
    w.Menu("mnuFileNew")->trigger();
    QVERIFY(!w.Menu("mnuViewSource")->isChecked() && !w.dhtEdit->SourceView());
  }

  void AMalformedAddressIsNamedAndNothingIsSent() {
    Composer w = Open(true);
    w.txtTo->setText("Bob <bob@example.org>, carol@example.org");
    w.txtCC->setText("\"Doe, Jane\" <jane@example.org>; carol at example.org");
    w->Button("Send")->trigger();
    QCOMPARE(dialogs_->messages.size(), size_t{1});
    QCOMPARE(dialogs_->messages[0].text,
             QString("\"carol at example.org\" in CC is not an e-mail address. Nothing was sent."));
    QVERIFY(!w->Sending());
    QVERIFY(w.txtCC->hasFocus() || !w->isActiveWindow());
  }

  void RemindersBeforeSending_data() {
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reminder");
    const QString mention =
        "The text mentions an attachment, but no file is attached. Send it anyway?";
    const char* rows[][3] = {{"", "Hi", "The message has no subject. Send it anyway?"},
                             {"S", "The figures are attached.", ""},
                             {"S", "Enclosed you find", ""},
                             {"S", "Attaching nothing", "No sender address"}};
    for (const auto& r : rows) {
      QTest::newRow(r[1]) << QString(r[0]) << QString(r[1]) << (*r[2] ? QString(r[2]) : mention);
    }
  }
  void RemindersBeforeSending() {
    QFETCH(QString, subject);
    QFETCH(QString, text);
    QFETCH(QString, reminder);
    SaveSetting(kKeyConfigured, "True");
    SaveSetting(kKeyFromAddress, "");  // a send that gets past the reminders stops at once
    Composer w = Open(true);
    w.txtTo->setText("a@example.org");
    w.txtSubject->setText(subject);
    w.dhtEdit->setPlainText(text);
    w->Button("Send")->trigger();  // answered No: nothing more happens
    QCOMPARE(dialogs_->messages.size(), size_t{1});
    QVERIFY2(dialogs_->messages[0].text.startsWith(reminder),
             qPrintable(dialogs_->messages[0].text));
  }

  // ---- Closing ----

  void ClosingWithUnsavedChanges() {
    Composer w = Open(true);
    QTest::keyClicks(w.dhtEdit, "draft");
    QVERIFY(w.dhtEdit->IsDirty());
    dialogs_->answers.push_back(composer::vbCancel);
    QVERIFY(!w->close());
    QCOMPARE(dialogs_->messages.back().text, QString("Do you want to save these changes?"));
    QCOMPARE(dialogs_->messages.back().title, QString("Unsaved Changes Warning Message"));
    QVERIFY(w->isVisible());
    QCOMPARE(w.dhtEdit->toPlainText(), QString("draft"));
    // Yes, then a cancelled Save As: the document would be lost, so the window stays.
    dialogs_->answers.push_back(composer::vbYes);
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    // Yes with a file chosen saves and closes.
    const QString path = composer_test::HomeRoot() + "/closing.html";
    dialogs_->answers.push_back(composer::vbYes);
    dialogs_->save_file.push_back(path);
    QVERIFY(w->close());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("draft"));
  }

  void AnyChangeCountsAndNewEmptiesEverything_data() {
    QTest::addColumn<QString>("change");
    for (const char* change : {"to", "cc", "bcc", "subject", "attachment", "body"}) {
      QTest::newRow(change) << QString(change);
    }
  }
  void AnyChangeCountsAndNewEmptiesEverything() {
    QFETCH(QString, change);
    Composer w = Open(true);
    std::map<QString, std::function<void()>> changes{
        {"to", [&] { w.txtTo->setText("a@example.org"); }},
        {"cc", [&] { w.txtCC->setText("b@example.org"); }},
        {"bcc", [&] { w.txtBCC->setText("c@example.org"); }},
        {"subject", [&] { w.txtSubject->setText("Hi"); }},
        {"attachment", [&] { w->AttachPaths({WriteFile(HomeRoot() + "/n", "n.txt", "n")}); }},
        {"body", [&] { QTest::keyClicks(w.dhtEdit, "text"); }},
    };
    changes[change]();
    dialogs_->answers.push_back(composer::vbCancel);
    QVERIFY(!w->close());
    dialogs_->answers.push_back(composer::vbNo);
    w.Menu("mnuFileNew")->trigger();
    QCOMPARE(dialogs_->messages.size(), size_t{2});
    for (QLineEdit* box : {w.txtTo, w.txtCC, w.txtBCC, w.txtSubject, w.txtAttachments}) {
      QCOMPARE(box->text(), QString());
    }
    QVERIFY(w.dhtEdit->toPlainText().isEmpty() && w->Attachments()->Count() == 0);
    QVERIFY(w->close());  // nothing left to ask about
  }

  void DraftsReopenWholeAndAutosaveRestoresAfterACrash() {
    Composer w = Open(true);
    w.txtTo->setText("Jane <jane@example.org>, \"Doe\" <d@example.org>");
    w.txtBCC->setText("b@example.org");
    w.txtSubject->setText("Figures & <notes>");
    const QString file = WriteFile(HomeRoot() + "/d", "figures.csv", "1,2");
    w->AttachPaths({file});
    QTest::keyClicks(w.dhtEdit, "Body");
    QImage blue(3, 3, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    w.dhtEdit->InsertImageData(blue);
    auto check = [&](const Composer& r) {
      QCOMPARE(r.txtTo->text(), w.txtTo->text());
      QCOMPARE(r.txtBCC->text(), QString("b@example.org"));
      QCOMPARE(r.txtSubject->text(), QString("Figures & <notes>"));
      QCOMPARE(r.txtAttachments->text(), QString("figures.csv; "));
      QCOMPARE(r.dhtEdit->toPlainText(),
               QString("Body") + QChar(QChar::ObjectReplacementCharacter));
      QCOMPARE(composer::ImagesOf(*r.dhtEdit->document()).size(), size_t{1});
    };
    // Saved and opened again.
    const QString path = DraftsFolder() + "/draft.html";
    dialogs_->save_file.push_back(path);
    QCOMPARE(w->windowTitle(), QString("Unnamed.html - Message (HTML)"));
    QVERIFY(w->mnuFileSave_Click());  // never saved: Save behaves as Save As
    QCOMPARE(w->windowTitle(), QString("draft.html - Message (HTML)"));
    QVERIFY(!w->HasChanges());
    frmSendMail reopened_window;
    Composer reopened(reopened_window);
    reopened->Form_Load();
    dialogs_->open_file.push_back(path);
    reopened->mnuFileOpen_Click();
    check(reopened);
    QVERIFY(!reopened->HasChanges());
    // Autosaved while changed, and offered on the next start after a crash.
    w.txtCC->setText("c@example.org");
    w->Autosave();
    QVERIFY(QFile::exists(w->AutosavePath()));
    frmSendMail restored_window;
    Composer restored(restored_window);
    dialogs_->answers.push_back(composer::vbYes);
    restored->Form_Load();
    QVERIFY(dialogs_->messages.back().text.contains("restore"));
    check(restored);
    QCOMPARE(restored.txtCC->text(), QString("c@example.org"));
    QVERIFY(restored->HasChanges() && restored.dhtEdit->CurrentDocumentPath().isEmpty());
    // Closing normally leaves no copy behind.
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(restored->close());
    QVERIFY(!QFile::exists(w->AutosavePath()));
    reopened.dhtEdit->document()->setModified(false);
  }
};

QTEST_MAIN(WindowsTest)
#include "windows_test.moc"
