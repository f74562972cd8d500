#include "frm_send_mail.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <cmath>
#include <exception>
#include <limits>

#include "address_completer.hpp"
#include "dialogs.hpp"
#include "frm_attachments.hpp"
#include "frm_configure.hpp"
#include "html_editor.hpp"
#include "mod_email.hpp"
#include "outgoing.hpp"
#include "send_controller.hpp"
#include "spell_checker.hpp"
#include "svg_icon.hpp"

using composer::HtmlEditor;
using namespace modEmail;

namespace {

constexpr int kClientWidth = 9150;
constexpr int kClientHeight = 6885;
// Design rows of the address panel (twips, relative to the panel).
constexpr int kFieldLeft = 810;
constexpr int kFieldHeight = 285;
constexpr int kSubjectTop = 1170;
constexpr int kAttachmentsTop = 1500;

// The icon file of a toolbar key: "Align Left" -> ":/icons/align_left.svg".
QString IconPath(const QString& key) {
  return ":/icons/" + key.toLower().replace(' ', '_') + ".svg";
}

}  // namespace

frmSendMail::frmSendMail() {
  // Creation.
  send_ = new composer::SendController(this);
  blockFormatNames = QVariant();
  CreateControls();
  CreateMenus();
  CreateToolbar();
  ConnectEditor();
  ConnectMail();
  // The design size, widened when the toolbar of this style and font needs more room.
  resize(std::max(TwipsToPixelsX(kClientWidth, this), tbrSend->sizeHint().width() + 8),
         TwipsToPixelsY(kClientHeight, this) + menuBar()->sizeHint().height());
}

frmSendMail::~frmSendMail() {
  // The children outlive this part of the window: their last notifications (the
  // editor losing the focus) must not reach it.
  windowReady = false;
  for (QObject* child :
       std::initializer_list<QObject*>{dhtEdit, wbrEdit, cbxStyle, txtTo, client_, tbrSend}) {
    if (child) {
      child->removeEventFilter(this);
      disconnect(child, nullptr, this, nullptr);
    }
  }
  DeleteScratchFile();
  blockFormatNames = QVariant();
}

void frmSendMail::CreateControls() {
  setWindowTitle("Untitled - Message (HTML)");
  setAcceptDrops(true);
  client_ = new QWidget(this);
  setCentralWidget(client_);
  client_->installEventFilter(this);

  picHeader = new QWidget(client_);
  picHeader->setObjectName("picHeader");
  picHeader->setAutoFillBackground(true);

  auto field = [this](QLabel*& label, const char* caption, QLineEdit*& box, int top) {
    box = new QLineEdit(picHeader);
    // "txtTo" from "&To:": tests and tools reach the boxes by these names.
    box->setObjectName("txt" + QString(caption).remove('&').remove(':'));
    PlaceTwips(box, kFieldLeft, top, 8235, kFieldHeight);
    label = new QLabel(caption, picHeader);
    label->setBuddy(box);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Labels share their box's row so the texts line up.
    PlaceTwips(label, 60, top, kFieldLeft - 60 - 90, kFieldHeight);
  };
  field(Label1, "&To:", txtTo, 180);
  field(Label2, "&CC:", txtCC, 510);
  field(Label3, "&BCC:", txtBCC, 840);
  field(Label4, "Sub&ject:", txtSubject, kSubjectTop);
  // The design's label column was measured for a smaller font: widen it to fit the
  // labels of the font in use, so none is cut.
  int label_width = 0;
  for (QLabel* l : {Label1, Label2, Label3, Label4}) {
    label_width = std::max(label_width, l->sizeHint().width());
  }
  const int label_left = TwipsToPixelsX(60, this);
  const int field_left = std::max(TwipsToPixelsX(kFieldLeft, this),
                                  label_left + label_width + TwipsToPixelsX(90, this));
  for (QLabel* l : {Label1, Label2, Label3, Label4}) {
    l->setGeometry(label_left, l->y(), field_left - label_left - TwipsToPixelsX(90, this),
                   l->height());
  }
  for (QLineEdit* box : {txtTo, txtCC, txtBCC, txtSubject}) {
    box->move(field_left, box->y());
  }
  // One completer a box: a completer completes the text of its own widget.
  const QStringList recent = composer::RecentAddresses();
  for (QLineEdit* box : {txtTo, txtCC, txtBCC}) {
    auto* completer = new composer::AddressCompleter(box);
    completer->SetAddresses(recent);
    box->setCompleter(completer);
  }
  txtTo->setPlaceholderText("name@example.org, another@example.org");

  cmdAttachments = new QPushButton("Files...", picHeader);
  cmdAttachments->setObjectName("cmdAttachments");
  PlaceTwips(cmdAttachments, 60, 1470, 675, 345);
  cmdAttachments->setToolTip("Attachments");
  txtAttachments = new QLineEdit(picHeader);
  txtAttachments->setObjectName("txtAttachments");
  txtAttachments->setReadOnly(true);
  txtAttachments->setFocusPolicy(Qt::TabFocus);
  PlaceTwips(txtAttachments, kFieldLeft, kAttachmentsTop, 8235, kFieldHeight);
  txtAttachments->move(txtTo->x(), txtAttachments->y());
  cmdAttachments->setGeometry(
      cmdAttachments->x(), cmdAttachments->y(),
      std::max(cmdAttachments->width(), txtTo->x() - cmdAttachments->x() - 4),
      cmdAttachments->height());
  {
    QPalette p = txtAttachments->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Button));
    txtAttachments->setPalette(p);
  }
  cmdAttachments->setVisible(false);
  txtAttachments->setVisible(false);

  dhtEdit = new HtmlEditor(client_);
  dhtEdit->setObjectName("dhtEdit");

  // The hidden scratch document used to normalise pasted content.
  wbrEdit = new HtmlEditor(this);
  wbrEdit->setObjectName("wbrEdit");
  wbrEdit->setVisible(false);
  scratchDocument = wbrEdit;

  stbStatus = statusBar();
  // A bar of fixed width on the right: its changes never move the status text.
  progressBar_ = new QProgressBar(stbStatus);
  progressBar_->setObjectName("Progress");
  progressBar_->setFixedWidth(TwipsToPixelsX(2400, this));
  progressBar_->setRange(0, 100);
  progressBar_->setVisible(false);
  statusPanel_ = new QLabel(stbStatus);
  statusPanel_->setTextFormat(Qt::PlainText);
  statusPanel_->setObjectName("Status");
  stbStatus->addWidget(statusPanel_, 1);
  stbStatus->addPermanentWidget(progressBar_);

  connect(cmdAttachments, &QPushButton::clicked, this, [this] { mnuViewAttachments_Click(); });
  connect(txtTo, &QLineEdit::textChanged, this, [this] { UpdateSendButton(); });
}

