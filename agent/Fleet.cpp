#include "Fleet.h"

#include <QSysInfo>
#include <unistd.h>

#include "AgentContext.h"
#include "AppFolder.h"

namespace agent {

namespace {

QByteArray Num(qint64 n) { return QByteArray::number(n); }

// $1 profile, $2 holder, $3 fence, $4 seconds: one row when the lease still stands.
constexpr const char* kRenewOne =
    "UPDATE vrl_leases SET expires = now() + make_interval(secs => $4::int) "
    "WHERE profile = $1 AND holder = $2 AND fence = $3 AND expires > now() RETURNING 1";
// $1 holder, $2 seconds, $3 profiles: the leases that still stand, with their fences.
constexpr const char* kRenewHeld =
    "UPDATE vrl_leases SET expires = now() + make_interval(secs => $2::int) "
    "WHERE holder = $1 AND expires > now() AND profile = ANY($3::text[]) RETURNING profile, fence";

}  // namespace

Fleet::Fleet(const QString& conninfo, int leaseSeconds, QString agentId)
    : db_(conninfo), lease_(leaseSeconds), id_(std::move(agentId)) {
  clock_.start();
}

QString Fleet::LocalAgentId() {
  return QSysInfo::machineHostName() + QLatin1Char(':') + vrl::ApplicationFolder();
}

bool Fleet::Reachable() {
  // While it is down, a try every few seconds: a server that does not answer costs the connect
  // time-out each time, and the agent must stay responsive to a stop.
  if (down_ && !db_.IsOpen() && NowMs() - lastAttempt_ < kRetryMs) return false;
  lastAttempt_ = NowMs();
  if (db_.Open()) {
    if (down_) lines_ << kLogInfo + QStringLiteral("Fleet Database Reachable Again, Profiles Resume");
    down_ = false;
    return true;
  }
  Unreachable(db_.Error());
  return false;
}

void Fleet::Unreachable(const QString& why) {
  error_ = QStringLiteral("Fleet Database: ") + why;
  if (!down_)
    lines_ << kLogError + QStringLiteral("Fleet Database Unreachable, Profiles Wait Until It Answers: ") + why;
  down_ = true;
  DropExpired();
}

void Fleet::DropExpired() {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->until > NowMs()) {
      ++it;
      continue;
    }
    lines_ << kLogAlert + QStringLiteral("Fleet: Lease Expired, Profile Left To The Others: ") + it.key();
    it = held_.erase(it);
  }
}

void Fleet::Lost(const QString& profile) {
  if (!held_.remove(profile)) return;
  lines_ << kLogAlert + QStringLiteral("Fleet: Lease Lost, Profile Stopped: ") + profile;
}

