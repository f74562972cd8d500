// The isolated home of the composer's test suites: settings, drafts and temporary files
// of a run never touch the user's.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace composer_test {

// A fresh private folder for the whole run, removed at its end.
inline QString HomeRoot() {
  static QTemporaryDir home(QDir::tempPath() + "/composer-test-XXXXXX");
  return home.path();
}

// Points the XDG folders and TMPDIR into that folder, so a test never reads or writes the
// user's settings. Call before the application exists.
inline void IsolateHome() {
  for (const char* name : {"config", "data", "tmp", "runtime"}) {
    QDir().mkpath(HomeRoot() + "/" + name);
  }
  QFile::setPermissions(HomeRoot() + "/runtime",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(HomeRoot() + "/config"));
  qputenv("XDG_DATA_HOME", QFile::encodeName(HomeRoot() + "/data"));
  qputenv("TMPDIR", QFile::encodeName(HomeRoot() + "/tmp"));
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(HomeRoot() + "/runtime"));
}

// Writes a file at a path below the test's home; returns its full path.
inline QString WriteFile(const QString& path, const QByteArray& data) {
  QFile f(HomeRoot() + "/" + path);
  QDir().mkpath(QFileInfo(f).path());
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) qFatal("cannot write a file");
  return f.fileName();
}

}  // namespace composer_test
