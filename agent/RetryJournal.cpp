#include "RetryJournal.h"

#include <QFileInfo>
#include <QJsonObject>
#include <iterator>

#include "Fleet.h"

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
  const qint64 t = now.toSecsSinceEpoch();
  if (fleet_) {
    // The first failure stays whoever failed first; unreadable, the file waits from now.
    const auto r = !fleet_->Db().Open() ? std::nullopt : fleet_->Db().Exec(
        "INSERT INTO vrl_retry (path, first) VALUES ($1, $2) ON CONFLICT (path) DO UPDATE SET path = EXCLUDED.path "
        "RETURNING first",
        {path.toUtf8(), QByteArray::number(t)});
    if (!r || r->empty()) {
      fleetError_ = QStringLiteral("Fleet Database - ") + fleet_->Db().Error();
      return 0;
    }
    return t - r->front().value(0).toLongLong();
  }
  Load();
  const auto it = first_.constFind(path);
  if (it != first_.cend()) return t - *it;
  first_.insert(path, t);
  Write();
  return 0;
}

void RetryJournal::Forget(const QString& path) {
  if (fleet_) {
    if (!fleet_->Db().Open() || !fleet_->Db().Exec("DELETE FROM vrl_retry WHERE path = $1", {path.toUtf8()}))
      fleetError_ = QStringLiteral("Fleet Database - ") + fleet_->Db().Error();
    return;
  }
  Load();
  if (first_.remove(path)) Write();
}

QString RetryJournal::TakeWriteError() {
  if (fleet_) return std::exchange(fleetError_, {});
  return file_.TakeWriteError();
}

}  // namespace agent