void Fleet::Tick(const QStringList& profiles) {
  if (!Reachable()) return;
  const qint64 started = NowMs();
  const auto failed = [this] {
    db_.Rollback();
    if (!db_.IsOpen()) Unreachable(db_.Error());
  };
  // This agent lives; the live ones share the profiles.
  if (!db_.Exec("INSERT INTO vrl_agents (agent, host, pid, started, seen) VALUES ($1, $2, $3, now(), now()) "
                "ON CONFLICT (agent) DO UPDATE SET host = $2, seen = now(), "
                "started = CASE WHEN vrl_agents.pid = $3 THEN vrl_agents.started ELSE now() END, pid = $3",
                {id_.toUtf8(), QSysInfo::machineHostName().toUtf8(), Num(getpid())}))
    return failed();
  if (profiles != known_) {
    if (!db_.Exec("INSERT INTO vrl_leases (profile) SELECT unnest($1::text[]) ON CONFLICT DO NOTHING",
                  {fleet::TextArray(profiles)}))
      return failed();
    known_ = profiles;
  }
  const auto live = db_.Exec("SELECT count(*) FROM vrl_agents WHERE seen > now() - make_interval(secs => $1::int)",
                             {Num(lease_)});
  if (!live || live->empty()) return failed();

  // The leases this agent holds, renewed; after a restart its own leases come back under a new
  // fencing number, so that nothing the previous run still had in flight can write.
  const QByteArray list = fleet::TextArray(profiles);
  const auto renewed =
      joined_ ? db_.Exec(kRenewHeld, {id_.toUtf8(), Num(lease_), list})
              : db_.Exec("UPDATE vrl_leases SET expires = now() + make_interval(secs => $2::int), fence = fence + 1 "
                         "WHERE holder = $1 AND profile = ANY($3::text[]) RETURNING profile, fence",
                         {id_.toUtf8(), Num(lease_), list});
  if (!renewed) return failed();
  if (!joined_)
    lines_ << kLogInfo + QStringLiteral("Fleet: Agent %1 Joined, Lease %2 s").arg(id_).arg(lease_);
  joined_ = true;
  QHash<QString, Lease> now;
  for (const fleet::Row& r : *renewed) now.insert(QString::fromUtf8(r.value(0)), {r.value(1).toLongLong(), started + lease_ * 1000});
  for (const QString& p : held_.keys())
    if (!now.contains(p)) Lost(p);
  held_ = now;
  lastRenewal_ = started;

  const qint64 agents = qMax<qint64>(1, live->front().value(0).toLongLong());
  const qint64 share = (profiles.size() + agents - 1) / agents;
  // Over the share: the others take these over at their next tick.
  for (const QString& p : held_.keys()) {
    if (held_.size() <= share) break;
    if (p == current_) continue;
    if (!db_.Exec("UPDATE vrl_leases SET holder = NULL, expires = NULL WHERE profile = $1 AND holder = $2 AND fence = $3",
                  {p.toUtf8(), id_.toUtf8(), Num(held_[p].fence)}))
      return failed();
    held_.remove(p);
    lines_ << kLogInfo + QStringLiteral("Fleet: Profile Handed Over: ") + p;
  }
  if (held_.size() < share) {
    const auto taken = db_.Exec(
        "UPDATE vrl_leases l SET holder = $1, fence = l.fence + 1, expires = now() + make_interval(secs => $2::int) "
        "FROM (SELECT profile FROM vrl_leases WHERE profile = ANY($3::text[]) AND (holder IS NULL OR expires <= now()) "
        "ORDER BY random() LIMIT $4 FOR UPDATE SKIP LOCKED) f WHERE l.profile = f.profile RETURNING l.profile, l.fence",
        {id_.toUtf8(), Num(lease_), list, Num(share - held_.size())});
    if (!taken) return failed();
    for (const fleet::Row& r : *taken) {
      const QString p = QString::fromUtf8(r.value(0));
      held_.insert(p, {r.value(1).toLongLong(), started + lease_ * 1000});
      lines_ << kLogInfo + QStringLiteral("Fleet: Profile Taken Over: %1 (Fence %2)").arg(p).arg(r.value(1).toLongLong());
    }
  }
}

void Fleet::RenewAll() {
  if (held_.isEmpty()) return;
  if (!Reachable()) return;
  const qint64 started = NowMs();
  const auto renewed = db_.Exec(kRenewHeld, {id_.toUtf8(), Num(lease_), fleet::TextArray(held_.keys())});
  if (!renewed) {
    if (!db_.IsOpen()) Unreachable(db_.Error());
    return;
  }
  QSet<QString> kept;
  for (const fleet::Row& r : *renewed) {
    const QString p = QString::fromUtf8(r.value(0));
    if (!held_.contains(p) || held_[p].fence != r.value(1).toLongLong()) continue;
    held_[p].until = started + lease_ * 1000;
    kept.insert(p);
  }
  for (const QString& p : held_.keys())
    if (!kept.contains(p)) Lost(p);
  lastRenewal_ = started;
  // Still counted among the live ones while a long profile keeps it from its next tick.
  db_.Exec("UPDATE vrl_agents SET seen = now() WHERE agent = $1", {id_.toUtf8()});
}

void Fleet::KeepAlive() {
  if (lastRenewal_ >= 0 && NowMs() - lastRenewal_ >= lease_ * 1000 / 3) RenewAll();
}