void frmSendMail::CreateMenus() {
  // The handler's result, where it has one (the save handlers), is of no use to a menu.
  auto item = [this](QMenu* menu, const char* text, QKeySequence shortcut, auto handler) {
    QAction* a = menu->addAction(text);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    if (handler) {
      connect(a, &QAction::triggered, this, [this, handler] {
        try {
          (this->*handler)();
        } catch (const std::exception& e) {
          ReportError(e, false);
        }
      });
    }
    return a;
  };
  auto command = [this](QMenu* menu, const char* text, QKeySequence shortcut, int cmd) {
    QAction* a = menu->addAction(text);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    connect(a, &QAction::triggered, this, [this, cmd] { RunCommand(cmd); });
    return a;
  };

  QMenu* file = menuBar()->addMenu("&File");
  mnuFileNew = item(file, "&New", QKeySequence::New, &frmSendMail::mnuFileNew_Click);
  mnuFileOpen = item(file, "&Open...", QKeySequence::Open, &frmSendMail::mnuFileOpen_Click);
  mnuFileSave = item(file, "&Save", QKeySequence::Save, &frmSendMail::mnuFileSave_Click);
  mnuFileSaveAs = item(file, "Save &As...", {}, &frmSendMail::mnuFileSaveAs_Click);
  file->addSeparator();
  mnuFileAttach = item(file, "Attach &File...", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A),
                       &frmSendMail::AttachFiles);
  mnuFileSend = item(file, "Sen&d", QKeySequence(Qt::CTRL | Qt::Key_Return),
                     &frmSendMail::SendCurrentMessage);
  file->addSeparator();
  mnuFilePrint = item(file, "&Print...", QKeySequence::Print, &frmSendMail::mnuFilePrint_Click);
  file->addSeparator();
  mnuFileExit = file->addAction("E&xit");
  mnuFileExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(mnuFileExit, &QAction::triggered, this, &QWidget::close);

  QMenu* edit = menuBar()->addMenu("&Edit");
  mnuEditUndo = command(edit, "&Undo", QKeySequence(Qt::CTRL | Qt::Key_Z), HtmlEditor::DECMD_UNDO);
  mnuEditRedo = command(edit, "&Redo", QKeySequence(Qt::CTRL | Qt::Key_Y), HtmlEditor::DECMD_REDO);
  mnuEditRedo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence::Redo});
  edit->addSeparator();
  mnuEditCut = command(edit, "&Cut", QKeySequence(Qt::CTRL | Qt::Key_X), HtmlEditor::DECMD_CUT);
  mnuEditCopy = command(edit, "Copy", QKeySequence(Qt::CTRL | Qt::Key_C), HtmlEditor::DECMD_COPY);
  mnuEditPaste =
      item(edit, "&Paste", QKeySequence(Qt::CTRL | Qt::Key_V), &frmSendMail::mnuEditPaste_Click);
  mnuEditPasteText = item(edit, "Paste as &Text", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V),
                          &frmSendMail::mnuEditPasteText_Click);
  mnuEditDel = command(edit, "&Del", QKeySequence(Qt::Key_Delete), HtmlEditor::DECMD_DELETE);
  mnuEditSelectAll =
      command(edit, "Select &All", QKeySequence(Qt::CTRL | Qt::Key_A), HtmlEditor::DECMD_SELECTALL);
  edit->addSeparator();
  mnuEditFind =
      command(edit, "&Find...", QKeySequence(Qt::CTRL | Qt::Key_F), HtmlEditor::DECMD_FINDTEXT);
  edit->addSeparator();
  mnuEditProperties = command(edit, "&Properties...", {}, HtmlEditor::DECMD_PROPERTIES);

  QMenu* format = menuBar()->addMenu("F&ormat");
  mnuFormatBackgroundColor =
      item(format, "&Background Color...", {}, &frmSendMail::mnuFormatBackgroundColor_Click);
  mnuFormatFont = command(format, "&Font...", {}, HtmlEditor::DECMD_FONT);
  mnuFormatTextColor = item(format, "&Text Color...", {}, &frmSendMail::mnuFormatTextColor_Click);
  format->addSeparator();
  mnuFormatImage = command(format, "Insert &Image...", {}, HtmlEditor::DECMD_IMAGE);
  mnuFormatLink = command(format, "Insert &Hyperlink...", QKeySequence(Qt::CTRL | Qt::Key_K),
                          HtmlEditor::DECMD_HYPERLINK);
  mnuFormatUnlink = command(format, "&Remove Hyperlink", {}, HtmlEditor::DECMD_UNLINK);

  QMenu* view = menuBar()->addMenu("&View");
  mnuViewSource = view->addAction("&Source");
  mnuViewSource->setCheckable(true);
  connect(mnuViewSource, &QAction::triggered, this, [this] { mnuViewSource_Click(); });
  view->addSeparator();
  mnuViewAttachments = item(view, "&Attachments...", {}, &frmSendMail::mnuViewAttachments_Click);
  view->addSeparator();
  mnuViewConfiguration =
      item(view, "&Configuration...", {}, &frmSendMail::mnuViewConfiguration_Click);

  // Tests and tools reach the menu items by these names.
  const std::pair<QAction*, const char*> names[] = {
      {mnuFileNew, "mnuFileNew"},
      {mnuFileOpen, "mnuFileOpen"},
      {mnuFileSave, "mnuFileSave"},
      {mnuFileSaveAs, "mnuFileSaveAs"},
      {mnuFileAttach, "mnuFileAttach"},
      {mnuFileSend, "mnuFileSend"},
      {mnuFilePrint, "mnuFilePrint"},
      {mnuFileExit, "mnuFileExit"},
      {mnuEditUndo, "mnuEditUndo"},
      {mnuEditRedo, "mnuEditRedo"},
      {mnuEditCut, "mnuEditCut"},
      {mnuEditCopy, "mnuEditCopy"},
      {mnuEditPaste, "mnuEditPaste"},
      {mnuEditPasteText, "mnuEditPasteText"},
      {mnuEditDel, "mnuEditDel"},
      {mnuEditSelectAll, "mnuEditSelectAll"},
      {mnuEditFind, "mnuEditFind"},
      {mnuEditProperties, "mnuEditProperties"},
      {mnuFormatBackgroundColor, "mnuFormatBackgroundColor"},
      {mnuFormatFont, "mnuFormatFont"},
      {mnuFormatTextColor, "mnuFormatTextColor"},
      {mnuFormatImage, "mnuFormatImage"},
      {mnuFormatLink, "mnuFormatLink"},
      {mnuFormatUnlink, "mnuFormatUnlink"},
      {mnuViewSource, "mnuViewSource"},
      {mnuViewAttachments, "mnuViewAttachments"},
      {mnuViewConfiguration, "mnuViewConfiguration"}};
  for (const auto& [action, name] : names) action->setObjectName(name);
}

