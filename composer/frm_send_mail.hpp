// frmSendMail: the composer's main window: the address panel, the HTML editor, the
// toolbar and menus, and the one SendMail that carries every message.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <postwing/postwing.hpp>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
class QToolBar;
class QKeyEvent;
class QDragEnterEvent;
class QDropEvent;

namespace composer {
class HtmlEditor;
class SendController;
}  // namespace composer

class frmSendMail : public QMainWindow {
  Q_OBJECT

 public:
  // Creation: the window's SendMail and the editor's parameter object.
  frmSendMail();
  ~frmSendMail() override;

  // The load steps: folders, title, scratch document, style list, focus; shows the window.
  void Form_Load();

  // Members the other windows use.
  std::shared_ptr<postwing::Attachments> Attachments() const;
  void UpdateAttachments();
  void Form_Resize();

  // Sending.
  void SendCurrentMessage();
  void SetStatusText(const QString& text);
  void SetProgressPercent(int32_t percent);
  std::shared_ptr<postwing::SendMail> Mail() const;
  bool Sending() const;

  // Window procedures.
  void AttachFiles();
  void AttachPaths(const QStringList& files);
  void SetState();
  int PromptSaveChanges();
  // Whether the fields, the attachments or the body changed since the last save or start.
  bool HasChanges() const;
  // Writes the open message to the drafts folder when it changed since the last time;
  // removes that copy once nothing is unsaved.
  void Autosave();
  QString AutosavePath() const;
  void UpdateCaption();
  QString CreateScratchDocument();
  void FocusEditorWhenIdle();

  // Commands.
  void tbrSend_ButtonClick(const QString& key);
  void mnuFileNew_Click();
  void mnuFileOpen_Click();
  bool mnuFileSave_Click();
  bool mnuFileSaveAs_Click();
  void mnuFilePrint_Click();
  void mnuEditPaste_Click();
  void mnuEditPasteText_Click();
  void mnuFormatTextColor_Click();
  void mnuFormatBackgroundColor_Click();
  void mnuViewSource_Click();
  void mnuViewAttachments_Click();
  void mnuViewConfiguration_Click();

  // The text of a status bar panel, "Progress" or "Status".
  QString PanelText(const QString& key) const;
  // The toolbar button or drop-down entry of a key.
  QAction* Button(const QString& key) const;
  // For the command line: the editor, the address fields, and the editor shown active
  // as a click into it would (a window without a window manager never becomes active).
  composer::HtmlEditor* Editor() const;
  void SetFields(const QString& to, const QString& cc, const QString& bcc, const QString& subject);
  void ShowEditorActive();

 protected:
  void closeEvent(QCloseEvent* e) override;
  // Files dropped anywhere on the window but the body are attached.
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  // Fields.
  QVariant blockFormatNames;
  QString unnamedDocumentPath;
  QString scratchFilePath;
  composer::HtmlEditor* scratchDocument = nullptr;
  QString fromAddress;
  bool editorActive = false;
  bool windowReady = false;
  bool styleKeyFlag = false;

  // Controls.
  QToolBar* tbrSend = nullptr;
  QComboBox* cbxStyle = nullptr;
  QWidget* picHeader = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* txtTo = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* txtCC = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* txtBCC = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* txtSubject = nullptr;
  QPushButton* cmdAttachments = nullptr;
  QLineEdit* txtAttachments = nullptr;
  composer::HtmlEditor* dhtEdit = nullptr;
  QStatusBar* stbStatus = nullptr;
  composer::HtmlEditor* wbrEdit = nullptr;

  // Menu items.
  QAction* mnuFileSave = nullptr;
  QAction* mnuFileSaveAs = nullptr;
  QAction* mnuFileOpen = nullptr;
  QAction* mnuFileNew = nullptr;
  QAction* mnuFilePrint = nullptr;
  QAction* mnuFileAttach = nullptr;
  QAction* mnuFileSend = nullptr;
  QAction* mnuEditPasteText = nullptr;
  QAction* mnuFormatTextColor = nullptr;
  QAction* mnuFormatImage = nullptr;
  QAction* mnuFormatLink = nullptr;
  QAction* mnuFormatUnlink = nullptr;
  QAction* mnuFileExit = nullptr;
  QAction* mnuEditUndo = nullptr;
  QAction* mnuEditRedo = nullptr;
  QAction* mnuEditCut = nullptr;
  QAction* mnuEditCopy = nullptr;
  QAction* mnuEditPaste = nullptr;
  QAction* mnuEditDel = nullptr;
  QAction* mnuEditSelectAll = nullptr;
  QAction* mnuEditFind = nullptr;
  QAction* mnuEditProperties = nullptr;
  QAction* mnuFormatBackgroundColor = nullptr;
  QAction* mnuFormatFont = nullptr;
  QAction* mnuViewSource = nullptr;
  QAction* mnuViewAttachments = nullptr;
  QAction* mnuViewConfiguration = nullptr;

  // One button of the toolbar; a null key is a separator.
  struct Tool {
    const char* key = nullptr;
    int command = 0;
    bool latching = false;
  };
  static const std::vector<Tool>& Tools();
  void CreateControls();
  void CreateMenus();
  void CreateToolbar();
  void ConnectEditor();
  void ConnectMail();
  void SendFinished(bool delivered);
  void SendFailed(const QString& description, bool connectionGone);
  void LeaveSourceView();
  // Asks before sending a message without subject, or one whose text mentions an
  // attachment that is not there; false when the user chose not to send.
  bool ConfirmReminders();
  // The fields and attached files as lines of a draft's head, and back from a draft file.
  QString DraftHead() const;
  void ApplyDraftHead(const QString& path);
  QString Snapshot() const;
  void MarkSaved();
  // Empties the fields, the attachments and the body.
  void ClearMessage();
  void OfferRestore();
  void ApplySpelling();
  void UpdateSendButton();
  // The shared error path of the window's procedures; a failed start of a send also
  // ends the "sending" state.
  void ReportError(const std::exception& error, bool send_failed);
  // After a send the server did not accept: a fresh SendMail state that still carries
  // the attachments, so the next Send sends the same message.
  void ResetMailKeepingAttachments();
  void dhtEdit_FocusGained();
  void dhtEdit_KeyDown(QKeyEvent* e, bool* suppress);
  void cbxStyle_Activated(int index);
  void DeleteScratchFile();
  void RunCommand(int command);

  QProgressBar* progressBar_ = nullptr;
  QLabel* statusPanel_ = nullptr;
  QWidget* client_ = nullptr;
  std::map<QString, QAction*> buttons_;
  composer::SendController* send_ = nullptr;
  QString savedSnapshot_;
  QString autosaved_;
  QTimer* autosaveTimer_ = nullptr;
};
