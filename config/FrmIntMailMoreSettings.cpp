#include "FrmIntMailMoreSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "BuddyLabels.h"
#include "DlgSignIn.h"
#include "FrmConfigPrf.h"
#include "HelpTopic.h"
#include "TabKeys.h"
#include "oauth/TokenEndpoint.h"
#include "socket/TlsTransport.h"

#include <algorithm>
#include <tuple>

namespace vrlconf {

namespace {

// Digits only, as the number boxes take nothing else.
QLineEdit* NumberBox(const QString& accessible, QObject* parent) {
  auto* e = new QLineEdit;
  e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), parent));
  e->setAccessibleName(accessible);
  e->setMaxLength(5);
  e->setMaximumWidth(e->fontMetrics().horizontalAdvance(QLatin1Char('9')) * 9);
  return e;
}

QComboBox* SecurityList(const QString& accessible, const QString& tip) {
  auto* c = new QComboBox;
  c->addItems({QStringLiteral("Automatic"), QStringLiteral("None"), QStringLiteral("STARTTLS required"),
               QStringLiteral("Implicit TLS")});
  c->setAccessibleName(accessible);
  c->setToolTip(tip);
  return c;
}

// The authentication combo's entry of conf::kAuthOAuth2.
constexpr int kOAuthIndex = 4;

// What the import takes in an OAuth field: one line within the byte bound.
bool OneLine(const QString& text) {
  return text.toUtf8().size() <= conf::kMaxOAuthFieldBytes &&
         std::none_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

// True when the box holds digits whose value lies in [low, high].
bool InRange(QLineEdit* box, int low, int high) {
  bool ok = false;
  const int v = box->text().toInt(&ok);
  return ok && v >= low && v <= high;
}

}  // namespace