void frmSendMail::CreateToolbar() {
  tbrSend = addToolBar("Standard");
  tbrSend->setObjectName("tbrSend");
  tbrSend->setMovable(false);
  tbrSend->setFloatable(false);
  tbrSend->setIconSize(QSize(20, 20));
  tbrSend->installEventFilter(this);
  // A latched button must read as pressed in every style.
  tbrSend->setStyleSheet(
      "QToolButton:checked { background-color: #d3e3f5; border: 1px solid #8fb0d8;"
      " border-radius: 3px; }");

  for (const Tool& tool : Tools()) {
    if (!tool.key) {
      tbrSend->addSeparator();
      continue;
    }
    const QString key = tool.key;
    QAction* a = tbrSend->addAction(composer::SvgIcon(IconPath(key)), key);
    a->setToolTip(key);
    a->setCheckable(tool.latching);
    connect(a, &QAction::triggered, this, [this, key] { tbrSend_ButtonClick(key); });
    buttons_[key] = a;
  }
  for (const char* key : {"Send", "Stop"}) {
    if (auto* b = qobject_cast<QToolButton*>(tbrSend->widgetForAction(Button(key)))) {
      b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
  }
  Button("Send")->setEnabled(false);
  Button("Stop")->setEnabled(false);
  Button("Attach File")->setToolTip("Attach File (Ctrl+Shift+A)");
  Button("Send")->setToolTip("Send (Ctrl+Return)");

  cbxStyle = new QComboBox(tbrSend);
  cbxStyle->setObjectName("cbxStyle");
  cbxStyle->setToolTip("Style");
  cbxStyle->setEditable(false);
  cbxStyle->setFixedWidth(TwipsToPixelsX(1635, this));
  cbxStyle->installEventFilter(this);
  tbrSend->addWidget(cbxStyle);
  connect(cbxStyle, &QComboBox::activated, this, &frmSendMail::cbxStyle_Activated);

  // Tab order: the address fields, the attachments, the style box, the editor.
  setTabOrder(txtTo, txtCC);
  setTabOrder(txtCC, txtBCC);
  setTabOrder(txtBCC, txtSubject);
  setTabOrder(txtSubject, cmdAttachments);
  setTabOrder(cmdAttachments, txtAttachments);
  setTabOrder(txtAttachments, cbxStyle);
  setTabOrder(cbxStyle, dhtEdit);
}

void frmSendMail::ConnectEditor() {
  auto activate = [this] {
    editorActive = true;
    SetState();
  };
  connect(dhtEdit, &HtmlEditor::FocusGained, this, &frmSendMail::dhtEdit_FocusGained);
  connect(dhtEdit, &HtmlEditor::FocusLost, this, [this] {
    if (!windowReady) return;
    editorActive = false;
    SetState();
  });
  connect(dhtEdit, &HtmlEditor::Dropped, this, activate);
  connect(dhtEdit, &HtmlEditor::ContextMenuOpening, this, activate);
  connect(dhtEdit, &HtmlEditor::ContextMenuAction, this, activate);
  connect(dhtEdit, &HtmlEditor::MouseUp, this, activate);
  connect(dhtEdit, &HtmlEditor::DoubleClicked, this, activate);
  connect(dhtEdit, &HtmlEditor::KeyUp, this, [this] { SetState(); });
  connect(dhtEdit, &HtmlEditor::KeyDown, this, &frmSendMail::dhtEdit_KeyDown);
  connect(dhtEdit, &HtmlEditor::FilesDropped, this, &frmSendMail::AttachPaths);
  // The buttons follow the text under the cursor as it changes, not on a poll.
  connect(dhtEdit, &QTextEdit::currentCharFormatChanged, this, [this] { SetState(); });
  connect(dhtEdit, &QTextEdit::cursorPositionChanged, this, [this] { SetState(); });
  connect(dhtEdit, &QTextEdit::selectionChanged, this, [this] { SetState(); });
}

void frmSendMail::ConnectMail() {
  connect(send_, &composer::SendController::Progress, this, [this](int percent, qint64 bytes) {
    SetProgressPercent(percent);
    SetStatusText("Sending - Bytes Sent: " + QString::number(bytes));
  });
  connect(send_, &composer::SendController::Failed, this, &frmSendMail::SendFailed);
  connect(send_, &composer::SendController::Finished, this, &frmSendMail::SendFinished);
}

void frmSendMail::Form_Load() {
  try {
    wbrEdit->move(-1000, -1000);
    const QString drafts = DraftsFolder();
    if (!QDir(drafts).exists() && !QDir().mkpath(drafts)) {
      throw postwing::Exception(
          75, "composer", "The drafts folder " + drafts.toStdString() + " cannot be created.");
    }
    unnamedDocumentPath = AddBackslash(drafts) + "Unnamed.html";
    UpdateCaption();
    SetMousePointer(MousePointer::Hourglass);
    restoreGeometry(QByteArray::fromBase64(GetSetting(kKeyGeometry, "").toLatin1()));
    show();
    QApplication::processEvents();
    scratchFilePath = CreateScratchDocument();
    if (!wbrEdit->LoadDocument(scratchFilePath)) {
      throw postwing::Exception(
          53, "composer",
          "The scratch document " + scratchFilePath.toStdString() + " cannot be read.");
    }
    while (wbrEdit->Busy()) QApplication::processEvents();
    dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBLOCKFMTNAMES, 0, blockFormatNames);
    cbxStyle->clear();
    for (const QString& name : blockFormatNames.toStringList()) cbxStyle->addItem(name);
    cbxStyle->addItem("Remove Format");
    cbxStyle->setCurrentIndex(0);
    txtTo->setFocus();
    QApplication::processEvents();
    editorActive = false;
    SetState();
    ApplySpelling();
    MarkSaved();
    OfferRestore();
    autosaveTimer_ = new QTimer(this);
    connect(autosaveTimer_, &QTimer::timeout, this, &frmSendMail::Autosave);
    autosaveTimer_->start(30000);
    windowReady = true;
    SetMousePointer(MousePointer::Default);
    wbrEdit->setReadOnly(false);
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
}

QString frmSendMail::CreateScratchDocument() {
  const QString name = TempFileName();
  QFile file(name);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    throw postwing::Exception(75, "composer",
                              "The scratch document " + name.toStdString() + " cannot be written.");
  }
  file.write("<HTML>\r\n</HTML>\r\n");
  file.close();
  return name;
}

