// The modal dialogs of the composer behind one seam, so tests can answer them.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

class QDialog;
class QTextDocument;
class QWidget;

namespace composer {

// Answers of a message box, numbered as the automation runtime numbers them.
enum MsgBoxResult { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };
enum class MsgBoxButtons { OkOnly, YesNo, YesNoCancel };
enum class MsgBoxIcon { Critical, Question, Information };

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  virtual int MessageBox(QWidget* parent, const QString& text, const QString& title,
                         MsgBoxButtons buttons, MsgBoxIcon icon);
  // Full paths of the chosen existing files, in the dialog's order; empty on cancel.
  virtual QStringList OpenFileNames(QWidget* parent, const QString& title, const QString& folder,
                                    const QString& filter);
  // One existing file, or empty on cancel.
  virtual QString OpenFileName(QWidget* parent, const QString& title, const QString& proposed,
                               const QString& filter);
  // A file to write, or empty on cancel.
  virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& proposed,
                               const QString& filter);
  virtual std::optional<QColor> Color(QWidget* parent, const QColor& initial, const QString& title);
  virtual std::optional<QFont> Font(QWidget* parent, const QFont& initial);
  // A line of text, or nothing on cancel.
  virtual std::optional<QString> Text(QWidget* parent, const QString& title, const QString& label,
                                      const QString& initial);
  // The text and address of a link, through Exec; nothing on cancel.
  virtual std::optional<std::pair<QString, QString>> Link(QWidget* parent, const QString& text,
                                                          const QString& url);
  // Prints through the print dialog; false when the user cancels.
  virtual bool Print(QWidget* parent, QTextDocument* document);
  // Shows a window modally and returns its result.
  virtual int Exec(QDialog& dialog);
};

// The dialogs in use (the real ones unless a test installed others).
Dialogs& CurrentDialogs();
void SetDialogs(std::shared_ptr<Dialogs> dialogs);

}  // namespace composer
