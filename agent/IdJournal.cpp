#include "IdJournal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <utility>

#include "Fleet.h"

namespace agent {
namespace {

const QString kPop3 = QStringLiteral("pop3:");
const QString kMaildir = QStringLiteral("maildir:");
const QString kImap = QStringLiteral("imap:");

bool IsMailboxKey(const QString& key) {
  return key.startsWith(kPop3) || key.startsWith(kMaildir) || key.startsWith(kImap);
}

QList<delivery::StagedFile> FilesOf(const QJsonArray& files) {
  QList<delivery::StagedFile> out;
  for (const QJsonValue v : files) {
    const QJsonArray f = v.toArray();
    if (f.size() == 3) out.append({f[0].toString(), f[1].toString(), f[2].toString().toULongLong()});
  }
  return out;
}

IdJournal::Placing PlacingOf(const QJsonObject& o) {
  return {o.value(QLatin1String("id")).toString().toLatin1(), FilesOf(o.value(QLatin1String("files")).toArray())};
}

QJsonObject PlacingJson(const IdJournal::Placing& p) {
  QJsonArray files;
  for (const delivery::StagedFile& f : p.files) files.append(QJsonArray{f.temp, f.target, QString::number(f.inode)});
  return {{QStringLiteral("id"), QString::fromLatin1(p.id)}, {QStringLiteral("files"), files}};
}

// The files of a row's "staged" column (a message's entry as the file keeps it).
QList<delivery::StagedFile> StagedOf(const QByteArray& json) {
  return PlacingOf(QJsonDocument::fromJson(json).object()).files;
}

// $1 mailbox, $2 ids (HexList).
constexpr const char* kDeleteIds =
    "DELETE FROM vrl_ids WHERE mailbox = $1 AND id IN (SELECT decode(x, 'hex') FROM unnest($2::text[]) AS x)";

// Ids go to the database as hex (bytea): a server's id is bytes, not text.
QByteArray HexList(const QList<QByteArray>& ids) {
  QStringList hex;
  for (const QByteArray& id : ids) hex << QString::fromLatin1(id.toHex());
  return fleet::TextArray(hex);
}

}  // namespace

bool IdJournal::LoadMailbox(const QString& mailbox) {
  if (!fleet_) {
    Load();
    return true;
  }
  if (fromDatabase_.contains(mailbox)) return true;
  const auto rows = fleet_->Reachable()
                        ? fleet_->Db().Exec("SELECT encode(id, 'hex'), fetched, staged FROM vrl_ids WHERE mailbox = $1",
                                            {mailbox.toUtf8()})
                        : std::nullopt;
  if (!rows) {
    FleetError(QStringLiteral("Fleet Database: ") + fleet_->Db().Error());
    return false;
  }
  Mailbox m;
  for (const fleet::Row& r : *rows) {
    const QByteArray id = QByteArray::fromHex(r.value(0));
    m.fetched.insert(id, r.value(1).toLongLong());
    if (!r.value(2).isNull()) m.placing.append({id, StagedOf(r.value(2))});
  }
  mailboxes_[mailbox] = m;
  fromDatabase_.insert(mailbox);
  return true;
}

bool IdJournal::FleetWrite(const char* sql, const QList<QByteArray>& params, qsizetype expected) {
  const bool ok = fleet_->Fenced(sql, params, expected);
  if (!ok) FleetError(fleet_->Error());
  return ok;
}

void IdJournal::FleetError(const QString& line) {
  // An outage is said once, by the fleet: a connection lost here tells it so.
  if (!fleet_->Db().IsOpen()) fleet_->Reachable();
  if (!fleet_->Down()) errors_ << line;
}

QString IdJournal::Pop3Mailbox(const QString& user, const QString& host, quint16 port) {
  return kPop3 + user + QLatin1Char('@') + host.trimmed().toLower() + QLatin1Char(':') + QString::number(port);
}

QString IdJournal::MaildirMailbox(const QString& path) { return kMaildir + path; }

QString IdJournal::ImapMailbox(const QString& user, const QString& host, quint16 port, const QString& folder,
                               quint32 uidValidity) {
  return kImap + user + QLatin1Char('@') + host.trimmed().toLower() + QLatin1Char(':') + QString::number(port) +
         QLatin1Char('/') + folder + QStringLiteral(";UIDVALIDITY=") + QString::number(uidValidity);
}

QStringList IdJournal::OtherImapMailboxes(const QString& mailbox) {
  const QString folder = mailbox.left(mailbox.lastIndexOf(QStringLiteral(";UIDVALIDITY=")) + 1);
  QStringList out;
  if (fleet_) {
    const auto rows = fleet_->Db().Exec(
        "SELECT DISTINCT mailbox FROM vrl_ids WHERE left(mailbox, length($1)) = $1 AND mailbox <> $2 LIMIT 1000",
        {folder.toUtf8(), mailbox.toUtf8()});
    if (rows)
      for (const fleet::Row& r : *rows) out << QString::fromUtf8(r.value(0));
    return out;
  }
  Load();
  for (auto it = mailboxes_.cbegin(); it != mailboxes_.cend(); ++it)
    if (it.key() != mailbox && it.key().startsWith(folder) && (!it->fetched.isEmpty() || !it->placing.isEmpty()))
      out << it.key();
  return out;
}

// {"<mailbox>": {"ids": {"<id>": <first fetched>, ...},
//                "placing": {"id": "<id>", "files": [[temp, target, "<inode>"], ...]}}}
// Messages recorded together are placing as a list of such objects. Older journals are keyed by
// profile name and list "placing" as [[temp, target, replace], ...].
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
    to.placing.clear();
    if (placing.isObject()) {
      to.placing.append(PlacingOf(placing.toObject()));
    } else if (placing.toArray().at(0).isObject()) {
      for (const QJsonValue v : placing.toArray()) to.placing.append(PlacingOf(v.toObject()));
    } else if (!placing.toArray().isEmpty()) {
      to.placing.append({QByteArray(), FilesOf(placing.toArray())});
    }
  }
}

