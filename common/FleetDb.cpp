#include "FleetDb.h"

#include <libpq-fe.h>
#include <poll.h>

#include <QDeadlineTimer>
#include <QJsonArray>
#include <memory>

namespace fleet {

namespace {

QString OneLine(const char* text) {
  QString s = QString::fromUtf8(text).trimmed();
  for (QChar& c : s)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
  return s;
}

QByteArray Quoted(const QByteArray& value) {
  QByteArray out = "'";
  for (const char c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + '\'';
}

// A host that is this machine: a socket folder, or a loopback name or address.
bool LocalHost(const QByteArray& host) {
  if (host.isEmpty() || host.startsWith('/') || host.startsWith('@')) return true;
  return host == "localhost" || host.startsWith("127.") || host == "::1";
}

bool AllLocal(const QByteArray& hosts) {
  for (const QByteArray& h : hosts.split(','))
    if (!LocalHost(h.trimmed())) return false;
  return true;
}

// Version 1: the agents, the profiles' leases, the inbound id journal, the retry journal, and a
// function that ends a statement with an error (so that one statement can check and write).
constexpr const char* kSchemaV1 = R"SQL(
CREATE TABLE vrl_agents (agent text PRIMARY KEY, host text NOT NULL, pid integer NOT NULL,
  started timestamptz NOT NULL, seen timestamptz NOT NULL, summary text, health jsonb);
CREATE TABLE vrl_leases (profile text PRIMARY KEY, holder text, expires timestamptz,
  fence bigint NOT NULL DEFAULT 0);
CREATE TABLE vrl_ids (mailbox text NOT NULL, id bytea NOT NULL, fetched bigint NOT NULL,
  staged jsonb, PRIMARY KEY (mailbox, id));
CREATE INDEX vrl_ids_staged ON vrl_ids (mailbox) WHERE staged IS NOT NULL;
CREATE TABLE vrl_retry (path text PRIMARY KEY, first bigint NOT NULL);
CREATE FUNCTION vrl_fail(reason text) RETURNS integer LANGUAGE plpgsql AS
  $$BEGIN RAISE EXCEPTION 'vrl: %', reason; END$$;
INSERT INTO vrl_schema VALUES (1);
)SQL";

}  // namespace

QByteArray SafeConnInfo(const QString& conninfo, QString* error) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.toUtf8().constData(), &message);
  if (!options) {
    *error = message ? OneLine(message) : QStringLiteral("the connection string cannot be read");
    PQfreemem(message);
    return {};
  }
  QByteArray out, host, hostaddr;
  bool sslmode = false, connectTimeout = false, userTimeout = false, keepalives = false, name = false,
       serverOptions = false;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    const QByteArray key = o->keyword, value = o->val;
    if (key == "host") host = value;
    if (key == "hostaddr") hostaddr = value;
    sslmode |= key == "sslmode" || key == "requiressl";
    connectTimeout |= key == "connect_timeout";
    userTimeout |= key == "tcp_user_timeout";
    keepalives |= key == "keepalives_idle";
    name |= key == "application_name";
    serverOptions |= key == "options";
    out += key + '=' + Quoted(value) + ' ';
  }
  PQconninfoFree(options);
  if (!connectTimeout) out += "connect_timeout=5 ";
  // The server bounds its own side too: a statement or a lock wait never outlasts our wait.
  if (!serverOptions)
    out += "options='-c statement_timeout=10000 -c lock_timeout=10000 -c idle_in_transaction_session_timeout=60000' ";
  if (!userTimeout) out += "tcp_user_timeout=10000 ";
  if (!keepalives) out += "keepalives_idle=10 keepalives_interval=5 keepalives_count=3 ";
  if (!name) out += "application_name=VRLEng31 ";
  if (!sslmode && !(AllLocal(hostaddr.isEmpty() ? host : hostaddr) && AllLocal(host))) out += "sslmode=require ";
  return out.trimmed();
}

QByteArray TextArray(const QStringList& values) {
  QByteArray out = "{";
  for (const QString& v : values) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (const char c : v.toUtf8()) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + '}';
}

Database::Database(QString conninfo) {
  conninfo_ = SafeConnInfo(conninfo, &error_);
}

Database::~Database() { Close(); }

void Database::Close() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

bool Database::Open() {
  if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE) return true;
  Close();
  if (conninfo_.isEmpty()) {
    if (error_.isEmpty()) error_ = QStringLiteral("no connection string");
    return false;
  }
  conn_ = PQconnectdb(conninfo_.constData());
  if (PQstatus(conn_) != CONNECTION_OK) {
    error_ = OneLine(PQerrorMessage(conn_));
    Close();
    return false;
  }
  // The server's notices would go to stderr, past the agent's log.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  if (!Migrate()) {
    Close();
    return false;
  }
  return true;
}

bool Database::Migrate() {
  // The usual case costs one round trip: the schema is there, of this version.
  if (const auto now = Exec("SELECT max(version) FROM vrl_schema"); now && !now->empty() &&
      now->front().value(0).toInt() == kSchemaVersion)
    return true;
  // One agent at a time: the first one creates, the others then find it done.
  if (!Begin()) return false;
  const auto done = [this](bool ok) {
    if (ok) ok = Commit();
    if (!ok) Rollback();
    return ok;
  };
  if (!Exec("SELECT pg_advisory_xact_lock(7302131)") ||
      !Exec("CREATE TABLE IF NOT EXISTS vrl_schema (version integer NOT NULL)"))
    return done(false);
  const auto version = Exec("SELECT coalesce(max(version), 0) FROM vrl_schema");
  if (!version || version->empty()) return done(false);
  const int v = version->front().value(0).toInt();
  if (v > kSchemaVersion) {
    error_ = QStringLiteral("the database holds the fleet's schema version %1; this program knows %2 at most")
                 .arg(v)
                 .arg(kSchemaVersion);
    return done(false);
  }
  if (v < 1 && !Exec(kSchemaV1)) return done(false);
  return done(true);
}