void frmSendMail::DeleteScratchFile() {
  if (scratchFilePath.isEmpty()) return;
  QFile::remove(scratchFilePath);
  scratchFilePath.clear();
}

std::shared_ptr<postwing::Attachments> frmSendMail::Attachments() const {
  return send_->Mail()->Attachments();
}

void frmSendMail::UpdateAttachments() {
  QString line;
  for (const auto& attachment : *Attachments()) {
    if (attachment->Inline()) continue;
    line += QString::fromStdString(attachment->FileName()) + "; ";
  }
  txtAttachments->setText(line);
}

void frmSendMail::Form_Resize() {
  // Each step on its own: one that cannot be done leaves the others to run.
  const bool shown = !txtAttachments->text().isEmpty();
  cmdAttachments->setVisible(shown);
  txtAttachments->setVisible(shown);

  const int header_height =
      TwipsToPixelsY((shown ? kAttachmentsTop : kSubjectTop) + kFieldHeight + 100, this);
  picHeader->setGeometry(0, 0, picHeader->width(), header_height);

  const int client_width = client_->width();
  const int client_height = client_->height();
  const int top = picHeader->y() + picHeader->height();
  if (client_height - top >= 0) dhtEdit->setGeometry(0, top, client_width, client_height - top);

  picHeader->resize(client_width, picHeader->height());
  const int field_width = picHeader->width() - txtTo->x() - TwipsToPixelsX(100, this);
  if (field_width >= 0) {
    for (QLineEdit* box : {txtTo, txtCC, txtBCC, txtSubject, txtAttachments}) {
      box->resize(field_width, box->height());
    }
  }
  mnuViewAttachments->setEnabled(txtAttachments->isVisibleTo(this));
}

void frmSendMail::UpdateCaption() {
  const QString path = dhtEdit->CurrentDocumentPath();
  setWindowTitle(FileNamePart(path.isEmpty() ? unnamedDocumentPath : path) + " - Message (HTML)");
}

int frmSendMail::PromptSaveChanges() {
  if (!HasChanges()) return 0;
  return composer::CurrentDialogs().MessageBox(
      this, "Do you want to save these changes?", "Unsaved Changes Warning Message",
      composer::MsgBoxButtons::YesNoCancel, composer::MsgBoxIcon::Question);
}

void frmSendMail::FocusEditorWhenIdle() {
  QElapsedTimer waited;
  waited.start();
  while (dhtEdit->Busy() && waited.elapsed() < 10000) QApplication::processEvents();
  dhtEdit->setFocus();
}

void frmSendMail::mnuFileNew_Click() {
  const int r = PromptSaveChanges();
  if (r == composer::vbCancel) return;
  if (r == composer::vbYes && !mnuFileSave_Click()) return;
  ClearMessage();
  txtTo->setFocus();
  UpdateCaption();
}