FrmIntMailMoreSettings::FrmIntMailMoreSettings(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmIntMailMoreSettings"));
  setWindowTitle(QStringLiteral("Internet Mail Additional Settings"));
  auto* v = new QVBoxLayout(this);
  Tabs = new QTabWidget;
  v->addWidget(Tabs);
  vrlconf::InstallTabKeys(this, Tabs);

  // The original settings.
  auto* page = new QWidget;
  auto* pv = new QVBoxLayout(page);
  auto* ports = new QGroupBox(QStringLiteral("TCP Ports"));
  auto* pf = new QHBoxLayout(ports);
  txtPop3TcpPort = NumberBox(QStringLiteral("POP3 port"), this);
  txtPop3TcpPort->setToolTip(QStringLiteral("110 is the usual POP3 port; 995 with implicit TLS."));
  txtSmtpTcpPort = NumberBox(QStringLiteral("SMTP port"), this);
  txtSmtpTcpPort->setToolTip(QStringLiteral("25 is the usual SMTP port; 587 for submission, 465 with implicit TLS."));
  CmdDefTcpPorts = new QPushButton(QStringLiteral("Use &Defaults"));
  CmdDefTcpPorts->setAutoDefault(false);
  lblPop3Port = BuddyLabel(QStringLiteral("&POP3:"), txtPop3TcpPort);
  pf->addWidget(lblPop3Port);
  pf->addWidget(txtPop3TcpPort);
  pf->addWidget(BuddyLabel(QStringLiteral("&SMTP:"), txtSmtpTcpPort));
  pf->addWidget(txtSmtpTcpPort);
  pf->addStretch();
  pf->addWidget(CmdDefTcpPorts);
  pv->addWidget(ports);
  auto* timeouts = new QGroupBox(QStringLiteral("Server Timeouts"));
  auto* th = new QHBoxLayout(timeouts);
  TxtServerTimeOut = NumberBox(QStringLiteral("Server time-out in seconds"), this);
  TxtServerTimeOut->setToolTip(QStringLiteral("How long to wait for a server's answer, from 1 to 300 seconds."));
  th->addWidget(TxtServerTimeOut);
  th->addWidget(BuddyLabel(QStringLiteral("Seconds"), TxtServerTimeOut));
  th->addStretch();
  pv->addWidget(timeouts);
  auto* login = new QGroupBox(QStringLiteral("Use Login Authorization When Connecting to a Host"));
  auto* lv = new QVBoxLayout(login);
  ckSmtpLogin = new QCheckBox(QStringLiteral("SMTP Requires &Authentication"));
  ckSmtpLogin->setToolTip(QStringLiteral("Logs in to the SMTP server with the profile's user name and password."));
  ckPop3Login = new QCheckBox(QStringLiteral("&Logon to POP3 Before Sending Mail"));
  ckPop3Login->setToolTip(QStringLiteral("Logs in to the POP3 server first, for servers that allow sending after it."));
  lv->addWidget(ckSmtpLogin);
  lv->addWidget(ckPop3Login);
  pv->addWidget(login);
  pv->addStretch();
  Tabs->addTab(page, QStringLiteral("&Connection"));

  // Transport security and authentication.
  page = new QWidget;
  auto* sf = new QFormLayout(page);
  cboSmtpSecurity = SecurityList(QStringLiteral("SMTP security"),
                                 QStringLiteral("Automatic: STARTTLS when the server offers it, and never a password in clear. "
                                                "None: plain text. "
                                                "STARTTLS required: refuse a server without it. Implicit TLS: TLS from "
                                                "the first byte (port 465)."));
  cboPop3Security = SecurityList(QStringLiteral("POP3 security"),
                                 QStringLiteral("Automatic: STLS when the server offers it, and never a password in clear. "
                                                "None: plain text. "
                                                "STARTTLS required: refuse a server without STLS. Implicit TLS: TLS "
                                                "from the first byte (port 995)."));
  sf->addRow(BuddyLabel(QStringLiteral("SMTP s&ecurity:"), cboSmtpSecurity), cboSmtpSecurity);
  lblPop3Security = BuddyLabel(QStringLiteral("POP3 sec&urity:"), cboPop3Security);
  sf->addRow(lblPop3Security, cboPop3Security);
  chkVerifyCertificate = new QCheckBox(QStringLiteral("&Verify the server certificate"));
  chkVerifyCertificate->setToolTip(QStringLiteral("Checks the certificate chain and the host name; clear it only "
                                                  "for a test server."));
  sf->addRow(QString(), chkVerifyCertificate);
  txtCaFile = new QLineEdit;
  txtCaFile->setAccessibleName(QStringLiteral("CA certificates file"));
  txtCaFile->setToolTip(QStringLiteral("A PEM file of the authorities to trust instead of the system's; empty: the "
                                       "system's store."));
  auto* caBrowse = new QPushButton(QStringLiteral("Browse..."));
  caBrowse->setAccessibleName(QStringLiteral("Browse for the CA certificates file"));
  caBrowse->setAutoDefault(false);
  auto* caRow = new QHBoxLayout;
  caRow->addWidget(txtCaFile);
  caRow->addWidget(caBrowse);
  sf->addRow(BuddyLabel(QStringLiteral("C&A file:"), txtCaFile), caRow);
  txtCertFingerprint = new QLineEdit;
  txtCertFingerprint->setAccessibleName(QStringLiteral("Certificate fingerprint"));
  txtCertFingerprint->setPlaceholderText(QStringLiteral("SHA256:..."));
  txtCertFingerprint->setToolTip(QStringLiteral("\"SHA256:\" and 64 hex digits: accepts exactly this certificate "
                                                "(a self-signed server) instead of a chain. The connection test "
                                                "shows the server's, in its list and under Show Certificate."));
  sf->addRow(BuddyLabel(QStringLiteral("&Fingerprint:"), txtCertFingerprint), txtCertFingerprint);
  cboAuthMethod = new QComboBox;
  cboAuthMethod->addItems({QStringLiteral("Automatic"), QStringLiteral("LOGIN (USER/PASS for POP3)"),
                           QStringLiteral("PLAIN"), QStringLiteral("XOAUTH2"),
                           QStringLiteral("OAuth 2.0 sign-in (Microsoft 365, Gmail...)")});
  cboAuthMethod->setAccessibleName(QStringLiteral("Authentication method"));
  cboAuthMethod->setToolTip(QStringLiteral("Automatic: the best method the server offers. XOAUTH2 takes an access "
                                           "token as the password, usually from a password command. OAuth 2.0 "
                                           "sign-in: you sign in once with the provider and the agent keeps the "
                                           "tokens fresh."));
  sf->addRow(BuddyLabel(QStringLiteral("Au&thentication:"), cboAuthMethod), cboAuthMethod);
  txtPasswordCommand = new QLineEdit;
  txtPasswordCommand->setAccessibleName(QStringLiteral("Password command"));
  txtPasswordCommand->setToolTip(QStringLiteral("A shell command whose first output line is the password or token, "
                                                "run at each connection (for example \"pass show mail/orders\"). "
                                                "Empty: the profile's password."));
  sf->addRow(BuddyLabel(QStringLiteral("Password co&mmand:"), txtPasswordCommand), txtPasswordCommand);
  BuildOAuthGroup();
  sf->addRow(grpOAuth);
  Tabs->addTab(page, QStringLiteral("Securit&y"));

  // Unattended running.
  page = new QWidget;
  auto* uf = new QFormLayout(page);
  chkRetryTransient = new QCheckBox(QStringLiteral("&Retry a send that failed for a passing reason"));
  chkRetryTransient->setToolTip(QStringLiteral("A file whose send failed for a reason that may pass (no connection, "
                                               "a time-out, a 4xx reply) stays for a later cycle."));
  spnRetryHours = new QSpinBox;
  spnRetryHours->setRange(1, 32767);
  spnRetryHours->setMaximumWidth(200);
  spnRetryHours->setSuffix(QStringLiteral(" hours"));
  spnRetryHours->setAccessibleName(QStringLiteral("Retry for hours"));
  spnRetryHours->setToolTip(QStringLiteral("How long after its first failure a file is tried again."));
  uf->addRow(chkRetryTransient);
  uf->addRow(BuddyLabel(QStringLiteral("Retry f&or:"), spnRetryHours), spnRetryHours);
  chkKeepOnServer = new QCheckBox(QStringLiteral("&Keep fetched messages on the server"));
  chkKeepOnServer->setToolTip(QStringLiteral("Fetched messages stay on the POP3 server; each is fetched once."));
  spnKeepDays = new QSpinBox;
  spnKeepDays->setRange(0, 32767);
  spnKeepDays->setMaximumWidth(200);
  spnKeepDays->setSuffix(QStringLiteral(" days"));
  spnKeepDays->setSpecialValueText(QStringLiteral("for ever"));
  spnKeepDays->setAccessibleName(QStringLiteral("Keep for days"));
  spnKeepDays->setToolTip(QStringLiteral("How many days a fetched message stays on the server; 0 keeps it for ever."));
  uf->addRow(chkKeepOnServer);
  uf->addRow(BuddyLabel(QStringLiteral("Kee&p for:"), spnKeepDays), spnKeepDays);
  Tabs->addTab(page, QStringLiteral("U&nattended"));

  connect(chkRetryTransient, &QCheckBox::toggled, spnRetryHours, &QWidget::setEnabled);
  connect(chkKeepOnServer, &QCheckBox::toggled, spnKeepDays, &QWidget::setEnabled);
  connect(CmdDefTcpPorts, &QPushButton::clicked, this, [this] {
    txtPop3TcpPort->setText(imap_ ? QStringLiteral("143") : QStringLiteral("110"));
    txtSmtpTcpPort->setText(QStringLiteral("25"));
  });
  connect(caBrowse, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getOpenFileName(this, QStringLiteral("Select the CA certificates file"),
                                                   txtCaFile->text(), QStringLiteral("PEM files (*.pem *.crt);;All files (*)"));
    if (!f.isEmpty()) txtCaFile->setText(f);
  });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help);
  connect(buttons, &QDialogButtonBox::accepted, this, &FrmIntMailMoreSettings::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &FrmIntMailMoreSettings::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this, &FrmIntMailMoreSettings::ShowHelp);
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, &FrmIntMailMoreSettings::ShowHelp);
  v->addWidget(buttons);
  LoadTextValues();
}