bool IdJournal::Write(bool flush) {
  // A fleet's changes went to its database, each as it was made.
  if (fleet_) return true;
  QJsonObject all;
  for (auto m = mailboxes_.cbegin(); m != mailboxes_.cend(); ++m) {
    if (m->fetched.isEmpty() && m->placing.isEmpty()) continue;
    QJsonObject ids;
    for (auto it = m->fetched.cbegin(); it != m->fetched.cend(); ++it) ids.insert(QString::fromLatin1(it.key()), it.value());
    QJsonObject entry{{QStringLiteral("ids"), ids}};
    // One message placing keeps the form older versions read.
    if (m->placing.size() == 1) {
      entry.insert(QStringLiteral("placing"), PlacingJson(m->placing.front()));
    } else if (!m->placing.isEmpty()) {
      QJsonArray list;
      for (const Placing& p : m->placing) list.append(PlacingJson(p));
      entry.insert(QStringLiteral("placing"), list);
    }
    all.insert(m.key(), entry);
  }
  if (file_.Write(all, true, flush)) return true;
  errors_ << QStringLiteral("Cannot Write The File: ") + file_.TakeWriteError();
  return false;
}

void IdJournal::Migrate(const QString& profile, const QString& mailbox) {
  // A fleet's journal began in the database, keyed by mailbox.
  if (fleet_) return;
  Load();
  if (profile == mailbox || IsMailboxKey(profile) || !mailboxes_.contains(profile)) return;
  const Mailbox old = mailboxes_.take(profile);
  Mailbox& to = mailboxes_[mailbox];
  for (auto it = old.fetched.cbegin(); it != old.fetched.cend(); ++it)
    if (!to.fetched.contains(it.key())) to.fetched.insert(it.key(), it.value());
  if (to.placing.isEmpty()) to.placing = old.placing;
  Write();
}

qint64 IdJournal::FetchedAt(const QString& mailbox, const QByteArray& id) {
  LoadMailbox(mailbox);
  return mailboxes_.value(mailbox).fetched.value(id, -1);
}

bool IdJournal::Record(const QString& mailbox, qint64 when, const QList<Placing>& messages) {
  if (!LoadMailbox(mailbox)) return false;
  if (fleet_) {
    // Insert only where absent: an id another agent recorded is never taken twice.
    QList<QByteArray> ids;
    QStringList placing;
    for (const Placing& p : messages) {
      ids << p.id;
      placing << QString::fromUtf8(QJsonDocument(PlacingJson(p)).toJson(QJsonDocument::Compact));
    }
    if (!FleetWrite("INSERT INTO vrl_ids (mailbox, id, fetched, staged) "
                    "SELECT $1, decode(i, 'hex'), $2, p::jsonb FROM unnest($3::text[], $4::text[]) AS t(i, p) "
                    "ON CONFLICT DO NOTHING",
                    {mailbox.toUtf8(), QByteArray::number(when), HexList(ids), fleet::TextArray(placing)},
                    messages.size()))
      return false;
  }
  Mailbox& m = mailboxes_[mailbox];
  const Mailbox before = m;
  for (const Placing& p : messages) m.fetched.insert(p.id, when);
  m.placing = messages;
  if (Write()) return true;
  mailboxes_[mailbox] = before;
  return false;
}

void IdJournal::Placed(const QString& mailbox) {
  if (!LoadMailbox(mailbox)) return;
  if (!mailboxes_.contains(mailbox) || mailboxes_[mailbox].placing.isEmpty()) return;
  mailboxes_[mailbox].placing.clear();
  // Lost, the entry is finished again from the files themselves, as below.
  if (fleet_) {
    FleetWrite("UPDATE vrl_ids SET staged = NULL WHERE mailbox = $1 AND staged IS NOT NULL", {mailbox.toUtf8()});
    return;
  }
  // Not flushed: lost in a crash, the entry is finished again from the files themselves.
  Write(false);
}

