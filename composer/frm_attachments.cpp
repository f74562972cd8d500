#include "frm_attachments.hpp"

#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QResizeEvent>

#include <exception>

#include <postwing/postwing.hpp>

#include "frm_send_mail.hpp"
#include "mod_email.hpp"
#include "send_controller.hpp"

using namespace modEmail;

frmAttachments::frmAttachments(frmSendMail* owner) : QDialog(owner), owner_(owner) {
  setWindowTitle("Attachments");
  setModal(true);
  lstAttachments = new QListWidget(this);
  lstAttachments->setObjectName("lstAttachments");
  lstAttachments->setSelectionMode(QAbstractItemView::ExtendedSelection);
  PlaceTwips(lstAttachments, 30, 0, 5985, 2595);
  cmdRemove = new QPushButton("&Remove", this);
  cmdRemove->setObjectName("cmdRemove");
  cmdRemove->setDefault(true);
  PlaceTwips(cmdRemove, 3810, 2670, 1095, 435);
  cmdClose = new QPushButton("&Close", this);
  cmdClose->setObjectName("cmdClose");
  cmdClose->setAutoDefault(false);
  PlaceTwips(cmdClose, 4950, 2670, 1095, 435);
  connect(cmdRemove, &QPushButton::clicked, this, &frmAttachments::cmdRemove_Click);
  connect(cmdClose, &QPushButton::clicked, this, &frmAttachments::cmdClose_Click);
  setTabOrder(lstAttachments, cmdRemove);
  setTabOrder(cmdRemove, cmdClose);
  resize(TwipsToPixelsX(6045, this), TwipsToPixelsY(3135, this));
  Form_Load();
}

void frmAttachments::Form_Load() {
  for (const auto& attachment : *owner_->Attachments()) {
    if (attachment->Inline()) continue;
    lstAttachments->addItem(QFile::decodeName(attachment->Source().ToString().c_str()));
  }
}

void frmAttachments::cmdRemove_Click() {
  for (int i = lstAttachments->count() - 1; i >= 0; --i) {
    if (lstAttachments->item(i)->isSelected()) delete lstAttachments->takeItem(i);
  }
  auto attachments = owner_->Attachments();
  attachments->Clear();
  QString failures;
  for (int i = 0; i < lstAttachments->count(); ++i) {
    const QString path = lstAttachments->item(i)->text();
    try {
      composer::AttachFile(*attachments, path);
    } catch (const std::exception& e) {
      failures += path + ": " + DescriptionOf(e) + "\n";
    }
  }
  owner_->UpdateAttachments();
  owner_->Form_Resize();
  if (!failures.isEmpty()) {
    // A file that cannot be attached again is gone from the message: show the list as it is.
    lstAttachments->clear();
    Form_Load();
    ShowError("These files could not be attached again:\n" + failures, this);
  }
}

void frmAttachments::cmdClose_Click() {
  close();
}

void frmAttachments::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  Form_Resize();
}

void frmAttachments::Form_Resize() {
  const int w = width(), h = height();
  const int gap100x = TwipsToPixelsX(100, this), gap100y = TwipsToPixelsY(100, this);
  cmdRemove->move(w - TwipsToPixelsX(200, this) - 2 * cmdRemove->width(),
                  h - gap100y - cmdRemove->height());
  cmdClose->move(w - gap100x - cmdClose->width(), h - gap100y - cmdClose->height());
  lstAttachments->setGeometry(0, 0, w,
                              std::max(0, h - cmdClose->height() - TwipsToPixelsY(200, this)));
}