void FrmIntMailMoreSettings::SetImap(bool imap) {
  imap_ = imap;
  if (!imap) return;
  lblPop3Port->setText(QStringLiteral("&IMAP:"));
  txtPop3TcpPort->setAccessibleName(QStringLiteral("IMAP port"));
  txtPop3TcpPort->setToolTip(QStringLiteral("143 is the usual IMAP port; 993 with implicit TLS."));
  lblPop3Security->setText(QStringLiteral("IMAP sec&urity:"));
  cboPop3Security->setAccessibleName(QStringLiteral("IMAP security"));
  cboPop3Security->setToolTip(QStringLiteral("Automatic: STARTTLS when the server offers it, and never a password in "
                                             "clear. None: plain text. STARTTLS required: refuse a server without "
                                             "it. Implicit TLS: TLS from the first byte (port 993)."));
}

void FrmIntMailMoreSettings::LoadTextValues() {
  const AuxValues& a = WorkingValues();
  ckSmtpLogin->setChecked(a.SmtpRequiresLogin);
  ckPop3Login->setChecked(a.Pop3LoginBeforeSndMail);
  txtPop3TcpPort->setText(a.Pop3TcpPort > 0 ? QString::number(a.Pop3TcpPort) : QStringLiteral("110"));
  txtSmtpTcpPort->setText(a.SmtpTcpPort > 0 ? QString::number(a.SmtpTcpPort) : QStringLiteral("25"));
  TxtServerTimeOut->setText(a.TimeOutSecs >= 1 && a.TimeOutSecs <= 300 ? QString::number(a.TimeOutSecs)
                                                                         : QStringLiteral("30"));
  const ProfileSecurity& s = a.Security;
  cboSmtpSecurity->setCurrentIndex(s.SmtpSecurity & 3);
  cboPop3Security->setCurrentIndex(s.Pop3Security & 3);
  chkVerifyCertificate->setChecked(s.VerifyCertificate);
  txtCaFile->setText(s.CaFile);
  txtCertFingerprint->setText(s.CertFingerprint);
  cboAuthMethod->setCurrentIndex(s.AuthMethod == conf::kAuthOAuth2 ? kOAuthIndex : s.AuthMethod & 3);
  txtPasswordCommand->setText(s.PasswordCommand);
  const ProfileOAuth& o = a.OAuth;
  cboProvider->setCurrentIndex(std::max(0, cboProvider->findData(o.Provider)));
  const std::pair<QLineEdit*, const QString*> oauthBoxes[] = {
      {txtTenant, &o.Tenant},     {txtClientId, &o.ClientId},         {txtClientSecret, &o.ClientSecret},
      {txtScopes, &o.Scopes},     {txtDeviceUrl, &o.DeviceUrl},       {txtAuthorizeUrl, &o.AuthorizeUrl},
      {txtTokenUrl, &o.TokenUrl}};
  for (auto [box, text] : oauthBoxes) {
    box->setText(*text);
    box->setCursorPosition(0);
  }
  ShowProviderDefaults();
  grpOAuth->setVisible(cboAuthMethod->currentIndex() == kOAuthIndex);
  const ProfileUnattended& u = a.Unattended;
  chkRetryTransient->setChecked(u.RetryTransient);
  spnRetryHours->setValue(u.RetryHours);
  spnRetryHours->setEnabled(u.RetryTransient);
  chkKeepOnServer->setChecked(u.KeepOnServer);
  spnKeepDays->setValue(u.KeepDays);
  spnKeepDays->setEnabled(u.KeepOnServer);
}

