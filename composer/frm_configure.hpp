// frmConfigure: the modal window that edits the stored mail-server settings.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class frmConfigure : public QDialog {
  Q_OBJECT

 public:
  // Loads the settings into the boxes and marks the settings configured.
  explicit frmConfigure(QWidget* owner);

  void cmdSave_Click();
  void cmdCancel_Click();

 private:
  void Form_Load();

  QLabel* Label1;
  QLineEdit* txtSMTPServer;
  QLabel* Label2;
  QLineEdit* txtSMTPServerPort;
  QLabel* Label6;
  QComboBox* cbxSecurity;
  QLabel* Label3;
  QLineEdit* txtLoginName;
  QLabel* Label4;
  QLineEdit* txtPassword;
  QLabel* Label5;
  QLineEdit* txtFromAddress;
  QLabel* Label7;
  QComboBox* cbxSpelling;
  QPushButton* cmdSave;
  QPushButton* cmdCancel;
};
