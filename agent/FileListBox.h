#pragma once
// The file-list control of the agent: point it at a folder, set a pattern, refresh, then read
// the count and the entries (names without the folder).
#include <QString>
#include <QStringList>

namespace agent {

class FileListBox {
 public:
  QString Path;
  // One or more patterns separated by ";" ("*.INF", "*.TXT;*.CSV"); matched without regard to
  // letter case. Empty matches every name.
  QString Pattern;
  // Files changed less than this many milliseconds ago (by the system clock) are left out: the
  // program feeding the folder may still be writing them. 0 keeps every file.
  qint64 MinAgeMs = 0;

  // Lists the regular, non-hidden files of Path whose names match, sorted by name. A folder
  // that cannot be listed gives an empty list.
  void Refresh();
  int ListCount() const { return static_cast<int>(entries_.size()); }
  QString List(int index) const { return entries_.value(index); }
  const QStringList& Entries() const { return entries_; }

 private:
  QStringList entries_;
};

}  // namespace agent
