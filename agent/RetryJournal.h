#pragma once
// When each outbound file kept for a later cycle first failed to go: a small file in the
// application folder, keyed by the file's full path. It is replaced whole on every change (a
// crash leaves the old one or the new one) and holds only files that still exist, so it never
// grows past the files that wait.
#include <QDateTime>
#include <QHash>
#include <QString>

#include "JsonRecordFile.h"

namespace agent {

class Fleet;

inline const QString kRetryJournalName = QStringLiteral("VRLEng31.retry");

class RetryJournal {
 public:
  // Seconds since path first failed; a path without an entry gets `now` as its first failure.
  qint64 FailedFor(const QString& path, const QDateTime& now);
  // Drops the entry of path (sent, renamed, given up).
  void Forget(const QString& path);
  // "<journal path> - <reason>" of the last write that failed, once; empty when none failed.
  QString TakeWriteError();
  // A fleet keeps the entries in its database, where whichever agent runs the profile next
  // finds them; those of the session's outbound folder are read once when it opens.
  void UseFleet(Fleet* fleet, const QString& folder);

 private:
  void Load();
  void Write();

  Fleet* fleet_ = nullptr;
  bool fleetRead_ = false;  // first_ holds every entry of the folder
  QString fleetError_;
  JsonRecordFile file_{kRetryJournalName};
  QHash<QString, qint64> first_;  // path -> first failure, seconds since the epoch
};

}  // namespace agent
