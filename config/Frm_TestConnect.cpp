#include "Frm_TestConnect.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "AppFolder.h"
#include "HelpTopic.h"
#include "PasswordCommand.h"
#include "oauth/TokenStore.h"
#include "imap/IMAP_InMail.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SMTP_OutMail.h"
#include "socket/SecuritySettings.h"
#include "socket/Test_Com.h"

namespace vrlconf {

namespace {

const QString kDashes(143, QLatin1Char('-'));

}  // namespace

Frm_TestConnect::Frm_TestConnect(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Frm_TestConnect"));
  setWindowTitle(QStringLiteral("Test POP3 and SMTP Connection"));
  // The original dialogue has no security settings; a profile's own come through SetSecurity.
  security_ = ProfileSecurity();
  auto* v = new QVBoxLayout(this);
  List1 = new QListWidget;
  List1->setAccessibleName(QStringLiteral("Connection test results"));
  List1->setFont(QFont(QStringLiteral("monospace")));
  v->addWidget(List1);
  auto* h = new QHBoxLayout;
  CmdTestConnect = new QPushButton(QStringLiteral("Start"));
  CmdTestConnect->setToolTip(QStringLiteral("Logs in to the POP3 server and connects to the SMTP server."));
  cmdShowCertificate = new QPushButton(QStringLiteral("Show &Certificate"));
  cmdShowCertificate->setToolTip(QStringLiteral("The TLS protocol and the server certificate of the last test."));
  cmdShowCertificate->setEnabled(false);
  cmdClose = new QPushButton(QStringLiteral("Close"));
  cmdHelp = new QPushButton(QStringLiteral("Help"));
  h->addWidget(CmdTestConnect);
  h->addWidget(cmdShowCertificate);
  h->addStretch();
  h->addWidget(cmdClose);
  h->addWidget(cmdHelp);
  v->addLayout(h);
  CmdTestConnect->setDefault(true);
  connect(CmdTestConnect, &QPushButton::clicked, this, &Frm_TestConnect::Start);
  connect(cmdClose, &QPushButton::clicked, this, &Frm_TestConnect::reject);
  connect(cmdHelp, &QPushButton::clicked, this, &Frm_TestConnect::ShowHelp);
  connect(cmdShowCertificate, &QPushButton::clicked, this, &Frm_TestConnect::ShowCertificate);
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, &Frm_TestConnect::ShowHelp);
  resize(720, 400);
}

Frm_TestConnect::~Frm_TestConnect() = default;

void Frm_TestConnect::SetValues(const QString& UserName, const QString& Password, const QString& Pop3Server,
                                const QString& SmtpServer, quint16 Pop3TcpPort, quint16 SmtpTcpPort,
                                qint16 TimeOutSecs, bool SmtpRequiresLogin, bool Pop3LoginBeforeSndMail) {
  user_ = UserName;
  password_ = Password;
  pop3_ = Pop3Server;
  smtp_ = SmtpServer;
  pop3Port_ = Pop3TcpPort;
  smtpPort_ = SmtpTcpPort;
  timeout_ = TimeOutSecs;
  smtpLogin_ = SmtpRequiresLogin;
  popBefore_ = Pop3LoginBeforeSndMail;
}

int Frm_TestConnect::Test_Pop3_Smtp_Connection(QString& UserName, QString& Password, QString& Pop3Server,
                                               QString& SmtpServer, quint16& Pop3TcpPort, quint16& SmtpTcpPort,
                                               qint16& TimeOutSecs, bool& SmtpRequiresLogin,
                                               bool& Pop3LoginBeforeSndMail) {
  SetValues(UserName, Password, Pop3Server, SmtpServer, Pop3TcpPort, SmtpTcpPort, TimeOutSecs, SmtpRequiresLogin,
            Pop3LoginBeforeSndMail);
  return exec();
}

