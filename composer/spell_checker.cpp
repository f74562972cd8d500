#include "spell_checker.hpp"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTextCharFormat>

#include <hunspell.h>

namespace composer {

SpellChecker::SpellChecker(QTextDocument* document) : QSyntaxHighlighter(document) {}

SpellChecker::~SpellChecker() {
  if (handle_) Hunspell_destroy(handle_);
}

QString SpellChecker::DefaultFolder() {
  return QStringLiteral("/usr/share/hunspell");
}

QString SpellChecker::DefaultLanguage() {
  const QStringList languages = Languages();
  const QString locale = QLocale().name();
  if (languages.contains(locale)) return locale;
  return languages.value(0);
}

QStringList SpellChecker::Languages(const QString& folder) {
  QStringList languages;
  for (const QFileInfo& dic : QDir(folder).entryInfoList({"*.dic"}, QDir::Files, QDir::Name)) {
    if (QFileInfo::exists(dic.path() + "/" + dic.completeBaseName() + ".aff")) {
      languages << dic.completeBaseName();
    }
  }
  return languages;
}

bool SpellChecker::SetLanguage(const QString& language, const QString& folder) {
  if (handle_) Hunspell_destroy(handle_);
  handle_ = nullptr;
  const QString base = folder + "/" + language;
  if (!language.isEmpty() && QFileInfo::exists(base + ".aff") && QFileInfo::exists(base + ".dic")) {
    handle_ = Hunspell_create(QFile::encodeName(base + ".aff").constData(),
                              QFile::encodeName(base + ".dic").constData());
    // Debian's dictionaries are UTF-8; another encoding would misread every word.
    if (handle_ && QByteArray(Hunspell_get_dic_encoding(handle_)) != "UTF-8") {
      Hunspell_destroy(handle_);
      handle_ = nullptr;
    }
  }
  rehighlight();
  return Active();
}

bool SpellChecker::IsCorrect(const QString& word) const {
  return !handle_ || Hunspell_spell(handle_, word.toUtf8().constData()) != 0;
}

QStringList SpellChecker::Suggestions(const QString& word) const {
  QStringList out;
  if (!handle_) return out;
  char** list = nullptr;
  const int n = Hunspell_suggest(handle_, &list, word.toUtf8().constData());
  for (int i = 0; i < n && i < 8; ++i) out << QString::fromUtf8(list[i]);
  Hunspell_free_list(handle_, &list, n);
  return out;
}

void SpellChecker::highlightBlock(const QString& text) {
  if (!handle_) return;
  static const QRegularExpression word(QStringLiteral(R"(\b[\p{L}][\p{L}']*\b)"));
  QTextCharFormat wrong;
  wrong.setUnderlineStyle(QTextCharFormat::SpellCheckUnderline);
  wrong.setUnderlineColor(Qt::red);
  for (auto it = word.globalMatch(text); it.hasNext();) {
    const auto m = it.next();
    if (!IsCorrect(m.captured())) setFormat(m.capturedStart(), m.capturedLength(), wrong);
  }
}

}  // namespace composer
