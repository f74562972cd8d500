// frmAttachments: the modal window that lists the attached files and removes some.
#pragma once

#include <QDialog>

class QListWidget;
class QPushButton;
class frmSendMail;

class frmAttachments : public QDialog {
  Q_OBJECT

 public:
  explicit frmAttachments(frmSendMail* owner);

  void cmdRemove_Click();
  void cmdClose_Click();
  // The buttons keep to the bottom right corner; the list takes the rest.
  void Form_Resize();

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Form_Load();

  QListWidget* lstAttachments;
  QPushButton* cmdRemove;
  QPushButton* cmdClose;

  frmSendMail* owner_;
};