void Frm_TestConnect::ForceHostConnetivity(const QString& HostType) {
  Test_Com test;
  qint16 timeout = timeout_, retries = 0;
  QString pop3 = pop3_, smtp = smtp_;
  const QString kind = HostType.toUpper();
  if (kind == QLatin1String("POP3") || kind == QLatin1String("ALL")) test.TestHost(pop3, timeout, retries);
  if (kind == QLatin1String("SMTP") || (kind == QLatin1String("ALL") && smtp_ != pop3_))
    test.TestHost(smtp, timeout, retries);
}

void Frm_TestConnect::Append(const QString& text) {
  if (text.isEmpty()) return;
  List1->addItem(text);
  List1->scrollToBottom();
}

QStringList Frm_TestConnect::Lines() const {
  QStringList lines;
  for (int i = 0; i < List1->count(); ++i) lines << List1->item(i)->text();
  return lines;
}

void Frm_TestConnect::Start() {
  if (running_) return;
  running_ = true;
  CmdTestConnect->setEnabled(false);
  cmdClose->setEnabled(false);
  cmdShowCertificate->setEnabled(false);
  List1->clear();
  secure_.clear();
  Append(kDashes);
  QString password = password_;
  bool go = true;
  if (security_.UsesOAuth()) {
    // The tokens the agent would use; signing in is the Sign in button's.
    const ProfileOAuth o = oauth_.Resolved();
    const oauth::TokenAnswer a = oauth::TokenStore(vrl::ApplicationFolder())
                                     .Access(profile_, QUrl(o.TokenUrl), o.ClientId, o.ClientSecret, o.Scopes, false,
                                             std::clamp<int>(timeout_, 5, 120) * 1000);
    go = a.outcome == oauth::TokenAnswer::Outcome::Tokens;
    password = a.accessToken;
    if (!go) Append(QStringLiteral("OAuth sign-in: ") + a.error);
  } else if (!security_.PasswordCommand.trimmed().isEmpty()) {
    QString error;
    go = vrl::RunPasswordCommand(security_.PasswordCommand, &password, &error);
    if (!go) Append(QStringLiteral("Password command: ") + error);
  }
  if (go && !pop3_.isEmpty() && imapFolder_) {
    // An IMAP profile: the login and its folder.
    IMAP_InMail client;
    connect(&client, &IMAP_InMail::OperationFailed, this, &Frm_TestConnect::Append);
    connect(&client, &IMAP_InMail::Status, this, &Frm_TestConnect::Append);
    connect(&client, &IMAP_InMail::SecureConnection, this, [this](const QString& how) {
      secure_ << QStringLiteral("IMAP: ") + how;
      Append(QStringLiteral("IMAP connection under ") + how);
    });
    connect(&client, &IMAP_InMail::ServerCertificate, this, &Frm_TestConnect::AddCertificate);
    client.SetSecurity(security_.ClientSettings(false));
    const auto attempt = [&](qint16 seconds) {
      client.SetTimeOutNSeconds(seconds);
      quint16 port = pop3Port_;
      return client.Connect(user_, password, pop3_, port);
    };
    bool ok = attempt(20);
    if (!ok) {
      ForceHostConnetivity(QStringLiteral("POP3"));
      ok = attempt(timeout_);
    }
    if (ok && !client.Select(*imapFolder_)) {
      Append(QStringLiteral("Folder ") + *imapFolder_ + QStringLiteral(": ") + client.GetLastError());
      ok = false;
    }
    if (client.IsConnected()) client.Logout();
    Append(ok ? QStringLiteral("IMAP Server OK") : QStringLiteral("ERROR Connecting to IMAP Server"));
    Append(kDashes);
    client.disconnect(this);
  } else if (go && !pop3_.isEmpty()) {
    auto client = std::make_unique<POP3_InMail>();
    connect(client.get(), &POP3_InMail::Pop3OperationFailed, this, &Frm_TestConnect::Append);
    connect(client.get(), &POP3_InMail::Pop3Status, this, &Frm_TestConnect::Append);
    connect(client.get(), &POP3_InMail::SecureConnection, this, [this](const QString& how) {
      secure_ << QStringLiteral("POP3: ") + how;
      Append(QStringLiteral("POP3 connection under ") + how);
    });
    connect(client.get(), &POP3_InMail::ServerCertificate, this, &Frm_TestConnect::AddCertificate);
    client->SetSecurity(security_.ClientSettings(false));
    const auto attempt = [&](qint16 seconds) {
      client->SetTimeOutNSeconds(seconds);
      quint16 port = pop3Port_;
      return client->ConnectToPop3Server(user_, password, pop3_, port);
    };
    bool ok = attempt(20);
    if (!ok) {
      ForceHostConnetivity(QStringLiteral("POP3"));
      ok = attempt(timeout_);
    }
    Append(ok ? QStringLiteral("POP3 Server OK") : QStringLiteral("ERROR Connecting to POP3 Server"));
    Append(kDashes);
    // What the client says while it goes belongs to no attempt: the list ends at the dash line.
    client->disconnect(this);
  }
  if (go && !smtp_.isEmpty()) {
    auto client = std::make_unique<SMTP_OutMail>();
    SMTP_OutMail& s = *client;
    connect(&s, &SMTP_OutMail::SendFailed, this, &Frm_TestConnect::Append);
    connect(&s, &SMTP_OutMail::Status, this, &Frm_TestConnect::Append);
    connect(&s, &SMTP_OutMail::SecureConnection, this, [this](const QString& how) {
      secure_ << QStringLiteral("SMTP: ") + how;
      Append(QStringLiteral("SMTP connection under ") + how);
    });
    connect(&s, &SMTP_OutMail::ServerCertificate, this, &Frm_TestConnect::AddCertificate);
    s.SetSMTPPort(smtpPort_);
    s.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_NONE);
    s.SetEmailAddressValidation(SMTP_OutMail::VALIDATE_SYNTAX);
    s.SetDelimiter(QStringLiteral(";"));
    s.SetSMTPHost(smtp_);
    s.SetUseAuthentication(smtpLogin_);
    s.SetUsePopAuthentication(popBefore_);
    s.SetUsername(user_);
    s.SetPassword(password);
    s.SetPOP3Port(pop3Port_);
    s.SetPOP3Host(pop3_);
    s.SetSecurity(security_.ClientSettings(true));
    s.SetTimeOutNSeconds(20);
    bool ok = s.Connect();
    if (!ok) {
      ForceHostConnetivity(QStringLiteral("SMTP"));
      s.SetTimeOutNSeconds(static_cast<int>(timeout_));
      ok = s.Connect();
    }
    Append(ok ? QStringLiteral("SMTP Server OK") : QStringLiteral("ERROR Connecting to SMTP Server"));
    Append(kDashes);
    s.disconnect(this);
  }
  CmdTestConnect->setEnabled(true);
  cmdClose->setEnabled(true);
  cmdShowCertificate->setEnabled(!secure_.isEmpty());
  running_ = false;
}

void Frm_TestConnect::reject() {
  // The attempts run inside "Start"; the window stays until they are done.
  if (!running_) QDialog::reject();
}

void Frm_TestConnect::AddCertificate(const QString& details) {
  // Each session's certificate goes under its "POP3: TLSv1.3, ..." line.
  if (!secure_.isEmpty() && !details.isEmpty()) secure_.last() += QLatin1Char('\n') + details;
}

void Frm_TestConnect::ShowCertificate() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Vorlane"), secure_.join(QStringLiteral("\n\n")),
                  QMessageBox::Ok, this);
  // The fingerprint is there to be copied into the profile's setting.
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  box.exec();
}

void Frm_TestConnect::ShowHelp() { ShowHelpTopic(this, QStringLiteral("Html/IMail_TestSettings")); }

}  // namespace vrlconf
