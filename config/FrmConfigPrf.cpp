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
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>

#include "FileFunctions.h"
#include "FrmInfFileContens.h"
#include "FrmOutSendOptions.h"
#include "Frm_TestConnect.h"
#include "HelpTopic.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileCheck.h"
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
  {
    const QSignalBlocker quiet(OptImap);
    OptPop3->setChecked(true);
  }
  OptImapDelete->setChecked(true);
  ApplyProtocol(false);
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
  a.OAuth = conf::ReadProfileOAuth(r);
  loadedFolders_ = conf::ReadAttachmentFolders(r);
  TxtAttachmentFolders->setText(loadedFolders_.join(QLatin1String("; ")));
  TxtAttachmentFolders->setCursorPosition(0);  // the first folder shows, not the end of a long list
  loadedInbound_ = conf::ReadProfileInbound(r);
  {
    // Loading is no switch: the port stays as stored.
    const QSignalBlocker quiet(OptImap);
    (loadedInbound_.UsesImap() ? OptImap : OptPop3)->setChecked(true);
  }
  TxtImapFolder->setText(loadedInbound_.ImapFolder);
  TxtImapMoveTo->setText(loadedInbound_.ImapMoveTo);
  (loadedInbound_.ImapAfter == QLatin1String("move")   ? OptImapMove
   : loadedInbound_.ImapAfter == QLatin1String("keep") ? OptImapKeep
                                                       : OptImapDelete)
      ->setChecked(true);
  ChkImapIdle->setChecked(loadedInbound_.ImapIdle);
  ApplyProtocol(false);
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

QWidget* FrmConfigPrf::ControlOf(conf::ProfileField field) const {
  using F = conf::ProfileField;
  switch (field) {
    case F::Name: return TxtQorvProfileName;
    case F::HostType: return OptUseIntMail;
    case F::WinMsgProfile: return TxtWinMsgProfileName;
    case F::SmtpServer: return txtSmtpServer;
    case F::Pop3Server: return txtPop3Server;
    case F::UserName: return txtPop3SmtpUsername;
    case F::Password: return txtPop3SmtpPws;
    case F::FromName: return txtfromname;
    case F::FromAddress: return txtfromaddress;
    case F::Ports: return Command3;
    case F::InboundDir: return TxtInBoundDir;
    case F::CreateFiles: return ChkCreateAttchFilesInMsgs;
    case F::ResType: return TxtFilesRES;
    case F::OutboundMode: return OptSndFilesFromDir;
    case F::OutboundDir: return TxtOutBoundDir;
    case F::OutType: return TxtFilesOutbound;
    case F::RenamedType: return TxtFilesRenamed;
    case F::SendOptions:
    case F::InfFileContents: return CmdOutContens_options;
    case F::Process: return chkPrcInboundMessages;
  }
  return TxtQorvProfileName;
}

// Walks the profile's problems among the given fields in order: a refusal ends the check, a
// question answered Yes is not asked again and may change the profile, which is then checked anew.
bool FrmConfigPrf::Check(const QSet<conf::ProfileField>& fields) {
  conf::ProfileCheckOptions options;
  options.folderExists = [](QString dir) { return FileFunctions().DirExists(dir); };
  // Only a new profile is held against the others' names; an edited one keeps what it had.
  if (mode_ == 1) options.nameTaken = [](const QString& name) { return FindProfileByName(name); };
  options.renameChosen = OptFlesRename->isChecked();
  QSet<QString> answered;
  for (;;) {
    const QList<conf::ProfileProblem> problems = conf::CheckProfile(BuildRecord(), options);
    const auto next = std::find_if(problems.begin(), problems.end(), [&](const conf::ProfileProblem& p) {
      return fields.contains(p.field) && !answered.contains(p.text);
    });
    if (next == problems.end()) return true;
    QWidget* control = ControlOf(next->field);
    if (next->severity == conf::Severity::Refuse) {
      if (next->text.isEmpty()) return false;
      FailOn(control, next->text);
      if (next->field == conf::ProfileField::SendOptions) {
        FrmOutSendOptions d(this);
        RunModal(d);
      } else if (next->field == conf::ProfileField::InfFileContents) {
        FrmInfFileContens d(this);
        RunModal(d);
      }
      return false;
    }
    if (!AskOn(control, next->text, next->exclamation ? PromptKind::QuestionExclamation : PromptKind::Question))
      return false;
    answered.insert(next->text);
    if (next->effect == conf::Effect::NoOutbound) chkPrcOutboundMessages->setChecked(false);
    if (next->effect == conf::Effect::NoInbound) chkPrcInboundMessages->setChecked(false);
  }
}

