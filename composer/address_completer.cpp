#include "address_completer.hpp"

#include <QLineEdit>
#include <QStringListModel>

#include "mod_email.hpp"
#include "outgoing.hpp"

namespace composer {

namespace {
constexpr const char* kKeyRecent = "Recent Addresses";
constexpr int kKept = 200;

// The text before the entry being typed, with the separator that ends it.
QString Head(const QString& text) {
  const qsizetype cut = std::max(text.lastIndexOf(u','), text.lastIndexOf(u';'));
  return cut < 0 ? QString() : text.left(cut + 1) + " ";
}
}  // namespace

AddressCompleter::AddressCompleter(QObject* parent)
    : QCompleter(parent), model_(new QStringListModel(this)) {
  setModel(model_);
  setCaseSensitivity(Qt::CaseInsensitive);
  setFilterMode(Qt::MatchContains);
  setModelSorting(QCompleter::UnsortedModel);
}

void AddressCompleter::SetAddresses(const QStringList& addresses) {
  model_->setStringList(addresses);
}

QStringList AddressCompleter::Addresses() const {
  return model_->stringList();
}

QStringList AddressCompleter::splitPath(const QString& path) const {
  return {path.mid(Head(path).size()).trimmed()};
}

QString AddressCompleter::pathFromIndex(const QModelIndex& index) const {
  const auto* box = qobject_cast<const QLineEdit*>(widget());
  return (box ? Head(box->text()).trimmed() + (Head(box->text()).isEmpty() ? "" : " ") : "") +
         QCompleter::pathFromIndex(index);
}

QStringList RecentAddresses() {
  return modEmail::GetSetting(kKeyRecent, "").split(u'\n', Qt::SkipEmptyParts);
}

QStringList RememberAddresses(const QStringList& lists) {
  QStringList fresh;
  for (const QString& list : lists) fresh += SplitAddresses(list);
  QStringList kept;
  for (const QString& a : fresh + RecentAddresses()) {
    if (!kept.contains(a, Qt::CaseInsensitive) && kept.size() < kKept) kept << a;
  }
  modEmail::SaveSetting(kKeyRecent, kept.join(u'\n'));
  return kept;
}

}  // namespace composer
