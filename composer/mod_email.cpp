#include "mod_email.hpp"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <postwing/exception.hpp>

#include "dialogs.hpp"

namespace modEmail {

namespace {

bool IsSeparator(QChar c) {
  return c == u'/' || c == u'\\';
}

qsizetype LastSeparator(const QString& path) {
  for (qsizetype i = path.size() - 1; i >= 0; --i) {
    if (IsSeparator(path[i])) return i;
  }
  return -1;
}

[[noreturn]] void RaiseRuntime(int32_t number, const char* description) {
  throw postwing::Exception(number, "composer", description);
}

// Makes the folder (and its parents) exist; a folder we create is private to the user.
void EnsurePrivateFolder(const QString& folder) {
  if (QDir(folder).exists()) return;
  if (!QDir().mkpath(folder)) {
    throw postwing::Exception(
        errno ? errno : EACCES, "composer",
        "The settings folder " + folder.toStdString() + " cannot be created.");
  }
  ::chmod(QFile::encodeName(folder).constData(), 0700);
}

// Creates the settings file with mode 0600 before anything is written to it, and keeps
// an existing file at that mode, so the password never becomes readable by others.
void EnsurePrivateFile(const QString& file) {
  const QByteArray name = QFile::encodeName(file);
  int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    int error = errno;
    throw postwing::Exception(
        error, "composer",
        "The settings file " + file.toStdString() + " cannot be written: " + std::strerror(error));
  }
  ::fchmod(fd, 0600);
  ::close(fd);
}

}  // namespace

QString AddBackslash(const QString& path) {
  if (!path.isEmpty() && IsSeparator(path.back())) return path;
  return path + u'/';
}

QString FileNamePart(const QString& path) {
  qsizetype k = LastSeparator(path);
  QString name;
  if (k >= 0) name = (path + u' ').mid(k + 1).trimmed();
  qsizetype colon = name.lastIndexOf(u':');
  if (colon >= 0) name = (name + u' ').mid(colon + 1).trimmed();
  return name;
}

QString FolderPart(const QString& path) {
  qsizetype k = LastSeparator(path);
  if (k < 0) return {};
  return path.left(k + 1).trimmed();
}

QString ColorToHtml(int32_t colour) {
  const uint32_t c = static_cast<uint32_t>(colour);
  auto hex = [](uint32_t v) { return PadLeft(QString::number(v & 255u, 16).toUpper(), 2, "0"); };
  return hex(c) + hex(c >> 8) + hex(c >> 16);
}

QString PadLeft(const QString& s, int32_t width, const QString& pad) {
  const qsizetype count = static_cast<qsizetype>(width) - s.size();
  if (count < 0 || (count > 0 && pad.isEmpty())) {
    RaiseRuntime(5, "Invalid procedure call or argument");
  }
  return QString(count, count > 0 ? pad[0] : u' ') + s;
}

void ShowError(const QString& message, QWidget* parent) {
  SetMousePointer(MousePointer::Default);
  composer::CurrentDialogs().MessageBox(parent, message, "Error Message",
                                        composer::MsgBoxButtons::OkOnly,
                                        composer::MsgBoxIcon::Critical);
}

QString TempPath() {
  const char* dir = std::getenv("TMPDIR");
  QString path = (dir && *dir) ? QFile::decodeName(dir) : QStringLiteral("/tmp");
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    int error = errno ? errno : ENOTDIR;
    throw postwing::Exception(error, "postWing", "Error determining TempPath");
  }
  if (!path.endsWith(u'/')) path += u'/';
  return path;
}

QString TempFileName() {
  QByteArray name = QFile::encodeName(TempPath() + "~pwXXXXXX");
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    throw postwing::Exception(errno, "postWing", "Error determining TempFileName");
  }
  ::close(fd);
  return QFile::decodeName(name);
}

QString DataFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/composer";
}

QString DraftsFolder() {
  return DataFolder() + "/drafts";
}

QString SettingsFileName() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/composer/composer.conf";
}

QString GetSetting(const QString& key, const QString& def) {
  QSettings settings(SettingsFileName(), QSettings::IniFormat);
  settings.beginGroup(kSection);
  return settings.value(key, def).toString();
}

