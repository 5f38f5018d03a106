#include "AgentHealth.h"

#include <QJsonDocument>

namespace agent {
namespace {

// The JSON names of the counts, in the order of HealthCount.
constexpr const char* kCountNames[] = {"sent", "retried", "bad", "received", "errors"};

// ISO 8601 with the offset from UTC, so that a reader elsewhere knows the moment.
QString Stamp(const QDateTime& t) { return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate); }

}  // namespace

void AgentHealth::Load() {
  if (loaded_) return;
  loaded_ = true;
  // An unreadable record only loses the totals so far.
  record_ = file_.ReadOnce();
  const QJsonObject profiles = record_.take(QStringLiteral("profiles")).toObject();
  record_.remove(QStringLiteral("agentStart"));  // only a live agent says it
  for (auto it = profiles.begin(); it != profiles.end(); ++it) profiles_.insert(it.key(), it.value().toObject());
}

QString AgentHealth::TakeWriteError() { return file_.TakeWriteError(); }

QJsonObject& AgentHealth::ProfileEntry(const QString& name) {
  Load();
  return profiles_[name];
}

void AgentHealth::BeginCycle(const QDateTime& now) {
  cycle_ = now;
  current_.clear();
  counts_.clear();
}

void AgentHealth::BeginProfile(const QString& name) {
  current_ = name;
  counts_[name];  // takes part even when nothing happens
}

void AgentHealth::Count(HealthCount what) {
  if (cycle_.isValid() && counts_.contains(current_)) ++counts_[current_][static_cast<size_t>(what)];
}

void AgentHealth::OAuth(const QString& state, bool works, const QDateTime& renewed, const QDateTime& when) {
  if (current_.isEmpty()) return;
  QJsonObject o{{QStringLiteral("state"), state}, {QStringLiteral("works"), works},
                {QStringLiteral("checked"), Stamp(when)}};
  if (renewed.isValid()) o.insert(QStringLiteral("renewed"), Stamp(renewed.toLocalTime()));
  ProfileEntry(current_).insert(QStringLiteral("oauth"), o);
}

void AgentHealth::Error(const QString& text, const QDateTime& when) {
  Load();
  record_.insert(QStringLiteral("lastError"), text);
  record_.insert(QStringLiteral("lastErrorTime"), Stamp(when));
  if (!cycle_.isValid() || current_.isEmpty()) return;
  Count(HealthCount::Errors);
  QJsonObject& p = ProfileEntry(current_);
  p.insert(QStringLiteral("lastError"), text);
  p.insert(QStringLiteral("lastErrorTime"), Stamp(when));
}

bool AgentHealth::EndCycle(const QStringList& configured) {
  Load();
  Counts sum{};
  for (auto it = counts_.cbegin(); it != counts_.cend(); ++it) {
    QJsonObject& p = ProfileEntry(it.key());
    QJsonObject total = p.value(QStringLiteral("total")).toObject();
    p.insert(QStringLiteral("lastCycle"), Stamp(cycle_));
    for (size_t k = 0; k < sum.size(); ++k) {
      const QString name = QString::fromLatin1(kCountNames[k]);
      p.insert(name, it.value()[k]);
      total.insert(name, total.value(name).toInteger() + it.value()[k]);
      sum[k] += it.value()[k];
    }
    p.insert(QStringLiteral("total"), total);
  }
  for (auto it = profiles_.begin(); it != profiles_.end();)
    it = configured.contains(it.key()) ? std::next(it) : profiles_.erase(it);
  record_.insert(QStringLiteral("lastCycle"), Stamp(cycle_));
  summary_ = QStringLiteral("Last cycle %1: %2 sent, %3 retried, %4 BAD, %5 received, %6 errors")
                 .arg(cycle_.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss")))
                 .arg(sum[0]).arg(sum[1]).arg(sum[2]).arg(sum[3]).arg(sum[4]);
  cycle_ = QDateTime();
  current_.clear();
  counts_.clear();
  // Old or new after a crash, both true: the folder need not be flushed each cycle.
  return file_.Write(Record(), false, false);
}

QJsonObject AgentHealth::Record() {
  Load();
  QJsonObject record = record_, profiles;
  for (auto it = profiles_.cbegin(); it != profiles_.cend(); ++it) profiles.insert(it.key(), it.value());
  record.insert(QStringLiteral("profiles"), profiles);
  return record;
}

QJsonObject AgentHealth::Object() {
  QJsonObject record = Record();
  if (agentStart_.isValid()) record.insert(QStringLiteral("agentStart"), Stamp(agentStart_));
  return record;
}

QByteArray AgentHealth::Document() { return QJsonDocument(Object()).toJson(QJsonDocument::Compact); }

}  // namespace agent