bool FrmIntMailMoreSettings::TesteParams() {
  for (QLineEdit* port : {txtPop3TcpPort, txtSmtpTcpPort}) {
    if (!InRange(port, 1, 65535)) {
      FailOn(port, QStringLiteral("Invalid Tcp Port"));
      return false;
    }
  }
  if (!InRange(TxtServerTimeOut, 1, 300)) {
    FailOn(TxtServerTimeOut, QStringLiteral("Invalid Timeout Value: ( 0 < Timeout <= 300)"));
    return false;
  }
  const QString ca = txtCaFile->text().trimmed();
  if (!ca.isEmpty() && !QFileInfo(ca).isFile()) {
    FailOn(txtCaFile, QStringLiteral("There is no CA file ") + ca);
    return false;
  }
  QByteArray pin;
  const QString fingerprint = txtCertFingerprint->text().trimmed();
  if (!fingerprint.isEmpty() && !vrlsock::TlsSettings::ParseFingerprint(fingerprint, &pin)) {
    FailOn(txtCertFingerprint, QStringLiteral("A certificate fingerprint is \"SHA256:\" followed by 64 hex digits"));
    return false;
  }
  return cboAuthMethod->currentIndex() != kOAuthIndex || TesteOAuth();
}

void FrmIntMailMoreSettings::accept() {
  if (!TesteParams()) return;
  AuxValues& a = WorkingValues();
  a.SmtpRequiresLogin = ckSmtpLogin->isChecked();
  a.Pop3LoginBeforeSndMail = ckPop3Login->isChecked();
  a.Pop3TcpPort = static_cast<quint16>(txtPop3TcpPort->text().toInt());
  a.SmtpTcpPort = static_cast<quint16>(txtSmtpTcpPort->text().toInt());
  a.TimeOutSecs = static_cast<qint16>(TxtServerTimeOut->text().toInt());
  ProfileSecurity& s = a.Security;
  s.SmtpSecurity = static_cast<qint16>(cboSmtpSecurity->currentIndex());
  s.Pop3Security = static_cast<qint16>(cboPop3Security->currentIndex());
  s.VerifyCertificate = chkVerifyCertificate->isChecked();
  s.CaFile = txtCaFile->text().trimmed();
  s.CertFingerprint = txtCertFingerprint->text().trimmed();
  s.AuthMethod = static_cast<qint16>(cboAuthMethod->currentIndex());
  s.PasswordCommand = txtPasswordCommand->text();
  // The sign-in settings change only with that method chosen; otherwise they stay as they were.
  if (s.UsesOAuth()) a.OAuth = OAuthInBoxes();
  ProfileUnattended& u = a.Unattended;
  u.RetryTransient = chkRetryTransient->isChecked();
  u.RetryHours = static_cast<qint16>(spnRetryHours->value());
  u.KeepOnServer = chkKeepOnServer->isChecked();
  u.KeepDays = static_cast<qint16>(spnKeepDays->value());
  QDialog::accept();
}

