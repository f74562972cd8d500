// The composer's one SendMail and the state of its send: starts and stops it, and turns the
// library's events into progress and one result per send.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include <postwing/postwing.hpp>

namespace composer {

// Attaches a file under its own name; two files of the same name can go together (each is
// keyed by its path). Raises what the library raises, a missing file named in its text.
void AttachFile(postwing::Attachments& attachments, const QString& path);

class SendController : public QObject {
  Q_OBJECT

 public:
  explicit SendController(QObject* parent = nullptr);
  ~SendController() override;

  std::shared_ptr<postwing::SendMail> Mail() const { return mail_; }
  bool Sending() const { return sending_; }

  // Sends what Mail() holds. Errors of the call itself are raised (no signal follows).
  void Start();
  // Stops the send in progress; the result follows as for any send that ends.
  void Stop();
  // Empties the SendMail after a send but keeps its attached files (not the pictures of
  // the body, which each send makes again); returns "path: reason" lines for files that
  // could not be attached again.
  QString ResetKeepingFiles();

 signals:
  // Never goes back within one send.
  void Progress(int percent, qint64 bytesSent);
  // A failure the library reported; connectionGone when no completion follows it.
  void Failed(const QString& description, bool connectionGone);
  // The send ended; delivered when the server accepted the message.
  void Finished(bool delivered);

 private:
  void OnProgress(int32_t sent, int32_t remaining);

  std::shared_ptr<postwing::SendMail> mail_;
  std::vector<postwing::Connection> connections_;
  bool sending_ = false;
  bool used_ = false;
  int64_t runTotal_ = 0;
  int64_t runSent_ = 0;
  int64_t bytes_ = 0;
  int percent_ = 0;
};

}  // namespace composer
