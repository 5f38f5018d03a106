#pragma once
// Tries a POP3 login and an SMTP connection with the values on screen and lists what happens.
// The attempts run on the window's thread; the engine serves the event loop while it waits, so
// the list fills and the window repaints during an attempt.
#include <QDialog>
#include <QStringList>
#include <optional>

#include "ProfileOAuth.h"
#include "ProfileSecurity.h"

class QListWidget;
class QPushButton;

namespace vrlconf {

class Frm_TestConnect : public QDialog {
  Q_OBJECT
 public:
  explicit Frm_TestConnect(QWidget* parent = nullptr);
  ~Frm_TestConnect() override;

  // The security settings and password command the attempts use (default: the original dialogue).
  void SetSecurity(const ProfileSecurity& security) { security_ = security; }
  // An IMAP profile: its folder, which the attempt selects (none: POP3).
  void SetImapFolder(const std::optional<QString>& folder) { imapFolder_ = folder; }
  // With OAuth sign-in: the profile whose stored tokens the attempts use, and its settings.
  void SetOAuth(const QString& profile, const ProfileOAuth& settings) {
    profile_ = profile;
    oauth_ = settings;
  }
  // Keeps the values and shows the window modally; the test starts with "Start".
  int Test_Pop3_Smtp_Connection(QString& UserName, QString& Password, QString& Pop3Server, QString& SmtpServer,
                                quint16& Pop3TcpPort, quint16& SmtpTcpPort, qint16& TimeOutSecs,
                                bool& SmtpRequiresLogin, bool& Pop3LoginBeforeSndMail);
  // The same values without showing the window.
  void SetValues(const QString& UserName, const QString& Password, const QString& Pop3Server,
                 const QString& SmtpServer, quint16 Pop3TcpPort, quint16 SmtpTcpPort, qint16 TimeOutSecs,
                 bool SmtpRequiresLogin, bool Pop3LoginBeforeSndMail);
  void ForceHostConnetivity(const QString& HostType);
  // "Start": runs both attempts; returns when they are done.
  void Start();
  bool Running() const { return running_; }
  // The lines of the result list.
  QStringList Lines() const;
  // What the TLS sessions of the last test said (protocol and certificate subject).
  QStringList SecureConnections() const { return secure_; }

  void reject() override;

  QListWidget* List1;
  QPushButton* CmdTestConnect;
  QPushButton* cmdClose;
  QPushButton* cmdHelp;
  QPushButton* cmdShowCertificate;

 private:
  void Append(const QString& text);
  void ShowCertificate();
  void AddCertificate(const QString& details);
  void ShowHelp();

  QString user_, password_, pop3_, smtp_;
  quint16 pop3Port_ = 110, smtpPort_ = 25;
  qint16 timeout_ = 30;
  bool smtpLogin_ = false, popBefore_ = false;
  ProfileSecurity security_;
  QString profile_;
  ProfileOAuth oauth_;
  std::optional<QString> imapFolder_;
  QStringList secure_;
  bool running_ = false;
};

}  // namespace vrlconf
