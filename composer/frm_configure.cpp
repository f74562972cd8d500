#include "frm_configure.hpp"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <exception>
#include <initializer_list>

#include "mod_email.hpp"
#include "spell_checker.hpp"

using namespace modEmail;

namespace {
// Client area in twips: the design's five rows, and one more for the connection security.
constexpr int kClientWidth = 4680;
constexpr int kClientHeight = 2715;
constexpr int kRow = 360;
}  // namespace

frmConfigure::frmConfigure(QWidget* owner) : QDialog(owner) {
  setWindowTitle("E-mail Configuration");
  setModal(true);

  auto row = [this](QLabel*& label, const char* text, QWidget* field, int top) {
    label = new QLabel(text, this);
    label->setBuddy(field);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The label shares the row of its box so the two read as one line.
    PlaceTwips(label, 60, top, 1455, 315);
    PlaceTwips(field, 1620, top, 3015, 315);
  };
  txtSMTPServer = new QLineEdit(this);
  txtSMTPServer->setObjectName("txtSMTPServer");
  txtSMTPServer->setToolTip("IP address or server name. Leave blank to use locat SMTP server.");
  txtSMTPServerPort = new QLineEdit(this);
  txtSMTPServerPort->setObjectName("txtSMTPServerPort");
  txtSMTPServerPort->setToolTip("Port number. Leave blank to use the default port 25.");
  cbxSecurity = new QComboBox(this);
  cbxSecurity->setObjectName("cbxSecurity");
  cbxSecurity->addItems({"None", "STARTTLS", "TLS"});
  cbxSecurity->setToolTip(
      "Connection security: None sends in clear, STARTTLS upgrades the connection "
      "(usually port 587), TLS encrypts from the first byte (usually port 465).");
  txtLoginName = new QLineEdit(this);
  txtLoginName->setObjectName("txtLoginName");
  txtLoginName->setToolTip("Mail account user name. Leave blank if not required.");
  txtPassword = new QLineEdit(this);
  txtPassword->setObjectName("txtPassword");
  txtPassword->setEchoMode(QLineEdit::Password);
  txtPassword->setToolTip("Mail account password. Leave blank if not required.");
  txtFromAddress = new QLineEdit(this);
  txtFromAddress->setObjectName("txtFromAddress");
  cbxSpelling = new QComboBox(this);
  cbxSpelling->setObjectName("cbxSpelling");
  cbxSpelling->addItem("None");
  cbxSpelling->addItems(composer::SpellChecker::Languages());
  cbxSpelling->setToolTip("The dictionary that checks the spelling as you type.");

  row(Label1, "SMTP S&erver:", txtSMTPServer, 60);
  row(Label2, "SMTP Server P&ort:", txtSMTPServerPort, 60 + kRow);
  row(Label6, "Sec&urity:", cbxSecurity, 60 + 2 * kRow);
  row(Label3, "&Login Name:", txtLoginName, 60 + 3 * kRow);
  row(Label4, "&Password:", txtPassword, 60 + 4 * kRow);
  row(Label5, "&From Address:", txtFromAddress, 60 + 5 * kRow);
  row(Label7, "Spe&lling:", cbxSpelling, 60 + 6 * kRow);

  cmdSave = new QPushButton("&Save", this);
  cmdSave->setObjectName("cmdSave");
  cmdSave->setDefault(true);
  cmdSave->setAutoDefault(true);
  PlaceTwips(cmdSave, 2460, 1920 + 2 * kRow, 1035, 375);
  cmdCancel = new QPushButton("&Cancel", this);
  cmdCancel->setObjectName("cmdCancel");
  cmdCancel->setAutoDefault(false);
  PlaceTwips(cmdCancel, 3600, 1920 + 2 * kRow, 1035, 375);
  connect(cmdSave, &QPushButton::clicked, this, &frmConfigure::cmdSave_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmConfigure::cmdCancel_Click);

  setTabOrder(txtSMTPServer, txtSMTPServerPort);
  setTabOrder(txtSMTPServerPort, cbxSecurity);
  setTabOrder(cbxSecurity, txtLoginName);
  setTabOrder(txtLoginName, txtPassword);
  setTabOrder(txtPassword, txtFromAddress);
  setTabOrder(txtFromAddress, cbxSpelling);
  setTabOrder(cbxSpelling, cmdSave);
  setTabOrder(cmdSave, cmdCancel);

  // The design's label column was measured for a smaller font: widen the window by what
  // the labels of the font in use need, so none is cut.
  int label_width = 0;
  for (QLabel* l : {Label1, Label2, Label6, Label3, Label4, Label5, Label7}) {
    label_width = std::max(label_width, l->sizeHint().width());
  }
  const int shift =
      std::max(0, Label1->x() + label_width + TwipsToPixelsX(60, this) - txtSMTPServer->x());
  const int field_left = txtSMTPServer->x() + shift;
  for (QLabel* l : {Label1, Label2, Label6, Label3, Label4, Label5, Label7}) {
    l->resize(field_left - l->x() - TwipsToPixelsX(30, this), l->height());
  }
  for (QWidget* w : std::initializer_list<QWidget*>{txtSMTPServer, txtSMTPServerPort, cbxSecurity,
                                                    txtLoginName, txtPassword, txtFromAddress,
                                                    cbxSpelling, cmdSave, cmdCancel}) {
    w->move(w->x() + shift, w->y());
  }
  setFixedSize(TwipsToPixelsX(kClientWidth, this) + shift,
               TwipsToPixelsY(kClientHeight + kRow, this));
  Form_Load();
}

void frmConfigure::Form_Load() {
  txtSMTPServer->setText(GetSetting(kKeyServer, ""));
  txtSMTPServerPort->setText(GetSetting(kKeyPort, ""));
  const int security =
      cbxSecurity->findText(GetSetting(kKeySecurity, "None"), Qt::MatchFixedString);
  cbxSecurity->setCurrentIndex(security < 0 ? 0 : security);
  txtLoginName->setText(GetSetting(kKeyUser, ""));
  txtPassword->setText(GetSetting(kKeyPassword, ""));
  txtFromAddress->setText(GetSetting(kKeyFromAddress, ""));
  const int spelling =
      cbxSpelling->findText(GetSetting(kKeySpelling, composer::SpellChecker::DefaultLanguage()));
  cbxSpelling->setCurrentIndex(spelling < 0 ? 0 : spelling);
  SaveSetting(kKeyConfigured, "True");
}

void frmConfigure::cmdSave_Click() {
  try {
    SaveSetting(kKeyServer, txtSMTPServer->text());
    SaveSetting(kKeyPort, txtSMTPServerPort->text());
    SaveSetting(kKeyUser, txtLoginName->text());
    SaveSetting(kKeyPassword, txtPassword->text());
    SaveSetting(kKeyFromAddress, txtFromAddress->text());
    SaveSetting(kKeyConfigured, "True");
    SaveSetting(kKeySecurity, cbxSecurity->currentText());
    SaveSetting(kKeySpelling, cbxSpelling->currentText());
  } catch (const std::exception& e) {
    // The window stays open so nothing typed is lost.
    ShowError(DescriptionOf(e), this);
    return;
  }
  accept();
}

void frmConfigure::cmdCancel_Click() {
  reject();
}
