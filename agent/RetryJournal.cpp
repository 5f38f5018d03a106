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

void RetryJournal::UseFleet(Fleet* fleet, const QString& folder) {
  fleet_ = fleet;
  if (!fleet_) return;
  first_.clear();
  const QString prefix = folder + QLatin1Char('/');
  const auto rows = !fleet_->Reachable() ? std::nullopt
                                         : fleet_->Db().Exec(
                                               "SELECT path, first FROM vrl_retry WHERE left(path, length($1)) = $1 "
                                               "LIMIT 100000",
                                               {prefix.toUtf8()});
  fleetRead_ = rows.has_value();
  if (rows)
    for (const fleet::Row& r : *rows) first_.insert(QString::fromUtf8(r.value(0)), r.value(1).toLongLong());
}

qint64 RetryJournal::FailedFor(const QString& path, const QDateTime& now) {
  const qint64 t = now.toSecsSinceEpoch();
  if (fleet_) {
    if (const auto it = first_.constFind(path); it != first_.cend()) return t - *it;
    // The first failure stays whoever failed first; unreadable, the file waits from now.
    const auto r = !fleet_->Reachable() ? std::nullopt : fleet_->Db().Exec(
        "INSERT INTO vrl_retry (path, first) VALUES ($1, $2) ON CONFLICT (path) DO UPDATE SET path = EXCLUDED.path "
        "RETURNING first",
        {path.toUtf8(), QByteArray::number(t)});
    if (!r || r->empty()) {
      if (!fleet_->Down()) fleetError_ = QStringLiteral("Fleet Database - ") + fleet_->Db().Error();
      return 0;
    }
    first_.insert(path, r->front().value(0).toLongLong());
    return t - first_.value(path);
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
    // A file sent at its first try has no entry: no round trip for it.
    if (!first_.remove(path) && fleetRead_) return;
    if ((!fleet_->Reachable() || !fleet_->Db().Exec("DELETE FROM vrl_retry WHERE path = $1", {path.toUtf8()})) &&
        !fleet_->Down())
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
