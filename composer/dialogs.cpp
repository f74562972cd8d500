#include "dialogs.hpp"

#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QFormLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextDocument>

namespace composer {

namespace {
std::shared_ptr<Dialogs>& Installed() {
  static std::shared_ptr<Dialogs> dialogs = std::make_shared<Dialogs>();
  return dialogs;
}
}  // namespace

Dialogs& CurrentDialogs() {
  return *Installed();
}

void SetDialogs(std::shared_ptr<Dialogs> dialogs) {
  Installed() = dialogs ? std::move(dialogs) : std::make_shared<Dialogs>();
}

int Dialogs::MessageBox(QWidget* parent, const QString& text, const QString& title,
                        MsgBoxButtons buttons, MsgBoxIcon icon) {
  QMessageBox box(parent);
  box.setWindowTitle(title);
  box.setText(text);
  switch (icon) {
    case MsgBoxIcon::Critical:
      box.setIcon(QMessageBox::Critical);
      break;
    case MsgBoxIcon::Question:
      box.setIcon(QMessageBox::Question);
      break;
    case MsgBoxIcon::Information:
      box.setIcon(QMessageBox::Information);
      break;
  }
  switch (buttons) {
    case MsgBoxButtons::OkOnly:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case MsgBoxButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case MsgBoxButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Yes:
      return vbYes;
    case QMessageBox::No:
      return vbNo;
    case QMessageBox::Ok:
      return vbOK;
    default:
      return buttons == MsgBoxButtons::YesNo ? vbNo : vbCancel;
  }
}

QStringList Dialogs::OpenFileNames(QWidget* parent, const QString& title, const QString& folder,
                                   const QString& filter) {
  return QFileDialog::getOpenFileNames(parent, title, folder, filter);
}

QString Dialogs::OpenFileName(QWidget* parent, const QString& title, const QString& proposed,
                              const QString& filter) {
  return QFileDialog::getOpenFileName(parent, title, proposed, filter);
}

QString Dialogs::SaveFileName(QWidget* parent, const QString& title, const QString& proposed,
                              const QString& filter) {
  return QFileDialog::getSaveFileName(parent, title, proposed, filter);
}

std::optional<QColor> Dialogs::Color(QWidget* parent, const QColor& initial, const QString& title) {
  QColor chosen = QColorDialog::getColor(initial, parent, title);
  if (!chosen.isValid()) return std::nullopt;
  return chosen;
}

std::optional<QFont> Dialogs::Font(QWidget* parent, const QFont& initial) {
  bool ok = false;
  QFont chosen = QFontDialog::getFont(&ok, initial, parent);
  if (!ok) return std::nullopt;
  return chosen;
}

std::optional<QString> Dialogs::Text(QWidget* parent, const QString& title, const QString& label,
                                     const QString& initial) {
  bool ok = false;
  QString text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, initial, &ok);
  if (!ok) return std::nullopt;
  return text;
}

std::optional<std::pair<QString, QString>> Dialogs::Link(QWidget* parent, const QString& text,
                                                         const QString& url) {
  QDialog dialog(parent);
  dialog.setWindowTitle("Hyperlink");
  auto* form = new QFormLayout(&dialog);
  auto* text_box = new QLineEdit(text, &dialog);
  text_box->setObjectName("txtLinkText");
  auto* url_box = new QLineEdit(url, &dialog);
  url_box->setObjectName("txtLinkUrl");
  form->addRow("&Text to show:", text_box);
  form->addRow("&Address (URL):", url_box);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (Exec(dialog) != QDialog::Accepted || url_box->text().trimmed().isEmpty()) return std::nullopt;
  return std::pair{text_box->text(), url_box->text().trimmed()};
}

bool Dialogs::Print(QWidget* parent, QTextDocument* document) {
  QPrinter printer;
  QPrintDialog dialog(&printer, parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  document->print(&printer);
  return true;
}

int Dialogs::Exec(QDialog& dialog) {
  return dialog.exec();
}

}  // namespace composer
