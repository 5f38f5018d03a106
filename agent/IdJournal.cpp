#include "IdJournal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <utility>

namespace agent {
namespace {

const QString kPop3 = QStringLiteral("pop3:");
const QString kMaildir = QStringLiteral("maildir:");

bool IsMailboxKey(const QString& key) { return key.startsWith(kPop3) || key.startsWith(kMaildir); }

}  // namespace

QString IdJournal::Pop3Mailbox(const QString& user, const QString& host, quint16 port) {
  return kPop3 + user + QLatin1Char('@') + host.trimmed().toLower() + QLatin1Char(':') + QString::number(port);
}

QString IdJournal::MaildirMailbox(const QString& path) { return kMaildir + path; }

// {"<mailbox>": {"ids": {"<id>": <first fetched>, ...},
//                "placing": {"id": "<id>", "files": [[temp, target, "<inode>"], ...]}}}
// Older journals are keyed by profile name and list "placing" as [[temp, target, replace], ...].
void IdJournal::Load() {
  const QJsonObject all = file_.ReadOnce();
  const QString damaged = file_.TakeReadError();
  if (!damaged.isEmpty()) errors_ << QStringLiteral("Damaged File Set Aside: ") + damaged;
  for (auto m = all.begin(); m != all.end(); ++m) {
    Mailbox& to = mailboxes_[m.key()];
    const QJsonObject entry = m.value().toObject();
    const QJsonObject ids = entry.value(QLatin1String("ids")).toObject();
    for (auto it = ids.begin(); it != ids.end(); ++it)
      if (it.value().isDouble()) to.fetched.insert(it.key().toLatin1(), qint64(it.value().toDouble()));
    const QJsonValue placing = entry.value(QLatin1String("placing"));
    const QJsonArray files =
        placing.isObject() ? placing.toObject().value(QLatin1String("files")).toArray() : placing.toArray();
    to.placingId = placing.toObject().value(QLatin1String("id")).toString().toLatin1();
    for (const QJsonValue v : files) {
      const QJsonArray f = v.toArray();
      if (f.size() == 3) to.placing.append({f[0].toString(), f[1].toString(), f[2].toString().toULongLong()});
    }
  }
}

bool IdJournal::Write(bool flush) {
  QJsonObject all;
  for (auto m = mailboxes_.cbegin(); m != mailboxes_.cend(); ++m) {
    if (m->fetched.isEmpty() && m->placing.isEmpty()) continue;
    QJsonObject ids;
    for (auto it = m->fetched.cbegin(); it != m->fetched.cend(); ++it) ids.insert(QString::fromLatin1(it.key()), it.value());
    QJsonObject entry{{QStringLiteral("ids"), ids}};
    if (!m->placing.isEmpty()) {
      QJsonArray files;
      for (const delivery::StagedFile& f : m->placing)
        files.append(QJsonArray{f.temp, f.target, QString::number(f.inode)});
      entry.insert(QStringLiteral("placing"),
                   QJsonObject{{QStringLiteral("id"), QString::fromLatin1(m->placingId)}, {QStringLiteral("files"), files}});
    }
    all.insert(m.key(), entry);
  }
  if (file_.Write(all, true, flush)) return true;
  errors_ << QStringLiteral("Cannot Write The File: ") + file_.TakeWriteError();
  return false;
}

void IdJournal::Migrate(const QString& profile, const QString& mailbox) {
  Load();
  if (profile == mailbox || IsMailboxKey(profile) || !mailboxes_.contains(profile)) return;
  const Mailbox old = mailboxes_.take(profile);
  Mailbox& to = mailboxes_[mailbox];
  for (auto it = old.fetched.cbegin(); it != old.fetched.cend(); ++it)
    if (!to.fetched.contains(it.key())) to.fetched.insert(it.key(), it.value());
  if (to.placing.isEmpty()) {
    to.placing = old.placing;
    to.placingId = old.placingId;
  }
  Write();
}

qint64 IdJournal::FetchedAt(const QString& mailbox, const QByteArray& id) {
  Load();
  return mailboxes_.value(mailbox).fetched.value(id, -1);
}

bool IdJournal::Record(const QString& mailbox, const QByteArray& id, qint64 when,
                       const QList<delivery::StagedFile>& files) {
  Load();
  Mailbox& m = mailboxes_[mailbox];
  const Mailbox before = m;
  m.fetched.insert(id, when);
  m.placing = files;
  m.placingId = id;
  if (Write()) return true;
  mailboxes_[mailbox] = before;
  return false;
}

void IdJournal::Placed(const QString& mailbox) {
  Load();
  if (!mailboxes_.contains(mailbox) || mailboxes_[mailbox].placing.isEmpty()) return;
  mailboxes_[mailbox].placing.clear();
  mailboxes_[mailbox].placingId.clear();
  // Not flushed: lost in a crash, the entry is finished again from the files themselves.
  Write(false);
}

void IdJournal::Withdraw(const QString& mailbox) {
  Load();
  if (!mailboxes_.contains(mailbox)) return;
  Mailbox& m = mailboxes_[mailbox];
  m.fetched.remove(m.placingId);
  m.placing.clear();
  m.placingId.clear();
  Write();
}

void IdJournal::Forget(const QString& mailbox, const QList<QByteArray>& ids) {
  Load();
  if (ids.isEmpty() || !mailboxes_.contains(mailbox)) return;
  QHash<QByteArray, qint64>& fetched = mailboxes_[mailbox].fetched;
  const qsizetype before = fetched.size();
  for (const QByteArray& id : ids) fetched.remove(id);
  if (fetched.size() != before) Write(false);
}

void IdJournal::KeepOnly(const QString& mailbox, const std::vector<QByteArray>& onServer) {
  Load();
  if (!mailboxes_.contains(mailbox)) return;
  const QSet<QByteArray> listed(onServer.begin(), onServer.end());
  Mailbox& m = mailboxes_[mailbox];
  const qsizetype before = m.fetched.size();
  // The message still waiting to be put in place keeps its id until that is settled.
  m.fetched.removeIf([&](const auto& it) { return !listed.contains(it.key()) && it.key() != m.placingId; });
  if (m.fetched.size() != before) Write(false);
}

bool IdJournal::FinishPlacing(const QString& mailbox) {
  Load();
  if (!mailboxes_.contains(mailbox) || mailboxes_[mailbox].placing.isEmpty()) return true;
  Mailbox& m = mailboxes_[mailbox];
  QString error;
  switch (delivery::FinishPlacing(m.placing, &error)) {
    case delivery::Finish::Failed:
      errors_ << QStringLiteral("Cannot Create The File: ") + error;
      return false;
    case delivery::Finish::Gone:
      errors_ << QStringLiteral("Files Removed Before They Were In Place, Message Fetched Again: ") +
                     QString::fromLatin1(m.placingId);
      // An older journal did not say which message it was placing: none of its ids can vouch.
      if (m.placingId.isEmpty()) m.fetched.clear();
      else m.fetched.remove(m.placingId);
      break;
    case delivery::Finish::Placed:
      break;
  }
  m.placing.clear();
  m.placingId.clear();
  // Flushed: a gone message must not count as taken after a crash.
  return Write();
}

QSet<QString> IdJournal::WaitingTemporaries() {
  Load();
  QSet<QString> temps;
  for (const Mailbox& m : std::as_const(mailboxes_))
    for (const delivery::StagedFile& f : m.placing) temps.insert(f.temp);
  return temps;
}

QStringList IdJournal::TakeErrors() {
  Load();
  return std::exchange(errors_, {});
}

}  // namespace agent