void FrmIntMailMoreSettings::BuildOAuthGroup() {
  grpOAuth = new QGroupBox(QStringLiteral("OAuth 2.0 Sign-in"));
  auto* f = new QFormLayout(grpOAuth);
  cboProvider = new QComboBox;
  cboProvider->addItem(QStringLiteral("Microsoft 365"), QStringLiteral("microsoft"));
  cboProvider->addItem(QStringLiteral("Gmail"), QStringLiteral("google"));
  cboProvider->addItem(QStringLiteral("Other"), QStringLiteral("custom"));
  cboProvider->setAccessibleName(QStringLiteral("Provider"));
  cboProvider->setToolTip(QStringLiteral("Who signs the mailbox in. Other: give every address below."));
  auto box = [](const QString& accessible, const QString& tip) {
    auto* e = new QLineEdit;
    e->setAccessibleName(accessible);
    e->setToolTip(tip);
    return e;
  };
  txtTenant = box(QStringLiteral("Tenant"), QStringLiteral("Microsoft 365: your organisation's directory (tenant) "
                                                           "ID or domain; empty: \"common\", any account."));
  txtClientId = box(QStringLiteral("Client ID"), QStringLiteral("The ID of the application you registered with the "
                                                                "provider for this agent."));
  txtClientSecret = box(QStringLiteral("Client secret"), QStringLiteral("Only if the provider gave the application "
                                                                        "a secret; usually empty for Microsoft 365."));
  txtClientSecret->setEchoMode(QLineEdit::Password);
  txtClientSecret->setPlaceholderText(QStringLiteral("optional"));
  txtScopes = box(QStringLiteral("Scopes"), {});
  txtDeviceUrl = box(QStringLiteral("Device authorization URL"), {});
  txtAuthorizeUrl = box(QStringLiteral("Authorization URL"), {});
  txtTokenUrl = box(QStringLiteral("Token URL"), {});
  // Wide enough for the provider's usual addresses, which show as placeholders.
  ProfileOAuth microsoft;
  microsoft.Provider = QStringLiteral("microsoft");
  const int urlWidth = txtTokenUrl->fontMetrics().horizontalAdvance(microsoft.Resolved().DeviceUrl) + 16;
  for (QLineEdit* e : {txtDeviceUrl, txtAuthorizeUrl, txtTokenUrl}) e->setMinimumWidth(urlWidth);
  auto* providerRow = new QHBoxLayout;
  providerRow->addWidget(cboProvider);
  providerRow->addSpacing(12);
  providerRow->addWidget(BuddyLabel(QStringLiteral("&Directory (tenant):"), txtTenant));
  providerRow->addWidget(txtTenant, 1);
  f->addRow(BuddyLabel(QStringLiteral("P&rovider:"), cboProvider), providerRow);
  f->addRow(BuddyLabel(QStringLiteral("Client &ID:"), txtClientId), txtClientId);
  f->addRow(BuddyLabel(QStringLiteral("Client &secret:"), txtClientSecret), txtClientSecret);
  f->addRow(BuddyLabel(QStringLiteral("Sco&pes:"), txtScopes), txtScopes);
  f->addRow(BuddyLabel(QStringLiteral("Device authorization UR&L:"), txtDeviceUrl), txtDeviceUrl);
  f->addRow(BuddyLabel(QStringLiteral("Authori&zation URL:"), txtAuthorizeUrl), txtAuthorizeUrl);
  f->addRow(BuddyLabel(QStringLiteral("To&ken URL:"), txtTokenUrl), txtTokenUrl);
  cmdProviderServers = new QPushButton(QStringLiteral("Use the provider's servers"));
  cmdProviderServers->setToolTip(QStringLiteral("Sets the profile's POP3 and SMTP servers, ports and security to "
                                                "the provider's, and SMTP login."));
  cmdSignIn = new QPushButton(QStringLiteral("Si&gn in..."));
  for (QPushButton* b : {cmdProviderServers, cmdSignIn}) b->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdProviderServers);
  buttons->addStretch();
  buttons->addWidget(cmdSignIn);
  f->addRow(buttons);
  lblChosenServers = new QLabel;
  lblChosenServers->setWordWrap(true);
  lblChosenServers->hide();
  f->addRow(lblChosenServers);

  connect(cboAuthMethod, &QComboBox::currentIndexChanged, grpOAuth,
          [this](int index) { grpOAuth->setVisible(index == kOAuthIndex); });
  connect(cboProvider, &QComboBox::currentIndexChanged, this, &FrmIntMailMoreSettings::ShowProviderDefaults);
  // The Microsoft addresses hold the tenant.
  connect(txtTenant, &QLineEdit::textChanged, this, &FrmIntMailMoreSettings::ShowProviderDefaults);
  auto signInNeedsId = [this] {
    const bool given = !txtClientId->text().trimmed().isEmpty();
    cmdSignIn->setEnabled(given);
    cmdSignIn->setToolTip(given ? QStringLiteral("Signs the profile in with the provider now, with the settings "
                                                 "above; the agent then keeps the tokens fresh.")
                                : QStringLiteral("Enter the client ID first."));
  };
  connect(txtClientId, &QLineEdit::textChanged, this, signInNeedsId);
  signInNeedsId();
  connect(cmdProviderServers, &QPushButton::clicked, this, &FrmIntMailMoreSettings::UseProviderServers);
  connect(cmdSignIn, &QPushButton::clicked, this, &FrmIntMailMoreSettings::SignIn);
}

