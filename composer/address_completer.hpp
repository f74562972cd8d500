// Completion of the address fields from the addresses of earlier sends.
#pragma once

#include <QCompleter>
#include <QStringList>

class QLineEdit;
class QStringListModel;

namespace composer {

// Completes the entry being typed after the last "," or ";" of a list; the earlier entries
// stay as typed. Matches anywhere in a stored address, newest first.
class AddressCompleter : public QCompleter {
  Q_OBJECT

 public:
  explicit AddressCompleter(QObject* parent = nullptr);
  void SetAddresses(const QStringList& addresses);
  QStringList Addresses() const;

  QStringList splitPath(const QString& path) const override;
  QString pathFromIndex(const QModelIndex& index) const override;

 private:
  QStringListModel* model_;
};

// The addresses kept in the settings store, newest first.
QStringList RecentAddresses();
// Puts the entries of the lists in front of the kept ones (each once, at most 200 kept).
QStringList RememberAddresses(const QStringList& lists);

}  // namespace composer
