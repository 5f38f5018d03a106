#pragma once
// Waiting for new mail between cycles (IMAP IDLE): for each IMAP profile that asks for it, one
// connection to its folder on a thread of its own, IDLE re-issued every 25 minutes, a dropped
// connection made again after a pause that doubles up to 5 minutes. A new message says which
// profile to run at once. The watchers never renew an OAuth token (the cycle does, so that two
// renewals never race over a rotated refresh token): without a live access token they wait.
#include <QObject>
#include <QString>
#include <QVector>
#include <memory>
#include <vector>

#include "ConfRecords.h"

namespace agent {

class ImapIdleWatchers : public QObject {
  Q_OBJECT
 public:
  ImapIdleWatchers();
  ~ImapIdleWatchers() override;  // stops them

  static constexpr int kReissueSecs = 25 * 60;
  static constexpr int kFirstPauseSecs = 5;
  static constexpr int kLongestPauseSecs = 5 * 60;

  // Whether the profile waits for new mail: enabled, internet mail, inbound over IMAP with IDLE.
  static bool Wants(const ProfileRecord& profile);
  // Starts a watcher for each such profile (those running are stopped first).
  void Start(const QVector<ProfileRecord>& profiles);
  // Ends every watcher: each leaves its IDLE at once and its connection within its time-out.
  void Stop();
  int Count() const { return int(watchers_.size()); }

 signals:
  // A new message in the profile's folder (queued to the thread of this object).
  void NewMail(const QString& profile);
  // A watcher's connection failed; said once until it works again.
  void Trouble(const QString& profile, const QString& text);

 private:
  class Watcher;
  std::vector<std::unique_ptr<Watcher>> watchers_;
};

}  // namespace agent