void frmSendMail::mnuFileOpen_Click() {
  const int r = PromptSaveChanges();
  if (r == composer::vbCancel) return;
  if (r == composer::vbYes && !mnuFileSave_Click()) return;
  LeaveSourceView();
  if (dhtEdit->LoadDocumentWithDialog(FolderPart(unnamedDocumentPath) + "*.*")) {
    ApplyDraftHead(dhtEdit->CurrentDocumentPath());
    MarkSaved();
  }
  UpdateCaption();
  FocusEditorWhenIdle();
}

bool frmSendMail::mnuFileSave_Click() {
  bool saved = true;
  const QString path = dhtEdit->CurrentDocumentPath();
  if (!path.isEmpty()) {
    dhtEdit->SetSavedHead(DraftHead());
    dhtEdit->SaveDocument(path);
    MarkSaved();
  } else {
    saved = mnuFileSaveAs_Click();
  }
  UpdateCaption();
  return saved;
}

bool frmSendMail::mnuFileSaveAs_Click() {
  const QString path = dhtEdit->CurrentDocumentPath();
  dhtEdit->SetSavedHead(DraftHead());
  const bool saved = dhtEdit->SaveDocumentWithDialog(
      path.isEmpty() ? FolderPart(unnamedDocumentPath) + "*.*" : path);
  if (saved) MarkSaved();
  UpdateCaption();
  FocusEditorWhenIdle();
  return saved;
}

void frmSendMail::mnuFilePrint_Click() {
  dhtEdit->PrintDocument();
}

void frmSendMail::closeEvent(QCloseEvent* e) {
  try {
    if (send_->Sending()) {
      const int r = composer::CurrentDialogs().MessageBox(
          this, "An E-mail is in progress... cancel and quit anyway",
          "Warning / Confirmation Message", composer::MsgBoxButtons::YesNo,
          composer::MsgBoxIcon::Question);
      if (r != composer::vbYes) {
        e->ignore();
        return;
      }
      send_->Stop();
    }
    const int r = PromptSaveChanges();
    if (r == composer::vbCancel) {
      e->ignore();
      return;
    }
    // A save that did not happen keeps the window, so the document is never lost.
    if (r == composer::vbYes && !mnuFileSave_Click()) {
      e->ignore();
      return;
    }
  } catch (const std::exception& error) {
    ReportError(error, false);
    e->ignore();
    return;
  }
  DeleteScratchFile();
  if (autosaveTimer_) autosaveTimer_->stop();
  try {
    SaveSetting(kKeyGeometry, QString::fromLatin1(saveGeometry().toBase64()));
  } catch (const std::exception&) {
    // The window's place is a comfort: a store that cannot be written keeps the close.
  }
  QFile::remove(AutosavePath());
  e->accept();
}

const std::vector<frmSendMail::Tool>& frmSendMail::Tools() {
  // The toolbar in order (a null key is a separator); command is the editor command that
  // runs on a click and whose status enables, and for latching buttons presses, the button.
  static const std::vector<Tool> tools{
      {"Send"},
      {"Stop"},
      {},
      {"Save"},
      {"Print"},
      {},
      {"Cut", HtmlEditor::DECMD_CUT},
      {"Copy", HtmlEditor::DECMD_COPY},
      {"Paste", HtmlEditor::DECMD_PASTE},
      {},
      {"Attach File"},
      {"Insert Image", HtmlEditor::DECMD_IMAGE},
      {"Insert Hyperlink", HtmlEditor::DECMD_HYPERLINK},
      {},
      {"Bold", HtmlEditor::DECMD_BOLD, true},
      {"Italic", HtmlEditor::DECMD_ITALIC, true},
      {"Underline", HtmlEditor::DECMD_UNDERLINE, true},
      {},
      {"Align Left", HtmlEditor::DECMD_JUSTIFYLEFT, true},
      {"Center", HtmlEditor::DECMD_JUSTIFYCENTER, true},
      {"Align Right", HtmlEditor::DECMD_JUSTIFYRIGHT, true},
      {},
      {"Indent", HtmlEditor::DECMD_INDENT},
      {"Outdent", HtmlEditor::DECMD_OUTDENT},
      {},
      {"Properties", HtmlEditor::DECMD_PROPERTIES},
      {"View Details", 0, true},
      {},
      {"Font", HtmlEditor::DECMD_FONT},
      {"Text Color"},
      {},
  };
  return tools;
}