using F = conf::ProfileField;

bool FrmConfigPrf::TesteQorvProfileName() { return Check({F::Name}); }

bool FrmConfigPrf::TesteParamsMessaging() { return Check({F::WinMsgProfile}); }

bool FrmConfigPrf::TesteParamsPop3_Smtp() {
  return Check({F::Ports, F::SmtpServer, F::Pop3Server, F::UserName, F::Password, F::FromName, F::FromAddress});
}

bool FrmConfigPrf::TesteParamsInbound() {
  return Check({F::InboundDir, F::CreateFiles, F::ResType}) && (!OptUseIntMail->isChecked() || !TxtImapFolder->isEnabled() || TesteImap());
}

// What the import refuses, refused here at the box that holds it.
bool FrmConfigPrf::TesteImap() {
  const QString oneLine = QStringLiteral("A folder name is one line of at most %1 bytes").arg(conf::kMaxImapFolderBytes);
  switch (conf::CheckProfileInbound(Inbound())) {
    case conf::InboundFault::None: return true;
    case conf::InboundFault::BadFolder: FailOn(TxtImapFolder, oneLine); break;
    case conf::InboundFault::EmptyFolder:
      FailOn(TxtImapFolder, QStringLiteral("Enter the IMAP folder to fetch the messages from (usually INBOX)"));
      break;
    case conf::InboundFault::BadMoveTo: FailOn(TxtImapMoveTo, oneLine); break;
    case conf::InboundFault::NoMoveTo:
      FailOn(TxtImapMoveTo, QStringLiteral("Enter the folder processed messages are moved to"));
      break;
    case conf::InboundFault::MoveToSame:
      FailOn(TxtImapMoveTo, QStringLiteral("Processed messages must move to another folder than the one they are "
                                           "fetched from"));
      break;
  }
  return false;
}

ProfileInbound FrmConfigPrf::Inbound() const {
  ProfileInbound in = loadedInbound_;
  in.Protocol = OptImap->isChecked() ? QStringLiteral("imap") : QStringLiteral("pop3");
  // Where the IMAP settings do not apply, the record keeps those it had.
  if (TxtImapFolder->isEnabled()) {
    in.ImapFolder = TxtImapFolder->text();
    in.ImapAfter = OptImapMove->isChecked()   ? QStringLiteral("move")
                   : OptImapKeep->isChecked() ? QStringLiteral("keep")
                                              : QStringLiteral("delete");
    in.ImapMoveTo = TxtImapMoveTo->text();
    in.ImapIdle = ChkImapIdle->isChecked();
  }
  return in;
}

bool FrmConfigPrf::TesteParamsOutbound() {
  if (!Check({F::OutboundMode, F::OutboundDir, F::OutType})) return false;
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
  return Check({F::RenamedType});
}

bool FrmConfigPrf::TesteSndOptions() { return Check({F::SendOptions}); }

bool FrmConfigPrf::TesteInfFileContens() { return Check({F::InfFileContents}); }

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
  // Unchanged, the sign-in entry keeps its bytes: its secret would be scrambled afresh.
  if (conf::ReadProfileOAuth(r) != a.OAuth) conf::WriteProfileOAuth(r, a.OAuth);
  // Unchanged, the inbound entry keeps its bytes, unknown values and all.
  if (r.HostType == 2 && conf::ReadProfileInbound(r) != Inbound()) conf::WriteProfileInbound(r, Inbound());
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
  // A folder typed from the home folder is stored whole: the agent runs elsewhere.
  for (QLineEdit* box : {TxtInBoundDir, TxtOutBoundDir}) {
    if (QString dir = box->text(); conf::ExpandHome(dir)) box->setText(dir);
  }
  if (!TesteQorvProfileName()) return;
  if (!Check({F::HostType, F::WinMsgProfile})) return;
  if (OptUseIntMail->isChecked() && !TesteParamsPop3_Smtp()) return;
  if (chkPrcInboundMessages->isChecked() && !TesteParamsInbound()) return;
  if (chkPrcOutboundMessages->isChecked()) {
    if (!TesteParamsOutbound()) return;
    if (!Check({F::SendOptions, F::InfFileContents})) return;
  }
  if (!Check({F::Process})) return;
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
  d.SetOAuth(TxtQorvProfileName->text(), a.OAuth);
  if (const ProfileInbound in = Inbound(); in.UsesImap()) d.SetImapFolder(in.ImapFolder);
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
