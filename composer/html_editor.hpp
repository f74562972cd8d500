// The HTML editing control of the composer: a QTextEdit that takes the numbered editing
// commands, reports their status, loads, saves and prints its document, and tells its
// window what happens to it.
#pragma once

#include <QString>
#include <QStringList>
#include <QTextEdit>
#include <QVariant>

class QImage;
class QKeyEvent;
class QMimeData;

namespace composer {

class SpellChecker;

class HtmlEditor : public QTextEdit {
  Q_OBJECT

 public:
  // The command numbers of the editing control.
  enum Command : int {
    DECMD_BOLD = 5000,
    DECMD_COPY = 5002,
    DECMD_CUT = 5003,
    DECMD_DELETE = 5004,
    DECMD_FINDTEXT = 5008,
    DECMD_FONT = 5009,
    DECMD_GETBACKCOLOR = 5010,
    DECMD_GETBLOCKFMT = 5011,
    DECMD_GETBLOCKFMTNAMES = 5012,
    DECMD_HYPERLINK = 5016,
    DECMD_IMAGE = 5017,
    DECMD_INDENT = 5018,
    DECMD_ITALIC = 5023,
    DECMD_JUSTIFYCENTER = 5024,
    DECMD_JUSTIFYLEFT = 5025,
    DECMD_JUSTIFYRIGHT = 5026,
    DECMD_OUTDENT = 5031,
    DECMD_PASTE = 5032,
    DECMD_REDO = 5033,
    DECMD_REMOVEFORMAT = 5034,
    DECMD_SELECTALL = 5035,
    DECMD_SETBACKCOLOR = 5042,
    DECMD_SETBLOCKFMT = 5043,
    DECMD_UNDERLINE = 5048,
    DECMD_UNDO = 5049,
    DECMD_UNLINK = 5050,
    DECMD_PROPERTIES = 5052,
  };
  // What QueryStatus reports.
  enum Status : int { kNotSupported = 0, kDisabled = 1, kEnabled = 3, kLatched = 7 };

  explicit HtmlEditor(QWidget* parent = nullptr);

  // Runs a command. 5012 fills argument with the list of paragraph format names; 5010
  // and 5011 return their text. Raises postwing::Exception for an unknown command or an
  // argument it cannot use.
  QVariant ExecCommand(int command, int option, QVariant& argument);
  QVariant ExecCommand(int command, int option = 0, const QVariant& argument = {});
  int QueryStatus(int command) const;

  static QStringList FormatNames();
  QString CurrentFormatName() const;

  // The detail display: paragraph marks, tabs and spaces made visible.
  bool ShowDetails() const { return show_details_; }
  void SetShowDetails(bool on);

  // The whole document as HTML, and the HTML and text of its body.
  QString DocumentHTML() const;
  void SetDocumentHTML(const QString& html);
  QString BodyInnerHTML() const;
  void SetBodyInnerHTML(const QString& html);
  QString BodyInnerText() const;
  void SetBodyInnerText(const QString& text);

  // Document handling. A path of "" means "never loaded or saved".
  void NewDocument();
  // Loads the file; false when it cannot be read (the document is then unchanged).
  bool LoadDocument(const QString& path);
  // Through the open dialog, proposing the folder or file; false on cancel.
  bool LoadDocumentWithDialog(const QString& proposed);
  // Writes the document to path; raises postwing::Exception when it cannot be written.
  void SaveDocument(const QString& path);
  // The document as a file keeps it: pictures that live only in the document written into
  // it as data: URLs, and head (lines of the window's own) put into its head.
  QString PortableHtml(const QString& head = {}) const;
  // What SaveDocument puts into the head of the file.
  void SetSavedHead(const QString& head) { saved_head_ = head; }
  // Through the save dialog; false on cancel.
  bool SaveDocumentWithDialog(const QString& proposed);
  bool PrintDocument();
  QString CurrentDocumentPath() const { return path_; }
  // The document stays, as a new one never saved (a restored copy, for instance).
  void ForgetPath() { path_.clear(); }
  bool IsDirty() const;

  // A picture kept in the document itself (pasted or dropped), at the cursor.
  void InsertImageData(const QImage& image);
  // Shows the document's HTML as editable text, or renders that text again; both undoable.
  // A text that is no HTML is rendered as the plain text it is.
  void SetSourceView(bool on);
  bool SourceView() const { return source_view_; }
  // Checks the spelling in the given language ("" or no dictionary: off).
  void SetSpellLanguage(const QString& language);
  SpellChecker* Spelling() const { return spelling_; }
  // Loading and saving are synchronous here, so the control is never busy.
  bool Busy() const { return false; }

 signals:
  void FocusGained();
  void FocusLost();
  void Dropped();
  void ContextMenuOpening();
  void ContextMenuAction(int index);
  void MouseUp();
  void DoubleClicked();
  void KeyUp();
  // The window may set *suppress to keep the key from the control.
  void KeyDown(QKeyEvent* event, bool* suppress);
  // Files that are no pictures were dropped or pasted: the window attaches them.
  void FilesDropped(const QStringList& paths);

 protected:
  bool event(QEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;

 private:
  void ToggleCharProperty(int command);
  void SetAlignment(Qt::Alignment alignment);
  void SetBlockFormat(const QString& name);
  void ChangeIndent(int delta);
  void InsertHyperlink();
  void InsertImage();
  void RemoveHyperlink();
  void EditProperties();
  void FindText();
  void ChooseFont();
  void RemoveFormat();
  void SetBackgroundColour(const QString& hex);
  QString BackgroundColour() const;
  bool AtImage() const;

  bool show_details_ = false;
  bool source_view_ = false;
  SpellChecker* spelling_ = nullptr;
  QString saved_head_;
  int pasted_images_ = 0;
  QString path_;
  QString last_find_;
};

}  // namespace composer
