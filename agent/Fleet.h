#pragma once
// This agent's part in a fleet: several agents with the same profiles and the same folders, one
// database. A profile runs on one agent at a time, the one holding its lease (holder, expiry and
// a fencing number that grows with every new holder). The agents spread the profiles evenly:
// each takes free or expired leases up to its share and hands back what is over it. A lease is
// renewed while its holder lives; every journal write of a profile checks and renews it in the
// same transaction, so an agent that lost a profile (paused, cut off, its lease expired and
// taken) writes nothing more for it and stops that profile at once.
//
// Without the database nothing of a profile runs: every file and every message needs a journal
// write that committed. The agent keeps its leases until they expire, says once why it waits,
// and resumes when the database answers again.
#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>

#include "FleetDb.h"

namespace agent {

class Fleet {
 public:
  Fleet(const QString& conninfo, int leaseSeconds, QString agentId);

  // This machine's name and the application folder: stable over restarts, so that an agent
  // that comes back takes its own leases again at once.
  static QString LocalAgentId();
  const QString& AgentId() const { return id_; }

  // Between cycles and between profiles: reaches the database (again), says this agent lives,
  // renews its leases, hands back what is over its share and takes free leases up to it.
  // profiles: the names of the profiles this agent would run.
  void Tick(const QStringList& profiles);
  // Renews the held leases once a third of a lease has passed since the last renewal (while the
  // agent works a long time on one profile).
  void KeepAlive();

  // The profile's work starts only when this agent holds its lease (renewed now).
  bool Begin(const QString& profile);
  // Before each file: the lease of the profile in hand still stands. It does while its end on
  // this agent's clock (counted from before the last renewal was sent, so never later than the
  // database's) is ahead: nobody else can take it before then. Renewed once a third of it has
  // passed, so a file costs no round trip to the database.
  bool Check();
  void End() { current_.clear(); }
  const QString& Current() const { return current_; }

  // Runs one data-modifying statement (INSERT, UPDATE or DELETE, without RETURNING) together
  // with the check and renewal of the profile's lease, as one statement in one round trip: the
  // write counts only when the lease still stands, and, when expected >= 0, only when it changed
  // exactly that many rows. False when anything failed: then nothing was written (the reason in
  // Error()).
  bool Fenced(const QByteArray& sql, QList<QByteArray> params, qsizetype expected = -1);
  // For reads.
  fleet::Database& Db() { return db_; }
  // Connects when needed; the first failure of an outage is said once (TakeLines), and Down()
  // holds until the database answers again: callers then stay silent about their own failures.
  bool Reachable();
  bool Down() const { return down_; }
  // Before the inbound step: the lease renewed in the database within the last second (every
  // message needs the database, so an outage shows here, not message by message).
  bool CheckNow();
  const QString& Error() const { return error_; }

  // After each cycle: the health record and its one-line summary, for VRL31 --status anywhere.
  void WriteHealth(const QByteArray& document, const QString& summary);
  // At an orderly stop: every lease is handed back, so that the others take over at once.
  void ReleaseAll();

  QStringList Held() const { return held_.keys(); }
  // Lines for the log since the last call, with their prefixes.
  QStringList TakeLines() { return std::exchange(lines_, {}); }

 private:
  struct Lease {
    qint64 fence = 0;
    qint64 until = 0;  // on this agent's monotonic clock, ms: never later than the database's
  };
  void Unreachable(const QString& why);
  bool Renew(const QString& profile);
  void RenewAll();
  void Lost(const QString& profile);
  void DropExpired();
  qint64 NowMs() const { return clock_.elapsed(); }

  fleet::Database db_;
  const int lease_;
  const QString id_;
  QElapsedTimer clock_;
  qint64 lastRenewal_ = -1;
  static constexpr qint64 kRetryMs = 5000;
  qint64 lastAttempt_ = 0;
  bool joined_ = false;
  bool down_ = false;
  QStringList known_;  // profiles whose lease rows exist
  QHash<QString, Lease> held_;
  QString current_;
  QString error_;
  QStringList lines_;
};

}  // namespace agent
