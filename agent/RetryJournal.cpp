#include "RetryJournal.h"

#include <QFileInfo>
#include <QJsonObject>
#include <iterator>

namespace agent {

void RetryJournal::Load() {
  // An unreadable journal only costs the files their waiting time so far.
  const QJsonObject entries = file_.ReadOnce();
  for (auto it = entries.begin(); it != entries.end(); ++it)
    if (it.value().isDouble() && QFileInfo::exists(it.key())) first_.insert(it.key(), qint64(it.value().toDouble()));
}

void RetryJournal::Write() {
  for (auto it = first_.begin(); it != first_.end();) it = QFileInfo::exists(it.key()) ? std::next(it) : first_.erase(it);
  QJsonObject entries;
  for (auto it = first_.cbegin(); it != first_.cend(); ++it) entries.insert(it.key(), it.value());
  file_.Write(entries);
}

qint64 RetryJournal::FailedFor(const QString& path, const QDateTime& now) {
  Load();
  const qint64 t = now.toSecsSinceEpoch();
  const auto it = first_.constFind(path);
  if (it != first_.cend()) return t - *it;
  first_.insert(path, t);
  Write();
  return 0;
}

void RetryJournal::Forget(const QString& path) {
  Load();
  if (first_.remove(path)) Write();
}

QString RetryJournal::TakeWriteError() { return file_.TakeWriteError(); }

}  // namespace agent