void frmSendMail::tbrSend_ButtonClick(const QString& key) {
  try {
    if (key == "Send") {
      SendCurrentMessage();
    } else if (key == "Save") {
      mnuFileSave_Click();
    } else if (key == "Print") {
      mnuFilePrint_Click();
    } else if (key == "Paste") {
      mnuEditPaste_Click();
    } else if (key == "Stop") {
      send_->Stop();
    } else if (key == "Attach File") {
      AttachFiles();
    } else if (key == "Text Color") {
      mnuFormatTextColor_Click();
    } else if (key == "View Details") {
      dhtEdit->SetShowDetails(!dhtEdit->ShowDetails());
      Button("View Details")->setChecked(dhtEdit->ShowDetails());
    } else {
      for (const Tool& tool : Tools()) {
        if (tool.key && key == tool.key && tool.command) dhtEdit->ExecCommand(tool.command);
      }
    }
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
  SetState();
}

void frmSendMail::RunCommand(int command) {
  try {
    dhtEdit->ExecCommand(command);
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
}

composer::HtmlEditor* frmSendMail::Editor() const {
  return dhtEdit;
}

void frmSendMail::SetFields(const QString& to, const QString& cc, const QString& bcc,
                            const QString& subject) {
  txtTo->setText(to);
  txtCC->setText(cc);
  txtBCC->setText(bcc);
  txtSubject->setText(subject);
}

void frmSendMail::ShowEditorActive() {
  editorActive = true;
  SetState();
}

QAction* frmSendMail::Button(const QString& key) const {
  auto it = buttons_.find(key);
  return it == buttons_.end() ? nullptr : it->second;
}

QString frmSendMail::PanelText(const QString& key) const {
  if (key == "Progress") {
    return progressBar_->isVisibleTo(this) ? QString::number(progressBar_->value()) + "%" : "";
  }
  if (key == "Status") return statusPanel_->text();
  return {};
}

// ---- Sending ----

void frmSendMail::UpdateSendButton() {
  // One message at a time: a second Send during a transfer would abort the first.
  if (QAction* send = Button("Send")) {
    send->setEnabled(!txtTo->text().isEmpty() && !send_->Sending());
  }
  if (QAction* stop = Button("Stop")) stop->setEnabled(send_->Sending());
  if (mnuFileSend) mnuFileSend->setEnabled(!send_->Sending());
}

void frmSendMail::ResetMailKeepingAttachments() {
  const QString failures = send_->ResetKeepingFiles();
  UpdateAttachments();
  Form_Resize();
  if (!failures.isEmpty()) {
    QTimer::singleShot(0, this, [this, failures] {
      ShowError("These files are no longer attached:\n" + failures, this);
    });
  }
}

void frmSendMail::SendCurrentMessage() {
  try {
    if (!TextToBoolean(GetSetting(kKeyConfigured, "False"))) {
      frmConfigure configure(this);
      composer::CurrentDialogs().Exec(configure);
    }
    const QString server = GetSetting(kKeyServer, "");
    const int32_t port = LeadingNumberToLong(GetSetting(kKeyPort, "0"));
    const QString user = GetSetting(kKeyUser, "");
    const QString password = GetSetting(kKeyPassword, "");
    fromAddress = GetSetting(kKeyFromAddress, "");
    const postwing::SecurityTypes security = SecurityFromText(GetSetting(kKeySecurity, "None"));

    // What is sent is the document, never its source text.
    LeaveSourceView();
    for (const auto& [label, box] : {std::pair{"To", txtTo}, {"CC", txtCC}, {"BCC", txtBCC}}) {
      if (const QString bad = composer::FirstMalformedAddress(box->text()); !bad.isEmpty()) {
        ShowError(
            QString("\"%1\" in %2 is not an e-mail address. Nothing was sent.").arg(bad, label),
            this);
        box->setFocus();
        return;
      }
    }
    if (!ConfirmReminders()) return;
    if (fromAddress.trimmed().isEmpty()) {
      SetStatusText("Not sent");
      ShowError("No sender address is set: enter yours under View > Configuration.", this);
      return;
    }
    ResetMailKeepingAttachments();
    if (!server.isEmpty()) send_->Mail()->SetSMTPServer(server.toStdString());
    if (port != 0) send_->Mail()->SetSMTPServerPort(port);
    send_->Mail()->SetUser(user.toStdString());
    send_->Mail()->SetPassword(password.toStdString());
    send_->Mail()->SetSecurity(security);

    auto header = send_->Mail()->Header();
    header->SetBccList(txtBCC->text().toStdString());
    header->SetCcList(txtCC->text().toStdString());
    header->SetFrom(fromAddress.toStdString());
    header->SetSubject(txtSubject->text().toStdString());
    header->SetToList(txtTo->text().toStdString());

    // Each picture of the document goes as an inline part the HTML names by its Content-ID.
    std::map<QString, QString> sources;
    int n = 0;
    for (const composer::InlineImage& image : composer::ImagesOf(*dhtEdit->document())) {
      postwing::Variant::Array bytes;
      bytes.reserve(image.data.size());
      for (char c : image.data) bytes.emplace_back(int32_t{static_cast<unsigned char>(c)});
      // Keyed apart from the attached files, sent under the picture's own name.
      auto part =
          Attachments()->Add(postwing::Variant(std::move(bytes)),
                             "inline-" + std::to_string(++n) + "-" + image.fileName.toStdString());
      part->SetFileName(image.fileName.toStdString());
      part->SetInline(true);
      sources[image.name] = "cid:" + QString::fromStdString(part->ContentID());
    }
    auto body = send_->Mail()->Body();
    body->SetText(
        postwing::Variant(composer::CleanHtml(*dhtEdit->document(), sources).toStdString()));
    body->SetAlternativeText(composer::PlainTextOf(*dhtEdit->document()).toStdString());
    // The document is UTF-8: say so in the part's own header, where every reader looks.
    if (auto fields = body->Values(); fields->Exists(postwing::Variant("Content-Type"))) {
      fields->Item("Content-Type")->SubValues()->LetValue("utf-8", "charset");
    }

    SetStatusText("Sending");
    SetMousePointer(MousePointer::ArrowHourglass);
    UpdateSendButton();
    send_->Start();
    UpdateSendButton();
  } catch (const std::exception& e) {
    ReportError(e, true);
  }
}

bool frmSendMail::ConfirmReminders() {
  auto ask = [this](const QString& text) {
    return composer::CurrentDialogs().MessageBox(this, text + " Send it anyway?", "Before Sending",
                                                 composer::MsgBoxButtons::YesNo,
                                                 composer::MsgBoxIcon::Question) == composer::vbYes;
  };
  if (txtSubject->text().trimmed().isEmpty() && !ask("The message has no subject.")) return false;
  static const QRegularExpression mention(
      QStringLiteral(R"(\b(attach(ed|ment|ments)?|enclosed)\b)"),
      QRegularExpression::CaseInsensitiveOption);
  if (txtAttachments->text().isEmpty() && dhtEdit->toPlainText().contains(mention) &&
      !ask("The text mentions an attachment, but no file is attached.")) {
    return false;
  }
  return true;
}

void frmSendMail::SendFinished(bool delivered) {
  SetMousePointer(MousePointer::Default);
  UpdateSendButton();
  SetProgressPercent(0);
  if (!delivered) {
    // Not delivered: the message stays for another try.
    SetStatusText("Not sent");
    ResetMailKeepingAttachments();
    return;
  }
  SetStatusText("Complete");
  try {
    const QStringList recent =
        composer::RememberAddresses({txtTo->text(), txtCC->text(), txtBCC->text()});
    for (QLineEdit* box : {txtTo, txtCC, txtBCC}) {
      static_cast<composer::AddressCompleter*>(box->completer())->SetAddresses(recent);
    }
  } catch (const std::exception&) {
    // Completion is a help: a store that cannot be written keeps the message delivered.
  }
  send_->Mail()->Clear();
  ClearMessage();
  txtTo->setFocus();
  UpdateCaption();
  Autosave();
}

void frmSendMail::SendFailed(const QString& description, bool connectionGone) {
  UpdateSendButton();
  SetMousePointer(MousePointer::Default);
  // With no connection left, no completion will follow: the status must not say "Sending".
  if (connectionGone) SetStatusText("Not sent");
  // Shown once the library's event has returned: the box runs a loop of its own.
  QTimer::singleShot(0, this, [this, description] { ShowError(description, this); });
}

void frmSendMail::SetStatusText(const QString& text) {
  statusPanel_->setText(text);
}

void frmSendMail::SetProgressPercent(int32_t percent) {
  progressBar_->setValue(percent);
  progressBar_->setVisible(percent > 0);
}

void frmSendMail::ReportError(const std::exception& error, bool send_failed) {
  if (send_failed) {
    UpdateSendButton();
    SetMousePointer(MousePointer::Default);
    SetStatusText("Not sent");
    // The pictures of the body are made again at the next send.
    ResetMailKeepingAttachments();
  }
  ShowError(DescriptionOf(error), this);
}

// ---- Attachments ----

void frmSendMail::AttachFiles() {
  const QStringList files = composer::CurrentDialogs().OpenFileNames(this, "Locate File to Attach",
                                                                     QString(), "All Files (*)");
  if (files.isEmpty()) return;
  AttachPaths(files);
}

void frmSendMail::AttachPaths(const QStringList& files) {
  QStringList failures;
  for (const QString& path : files) {
    try {
      composer::AttachFile(*Attachments(), path);
    } catch (const std::exception& e) {
      failures << QString("\"%1\": %2").arg(path, DescriptionOf(e));
    }
  }
  // The line shows what is attached, also when a file was refused.
  UpdateAttachments();
  Form_Resize();
  if (!failures.isEmpty()) {
    ShowError("These files could not be attached:\n" + failures.join("\n"), this);
    return;
  }
  dhtEdit->setFocus();
}

void frmSendMail::mnuViewAttachments_Click() {
  frmAttachments window(this);
  composer::CurrentDialogs().Exec(window);
}

void frmSendMail::ApplySpelling() {
  const QString language = GetSetting(kKeySpelling, composer::SpellChecker::DefaultLanguage());
  dhtEdit->SetSpellLanguage(language == "None" ? QString() : language);
}

void frmSendMail::mnuViewConfiguration_Click() {
  frmConfigure window(this);
  composer::CurrentDialogs().Exec(window);
  ApplySpelling();
}

// ---- Editing ----

void frmSendMail::dhtEdit_FocusGained() {
  editorActive = true;
  if (windowReady && !dhtEdit->hasFocus()) dhtEdit->setFocus();
  SetState();
}

void frmSendMail::mnuEditPaste_Click() {
  try {
    // Pictures and files go straight in: the editor keeps them as pictures or attaches them.
    if (const QMimeData* data = QApplication::clipboard()->mimeData();
        data && (data->hasImage() || data->hasUrls())) {
      dhtEdit->ExecCommand(HtmlEditor::DECMD_PASTE);
      return;
    }
    // Through the hidden document, so the clipboard holds the editor's own HTML form.
    wbrEdit->clear();
    wbrEdit->paste();
    wbrEdit->selectAll();
    wbrEdit->copy();
    dhtEdit->ExecCommand(HtmlEditor::DECMD_PASTE);
    wbrEdit->SetBodyInnerHTML({});
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
}

void frmSendMail::dhtEdit_KeyDown(QKeyEvent* e, bool* suppress) {
  try {
    const auto mods = e->modifiers();
    const bool ctrl = mods & Qt::ControlModifier;
    const bool shift = mods & Qt::ShiftModifier;
    if ((e->key() == Qt::Key_V && ctrl) || (e->key() == Qt::Key_Insert && shift)) {
      *suppress = true;
      return;
    }
  } catch (const std::exception& error) {
    ReportError(error, false);
  }
}

void frmSendMail::cbxStyle_Activated(int index) {
  const QString name = cbxStyle->itemText(index);
  try {
    if (name != "Remove Format") {
      dhtEdit->ExecCommand(HtmlEditor::DECMD_SETBLOCKFMT, 0, name);
    } else {
      dhtEdit->ExecCommand(HtmlEditor::DECMD_REMOVEFORMAT);
    }
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
  if (!styleKeyFlag) {
    dhtEdit->setFocus();
  } else {
    styleKeyFlag = false;
  }
}

void frmSendMail::mnuFormatBackgroundColor_Click() {
  try {
    QString s = dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBACKCOLOR).toString();
    if (s.startsWith(u'#')) s = s.mid(1);
    auto hex = [&s](qsizetype from) {
      bool ok = false;
      const int v = s.size() >= 6 ? s.mid(from, 2).toInt(&ok, 16) : 0;
      if (!ok) throw postwing::Exception(13, "composer", "Type mismatch");
      return v;
    };
    const int red = hex(0), green = hex(2), blue = hex(s.size() - 2);
    auto chosen =
        composer::CurrentDialogs().Color(this, QColor(red, green, blue), "Select Background Color");
    if (!chosen) return;
    const int32_t colour = chosen->red() | (chosen->green() << 8) | (chosen->blue() << 16);
    dhtEdit->ExecCommand(HtmlEditor::DECMD_SETBACKCOLOR, 0, ColorToHtml(colour));
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
}

void frmSendMail::mnuEditPasteText_Click() {
  dhtEdit->insertPlainText(QApplication::clipboard()->text());
}

void frmSendMail::mnuFormatTextColor_Click() {
  const QColor current = dhtEdit->textCursor().charFormat().foreground().color();
  auto chosen = composer::CurrentDialogs().Color(this, current, "Select Text Color");
  if (!chosen) return;
  QTextCharFormat f;
  f.setForeground(*chosen);
  dhtEdit->mergeCurrentCharFormat(f);
}

void frmSendMail::mnuViewSource_Click() {
  dhtEdit->SetSourceView(mnuViewSource->isChecked());
}

void frmSendMail::LeaveSourceView() {
  dhtEdit->SetSourceView(false);
  mnuViewSource->setChecked(false);
}

void frmSendMail::SetState() {
  try {
    auto available = [this](int command) {
      return dhtEdit->QueryStatus(command) == HtmlEditor::kEnabled && editorActive;
    };
    const bool styles = dhtEdit->QueryStatus(HtmlEditor::DECMD_GETBLOCKFMT) == HtmlEditor::kEnabled;
    cbxStyle->setEnabled(styles);
    if (styles) {
      const int index =
          cbxStyle->findText(dhtEdit->ExecCommand(HtmlEditor::DECMD_GETBLOCKFMT).toString());
      if (index >= 0) {
        QSignalBlocker quiet(cbxStyle);
        cbxStyle->setCurrentIndex(index);
      }
    }
    for (const Tool& tool : Tools()) {
      if (!tool.key || !tool.command) continue;
      QAction* b = Button(tool.key);
      const bool latched = dhtEdit->QueryStatus(tool.command) == HtmlEditor::kLatched;
      // Pressed, and usable: a latched command is the one that undoes itself.
      b->setChecked(tool.latching && latched && editorActive);
      b->setEnabled(b->isChecked() || available(tool.command));
    }
    Button("View Details")->setChecked(dhtEdit->ShowDetails());
    Button("View Details")->setEnabled(editorActive);
    Button("Text Color")->setEnabled(editorActive);
    mnuFormatTextColor->setEnabled(editorActive);
    mnuFormatImage->setEnabled(available(HtmlEditor::DECMD_IMAGE));
    mnuFormatLink->setEnabled(available(HtmlEditor::DECMD_HYPERLINK));
    mnuFormatUnlink->setEnabled(available(HtmlEditor::DECMD_UNLINK));
    mnuEditPasteText->setEnabled(available(HtmlEditor::DECMD_PASTE));

    mnuEditRedo->setEnabled(available(HtmlEditor::DECMD_REDO));
    mnuEditUndo->setEnabled(available(HtmlEditor::DECMD_UNDO));
    mnuEditCopy->setEnabled(available(HtmlEditor::DECMD_COPY));
    mnuEditCut->setEnabled(available(HtmlEditor::DECMD_CUT));
    mnuEditPaste->setEnabled(available(HtmlEditor::DECMD_PASTE));
    mnuEditDel->setEnabled(available(HtmlEditor::DECMD_DELETE));
    mnuEditSelectAll->setEnabled(available(HtmlEditor::DECMD_SELECTALL));
    mnuEditProperties->setEnabled(available(HtmlEditor::DECMD_PROPERTIES));
    mnuFormatBackgroundColor->setEnabled(available(HtmlEditor::DECMD_GETBACKCOLOR));
    mnuFormatFont->setEnabled(available(HtmlEditor::DECMD_FONT));
  } catch (const std::exception& e) {
    ReportError(e, false);
  }
}

void frmSendMail::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void frmSendMail::dropEvent(QDropEvent* e) {
  QStringList files;
  for (const QUrl& url : e->mimeData()->urls()) {
    if (url.isLocalFile()) files << url.toLocalFile();
  }
  if (files.isEmpty()) return;
  e->acceptProposedAction();
  AttachPaths(files);
}

bool frmSendMail::eventFilter(QObject* watched, QEvent* e) {
  if (watched == client_ && e->type() == QEvent::Resize) {
    Form_Resize();
  } else if (watched == tbrSend && e->type() == QEvent::MouseButtonPress) {
    SetState();
  } else if (watched == cbxStyle) {
    if (e->type() == QEvent::KeyPress) {
      auto* k = static_cast<QKeyEvent*>(e);
      styleKeyFlag = true;
      if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
        if (windowReady) dhtEdit->setFocus();
        return true;
      }
      // Typed characters never change the style: only the list's own keys do.
      if (!k->text().isEmpty() && k->text()[0].isPrint()) return true;
    } else if (e->type() == QEvent::FocusOut) {
      const auto reason = static_cast<QFocusEvent*>(e)->reason();
      // A click elsewhere, Shift+Tab, a popup or another window keep the user's choice.
      if (windowReady && (reason == Qt::TabFocusReason || reason == Qt::OtherFocusReason ||
                          reason == Qt::ShortcutFocusReason)) {
        QTimer::singleShot(0, dhtEdit, [this] { dhtEdit->setFocus(); });
      }
    }
  }
  return QMainWindow::eventFilter(watched, e);
}

std::shared_ptr<postwing::SendMail> frmSendMail::Mail() const {
  return send_->Mail();
}

bool frmSendMail::Sending() const {
  return send_->Sending();
}
