// The window's drafts: what counts as a change, the draft file's fields, File > New's empty
// message, the autosaved copy and its restore after a crash.
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSaveFile>

#include "dialogs.hpp"
#include "frm_send_mail.hpp"
#include "html_editor.hpp"
#include "mod_email.hpp"
#include "send_controller.hpp"

using namespace modEmail;

QString frmSendMail::Snapshot() const {
  QStringList parts{txtTo->text(), txtCC->text(), txtBCC->text(), txtSubject->text()};
  for (const auto& a : *send_->Mail()->Attachments()) {
    if (!a->Inline()) parts << QString::fromStdString(a->Source().ToString());
  }
  return parts.join(QChar(0));
}

bool frmSendMail::HasChanges() const {
  return dhtEdit->IsDirty() || Snapshot() != savedSnapshot_;
}

void frmSendMail::MarkSaved() {
  dhtEdit->document()->setModified(false);
  savedSnapshot_ = Snapshot();
}

// A draft is an HTML file that any browser shows; the fields and the paths of the attached
// files ride in its head as meta elements, pictures of the body inside it as data: URLs.
QString frmSendMail::DraftHead() const {
  QString head;
  auto meta = [&head](const char* name, const QString& value) {
    head += QStringLiteral("<meta name=\"postwing-%1\" content=\"%2\" />\n")
                .arg(name, value.toHtmlEscaped());
  };
  meta("to", txtTo->text());
  meta("cc", txtCC->text());
  meta("bcc", txtBCC->text());
  meta("subject", txtSubject->text());
  for (const auto& a : *send_->Mail()->Attachments()) {
    if (!a->Inline()) meta("attachment", QFile::decodeName(a->Source().ToString().c_str()));
  }
  return head;
}

void frmSendMail::ApplyDraftHead(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QString text = QString::fromUtf8(file.read(1 << 20));
  static const QRegularExpression meta(
      QStringLiteral(R"re(<meta name="postwing-([a-z]+)" content="([^"]*)")re"));
  QStringList files;
  for (auto it = meta.globalMatch(text); it.hasNext();) {
    const auto m = it.next();
    QString value = m.captured(2);
    value.replace("&quot;", "\"").replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&");
    const QString name = m.captured(1);
    if (name == "to") txtTo->setText(value);
    if (name == "cc") txtCC->setText(value);
    if (name == "bcc") txtBCC->setText(value);
    if (name == "subject") txtSubject->setText(value);
    if (name == "attachment") files << value;
  }
  Attachments()->Clear();
  if (!files.isEmpty()) AttachPaths(files);
  UpdateAttachments();
  Form_Resize();
}

void frmSendMail::ClearMessage() {
  LeaveSourceView();
  for (QLineEdit* box : {txtTo, txtCC, txtBCC, txtSubject}) box->clear();
  Attachments()->Clear();
  UpdateAttachments();
  Form_Resize();
  dhtEdit->NewDocument();
  MarkSaved();
}

QString frmSendMail::AutosavePath() const {
  return AddBackslash(DraftsFolder()) + "Autosave.html";
}

void frmSendMail::Autosave() {
  if (!HasChanges()) {
    if (!autosaved_.isEmpty()) QFile::remove(AutosavePath());
    autosaved_.clear();
    return;
  }
  const QString html = dhtEdit->PortableHtml(DraftHead());
  if (html == autosaved_) return;
  QSaveFile file(AutosavePath());
  if (file.open(QIODevice::WriteOnly) && file.write(html.toUtf8()) >= 0 && file.commit()) {
    autosaved_ = html;
  }
}

void frmSendMail::OfferRestore() {
  const QString path = AutosavePath();
  if (!QFile::exists(path)) return;
  const int r = composer::CurrentDialogs().MessageBox(
      this,
      "The composer ended without saving the message you were writing. Do you want to restore "
      "it?",
      "Restore Message", composer::MsgBoxButtons::YesNo, composer::MsgBoxIcon::Question);
  if (r == composer::vbYes && dhtEdit->LoadDocument(path)) {
    dhtEdit->ForgetPath();
    ApplyDraftHead(path);
    dhtEdit->document()->setModified(true);
    UpdateCaption();
    return;
  }
  QFile::remove(path);
}