ProfileOAuth FrmIntMailMoreSettings::OAuthInBoxes() const {
  const ProfileOAuth& was = WorkingValues().OAuth;
  // A box left as it was gives back its text exactly; a typed one loses surrounding blanks.
  auto text = [](const QLineEdit* box, const QString& loaded) {
    return box->text() == loaded ? loaded : box->text().trimmed();
  };
  ProfileOAuth o;
  o.Provider = cboProvider->currentData().toString();
  o.ClientId = text(txtClientId, was.ClientId);
  o.ClientSecret = txtClientSecret->text();
  o.Tenant = text(txtTenant, was.Tenant);
  o.Scopes = text(txtScopes, was.Scopes);
  o.DeviceUrl = text(txtDeviceUrl, was.DeviceUrl);
  o.AuthorizeUrl = text(txtAuthorizeUrl, was.AuthorizeUrl);
  o.TokenUrl = text(txtTokenUrl, was.TokenUrl);
  return o;
}

// What the import refuses, refused here at the box that holds it.
bool FrmIntMailMoreSettings::TesteOAuth() {
  const ProfileOAuth o = OAuthInBoxes();
  const std::pair<QLineEdit*, const QString*> boxes[] = {
      {txtTenant, &o.Tenant}, {txtClientId, &o.ClientId},   {txtClientSecret, &o.ClientSecret},
      {txtScopes, &o.Scopes}, {txtDeviceUrl, &o.DeviceUrl}, {txtAuthorizeUrl, &o.AuthorizeUrl},
      {txtTokenUrl, &o.TokenUrl}};
  for (auto [box, text] : boxes) {
    if (!OneLine(*text)) {
      FailOn(box, QStringLiteral("%1 must be one line of at most %2 bytes")
                      .arg(box->accessibleName()).arg(conf::kMaxOAuthFieldBytes));
      return false;
    }
  }
  if (o.ClientId.isEmpty()) {
    FailOn(txtClientId, QStringLiteral("Enter the client ID of the application registered with the provider"));
    return false;
  }
  const ProfileOAuth r = o.Resolved();
  const std::pair<QLineEdit*, const QString*> urls[] = {
      {txtDeviceUrl, &r.DeviceUrl}, {txtAuthorizeUrl, &r.AuthorizeUrl}, {txtTokenUrl, &r.TokenUrl}};
  for (auto [box, url] : urls) {
    if (!url->isEmpty() && !oauth::AllowedEndpoint(QUrl(*url, QUrl::StrictMode))) {
      FailOn(box, QStringLiteral("%1 must be an https address (http only to this computer): %2")
                      .arg(box->accessibleName(), oauth::Shown(*url)));
      return false;
    }
  }
  if (r.TokenUrl.isEmpty()) {
    FailOn(txtTokenUrl, QStringLiteral("Enter the provider's token URL"));
    return false;
  }
  if (r.DeviceUrl.isEmpty() && r.AuthorizeUrl.isEmpty()) {
    FailOn(txtDeviceUrl, QStringLiteral("Enter the provider's device authorization URL or authorization URL"));
    return false;
  }
  return true;
}

