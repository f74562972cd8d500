// The HTML editing control: command statuses, formats, links, colours, documents.
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextList>

#include <postwing/exception.hpp>

#include "composer_test_support.hpp"
#include "html_editor.hpp"
#include "outgoing.hpp"
#include "spell_checker.hpp"

using composer::HtmlEditor;

namespace {
void Place(HtmlEditor& e, int from, int to = -1) {
  QTextCursor c = e.textCursor();
  c.setPosition(from);
  if (to >= 0) c.setPosition(to, QTextCursor::KeepAnchor);
  e.setTextCursor(c);
}
}  // namespace

class HtmlEditorTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { composer_test::IsolateHome(); }

 private:
  std::shared_ptr<composer_test::ScriptedDialogs> dialogs_;

 private slots:
  void init() { dialogs_ = composer_test::InstallScriptedDialogs(); }
  void cleanup() { composer::SetDialogs(nullptr); }

  void StatusesOfSelectionCommands() {
    HtmlEditor e;
    e.SetDocumentHTML("<p>some text</p>");
    Place(e, 2);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_COPY), int(HtmlEditor::kDisabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_CUT), int(HtmlEditor::kDisabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_UNLINK), int(HtmlEditor::kDisabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_OUTDENT), int(HtmlEditor::kDisabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_GETBLOCKFMT), int(HtmlEditor::kEnabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_UNDO), int(HtmlEditor::kDisabled));
    Place(e, 0, 4);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_COPY), int(HtmlEditor::kEnabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_CUT), int(HtmlEditor::kEnabled));
    e.ExecCommand(HtmlEditor::DECMD_CUT);
    QCOMPARE(e.toPlainText(), QString(" text"));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_UNDO), int(HtmlEditor::kEnabled));
    e.ExecCommand(HtmlEditor::DECMD_UNDO);
    QCOMPARE(e.toPlainText(), QString("some text"));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_REDO), int(HtmlEditor::kEnabled));
    QCOMPARE(e.QueryStatus(12345), int(HtmlEditor::kNotSupported));
    QVERIFY_THROWS_EXCEPTION(postwing::Exception, e.ExecCommand(12345));
    e.setReadOnly(true);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_BOLD), int(HtmlEditor::kDisabled));
  }

  void CharacterCommandsLatch() {
    HtmlEditor e;
    e.SetDocumentHTML("<p>plain</p>");
    Place(e, 0, 5);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_BOLD), int(HtmlEditor::kEnabled));
    for (int cmd :
         {HtmlEditor::DECMD_BOLD, HtmlEditor::DECMD_ITALIC, HtmlEditor::DECMD_UNDERLINE}) {
      e.ExecCommand(cmd);
      QCOMPARE(e.QueryStatus(cmd), int(HtmlEditor::kLatched));
    }
    const QString html = e.DocumentHTML();
    QVERIFY(html.contains("font-weight:700"));
    QVERIFY(html.contains("font-style:italic"));
    QVERIFY(html.contains("text-decoration: underline"));
    e.ExecCommand(HtmlEditor::DECMD_BOLD);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_BOLD), int(HtmlEditor::kEnabled));
  }

  void ParagraphFormats() {
    HtmlEditor e;
    QVariant names;
    e.ExecCommand(HtmlEditor::DECMD_GETBLOCKFMTNAMES, 0, names);
    QCOMPARE(names.toStringList(), HtmlEditor::FormatNames());
    QVERIFY(names.toStringList().contains("Heading 1"));
    e.SetDocumentHTML("<p>first</p><p>second</p>");
    Place(e, 1);
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBLOCKFMT).toString(), QString("Normal"));
    for (const QString& name : HtmlEditor::FormatNames()) {
      e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, name);
      QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBLOCKFMT).toString(), name);
    }
    e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Heading 1");
    QVERIFY(e.DocumentHTML().contains("<h1"));
    e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Normal");
    QVERIFY(!e.DocumentHTML().contains("<h1"));
    QVERIFY(!e.DocumentHTML().contains("font-weight:700"));  // the heading's boldness went too
    e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Formatted");
    QVERIFY(e.DocumentHTML().contains("<pre"));
    e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Numbered List");
    QVERIFY(e.textCursor().currentList());
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_OUTDENT), int(HtmlEditor::kEnabled));
    e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Normal");
    QVERIFY(!e.textCursor().currentList());
    // The other paragraph was never touched.
    Place(e, 8);
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBLOCKFMT).toString(), QString("Normal"));
    QVERIFY_THROWS_EXCEPTION(postwing::Exception,
                             e.ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, "Remove Format"));
  }

  void IndentAndOutdent() {
    HtmlEditor e;
    e.SetDocumentHTML("<p>text</p>");
    e.ExecCommand(HtmlEditor::DECMD_INDENT);
    e.ExecCommand(HtmlEditor::DECMD_INDENT);
    QCOMPARE(e.textCursor().blockFormat().indent(), 2);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_OUTDENT), int(HtmlEditor::kEnabled));
    e.ExecCommand(HtmlEditor::DECMD_OUTDENT);
    e.ExecCommand(HtmlEditor::DECMD_OUTDENT);
    QCOMPARE(e.textCursor().blockFormat().indent(), 0);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_OUTDENT), int(HtmlEditor::kDisabled));
  }

  void HyperlinksInsertAndRemove() {
    HtmlEditor e;
    e.SetDocumentHTML("<p>see the site now</p>");
    Place(e, 4, 12);
    auto answer = [this](const QString& text, const QString& url) {
      dialogs_->exec = [=](QDialog& d) {
        if (!text.isNull()) d.findChild<QLineEdit*>("txtLinkText")->setText(text);
        d.findChild<QLineEdit*>("txtLinkUrl")->setText(url);
        return int(QDialog::Accepted);
      };
    };
    answer({}, "https://example.org/");  // the selection keeps its text
    e.ExecCommand(HtmlEditor::DECMD_HYPERLINK, 0);
    QVERIFY(e.DocumentHTML().contains("<a href=\"https://example.org/\">"));
    Place(e, 6);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_UNLINK), int(HtmlEditor::kEnabled));
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_PROPERTIES), int(HtmlEditor::kEnabled));
    e.ExecCommand(HtmlEditor::DECMD_UNLINK);
    QVERIFY(!e.DocumentHTML().contains("<a "));
    QCOMPARE(e.toPlainText(), QString("see the site now"));
    // Cancelling the dialog inserts nothing; a text of the user's own replaces the selection.
    dialogs_->exec = nullptr;
    e.ExecCommand(HtmlEditor::DECMD_HYPERLINK, 0);
    QVERIFY(!e.DocumentHTML().contains("<a "));
    Place(e, 4, 12);
    answer("our page", "https://example.org/p");
    e.ExecCommand(HtmlEditor::DECMD_HYPERLINK, 0);
    QCOMPARE(composer::PlainTextOf(*e.document()),
             QString("see our page <https://example.org/p> now\r\n"));
  }

  void SpellingIsUnderlinedWithSuggestionsAndOffWithoutDictionary() {
    HtmlEditor e;
    e.setPlainText("The quikc fox");
    e.SetSpellLanguage("xx_NONE");  // no such dictionary: off, nothing marked
    QVERIFY(!e.Spelling()->Active());
    if (!composer::SpellChecker::Languages().contains("en_US")) QSKIP("hunspell-en-us is missing");
    e.SetSpellLanguage("en_US");
    const auto marks = e.document()->firstBlock().layout()->formats();
    QCOMPARE(marks.size(), 1);
    QCOMPARE(marks[0].start, 4);
    QCOMPARE(marks[0].length, 5);
    QVERIFY(e.Spelling()->Suggestions("quikc").contains("quick"));
    QVERIFY(!e.toHtml().contains("underline"));  // marks are no formatting of the message
  }

  void RemoveFormatKeepsLinks() {
    HtmlEditor e;
    e.SetDocumentHTML("<p><b>bold</b> <a href=\"https://x.test/\">link</a></p>");
    e.selectAll();
    e.ExecCommand(HtmlEditor::DECMD_REMOVEFORMAT);
    const QString html = e.DocumentHTML();
    QVERIFY(!html.contains("font-weight:700"));
    QVERIFY(html.contains("href=\"https://x.test/\""));
  }

  void BackgroundColour() {
    HtmlEditor e;
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#FFFFFF"));
    e.ExecCommand(HtmlEditor::DECMD_SETBACKCOLOR, 0, "99CC33");
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#99CC33"));
    QVERIFY(e.IsDirty());
    QVERIFY_THROWS_EXCEPTION(postwing::Exception,
                             e.ExecCommand(HtmlEditor::DECMD_SETBACKCOLOR, 0, "zz0000"));
    // The colour survives replacing the body.
    e.SetBodyInnerHTML("<p>new body</p>");
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#99CC33"));
    e.NewDocument();
    QCOMPARE(e.ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString(), QString("#FFFFFF"));
  }

  void DocumentsSaveLoadAndDirtyFlag() {
    HtmlEditor e;
    QVERIFY(!e.IsDirty());
    QCOMPARE(e.CurrentDocumentPath(), QString());
    e.insertPlainText("änderung € ok");
    QVERIFY(e.IsDirty());
    const QString path = composer_test::HomeRoot() + "/docs/letter.html";
    QDir().mkpath(composer_test::HomeRoot() + "/docs");
    e.SaveDocument(path);
    QVERIFY(!e.IsDirty());
    QCOMPARE(e.CurrentDocumentPath(), path);
    HtmlEditor f;
    QVERIFY(f.LoadDocument(path));
    QCOMPARE(f.toPlainText(), QString("änderung € ok"));
    QVERIFY(!f.IsDirty());
    QVERIFY(!f.LoadDocument(path + ".missing"));
    QVERIFY_THROWS_EXCEPTION(postwing::Exception, e.SaveDocument("/nonexistent/dir/x.html"));
    // Through the dialogs: a name without an extension gets ".html"; cancel saves nothing.
    dialogs_->save_file.push_back(composer_test::HomeRoot() + "/docs/second");
    QVERIFY(e.SaveDocumentWithDialog(composer_test::HomeRoot() + "/docs/*.*"));
    QVERIFY(QFile::exists(composer_test::HomeRoot() + "/docs/second.html"));
    QVERIFY(!e.SaveDocumentWithDialog({}));
    e.NewDocument();
    QCOMPARE(e.CurrentDocumentPath(), QString());
    QVERIFY(!e.IsDirty());
  }

  void CtrlBTogglesBold() {
    HtmlEditor e;
    e.show();
    QVERIFY(QTest::qWaitForWindowActive(&e));
    // Ctrl+B toggles bold like the toolbar does.
    e.selectAll();
    QTest::keyClick(&e, Qt::Key_B, Qt::ControlModifier);
    QCOMPARE(e.QueryStatus(HtmlEditor::DECMD_BOLD), int(HtmlEditor::kLatched));
  }
};

QTEST_MAIN(HtmlEditorTest)
#include "html_editor_test.moc"
