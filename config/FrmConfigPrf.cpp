#include "FrmConfigPrf.h"

#include "DlgBrowse.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cerrno>

#include "FileFunctions.h"
#include "FrmInfFileContens.h"
#include "FrmOutSendOptions.h"
#include "Frm_TestConnect.h"
#include "HelpTopic.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileEditor.h"
#include "TabKeys.h"
#include "WinMsgProfile.h"

namespace vrlconf {

namespace {

AuxValues g_aux;
bool g_cancelled = false;
std::function<bool(PromptKind, const QString&)> g_promptHook;
std::function<int(QDialog&)> g_modalHook;

QString Quoted(const QString& path) { return QLatin1Char('"') + path + QLatin1Char('"'); }

QString Extension(const QString& name) { return FileFunctions().GetFileNameExtention(name); }

bool SameExtension(const QString& a, const QString& b) {
  return Extension(a).compare(Extension(b), Qt::CaseInsensitive) == 0;
}

bool AnyType(const QString& text) {
  const QString t = text.trimmed();
  return t.isEmpty() || t == QLatin1String("*.*");
}

const QString kAnyTypeRefused = QStringLiteral("This type of file cannot be used: *.*");

}  // namespace

AuxValues& WorkingValues() { return g_aux; }
void ResetAuxValues() { g_aux = AuxValues(); }
bool EditorCancelled() { return g_cancelled; }

QString RemoveAsterisco(QString& text) {
  text.remove(QLatin1Char('*'));
  return text;
}

QString RemoveRightDot(QString& text) {
  while (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

QString SetFileTypeExtention(QString& text) {
  QString s = text.trimmed();
  RemoveAsterisco(s);
  RemoveRightDot(s);
  if (s.isEmpty())
    text.clear();
  else if (s.startsWith(QLatin1String("*.")))
    text = s;
  else if (s.startsWith(QLatin1Char('*')))
    text = QStringLiteral("*.") + s.mid(1);
  else if (s.startsWith(QLatin1Char('.')))
    text = QLatin1Char('*') + s;
  else
    text = QStringLiteral("*.") + s;
  return text;
}

bool Prompt(QWidget* parent, PromptKind kind, const QString& text) {
  if (g_promptHook) return g_promptHook(kind, text);
  QString shown = text;
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  const QString title = QStringLiteral("Vorlane");
  if (kind == PromptKind::Warning) {
    QMessageBox::warning(parent, title, shown);
    return true;
  }
  QMessageBox box(kind == PromptKind::Question ? QMessageBox::Question : QMessageBox::Warning, title, shown,
                  QMessageBox::Yes | QMessageBox::No, parent);
  return box.exec() == QMessageBox::Yes;
}

void SetPromptHookForTesting(std::function<bool(PromptKind, const QString&)> hook) { g_promptHook = std::move(hook); }

int RunModal(QDialog& dialog) { return g_modalHook ? g_modalHook(dialog) : dialog.exec(); }

void SetModalHookForTesting(std::function<int(QDialog&)> hook) { g_modalHook = std::move(hook); }

namespace {

// Brings the control forward: its tab page, the focus and its whole text.
void FocusOn(QWidget* w) {
  for (QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
    auto* tabs = qobject_cast<QTabWidget*>(p->parentWidget() ? p->parentWidget()->parentWidget() : nullptr);
    if (tabs && tabs->indexOf(p) >= 0) tabs->setCurrentWidget(p);
  }
  w->setFocus(Qt::OtherFocusReason);
  if (auto* e = qobject_cast<QLineEdit*>(w)) e->selectAll();
}

bool AskOn(QWidget* w, const QString& text, PromptKind kind = PromptKind::Question) {
  FocusOn(w);
  return Prompt(w->window(), kind, text);
}

}  // namespace

void FailOn(QWidget* w, const QString& text) {
  FocusOn(w);
  Prompt(w->window(), PromptKind::Warning, text);
}

FrmConfigPrf::FrmConfigPrf(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmConfigPrf"));
  g_cancelled = false;
  auto* top = new QVBoxLayout(this);
  heading_ = new QLabel;
  QFont f = heading_->font();
  f.setBold(true);
  f.setPointSizeF(f.pointSizeF() * 1.2);
  heading_->setFont(f);
  top->addWidget(heading_);
  tabs_ = new QTabWidget;
  top->addWidget(tabs_);
  vrlconf::InstallTabKeys(this, tabs_);
  BuildProfilePage();
  BuildInboundPage();
  BuildOutboundPage();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help);
  connect(buttons, &QDialogButtonBox::accepted, this, &FrmConfigPrf::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &FrmConfigPrf::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this, &FrmConfigPrf::ShowHelp);
  top->addWidget(buttons);
  for (QLineEdit* e : {TxtFilesInbound, TxtFilesRES, TxtFilesRenamed}) e->installEventFilter(this);
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, &FrmConfigPrf::ShowHelp);
}

void FrmConfigPrf::SetHeading(const QString& text) {
  setWindowTitle(text);
  heading_->setText(text);
}

void FrmConfigPrf::AddProfile() {
  SetHeading(QStringLiteral("Add Profile"));
  mode_ = 1;
  for (QCheckBox* c : {ChkPrfEnabled, chkPrcOutboundMessages, chkPrcInboundMessages, ChkCreateInfFileForInMsgs,
                       ChkCreateAttchFilesInMsgs})
    c->setChecked(true);
  OptUseIntMail->setChecked(true);
  OptSndFilesFromDir->setChecked(true);
  OptFlesDelete->setChecked(true);
  ResetAuxValues();
  ApplyInboundInterlock();
  ApplyOutboundInterlock();
}

bool FrmConfigPrf::EditProfile(int& Pos) {
  ResetAuxValues();
  mode_ = 2;
  recordNumber_ = Pos;
  ProfileRecord r;
  if (!ReadProfileRecord(Pos, r)) {
    Prompt(parentWidget(), PromptKind::Warning,
           QStringLiteral("Error reading configuration file: ") + Quoted(ProfilesFilePath()));
    return false;
  }
  extension_ = r.Extension;
  AuxValues& a = g_aux;
  a.Security = conf::ReadProfileSecurity(r);
  a.Unattended = conf::ReadProfileUnattended(r);
  loadedFolders_ = conf::ReadAttachmentFolders(r);
  TxtAttachmentFolders->setText(loadedFolders_.join(QLatin1String("; ")));
  TxtAttachmentFolders->setCursorPosition(0);  // the first folder shows, not the end of a long list
  ChkPrfEnabled->setChecked(r.PrfEnabled);
  TxtQorvProfileName->setText(r.Prfname);
  if (r.HostType != 1) {
    OptUseIntMail->setChecked(true);
    txtSmtpServer->setText(r.SmtpServer);
    txtPop3Server->setText(r.Pop3Server);
    txtPop3SmtpUsername->setText(r.UserName);
    txtPop3SmtpPws->setText(r.Pop3SmtpPws);
    txtfromname->setText(r.FromName);
    txtfromaddress->setText(r.FromAddress);
    a.SmtpRequiresLogin = r.SmtpRequiresLogin;
    a.Pop3LoginBeforeSndMail = r.Pop3LoginBeforeSndMail;
    a.Pop3TcpPort = r.Pop3TcpPort > 0 ? r.Pop3TcpPort : 110;
    a.SmtpTcpPort = r.SmtpTcpPort > 0 ? r.SmtpTcpPort : 25;
    a.TimeOutSecs = r.TimeOutSecs >= 1 && r.TimeOutSecs <= 300 ? r.TimeOutSecs : 30;
  } else {
    OptUseWinMsg->setChecked(true);
    TxtWinMsgProfileName->setText(r.WinMsgProfileName);
    TxtWinMsgPws->setText(Unscramble(r.WinMsgPws));
  }
  TxtInBoundDir->setText(r.InboundDir);
  ChkCreateInfFileForInMsgs->setChecked(r.CreateInfFileInboundMsgs);
  ChkCreateAttchFilesInMsgs->setChecked(r.CreateAttchsInMsgs);
  TxtFilesRES->setText(r.ResFilesExtention);
  TxtOutBoundDir->setText(r.OutboundDir);
  TxtFilesInbound->setText(r.FileExtention);
  TxtFilesRenamed->setText(r.RenamedFilesExtention);
  (r.RenamedFilesExtention.isEmpty() ? OptFlesDelete : OptFlesRename)->setChecked(true);
  if (r.OutboundMode != 1) {
    a.AdressLin = r.AdressLin;
    a.Adress1Sep = r.Adress1Sep;
    a.Adress2Sep = r.Adress2Sep;
    a.FileLin = r.FileLin;
    a.File1Sep = r.File1Sep;
    a.File2Sep = r.File2Sep;
    a.SubjectLin = r.SubjectLin;
    a.Subject1Sep = r.Subject1Sep;
    a.Subject2Sep = r.Subject2Sep;
    a.MsgLin = r.MsgLin;
    a.Msg1Sep = r.Msg1Sep;
    a.Msg2Sep = r.Msg2Sep;
    OptUseInfFiles->setChecked(true);
  } else {
    a.RecAddress = r.RecAddress;
    a.Subject = r.Subject;
    a.MsgText = r.MsgText;
    OptSndFilesFromDir->setChecked(true);
  }
  TxtFilesOutbound->setText(r.OutFilesExtention);
  a.DeleteInterchange = r.DeleteInterchange;
  chkPrcInboundMessages->setChecked(r.PrcInboundMessages);
  ApplyInboundInterlock();
  chkPrcOutboundMessages->setChecked(r.PrcOutboundMessages);
  ApplyOutboundInterlock();
  SetHeading(QStringLiteral("Edit Profile: ") + r.Prfname);
  return true;
}

bool FrmConfigPrf::TesteQorvProfileName() {
  const QString name = TxtQorvProfileName->text();
  if (name.trimmed().isEmpty()) {
    FailOn(TxtQorvProfileName, QStringLiteral("Invalid profile name"));
    return false;
  }
  if (mode_ != 1) return true;
  const int found = FindProfileByName(name);
  if (found == -2) return false;
  if (found > 0) {
    FailOn(TxtQorvProfileName, QStringLiteral("This profile already exists: ") + name);
    return false;
  }
  return true;
}

bool FrmConfigPrf::TesteParamsMessaging() {
  if (!TxtWinMsgProfileName->text().trimmed().isEmpty()) return true;
  FailOn(TxtWinMsgProfileName, QStringLiteral("Invalid Windows Messaging profile name"));
  return false;
}

bool FrmConfigPrf::TesteParamsPop3_Smtp() {
  const bool noSmtp = txtSmtpServer->text().trimmed().isEmpty();
  const bool noPop3 = txtPop3Server->text().trimmed().isEmpty();
  if (noSmtp && noPop3) {
    FailOn(txtSmtpServer, QStringLiteral("Indicate a valid SMTP and/or POP3 Server!"));
    return false;
  }
  if (noSmtp) {
    if (!AskOn(txtSmtpServer, QStringLiteral("SMTP Server is empty. No Outbound Messages will be processed. Continue?")))
      return false;
    chkPrcOutboundMessages->setChecked(false);
  }
  if (noPop3) {
    if (!AskOn(txtPop3Server, QStringLiteral("POP3 Server is empty. No Inbound Messages will be processed. Continue?")))
      return false;
    chkPrcInboundMessages->setChecked(false);
  }
  if (txtPop3SmtpUsername->text().trimmed().isEmpty() &&
      !AskOn(txtPop3SmtpUsername, QStringLiteral("Username is empty. Continue?")))
    return false;
  // A password command supplies the password, so an empty box is expected then.
  if (txtPop3SmtpPws->text().trimmed().isEmpty() && g_aux.Security.PasswordCommand.trimmed().isEmpty() &&
      !AskOn(txtPop3SmtpPws, QStringLiteral("Password is empty. Continue?")))
    return false;
  if (txtfromname->text().trimmed().isEmpty()) {
    FailOn(txtfromname, QStringLiteral("Invalid Name for User Information"));
    return false;
  }
  if (txtfromaddress->text().trimmed().isEmpty()) {
    FailOn(txtfromaddress, QStringLiteral("Invalid E-Mail Address for User Information"));
    return false;
  }
  return true;
}

bool FrmConfigPrf::TesteParamsInbound() {
  QString dir = TxtInBoundDir->text().trimmed();
  const QString again = QStringLiteral("\rContinue ?");
  if (dir.isEmpty()) {
    if (!AskOn(TxtInBoundDir, QStringLiteral("Invalid Inbound directory") + again)) return false;
  } else if (!FileFunctions().DirExists(dir)) {
    if (!AskOn(TxtInBoundDir, QStringLiteral("Directory not found: ") + dir + again)) return false;
  }
  if (!ChkCreateInfFileForInMsgs->isChecked() && !ChkCreateAttchFilesInMsgs->isChecked() &&
      !AskOn(ChkCreateAttchFilesInMsgs,
             QStringLiteral("WARNING!\r\nNo files will be created for inbound messages.\r\nContinue ?"),
             PromptKind::QuestionExclamation))
    return false;
  if (ChkCreateInfFileForInMsgs->isChecked()) {
    if (AnyType(TxtFilesRES->text())) {
      FailOn(TxtFilesRES, kAnyTypeRefused);
      return false;
    }
    if (SameExtension(TxtFilesInbound->text(), TxtFilesRES->text())) {
      FailOn(TxtFilesRES, QStringLiteral("This type of file cannot be used because this is de type of inbound files "));
      return false;
    }
  }
  return true;
}

bool FrmConfigPrf::TesteParamsOutbound() {
  QString dir = TxtOutBoundDir->text().trimmed();
  const QString again = QStringLiteral("\rContinue ?");
  if (dir.isEmpty()) {
    if (!AskOn(TxtOutBoundDir, QStringLiteral("Invalid Outbound directory") + again)) return false;
  } else if (!FileFunctions().DirExists(dir)) {
    if (!AskOn(TxtOutBoundDir, QStringLiteral("Directory not found: ") + dir + again)) return false;
  }
  const QString bad = QStringLiteral("This type of file cannot be used: *.BAD");
  const auto isBad = [](const QString& t) { return Extension(t).compare(QLatin1String("BAD"), Qt::CaseInsensitive) == 0; };
  if (isBad(TxtFilesOutbound->text())) {
    FailOn(TxtFilesOutbound, bad);
    return false;
  }
  if (AnyType(TxtFilesOutbound->text())) {
    FailOn(TxtFilesOutbound, kAnyTypeRefused);
    return false;
  }
  if (TxtAttachmentFolders->isEnabled()) {
    qsizetype at = 0;
    const QStringList folders = AttachmentFolders();
    switch (conf::CheckAttachmentFolders(folders, &at)) {
      case conf::FolderListFault::None: break;
      case conf::FolderListFault::BadName:
        FailOn(TxtAttachmentFolders, QStringLiteral("Not an absolute folder name: ") + folders[at]);
        return false;
      case conf::FolderListFault::TooLong:
        FailOn(TxtAttachmentFolders, QStringLiteral("Too many attachment folders: at most %1 bytes in all")
                                         .arg(conf::kMaxAttachmentFoldersBytes));
        return false;
    }
  }
  if (OptFlesRename->isChecked()) {
    const QString renamed = TxtFilesRenamed->text();
    QString problem;
    if (AnyType(renamed))
      problem = kAnyTypeRefused;
    else if (isBad(renamed))
      problem = bad;
    else if (SameExtension(renamed, TxtFilesOutbound->text()))
      problem = QStringLiteral("This type of file cannot be used because this is de type of information files ");
    if (!problem.isEmpty()) {
      FailOn(TxtFilesRenamed, problem);
      return false;
    }
  }
  return true;
}

bool FrmConfigPrf::TesteSndOptions() {
  if (!g_aux.RecAddress.trimmed().isEmpty()) return true;
  FailOn(CmdOutContens_options, QStringLiteral("Configure the Send Options!"));
  FrmOutSendOptions d(this);
  RunModal(d);
  return false;
}

bool FrmConfigPrf::TesteInfFileContens() {
  if (g_aux.AdressLin != 0) return true;
  FailOn(CmdOutContens_options, QStringLiteral("Configure the contents of information file!"));
  FrmInfFileContens d(this);
  RunModal(d);
  return false;
}

ProfileRecord FrmConfigPrf::BuildRecord() const {
  const AuxValues& a = g_aux;
  ProfileRecord r;
  r.PrfEnabled = ChkPrfEnabled->isChecked();
  r.PrcInboundMessages = chkPrcInboundMessages->isChecked();
  r.PrcOutboundMessages = chkPrcOutboundMessages->isChecked();
  r.CreateInfFileInboundMsgs = ChkCreateInfFileForInMsgs->isChecked();
  r.CreateAttchsInMsgs = ChkCreateAttchFilesInMsgs->isChecked();
  r.Prfname = TxtQorvProfileName->text();
  if (OptUseWinMsg->isChecked()) {
    r.HostType = 1;
    r.WinMsgProfileName = TxtWinMsgProfileName->text();
    // An empty password stays empty, as an import stores it.
    if (!TxtWinMsgPws->text().isEmpty()) r.WinMsgPws = Scramble(TxtWinMsgPws->text());
  } else {
    r.HostType = 2;
    r.SmtpServer = txtSmtpServer->text();
    r.Pop3Server = txtPop3Server->text();
    r.UserName = txtPop3SmtpUsername->text();
    r.Pop3SmtpPws = txtPop3SmtpPws->text();
    r.FromName = txtfromname->text();
    r.FromAddress = txtfromaddress->text();
    r.SmtpRequiresLogin = a.SmtpRequiresLogin;
    r.Pop3LoginBeforeSndMail = a.Pop3LoginBeforeSndMail;
    r.Pop3TcpPort = a.Pop3TcpPort;
    r.SmtpTcpPort = a.SmtpTcpPort;
    r.TimeOutSecs = a.TimeOutSecs;
  }
  r.InboundDir = TxtInBoundDir->text();
  r.FileExtention = TxtFilesInbound->text();
  r.ResFilesExtention = TxtFilesRES->text();
  r.OutboundDir = TxtOutBoundDir->text();
  r.OutFilesExtention = TxtFilesOutbound->text();
  if (OptFlesRename->isChecked()) r.RenamedFilesExtention = TxtFilesRenamed->text();
  if (OptSndFilesFromDir->isChecked()) {
    r.OutboundMode = 1;
    r.RecAddress = a.RecAddress;
    r.Subject = a.Subject;
    r.MsgText = a.MsgText;
  } else {
    r.OutboundMode = 2;
    r.AdressLin = a.AdressLin;
    r.Adress1Sep = a.Adress1Sep;
    r.Adress2Sep = a.Adress2Sep;
    r.FileLin = a.FileLin;
    r.File1Sep = a.File1Sep;
    r.File2Sep = a.File2Sep;
    r.SubjectLin = a.SubjectLin;
    r.Subject1Sep = a.Subject1Sep;
    r.Subject2Sep = a.Subject2Sep;
    r.MsgLin = a.MsgLin;
    r.Msg1Sep = a.Msg1Sep;
    r.Msg2Sep = a.Msg2Sep;
  }
  r.DeleteInterchange = a.DeleteInterchange;
  r.Extension = extension_;
  conf::WriteProfileSecurity(r, a.Security);
  conf::WriteProfileUnattended(r, a.Unattended);
  // Where the folders do not apply, the record keeps the list it had.
  if (TxtAttachmentFolders->isEnabled()) conf::WriteAttachmentFolders(r, AttachmentFolders());
  return r;
}

QStringList FrmConfigPrf::AttachmentFolders() const {
  // Untouched, the box gives back the list as read, so that a name holding ";" survives.
  const QString text = TxtAttachmentFolders->text();
  if (text == loadedFolders_.join(QLatin1String("; "))) return loadedFolders_;
  QStringList folders;
  for (const QString& part : text.split(u';')) {
    if (const QString name = part.trimmed(); !name.isEmpty()) folders << name;
  }
  return folders;
}

void FrmConfigPrf::accept() {
  if (!QFile::exists(ProfilesFilePath()) && !CreateProfilesFile()) {
    Prompt(this, PromptKind::Warning, QStringLiteral("Error creating configuration file: ") + Quoted(ProfilesFilePath()));
    return;
  }
  if (!TesteQorvProfileName()) return;
  if (OptUseWinMsg->isChecked() ? !TesteParamsMessaging() : !TesteParamsPop3_Smtp()) return;
  if (chkPrcInboundMessages->isChecked() && !TesteParamsInbound()) return;
  if (chkPrcOutboundMessages->isChecked()) {
    if (!TesteParamsOutbound()) return;
    if (OptSndFilesFromDir->isChecked() ? !TesteSndOptions() : !TesteInfFileContens()) return;
  }
  if (!chkPrcInboundMessages->isChecked() && !chkPrcOutboundMessages->isChecked()) {
    FailOn(chkPrcInboundMessages, QStringLiteral("Please select 'Process Inbound Messages' or 'Process Outbound Messages'"));
    return;
  }
  ProfileRecord r = BuildRecord();
  bool written;
  errno = 0;
  if (mode_ == 1) {
    written = AddProfileRecord(r);
  } else {
    r.RecordNumber = recordNumber_;
    written = WriteProfileRecord(r);
  }
  if (!written) {
    const int err = errno;
    Prompt(this, PromptKind::Warning, WriteErrorText(ProfilesFilePath(), err));
    return;
  }
  QDialog::accept();
}

void FrmConfigPrf::reject() {
  g_cancelled = true;
  QDialog::reject();
}

void FrmConfigPrf::Browse(QLineEdit* box, const QString& title) {
  DlgBrowse dlg;
  dlg.hWnd = this;
  dlg.Title = title;
  dlg.Show(box->text());
  if (!dlg.Folder().isEmpty()) box->setText(dlg.Folder());
}

void FrmConfigPrf::TestSettings() {
  if (!OptUseIntMail->isChecked() || !TesteParamsPop3_Smtp()) return;
  const AuxValues& a = g_aux;
  Frm_TestConnect d(this);
  QString user = txtPop3SmtpUsername->text(), password = txtPop3SmtpPws->text();
  QString pop3 = txtPop3Server->text(), smtp = txtSmtpServer->text();
  quint16 pop3Port = a.Pop3TcpPort, smtpPort = a.SmtpTcpPort;
  qint16 timeout = a.TimeOutSecs;
  bool smtpLogin = a.SmtpRequiresLogin, popBefore = a.Pop3LoginBeforeSndMail;
  d.SetSecurity(a.Security);
  d.Test_Pop3_Smtp_Connection(user, password, pop3, smtp, pop3Port, smtpPort, timeout, smtpLogin, popBefore);
}

void FrmConfigPrf::OpenMessaging() {
  QString problem;
  if (!qorvconf::OpenWinMsgProfile(TxtWinMsgProfileName->text(), &problem))
    Prompt(this, PromptKind::Warning, problem);
}

void FrmConfigPrf::ShowHelp() {
  static const char* const kTopics[] = {"Html/CfgUmPerfil", "Html/CfgInboundFiles", "Html/CfgOutboundFiles"};
  ShowHelpTopic(this, QLatin1String(kTopics[qBound(0, tabs_->currentIndex(), 2)]));
}

bool FrmConfigPrf::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    if (auto* e = qobject_cast<QLineEdit*>(watched)) {
      QString t = e->text();
      SetFileTypeExtention(t);
      if (t != e->text()) e->setText(t);
    }
  }
  return QDialog::eventFilter(watched, event);
}

bool EditProfile(QWidget* parent, int slot, bool isNew) {
  FrmConfigPrf editor(parent);
  if (isNew) {
    editor.AddProfile();
  } else if (!editor.EditProfile(slot)) {
    return false;
  }
  return editor.exec() == QDialog::Accepted;
}

}  // namespace vrlconf