// Empty boxes show what the provider fills in their place.
void FrmIntMailMoreSettings::ShowProviderDefaults() {
  ProfileOAuth shown;
  shown.Provider = cboProvider->currentData().toString();
  shown.Tenant = txtTenant->text();
  const ProfileOAuth r = shown.Resolved();
  const bool microsoft = shown.Provider == QLatin1String("microsoft");
  txtTenant->setEnabled(microsoft);
  txtTenant->setPlaceholderText(microsoft ? QStringLiteral("common") : QString());
  const std::tuple<QLineEdit*, QString, QString> boxes[] = {
      {txtScopes, r.Scopes, QStringLiteral("Space-separated permissions to ask for.")},
      {txtDeviceUrl, r.DeviceUrl, QStringLiteral("Where a sign-in code is asked for, to sign in on another device.")},
      {txtAuthorizeUrl, r.AuthorizeUrl, QStringLiteral("The page the browser signs in on.")},
      {txtTokenUrl, r.TokenUrl, QStringLiteral("Where the agent gets its tokens.")}};
  for (const auto& [box, fallback, tip] : boxes) {
    box->setPlaceholderText(fallback);
    box->setToolTip(tip + (fallback.isEmpty() ? QStringLiteral(" The provider has none: give it when it has one.")
                                              : QStringLiteral(" Empty: the provider's, ") + fallback));
  }
  conf::ProviderServers unused;
  cmdProviderServers->setEnabled(conf::PresetServers(shown.Provider, &unused));
}