bool Fleet::Renew(const QString& profile) {
  if (!held_.contains(profile)) return false;
  if (!Reachable()) return false;
  const qint64 started = NowMs();
  const auto r = db_.Exec(kRenewOne, {profile.toUtf8(), id_.toUtf8(), Num(held_[profile].fence), Num(lease_)});
  if (!r) {
    if (!db_.IsOpen()) Unreachable(db_.Error());
    else error_ = QStringLiteral("Fleet Database: ") + db_.Error();
    return false;
  }
  if (r->empty()) {
    error_ = QStringLiteral("Fleet: Lease Lost: ") + profile;
    Lost(profile);
    return false;
  }
  held_[profile].until = started + lease_ * 1000;
  return true;
}

bool Fleet::Begin(const QString& profile) {
  current_.clear();
  if (!Renew(profile)) return false;
  current_ = profile;
  return true;
}

bool Fleet::Check() {
  if (current_.isEmpty() || !held_.contains(current_)) return false;
  if (held_[current_].until - NowMs() > qint64(lease_) * 1000 * 2 / 3) return true;
  return Renew(current_);
}

bool Fleet::CheckNow() {
  if (current_.isEmpty() || !held_.contains(current_)) return false;
  if (NowMs() - (held_[current_].until - qint64(lease_) * 1000) < 1000) return true;
  return Renew(current_);
}

bool Fleet::Fenced(const QByteArray& sql, QList<QByteArray> params, qsizetype expected) {
  if (current_.isEmpty() || !held_.contains(current_)) {
    error_ = QStringLiteral("Fleet: No Lease For This Work");
    return false;
  }
  if (!Reachable()) return false;
  const qint64 started = NowMs();
  // The lease's parameters follow the statement's own.
  const auto at = [&](int k) { return "$" + QByteArray::number(params.size() + k); };
  const QByteArray statement =
      "WITH lease AS (UPDATE vrl_leases SET expires = now() + make_interval(secs => " + at(4) + "::int) "
      "WHERE profile = " + at(1) + " AND holder = " + at(2) + " AND fence = " + at(3) +
      " AND expires > now() RETURNING 1), w AS (" + sql + " RETURNING 1) "
      "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM lease) THEN vrl_fail('lease lost') "
      "WHEN " + at(5) + "::bigint >= 0 AND (SELECT count(*) FROM w) <> " + at(5) +
      "::bigint THEN vrl_fail('a message of this mailbox was taken elsewhere') ELSE 1 END";
  params << current_.toUtf8() << id_.toUtf8() << Num(held_[current_].fence) << Num(lease_) << Num(expected);
  if (db_.Exec(statement.constData(), params)) {
    held_[current_].until = started + lease_ * 1000;
    return true;
  }
  if (!db_.IsOpen()) {
    Unreachable(db_.Error());
  } else if (db_.Error().contains(QLatin1String("vrl: lease lost"))) {
    error_ = QStringLiteral("Fleet: Lease Lost: ") + current_;
    Lost(current_);
  } else {
    error_ = QStringLiteral("Fleet Database: ") + db_.Error();
  }
  return false;
}

void Fleet::WriteHealth(const QByteArray& document, const QString& summary) {
  if (!joined_ || down_ || !db_.IsOpen()) return;
  if (!db_.Exec("UPDATE vrl_agents SET health = $2::jsonb, summary = $3, seen = now() WHERE agent = $1",
                {id_.toUtf8(), document, summary.toUtf8()}) &&
      !db_.IsOpen())
    Unreachable(db_.Error());
}

void Fleet::ReleaseAll() {
  if (!joined_ || !db_.Open()) return;
  db_.Exec("UPDATE vrl_leases SET holder = NULL, expires = NULL WHERE holder = $1", {id_.toUtf8()});
  db_.Exec("DELETE FROM vrl_agents WHERE agent = $1", {id_.toUtf8()});
  held_.clear();
  current_.clear();
}

}  // namespace agent
