#include "ImapIdle.h"

#include "AppFolder.h"
#include "PasswordCommand.h"
#include "ProfileInbound.h"
#include "ProfileSecurity.h"
#include "imap/IMAP_InMail.h"
#include "oauth/TokenStore.h"

#include <QThread>

#include <algorithm>
#include <atomic>

namespace agent {

class ImapIdleWatchers::Watcher : public QThread {
 public:
  Watcher(ImapIdleWatchers& owner, const ProfileRecord& profile) : owner_(owner), profile_(profile) {}
  ~Watcher() override { End(); }

  void Ask() { stop_ = true; }
  void End() {
    Ask();
    wait();
  }

 protected:
  void run() override {
    int pause = kFirstPauseSecs;
    bool troubled = false;
    while (!stop_) {
      QString why;
      if (Watch(&why)) {
        pause = kFirstPauseSecs;
        troubled = false;
      } else if (!stop_ && !troubled && !why.isEmpty()) {
        troubled = true;
        emit owner_.Trouble(profile_.Prfname, why);
      }
      for (int slept = 0; slept < pause * 10 && !stop_; ++slept) msleep(100);
      pause = std::min(pause * 2, kLongestPauseSecs);
    }
  }

 private:
  // One connection: logs in, selects the folder and waits until it breaks or the watcher ends.
  // True when it got as far as waiting.
  bool Watch(QString* why) {
    const ProfileSecurity security = conf::ReadProfileSecurity(profile_);
    QString password = profile_.Pop3SmtpPws;
    if (security.UsesOAuth()) {
      oauth::StoredTokens tokens;
      oauth::TokenStore(folder_).Load(profile_.Prfname, tokens);
      if (tokens.accessToken.isEmpty() || !tokens.accessExpires.isValid() ||
          QDateTime::currentDateTimeUtc().secsTo(tokens.accessExpires) < 60)
        return false;  // the next cycle renews it
      password = tokens.accessToken;
    } else if (!security.PasswordCommand.trimmed().isEmpty() &&
               !vrl::RunPasswordCommand(security.PasswordCommand, &password, why)) {
      return false;
    }
    IMAP_InMail imap;
    imap.SetSecurity(security.ClientSettings(false));
    // Short: a stop waits for the answer to DONE at most this long.
    qint16 timeout = 5;
    imap.SetTimeOutNSeconds(timeout);
    quint16 port = profile_.Pop3TcpPort;
    if (!imap.Connect(profile_.UserName, password, profile_.Pop3Server, port) ||
        !imap.Select(conf::ReadProfileInbound(profile_).ImapFolder)) {
      *why = imap.GetLastError();
      return false;
    }
    bool waited = false;
    while (!stop_) {
      bool newMail = false;
      if (!imap.Idle(kReissueSecs, [this] { return !stop_; }, &newMail)) {
        *why = imap.GetLastError();
        break;
      }
      waited = true;
      if (newMail) emit owner_.NewMail(profile_.Prfname);
    }
    if (stop_ && imap.IsConnected()) imap.Logout();
    return waited;
  }

  ImapIdleWatchers& owner_;
  const ProfileRecord profile_;
  const QString folder_ = vrl::ApplicationFolder();
  std::atomic<bool> stop_{false};
};

ImapIdleWatchers::ImapIdleWatchers() = default;

ImapIdleWatchers::~ImapIdleWatchers() { Stop(); }

bool ImapIdleWatchers::Wants(const ProfileRecord& p) {
  const ProfileInbound in = conf::ReadProfileInbound(p);
  return p.PrfEnabled && p.HostType == 2 && p.PrcInboundMessages && !p.Pop3Server.trimmed().isEmpty() &&
         in.UsesImap() && in.ImapIdle;
}

void ImapIdleWatchers::Start(const QVector<ProfileRecord>& profiles) {
  Stop();
  for (const ProfileRecord& p : profiles) {
    if (!Wants(p)) continue;
    watchers_.push_back(std::make_unique<Watcher>(*this, p));
    watchers_.back()->start();
  }
}

void ImapIdleWatchers::Stop() {
  // All at once: each waits for its own server's answer to DONE.
  for (auto& w : watchers_) w->Ask();
  for (auto& w : watchers_) w->End();
  watchers_.clear();
}

}  // namespace agent
