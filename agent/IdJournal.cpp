#include "IdJournal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <utility>

namespace agent {

// {"<profile>": {"ids": {"<id>": <first fetched>, ...}, "placing": [[temp, target, replace], ...]}}
void IdJournal::Load() {
  const QJsonObject all = file_.ReadOnce();
  for (auto p = all.begin(); p != all.end(); ++p) {
    Profile& to = profiles_[p.key()];
    const QJsonObject ids = p.value().toObject().value(QLatin1String("ids")).toObject();
    for (auto it = ids.begin(); it != ids.end(); ++it)
      if (it.value().isDouble()) to.fetched.insert(it.key().toLatin1(), qint64(it.value().toDouble()));
    for (const QJsonValue v : p.value().toObject().value(QLatin1String("placing")).toArray()) {
      const QJsonArray f = v.toArray();
      if (f.size() == 3) to.placing.append({f[0].toString(), f[1].toString(), f[2].toBool()});
    }
  }
}

bool IdJournal::Write() {
  QJsonObject all;
  for (auto p = profiles_.cbegin(); p != profiles_.cend(); ++p) {
    if (p->fetched.isEmpty() && p->placing.isEmpty()) continue;
    QJsonObject ids;
    for (auto it = p->fetched.cbegin(); it != p->fetched.cend(); ++it) ids.insert(QString::fromLatin1(it.key()), it.value());
    QJsonArray placing;
    for (const StagedFile& f : p->placing) placing.append(QJsonArray{f.temp, f.target, f.replace});
    all.insert(p.key(), QJsonObject{{QStringLiteral("ids"), ids}, {QStringLiteral("placing"), placing}});
  }
  return file_.Write(all);
}

qint64 IdJournal::FetchedAt(const QString& profile, const QByteArray& id) {
  Load();
  return profiles_.value(profile).fetched.value(id, -1);
}

bool IdJournal::Record(const QString& profile, const QByteArray& id, qint64 when, const QList<StagedFile>& files) {
  Load();
  Profile& p = profiles_[profile];
  const Profile before = p;
  p.fetched.insert(id, when);
  p.placing = files;
  if (Write()) return true;
  profiles_[profile] = before;
  return false;
}

void IdJournal::Placed(const QString& profile) {
  Load();
  if (profiles_.contains(profile)) profiles_[profile].placing.clear();
}

void IdJournal::KeepOnly(const QString& profile, const std::vector<QByteArray>& onServer) {
  Load();
  if (!profiles_.contains(profile)) return;
  const QSet<QByteArray> listed(onServer.begin(), onServer.end());
  QHash<QByteArray, qint64>& fetched = profiles_[profile].fetched;
  const qsizetype before = fetched.size();
  fetched.removeIf([&](const auto& it) { return !listed.contains(it.key()); });
  if (fetched.size() != before) Write();
}

QList<StagedFile> IdJournal::Unplaced() {
  Load();
  QList<StagedFile> all;
  for (const Profile& p : std::as_const(profiles_)) all += p.placing;
  return all;
}

void IdJournal::AllPlaced() {
  Load();
  for (Profile& p : profiles_) p.placing.clear();
  Write();
}

QString IdJournal::TakeWriteError() { return file_.TakeWriteError(); }

}  // namespace agent
