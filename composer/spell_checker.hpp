// Spell checking as you type with Debian's hunspell dictionaries: misspelt words are
// underlined, and the editor's context menu offers suggestions.
#pragma once

#include <QString>
#include <QStringList>
#include <QSyntaxHighlighter>

#include <memory>

struct Hunhandle;

namespace composer {

class SpellChecker : public QSyntaxHighlighter {
  Q_OBJECT

 public:
  explicit SpellChecker(QTextDocument* document);
  ~SpellChecker() override;

  // The languages with a dictionary in the folder (the names of its .dic files: "en_US").
  static QStringList Languages(const QString& folder = DefaultFolder());
  static QString DefaultFolder();
  // The dictionary of the user's locale when there is one, else the first, else "".
  static QString DefaultLanguage();
  // Loads the language's dictionary; "" or a missing dictionary turns checking off.
  // Returns whether checking is on.
  bool SetLanguage(const QString& language, const QString& folder = DefaultFolder());
  bool Active() const { return handle_ != nullptr; }

  bool IsCorrect(const QString& word) const;
  QStringList Suggestions(const QString& word) const;

 protected:
  void highlightBlock(const QString& text) override;

 private:
  Hunhandle* handle_ = nullptr;
};

}  // namespace composer
