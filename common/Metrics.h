#pragma once
// The agent's figures for monitoring, in the Prometheus text exposition format (0.0.4): what the
// agent writes to the global MetricsFile after every cycle and what VRL31 --metrics prints, made
// by one formatter from the health record, so that both always say the same.
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "ConfRecords.h"

namespace metrics {

// What a MetricsFile path may take, in UTF-8 bytes.
inline constexpr qsizetype kMaxPathBytes = 1024;
// Entries of an outbound folder looked at for its count: a folder flooded with files costs a
// bounded time each cycle.
inline constexpr qint64 kMaxQueueEntries = 100000;

// Why a MetricsFile value cannot be stored, as a phrase for behind its name ("must be an absolute
// path"); empty when it can (an empty value, for none, included).
QString PathProblem(const QString& path);

// A label value escaped as the format asks (backslash, double quote, line feed), so that a name
// can neither end its line nor its value.
QByteArray EscapeLabelValue(const QString& value);

// The files waiting in an outbound folder: regular, visible files whose names match the profile's
// pattern (as the agent's list matches them, whatever their age), counted among at most
// kMaxQueueEntries entries of the folder. Contents are never read. -1 when the folder cannot be
// listed.
qint64 CountOutboundFiles(const QString& folder, const QString& pattern);

// The outbound counts of the profiles that send, by name (profiles of the same name add up).
QHash<QString, qint64> OutboundQueues(const QList<ProfileRecord>& profiles);

// The exposition of the health record (as the agent's Health property gives it: its agentStart
// only while the agent runs) and of the outbound counts of its profiles; families in a fixed
// order, profiles by name, every family with its HELP and TYPE lines.
QByteArray Format(const QJsonObject& health, const QHash<QString, qint64>& outbound);

}  // namespace metrics