void FrmIntMailMoreSettings::UseProviderServers() {
  conf::ProviderServers p;
  if (!conf::PresetServers(cboProvider->currentData().toString(), &p)) return;
  txtPop3TcpPort->setText(QString::number(p.pop3Port));
  txtSmtpTcpPort->setText(QString::number(p.smtpPort));
  cboPop3Security->setCurrentIndex(p.pop3Security & 3);
  cboSmtpSecurity->setCurrentIndex(p.smtpSecurity & 3);
  ckSmtpLogin->setChecked(true);
  chosenServers_ = p;
  lblChosenServers->setText(QStringLiteral("With OK the profile's servers become %1 (POP3, port %2) and %3 "
                                           "(SMTP, port %4).")
                                .arg(p.pop3Server).arg(p.pop3Port).arg(p.smtpServer).arg(p.smtpPort));
  lblChosenServers->show();
}

void FrmIntMailMoreSettings::SignIn() {
  if (!TesteOAuth()) return;
  if (profileName_.trimmed().isEmpty()) {
    Prompt(this, PromptKind::Warning,
           QStringLiteral("Give the profile a name first: the sign-in is kept under the profile's name."));
    return;
  }
  const ProfileOAuth r = OAuthInBoxes().Resolved();
  oauth::SignInSettings s;
  s.profile = profileName_;
  s.deviceUrl = QUrl(r.DeviceUrl);
  s.authorizeUrl = QUrl(r.AuthorizeUrl);
  s.tokenUrl = QUrl(r.TokenUrl);
  s.clientId = r.ClientId;
  s.clientSecret = r.ClientSecret;
  s.scopes = r.Scopes;
  DlgSignIn d(s, this);
  RunModal(d);
}

void FrmIntMailMoreSettings::ShowHelp() {
  static const char* const kTopics[] = {"Html/IMail_AdicSettings", "Html/IMail_Security", "Html/IMail_Unattended"};
  ShowHelpTopic(this, QLatin1String(kTopics[qBound(0, Tabs->currentIndex(), 2)]));
}

}  // namespace vrlconf
