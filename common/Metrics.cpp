#include "Metrics.h"

#include "FileFunctions.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonValue>

#include <algorithm>
#include <vector>

namespace metrics {
namespace {

// The health record's words for an OAuth sign-in (agent::OAuthStateName), each a series of its own.
const char* const kOAuthStates[] = {"signed in", "sign in again", "not renewed"};

struct Sample {
  QByteArray labels;  // inside the braces; empty for none
  qint64 value;
};

class Exposition {
 public:
  // A family with no samples is left out; HELP texts are ours and need no escaping.
  void Family(const char* name, const char* type, const char* help, const std::vector<Sample>& samples) {
    if (samples.empty()) return;
    out_ += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    for (const Sample& s : samples) {
      out_ += name;
      if (!s.labels.isEmpty()) out_ += '{' + s.labels + '}';
      out_ += ' ' + QByteArray::number(s.value) + '\n';
    }
  }
  const QByteArray& Text() const { return out_; }

 private:
  QByteArray out_;
};

QByteArray Label(const char* name, const QString& value) {
  return QByteArray(name) + "=\"" + EscapeLabelValue(value) + '"';
}

// Seconds since the epoch of a stored ISO 8601 time; 0 when there is none.
qint64 Seconds(const QJsonValue& iso) {
  const QDateTime t = QDateTime::fromString(iso.toString(), Qt::ISODate);
  return t.isValid() ? t.toSecsSinceEpoch() : 0;
}

}  // namespace

QString PathProblem(const QString& path) {
  if (path.isEmpty()) return {};
  if (!path.startsWith(u'/')) return QStringLiteral("must be an absolute path (starting with / or ~/)");
  if (std::any_of(path.cbegin(), path.cend(), [](QChar c) { return c.category() == QChar::Other_Control; }))
    return QStringLiteral("must not hold control characters");
  if (const qsizetype n = path.toUtf8().size(); n > kMaxPathBytes)
    return QStringLiteral("must be at most %1 bytes (UTF-8), not %2").arg(kMaxPathBytes).arg(n);
  if (path.endsWith(u'/')) return QStringLiteral("must name a file, not a folder");
  return {};
}

QByteArray EscapeLabelValue(const QString& value) {
  QByteArray out;
  for (const char c : value.toUtf8()) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

qint64 CountOutboundFiles(const QString& folder, const QString& pattern) {
  const QFileInfo dir(folder);
  if (folder.isEmpty() || !dir.isDir() || !dir.isReadable()) return -1;
  QStringList patterns;
  for (const QString& p : pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts))
    if (const QString t = p.trimmed(); !t.isEmpty()) patterns << t;
  if (patterns.isEmpty()) patterns << QStringLiteral("*");
  // Every entry counts against the bound, hidden ones and folders too; they are left out here.
  QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  qint64 seen = 0, count = 0;
  while (seen < kMaxQueueEntries && it.hasNext()) {
    const QFileInfo info = it.nextFileInfo();
    ++seen;
    const QString name = info.fileName();
    if (name.startsWith(u'.') || !info.isFile()) continue;
    if (std::any_of(patterns.cbegin(), patterns.cend(), [&](const QString& p) { return olvet::WildcardMatch(p, name); }))
      ++count;
  }
  return count;
}

QHash<QString, qint64> OutboundQueues(const QList<ProfileRecord>& profiles) {
  QHash<QString, qint64> out;
  for (const ProfileRecord& p : profiles) {
    if (!p.PrcOutboundMessages) continue;
    if (const qint64 n = CountOutboundFiles(p.OutboundDir, p.OutFilesExtention); n >= 0) out[p.Prfname] += n;
  }
  return out;
}

QByteArray Format(const QJsonObject& health, const QHash<QString, qint64>& outbound) {
  const QJsonObject profiles = health.value(QStringLiteral("profiles")).toObject();
  QStringList names = profiles.keys();
  std::sort(names.begin(), names.end());

  Exposition x;
  x.Family("vorlane_build_info", "gauge", "The version of the agent's programs.",
           {{Label("version", QStringLiteral(VRL_VERSION)), 1}});
  if (const qint64 start = Seconds(health.value(QStringLiteral("agentStart"))); start != 0)
    x.Family("vorlane_agent_start_time_seconds", "gauge", "When the agent last started processing, in seconds since the epoch.",
             {{{}, start}});

  // Per profile: its totals since the health record began (they outlive the agent).
  const struct {
    const char* key;
    const char* name;
    const char* help;
  } counts[] = {
      {"sent", "vorlane_files_sent_total", "Outbound files sent."},
      {"retried", "vorlane_files_retried_total", "Outbound files kept for a later cycle after a failure that may pass."},
      {"bad", "vorlane_files_bad_total", "Outbound files renamed .BAD after a failure."},
      {"received", "vorlane_messages_received_total", "Inbound messages whose files were written."},
      {"errors", "vorlane_errors_total", "Error lines logged for the profile."},
  };
  for (const auto& c : counts) {
    std::vector<Sample> samples;
    for (const QString& name : names) {
      const QJsonObject total = profiles.value(name).toObject().value(QStringLiteral("total")).toObject();
      samples.push_back({Label("profile", name), total.value(QLatin1String(c.key)).toInteger()});
    }
    x.Family(c.name, "counter", c.help, samples);
  }
  std::vector<Sample> cycle, error, queue, oauth;
  for (const QString& name : names) {
    const QJsonObject p = profiles.value(name).toObject();
    const QByteArray label = Label("profile", name);
    cycle.push_back({label, Seconds(p.value(QStringLiteral("lastCycle")))});
    error.push_back({label, Seconds(p.value(QStringLiteral("lastErrorTime")))});
    if (const auto n = outbound.constFind(name); n != outbound.cend()) queue.push_back({label, *n});
    const QJsonObject o = p.value(QStringLiteral("oauth")).toObject();
    if (o.isEmpty()) continue;
    // One series per state, 1 for the present one, so that a change never leaves a stale series.
    const QString state = o.value(QStringLiteral("state")).toString();
    for (const char* s : kOAuthStates)
      oauth.push_back({label + ',' + Label("state", QString::fromLatin1(s)), state == QLatin1String(s) ? 1 : 0});
  }
  x.Family("vorlane_last_cycle_timestamp_seconds", "gauge", "When the last cycle the profile took part in began, in seconds since the epoch.",
           cycle);
  x.Family("vorlane_last_error_timestamp_seconds", "gauge",
           "When the profile last logged an error, in seconds since the epoch; 0 for never.", error);
  x.Family("vorlane_outbound_queue_files", "gauge", "Files waiting in the profile's outbound folder.", queue);
  x.Family("vorlane_oauth_token_state", "gauge", "The OAuth sign-in of the profile: 1 for its present state.", oauth);
  return x.Text();
}

}  // namespace metrics
