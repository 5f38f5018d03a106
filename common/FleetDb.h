#pragma once
// The database a fleet of agents shares (PostgreSQL, through libpq): one connection, every call
// bounded in time, the schema the agents keep there (created and migrated by whichever agent
// comes first, under a lock), and the fleet's state as VRL31 --status shows it.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

struct pg_conn;

namespace fleet {

// The schema this build writes; a database of a later one is refused, not guessed at.
inline constexpr int kSchemaVersion = 1;
// No call waits longer than this for the server.
inline constexpr int kCallTimeoutMs = 15000;
// Nothing the server sends back is kept past these.
inline constexpr int kMaxRows = 200000;
inline constexpr int kMaxValueBytes = 1 << 20;

// The connection string with safe defaults for what it leaves out: a connect time-out, TCP
// time-outs, the program's name, and TLS required for a server that is not on this machine (a
// password must not leave in clear text). Empty, with *error set, when it cannot be parsed.
QByteArray SafeConnInfo(const QString& conninfo, QString* error);

// A text array parameter ({"a","b"}) for ANY($n::text[]) and unnest.
QByteArray TextArray(const QStringList& values);

using Row = QList<QByteArray>;  // a null QByteArray is SQL NULL

class Database {
 public:
  explicit Database(QString conninfo);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Connects when not connected (again after a failure) and brings the schema up to date. False
  // with Error() set.
  bool Open();
  bool IsOpen() const { return conn_ != nullptr; }
  void Close();
  // Why the last call failed, in one line.
  const QString& Error() const { return error_; }
  // A caller's own reason for giving up a transaction.
  void SetError(const QString& why) { error_ = why; }

  // Runs one statement with text parameters (a null QByteArray is NULL). nullopt when it failed
  // (a broken connection is closed, so the next Open connects again).
  std::optional<std::vector<Row>> Exec(const char* sql, const QList<QByteArray>& params = {});
  // Rows the last successful statement changed.
  int Affected() const { return affected_; }
  bool Begin() { return Exec("BEGIN").has_value(); }
  bool Commit() { return Exec("COMMIT").has_value(); }
  void Rollback();

 private:
  bool Migrate();

  QByteArray conninfo_;
  QString error_;
  pg_conn* conn_ = nullptr;
  int affected_ = 0;
};

// The fleet as VRL31 --status shows it: {"agents": [{agent, pid, seen, secondsSinceSeen,
// summary}], "leases": [{profile, holder, fence, secondsLeft}]}. Empty with *error set when the
// database cannot be read.
QJsonObject ReadFleetState(const QString& conninfo, QString* error);

}  // namespace fleet