void SaveSetting(const QString& key, const QString& value) {
  const QString file = SettingsFileName();
  EnsurePrivateFolder(FolderPart(file));
  EnsurePrivateFile(file);
  {
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(kSection);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
      throw postwing::Exception(75, "composer",
                                "The settings file " + file.toStdString() + " cannot be written.");
    }
  }
  ::chmod(QFile::encodeName(file).constData(), 0600);
}

bool TextToBoolean(const QString& text) {
  const QString t = text.trimmed();
  if (t.compare("True", Qt::CaseInsensitive) == 0) return true;
  if (t.compare("False", Qt::CaseInsensitive) == 0) return false;
  bool ok = false;
  double number = t.toDouble(&ok);
  if (!ok) RaiseRuntime(13, "Type mismatch");
  return number != 0.0;
}

int32_t LeadingNumberToLong(const QString& text) {
  const QString t = text.trimmed();
  qsizetype i = 0;
  QString digits;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) digits += t[i++];
  bool any = false;
  while (i < t.size() && t[i].isDigit()) digits += t[i++], any = true;
  if (i < t.size() && t[i] == u'.') {
    digits += t[i++];
    while (i < t.size() && t[i].isDigit()) digits += t[i++], any = true;
  }
  if (!any) return 0;
  if (i < t.size() && (t[i] == u'e' || t[i] == u'E')) {
    QString exponent = "e";
    qsizetype j = i + 1;
    if (j < t.size() && (t[j] == u'+' || t[j] == u'-')) exponent += t[j++];
    bool exp_digits = false;
    while (j < t.size() && t[j].isDigit()) exponent += t[j++], exp_digits = true;
    if (exp_digits) digits += exponent;
  }
  const double value = std::nearbyint(digits.toDouble());  // the default mode rounds halves to even
  if (!(value >= -2147483648.0 && value <= 2147483647.0)) RaiseRuntime(6, "Overflow");
  return static_cast<int32_t>(value);
}

postwing::SecurityTypes SecurityFromText(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty() || t.compare("None", Qt::CaseInsensitive) == 0 || t == "0") {
    return postwing::emxNoSecurity;
  }
  if (t.compare("STARTTLS", Qt::CaseInsensitive) == 0 || t == "1") return postwing::emxStartTLS;
  if (t.compare("TLS", Qt::CaseInsensitive) == 0 || t == "2") return postwing::emxImplicitTLS;
  throw postwing::Exception(13, "composer",
                            "The stored setting \"Security\" is \"" + t.toStdString() +
                                "\"; it must be None, STARTTLS or TLS. Open the "
                                "configuration window and choose one.");
}

int TwipsToPixelsX(int twips, const QWidget* widget) {
  return static_cast<int>(std::lround(twips * widget->logicalDpiX() / 1440.0));
}

int TwipsToPixelsY(int twips, const QWidget* widget) {
  return static_cast<int>(std::lround(twips * widget->logicalDpiY() / 1440.0));
}

int PixelsToTwipsX(int pixels, const QWidget* widget) {
  return static_cast<int>(std::lround(pixels * 1440.0 / widget->logicalDpiX()));
}

int PixelsToTwipsY(int pixels, const QWidget* widget) {
  return static_cast<int>(std::lround(pixels * 1440.0 / widget->logicalDpiY()));
}

void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(TwipsToPixelsX(left, widget), TwipsToPixelsY(top, widget),
                      TwipsToPixelsX(width, widget), TwipsToPixelsY(height, widget));
}

void SetMousePointer(MousePointer pointer) {
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  switch (pointer) {
    case MousePointer::Default:
      break;
    case MousePointer::Hourglass:
      QApplication::setOverrideCursor(Qt::WaitCursor);
      break;
    case MousePointer::ArrowHourglass:
      QApplication::setOverrideCursor(Qt::BusyCursor);
      break;
  }
}

QString DescriptionOf(const std::exception& error) {
  if (auto* e = dynamic_cast<const postwing::Exception*>(&error)) {
    return QString::fromStdString(e->Description());
  }
  return QString::fromUtf8(error.what());
}

}  // namespace modEmail