void IdJournal::Withdraw(const QString& mailbox, const QByteArray& id) {
  if (!LoadMailbox(mailbox) || !mailboxes_.contains(mailbox)) return;
  if (fleet_ && !FleetWrite("DELETE FROM vrl_ids WHERE mailbox = $1 AND id = decode($2, 'hex')",
                            {mailbox.toUtf8(), id.toHex()}))
    return;
  Mailbox& m = mailboxes_[mailbox];
  m.fetched.remove(id);
  m.placing.removeIf([&](const Placing& p) { return p.id == id; });
  Write();
}

void IdJournal::Forget(const QString& mailbox, const QList<QByteArray>& ids) {
  if (!LoadMailbox(mailbox)) return;
  if (ids.isEmpty() || !mailboxes_.contains(mailbox)) return;
  QHash<QByteArray, qint64>& fetched = mailboxes_[mailbox].fetched;
  const qsizetype before = fetched.size();
  if (fleet_ && !FleetWrite(kDeleteIds, {mailbox.toUtf8(), HexList(ids)}))
    return;
  for (const QByteArray& id : ids) fetched.remove(id);
  if (fetched.size() != before) Write(false);
}

void IdJournal::KeepOnly(const QString& mailbox, const std::vector<QByteArray>& onServer) {
  if (!LoadMailbox(mailbox) || !mailboxes_.contains(mailbox)) return;
  const QSet<QByteArray> listed(onServer.begin(), onServer.end());
  Mailbox& m = mailboxes_[mailbox];
  const qsizetype before = m.fetched.size();
  // A message still waiting to be put in place keeps its id until that is settled.
  QSet<QByteArray> waiting;
  for (const Placing& p : m.placing) waiting.insert(p.id);
  if (fleet_) {
    QList<QByteArray> gone;
    for (auto it = m.fetched.cbegin(); it != m.fetched.cend(); ++it)
      if (!listed.contains(it.key()) && !waiting.contains(it.key())) gone << it.key();
    if (!gone.isEmpty()) Forget(mailbox, gone);
    return;
  }
  m.fetched.removeIf([&](const auto& it) { return !listed.contains(it.key()) && !waiting.contains(it.key()); });
  if (m.fetched.size() != before) Write(false);
}

bool IdJournal::FinishPlacing(const QString& mailbox) {
  if (!LoadMailbox(mailbox)) return false;
  if (!mailboxes_.contains(mailbox) || mailboxes_[mailbox].placing.isEmpty()) return true;
  Mailbox& m = mailboxes_[mailbox];
  QList<Placing> waiting;
  QList<QByteArray> gone;
  for (const Placing& p : std::as_const(m.placing)) {
    QString error;
    switch (delivery::FinishPlacing(p.files, &error)) {
      case delivery::Finish::Failed:
        errors_ << QStringLiteral("Cannot Create The File: ") + error;
        waiting.append(p);
        break;
      case delivery::Finish::Gone:
        errors_ << QStringLiteral("Files Removed Before They Were In Place, Message Fetched Again: ") +
                       QString::fromLatin1(p.id);
        // An older journal did not say which message it was placing: none of its ids can vouch.
        if (p.id.isEmpty()) m.fetched.clear();
        else m.fetched.remove(p.id);
        gone << p.id;
        break;
      case delivery::Finish::Placed:
        break;
    }
  }
  const bool finished = waiting.isEmpty();
  m.placing = waiting;
  if (fleet_) {
    QList<QByteArray> still;
    for (const Placing& p : waiting) still << p.id;
    const bool dropped = gone.isEmpty() || FleetWrite(kDeleteIds, {mailbox.toUtf8(), HexList(gone)});
    return dropped &&
           FleetWrite("UPDATE vrl_ids SET staged = NULL WHERE mailbox = $1 AND staged IS NOT NULL AND id NOT IN "
                      "(SELECT decode(x, 'hex') FROM unnest($2::text[]) AS x)",
                      {mailbox.toUtf8(), HexList(still)}) &&
           finished;
  }
  // Flushed: a gone message must not count as taken after a crash.
  return Write() && finished;
}

std::optional<QSet<QString>> IdJournal::WaitingTemporaries() {
  QSet<QString> temps;
  if (fleet_) {
    // Every mailbox's, whichever agent recorded them: the folders are shared.
    const auto rows = fleet_->Reachable()
                          ? fleet_->Db().Exec("SELECT staged FROM vrl_ids WHERE staged IS NOT NULL LIMIT 100000")
                          : std::nullopt;
    if (!rows) {
      FleetError(QStringLiteral("Fleet Database: ") + fleet_->Db().Error());
      return std::nullopt;
    }
    for (const fleet::Row& r : *rows)
      for (const delivery::StagedFile& f : StagedOf(r.value(0)))
        temps.insert(f.temp);
    return temps;
  }
  Load();
  for (const Mailbox& m : std::as_const(mailboxes_))
    for (const Placing& p : m.placing)
      for (const delivery::StagedFile& f : p.files) temps.insert(f.temp);
  return temps;
}

QStringList IdJournal::TakeErrors() {
  if (!fleet_) Load();
  return std::exchange(errors_, {});
}

}  // namespace agent