void Database::Rollback() {
  if (conn_ && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
    const QString kept = error_;
    Exec("ROLLBACK");
    error_ = kept;
  }
}

std::optional<std::vector<Row>> Database::Exec(const char* sql, const QList<QByteArray>& params) {
  if (!conn_) {
    if (error_.isEmpty()) error_ = QStringLiteral("not connected");
    return std::nullopt;
  }
  const auto fail = [this](const QString& why) -> std::optional<std::vector<Row>> {
    error_ = why;
    if (PQstatus(conn_) != CONNECTION_OK) Close();
    return std::nullopt;
  };
  std::vector<const char*> values;
  for (const QByteArray& p : params) values.push_back(p.isNull() ? nullptr : p.constData());
  const bool sent = params.isEmpty() ? PQsendQuery(conn_, sql)
                                     : PQsendQueryParams(conn_, sql, int(values.size()), nullptr, values.data(),
                                                         nullptr, nullptr, 0);
  if (!sent) return fail(OneLine(PQerrorMessage(conn_)));

  const QDeadlineTimer deadline(kCallTimeoutMs);
  std::vector<Row> rows;
  QString failure;
  for (;;) {
    while (PQisBusy(conn_)) {
      pollfd p{PQsocket(conn_), POLLIN, 0};
      const int left = int(deadline.remainingTime());
      if (left <= 0 || poll(&p, 1, left) == 0) {
        // The connection's state is unknown now: it is dropped, never reused.
        Close();
        error_ = QStringLiteral("the database did not answer within %1 s").arg(kCallTimeoutMs / 1000);
        return std::nullopt;
      }
      if (!PQconsumeInput(conn_)) return fail(OneLine(PQerrorMessage(conn_)));
    }
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQgetResult(conn_), &PQclear);
    if (!r) break;
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (failure.isEmpty()) failure = OneLine(PQresultErrorMessage(r.get()));
      continue;
    }
    affected_ = QByteArray(PQcmdTuples(r.get())).toInt();
    rows.clear();
    const int n = PQntuples(r.get()), fields = PQnfields(r.get());
    if (n > kMaxRows) failure = QStringLiteral("the database answered with more than %1 rows").arg(kMaxRows);
    for (int i = 0; i < n && failure.isEmpty(); ++i) {
      Row row;
      for (int f = 0; f < fields; ++f) {
        if (PQgetisnull(r.get(), i, f)) {
          row.append(QByteArray());
        } else if (PQgetlength(r.get(), i, f) > kMaxValueBytes) {
          failure = QStringLiteral("the database answered with a value over %1 bytes").arg(kMaxValueBytes);
          break;
        } else {
          row.append(QByteArray(PQgetvalue(r.get(), i, f), PQgetlength(r.get(), i, f)));
        }
      }
      rows.push_back(std::move(row));
    }
  }
  if (!failure.isEmpty()) return fail(failure);
  return rows;
}

QJsonObject ReadFleetState(const QString& conninfo, QString* error) {
  Database db(conninfo);
  if (!db.Open()) {
    *error = db.Error();
    return {};
  }
  const auto agents = db.Exec(
      "SELECT agent, pid, to_char(seen, 'YYYY-MM-DD HH24:MI:SS'), extract(epoch FROM now() - seen)::bigint, "
      "coalesce(summary, '') FROM vrl_agents ORDER BY agent LIMIT 1000");
  const auto leases = db.Exec(
      "SELECT profile, coalesce(holder, ''), fence, "
      "CASE WHEN holder IS NULL OR expires <= now() THEN 0 ELSE ceil(extract(epoch FROM expires - now()))::bigint END "
      "FROM vrl_leases ORDER BY profile LIMIT 10000");
  if (!agents || !leases) {
    *error = db.Error();
    return {};
  }
  QJsonArray a, l;
  for (const Row& r : *agents)
    a.append(QJsonObject{{QStringLiteral("agent"), QString::fromUtf8(r.value(0))},
                         {QStringLiteral("pid"), r.value(1).toInt()},
                         {QStringLiteral("seen"), QString::fromUtf8(r.value(2))},
                         {QStringLiteral("secondsSinceSeen"), r.value(3).toLongLong()},
                         {QStringLiteral("summary"), QString::fromUtf8(r.value(4))}});
  for (const Row& r : *leases) {
    const qint64 left = r.value(3).toLongLong();
    l.append(QJsonObject{{QStringLiteral("profile"), QString::fromUtf8(r.value(0))},
                         {QStringLiteral("holder"), left > 0 ? QString::fromUtf8(r.value(1)) : QString()},
                         {QStringLiteral("fence"), r.value(2).toLongLong()},
                         {QStringLiteral("secondsLeft"), left}});
  }
  return QJsonObject{{QStringLiteral("agents"), a}, {QStringLiteral("leases"), l}};
}

}  // namespace fleet
