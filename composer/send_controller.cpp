#include "send_controller.hpp"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

#include "mod_email.hpp"

namespace composer {

void AttachFile(postwing::Attachments& attachments, const QString& path) {
  const QFileInfo info(path);
  if (!info.isFile()) {
    throw postwing::Exception(53, "composer", "the file does not exist or is not a file");
  }
  if (!info.isReadable()) throw postwing::Exception(70, "composer", "the file cannot be read");
  const std::string name = QFile::encodeName(info.fileName()).toStdString();
  const std::string full = QFile::encodeName(info.absoluteFilePath()).toStdString();
  for (const auto& a : attachments) {
    if (!a->Inline() && a->Source().ToString() == full) {
      throw postwing::Exception(457, "composer", "the file is already attached");
    }
  }
  try {
    attachments.Add(full, name);
    return;
  } catch (const postwing::Exception& e) {
    if (e.Number() != 457) throw;
  }
  // Another file has this name: this one is keyed by its path and sent under its name.
  auto a = attachments.Add(full, full);
  a->SetFileName(name);
  for (const auto& [field, parameter] :
       {std::pair{"Content-Type", "name"}, {"Content-Disposition", "filename"}}) {
    if (a->Values()->Exists(postwing::Variant(field))) {
      a->Values()->Item(field)->SubValues()->LetValue(name, parameter);
    }
  }
}

SendController::SendController(QObject* parent)
    : QObject(parent), mail_(postwing::SendMail::Create()) {
  connections_.push_back(mail_->OnSendProgress(
      [this](int32_t& sent, int32_t& remaining) { OnProgress(sent, remaining); }));
  connections_.push_back(mail_->OnWinsockError(
      [this](int32_t&, std::string&, std::string& description, std::string&, int32_t&) {
        sending_ = false;
        auto socket = mail_->Winsock();
        emit Failed(QString::fromStdString(description),
                    !socket || socket->State() != postwing::TcpClient::sckConnected);
      }));
  connections_.push_back(mail_->OnSendComplete([this] {
    sending_ = false;
    emit Finished(mail_->Result().accepted);
  }));
}

SendController::~SendController() {
  for (auto& c : connections_) c.Disconnect();
}

void SendController::OnProgress(int32_t sent, int32_t remaining) {
  bytes_ += sent;
  // The library reports runs (one per part written); each run's share is its own, so the
  // percentage shown only ever grows.
  if (remaining != 0) {
    if (runTotal_ == 0) runTotal_ = int64_t{sent} + remaining;
    runSent_ += sent;
    const double ratio = static_cast<double>(runSent_) / static_cast<double>(runTotal_);
    percent_ = std::max(percent_, static_cast<int>(std::nearbyint(ratio * 100.0)));
  } else {
    runTotal_ = runSent_ = 0;
  }
  emit Progress(percent_, bytes_);
}

void SendController::Start() {
  runTotal_ = runSent_ = bytes_ = 0;
  percent_ = 0;
  sending_ = used_ = true;
  try {
    mail_->Send();
  } catch (...) {
    sending_ = false;
    throw;
  }
}

void SendController::Stop() {
  if (sending_) mail_->Cancel();
}

QString SendController::ResetKeepingFiles() {
  std::vector<std::string> sources;
  for (const auto& attachment : *mail_->Attachments()) {
    if (!attachment->Inline()) sources.push_back(attachment->Source().ToString());
  }
  mail_->Clear();
  used_ = false;
  QString failures;
  for (const auto& source : sources) {
    try {
      AttachFile(*mail_->Attachments(), QFile::decodeName(source.c_str()));
    } catch (const std::exception& e) {
      failures += QFile::decodeName(source.c_str()) + ": " + modEmail::DescriptionOf(e) + "\n";
    }
  }
  return failures;
}

}  // namespace composer
