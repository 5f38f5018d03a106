#include "FrmConfigPrf.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "BuddyLabels.h"
#include "DlgBrowse.h"
#include "FrmInfFileContens.h"
#include "FrmIntMailMoreSettings.h"
#include "FrmOutSendOptions.h"
#include "socket/SecuritySettings.h"

// The editor's three pages and how their controls enable one another.
namespace vrlconf {

namespace {

QLineEdit* Box(const QString& accessible, const QString& tip = {}) {
  auto* e = new QLineEdit;
  e->setAccessibleName(accessible);
  if (!tip.isEmpty()) e->setToolTip(tip);
  return e;
}

QPushButton* BrowseButton(const QString& accessible) {
  auto* b = new QPushButton(QStringLiteral("Browse..."));
  b->setAccessibleName(accessible);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

void FrmConfigPrf::BuildProfilePage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  ChkPrfEnabled = new QCheckBox(QStringLiteral("&Active"));
  ChkPrfEnabled->setToolTip(QStringLiteral("The agent processes only active profiles."));
  v->addWidget(ChkPrfEnabled);
  auto* nameRow = new QFormLayout;
  TxtQorvProfileName = Box(QStringLiteral("Profile Name"));
  nameRow->addRow(BuddyLabel(QStringLiteral("&Profile Name:"), TxtQorvProfileName), TxtQorvProfileName);
  v->addLayout(nameRow);

  auto* kind = new QGroupBox(QStringLiteral("Mail System"));
  auto* kh = new QHBoxLayout(kind);
  OptUseIntMail = new QRadioButton(QStringLiteral("&Internet Mail (POP3/SMTP)"));
  OptUseWinMsg = new QRadioButton(QStringLiteral("&Windows Messaging"));
  OptUseWinMsg->setToolTip(QStringLiteral("Local messaging: the messages of a Maildir folder, sent through the system's sendmail."));
  kh->addWidget(OptUseIntMail);
  kh->addWidget(OptUseWinMsg);
  kh->addStretch();
  v->addWidget(kind);

  FrmInternetMail = new QGroupBox(QStringLiteral("Internet Mail"));
  auto* g = new QGridLayout(FrmInternetMail);
  txtSmtpServer = Box(QStringLiteral("SMTP Server"), QStringLiteral("Host name or address of the server that sends the outbound messages."));
  txtPop3Server = Box(QStringLiteral("POP3 Server"), QStringLiteral("Host name or address of the server the inbound messages are fetched from."));
  txtPop3SmtpUsername = Box(QStringLiteral("Username"));
  txtPop3SmtpPws = Box(QStringLiteral("Password"));
  txtPop3SmtpPws->setEchoMode(QLineEdit::Password);
  g->addWidget(BuddyLabel(QStringLiteral("&SMTP Server:"), txtSmtpServer), 0, 0);
  g->addWidget(txtSmtpServer, 0, 1);
  LblPop3Server = BuddyLabel(QStringLiteral("POP&3 Server:"), txtPop3Server);
  g->addWidget(LblPop3Server, 1, 0);
  g->addWidget(txtPop3Server, 1, 1);
  g->addWidget(BuddyLabel(QStringLiteral("&Username:"), txtPop3SmtpUsername), 2, 0);
  g->addWidget(txtPop3SmtpUsername, 2, 1);
  g->addWidget(BuddyLabel(QStringLiteral("Passw&ord:"), txtPop3SmtpPws), 3, 0);
  g->addWidget(txtPop3SmtpPws, 3, 1);
  auto* user = new QGroupBox(QStringLiteral("User Information"));
  auto* uf = new QFormLayout(user);
  txtfromname = Box(QStringLiteral("Sender Name"), QStringLiteral("The sender's name shown in the messages sent."));
  txtfromaddress = Box(QStringLiteral("Sender E-Mail Address"));
  uf->addRow(BuddyLabel(QStringLiteral("&Name:"), txtfromname), txtfromname);
  uf->addRow(BuddyLabel(QStringLiteral("&E-Mail Address:"), txtfromaddress), txtfromaddress);
  g->addWidget(user, 4, 0, 1, 2);
  auto* mb = new QHBoxLayout;
  Command3 = new QPushButton(QStringLiteral("&More Settings"));
  Command3->setToolTip(QStringLiteral("Ports, time-out, login, transport security and unattended settings."));
  Command4 = new QPushButton(QStringLiteral("&Test Settings"));
  Command4->setToolTip(QStringLiteral("Tries a POP3 login and an SMTP connection with the values on screen."));
  for (QPushButton* b : {Command3, Command4}) b->setAutoDefault(false);
  mb->addStretch();
  mb->addWidget(Command3);
  mb->addWidget(Command4);
  g->addLayout(mb, 5, 0, 1, 2);
  v->addWidget(FrmInternetMail);

  FrmWinMsg = new QGroupBox(QStringLiteral("Windows Messaging"));
  auto* wf = new QFormLayout(FrmWinMsg);
  TxtWinMsgProfileName = Box(QStringLiteral("Windows Messaging Profile"),
                             QStringLiteral("The Maildir folder of this profile: a path, or a name inside the home folder."));
  TxtWinMsgPws = Box(QStringLiteral("Windows Messaging Password"));
  TxtWinMsgPws->setEchoMode(QLineEdit::Password);
  wf->addRow(BuddyLabel(QStringLiteral("Windows &Messaging Profile:"), TxtWinMsgProfileName), TxtWinMsgProfileName);
  wf->addRow(BuddyLabel(QStringLiteral("Pa&ssword:"), TxtWinMsgPws), TxtWinMsgPws);
  CmdWinMsging = new QPushButton(QStringLiteral("Wi&ndows Messaging"));
  CmdWinMsging->setToolTip(QStringLiteral("Opens the Maildir folder in the file manager."));
  CmdWinMsging->setAutoDefault(false);
  wf->addRow(QString(), CmdWinMsging);
  v->addWidget(FrmWinMsg);
  v->addStretch();

  connect(OptUseIntMail, &QRadioButton::toggled, this, &FrmConfigPrf::ApplyHostType);
  connect(OptUseWinMsg, &QRadioButton::toggled, this, &FrmConfigPrf::ApplyHostType);
  connect(Command3, &QPushButton::clicked, this, [this] {
    FrmIntMailMoreSettings d(this);
    d.SetProfileName(TxtQorvProfileName->text());
    d.SetImap(OptImap->isChecked());
    // The provider's servers come with the dialog's OK, as its ports do.
    if (RunModal(d) == QDialog::Accepted && d.ChosenServers()) {
      txtPop3Server->setText(d.ChosenServers()->pop3Server);
      txtSmtpServer->setText(d.ChosenServers()->smtpServer);
    }
  });
  connect(Command4, &QPushButton::clicked, this, &FrmConfigPrf::TestSettings);
  connect(CmdWinMsging, &QPushButton::clicked, this, &FrmConfigPrf::OpenMessaging);
  FrmWinMsg->hide();
  tabs_->addTab(page, QStringLiteral("Profile"));
}

void FrmConfigPrf::BuildInboundPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  chkPrcInboundMessages = new QCheckBox(QStringLiteral("Process Inbound Messages"));
  v->addWidget(chkPrcInboundMessages);
  auto* g = new QGridLayout;
  TxtInBoundDir = Box(QStringLiteral("Inbound Directory"), QStringLiteral("The folder the files of received messages are written to."));
  LblInBoundDir = BuddyLabel(QStringLiteral("&Inbound Directory:"), TxtInBoundDir);
  CmdBrowseInbound = BrowseButton(QStringLiteral("Browse for the inbound directory"));
  g->addWidget(LblInBoundDir, 0, 0);
  g->addWidget(TxtInBoundDir, 0, 1);
  g->addWidget(CmdBrowseInbound, 0, 2);
  ChkCreateAttchFilesInMsgs = new QCheckBox(QStringLiteral("Create &Attachments Files"));
  TxtFilesInbound = Box(QStringLiteral("Type of attachment files"),
                        QStringLiteral("The type given to a message's text when it is written as a file."));
  TxtFilesInbound->setText(QStringLiteral("*.TXT"));
  ChkCreateInfFileForInMsgs = new QCheckBox(QStringLiteral("Create &Result Files for Inbound Messages"));
  TxtFilesRES = Box(QStringLiteral("Type of result files"),
                    QStringLiteral("The type of the file that describes each received message."));
  TxtFilesRES->setText(QStringLiteral("*.RES"));
  g->addWidget(ChkCreateAttchFilesInMsgs, 1, 0);
  g->addWidget(TxtFilesInbound, 1, 1);
  g->addWidget(ChkCreateInfFileForInMsgs, 2, 0);
  g->addWidget(TxtFilesRES, 2, 1);
  g->setColumnStretch(1, 1);
  v->addLayout(g);

  // How an internet-mail profile fetches; the IMAP settings go to the agent's IMAP step.
  FrmIncomingMail = new QGroupBox(QStringLiteral("Incoming Mail"));
  auto* ig = new QGridLayout(FrmIncomingMail);
  OptPop3 = new QRadioButton(QStringLiteral("P&OP3"));
  OptPop3->setToolTip(QStringLiteral("Fetches the messages of the mailbox and deletes them from the server."));
  OptImap = new QRadioButton(QStringLiteral("I&MAP"));
  OptImap->setToolTip(QStringLiteral("Fetches the messages of one folder and deletes, moves or keeps them."));
  auto* protocols = new QButtonGroup(FrmIncomingMail);
  auto* ph = new QHBoxLayout;
  for (QRadioButton* o : {OptPop3, OptImap}) {
    protocols->addButton(o);
    ph->addWidget(o);
  }
  ph->addStretch();
  ig->addWidget(BuddyLabel(QStringLiteral("Protocol:"), OptPop3), 0, 0);
  ig->addLayout(ph, 0, 1, 1, 2);
  TxtImapFolder = Box(QStringLiteral("IMAP Folder"), QStringLiteral("The folder the messages are fetched from."));
  TxtImapFolder->setText(ProfileInbound().ImapFolder);
  ig->addWidget(BuddyLabel(QStringLiteral("&Folder:"), TxtImapFolder), 1, 0);
  ig->addWidget(TxtImapFolder, 1, 1, 1, 2);
  OptImapDelete = new QRadioButton(QStringLiteral("&Delete"));
  OptImapDelete->setToolTip(QStringLiteral("A processed message is deleted from the server, as POP3 does."));
  OptImapMove = new QRadioButton(QStringLiteral("Mo&ve to Folder:"));
  OptImapMove->setToolTip(QStringLiteral("A processed message moves to this folder, which is created when missing."));
  TxtImapMoveTo = Box(QStringLiteral("Folder to move processed messages to"));
  OptImapKeep = new QRadioButton(QStringLiteral("&Keep on the Server"));
  OptImapKeep->setToolTip(QStringLiteral("A processed message stays; the profile remembers what it has fetched."));
  auto* after = new QButtonGroup(FrmIncomingMail);
  for (QRadioButton* o : {OptImapDelete, OptImapMove, OptImapKeep}) after->addButton(o);
  ig->addWidget(BuddyLabel(QStringLiteral("After Processing:"), OptImapDelete), 2, 0);
  ig->addWidget(OptImapDelete, 2, 1);
  ig->addWidget(OptImapMove, 3, 1);
  ig->addWidget(TxtImapMoveTo, 3, 2);
  ig->addWidget(OptImapKeep, 4, 1);
  ChkImapIdle = new QCheckBox(QStringLiteral("&Wait for New Mail (IDLE)"));
  ChkImapIdle->setToolTip(QStringLiteral("Keeps a connection open: new mail starts the profile's inbound step at "
                                         "once instead of at the next cycle."));
  ig->addWidget(ChkImapIdle, 5, 1, 1, 2);
  ig->setColumnStretch(2, 1);
  v->addWidget(FrmIncomingMail);
  v->addStretch();
  connect(OptImap, &QRadioButton::toggled, this, [this] {
    ApplyProtocol(true);
    ApplyInboundInterlock();
  });
  connect(OptImapMove, &QRadioButton::toggled, this, &FrmConfigPrf::ApplyInboundInterlock);
  connect(chkPrcInboundMessages, &QCheckBox::toggled, this, &FrmConfigPrf::ApplyInboundInterlock);
  connect(ChkCreateAttchFilesInMsgs, &QCheckBox::toggled, this, &FrmConfigPrf::ApplyInboundInterlock);
  connect(ChkCreateInfFileForInMsgs, &QCheckBox::toggled, this, &FrmConfigPrf::ApplyInboundInterlock);
  connect(CmdBrowseInbound, &QPushButton::clicked, this,
          [this] { Browse(TxtInBoundDir, QStringLiteral("Select INBOUND directory")); });
  tabs_->addTab(page, QStringLiteral("Inbound"));
}

void FrmConfigPrf::BuildOutboundPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  chkPrcOutboundMessages = new QCheckBox(QStringLiteral("Process Outbound Messages"));
  v->addWidget(chkPrcOutboundMessages);
  OptSndFilesFromDir = new QRadioButton(QStringLiteral("&Send Files From Directory"));
  OptSndFilesFromDir->setToolTip(QStringLiteral("Every file of the directory is sent to one fixed recipient."));
  OptUseInfFiles = new QRadioButton(QStringLiteral("&Use Information Files"));
  OptUseInfFiles->setToolTip(QStringLiteral("Each information file names the recipient, the attachment, the subject and the text."));
  auto* oh = new QHBoxLayout;
  oh->addWidget(OptSndFilesFromDir);
  oh->addWidget(OptUseInfFiles);
  oh->addStretch();
  v->addLayout(oh);

  Frme_OutboundOptions = new QGroupBox(QStringLiteral("Files From Directory"));
  auto* g = new QGridLayout(Frme_OutboundOptions);
  TxtOutBoundDir = Box(QStringLiteral("Outbound Directory"), QStringLiteral("The folder the agent takes the files to send from."));
  LblOutBoundDir = BuddyLabel(QStringLiteral("&Directory:"), TxtOutBoundDir);
  CmdBrowseOutbound = BrowseButton(QStringLiteral("Browse for the outbound directory"));
  TxtFilesOutbound = Box(QStringLiteral("Type of Files"), QStringLiteral("A name pattern such as *.TXT: the files of this type are sent."));
  LblFilesOutbound = BuddyLabel(QStringLiteral("&Type of Files:"), TxtFilesOutbound);
  TxtFilesOutbound->setText(QStringLiteral("*.INF"));
  CmdOutContens_options = new QPushButton(QStringLiteral("Send &Options"));
  CmdOutContens_options->setAutoDefault(false);
  TxtAttachmentFolders = Box(QStringLiteral("Attachment Folders"),
                             QStringLiteral("The only folders an information file may take its attachment from: absolute "
                                            "names, separated by \";\". Empty: from anywhere. An information file "
                                            "naming a file elsewhere becomes .BAD."));
  LblAttachmentFolders = BuddyLabel(QStringLiteral("&Attachments Only From:"), TxtAttachmentFolders);
  CmdBrowseAttachmentFolder = BrowseButton(QStringLiteral("Browse for a folder to add to the attachment folders"));
  g->addWidget(LblOutBoundDir, 0, 0);
  g->addWidget(TxtOutBoundDir, 0, 1, 1, 2);
  g->addWidget(CmdBrowseOutbound, 0, 3);
  g->addWidget(LblFilesOutbound, 1, 0);
  g->addWidget(TxtFilesOutbound, 1, 1);
  g->addWidget(CmdOutContens_options, 1, 3);
  g->addWidget(LblAttachmentFolders, 2, 0);
  g->addWidget(TxtAttachmentFolders, 2, 1, 1, 2);
  g->addWidget(CmdBrowseAttachmentFolder, 2, 3);
  g->setColumnStretch(2, 1);
  v->addWidget(Frme_OutboundOptions);

  FrmAfterProcessing = new QGroupBox(QStringLiteral("After Processing"));
  auto* ah = new QHBoxLayout(FrmAfterProcessing);
  OptFlesDelete = new QRadioButton(QStringLiteral("D&elete"));
  OptFlesRename = new QRadioButton(QStringLiteral("Con&vert Files to Type:"));
  TxtFilesRenamed = Box(QStringLiteral("Type of processed files"), QStringLiteral("A processed file keeps its name and takes this type."));
  TxtFilesRenamed->setText(QStringLiteral("*.PRC"));
  ah->addWidget(OptFlesDelete);
  ah->addWidget(OptFlesRename);
  ah->addWidget(TxtFilesRenamed);
  ah->addStretch();
  v->addWidget(FrmAfterProcessing);
  v->addStretch();

  connect(chkPrcOutboundMessages, &QCheckBox::toggled, this, &FrmConfigPrf::ApplyOutboundInterlock);
  connect(OptFlesDelete, &QRadioButton::toggled, this, &FrmConfigPrf::ApplyOutboundInterlock);
  connect(OptFlesRename, &QRadioButton::toggled, this, [this](bool on) {
    if (on && TxtFilesRenamed->text().isEmpty()) TxtFilesRenamed->setText(QStringLiteral("*.PRC"));
    ApplyOutboundInterlock();
  });
  for (QRadioButton* o : {OptSndFilesFromDir, OptUseInfFiles})
    connect(o, &QRadioButton::toggled, this, [this](bool on) {
      if (on) OutBound_Options();
      ApplyOutboundInterlock();
    });
  connect(CmdBrowseOutbound, &QPushButton::clicked, this,
          [this] { Browse(TxtOutBoundDir, QStringLiteral("Select OUTBOUND directory")); });
  // The chosen folder joins the list rather than replacing it.
  connect(CmdBrowseAttachmentFolder, &QPushButton::clicked, this, [this] {
    DlgBrowse dlg;
    dlg.hWnd = this;
    dlg.Title = QStringLiteral("Select a folder attachments may come from");
    dlg.Show(AttachmentFolders().value(0));
    if (dlg.Folder().isEmpty() || AttachmentFolders().contains(dlg.Folder())) return;
    const QString text = TxtAttachmentFolders->text().trimmed();
    TxtAttachmentFolders->setText(text.isEmpty() || text.endsWith(u';') ? text + dlg.Folder()
                                                                        : text + QStringLiteral("; ") + dlg.Folder());
  });
  connect(CmdOutContens_options, &QPushButton::clicked, this, [this] {
    if (OptSndFilesFromDir->isChecked()) {
      FrmOutSendOptions d(this);
      RunModal(d);
    } else {
      FrmInfFileContens d(this);
      RunModal(d);
    }
  });
  tabs_->addTab(page, QStringLiteral("Outbound"));
}

void FrmConfigPrf::ApplyInboundInterlock() {
  const bool on = chkPrcInboundMessages->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{TxtInBoundDir, CmdBrowseInbound, ChkCreateAttchFilesInMsgs,
                                                     ChkCreateInfFileForInMsgs})
    w->setEnabled(on);
  TxtFilesInbound->setEnabled(on && ChkCreateAttchFilesInMsgs->isChecked());
  TxtFilesRES->setEnabled(on && ChkCreateInfFileForInMsgs->isChecked());
  for (QWidget* w : std::initializer_list<QWidget*>{OptPop3, OptImap}) w->setEnabled(on);
  const bool imap = on && OptImap->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{TxtImapFolder, OptImapDelete, OptImapMove, OptImapKeep, ChkImapIdle})
    w->setEnabled(imap);
  TxtImapMoveTo->setEnabled(imap && OptImapMove->isChecked());
}

namespace {

// The port a switch of protocol leaves: one still at the other protocol's default takes this
// one's, TLS from the first byte kept (chosen, or automatic on the TLS port).
quint16 SwitchedPort(quint16 port, qint16 security, bool imap) {
  const quint16 plain = imap ? 110 : 143, tls = imap ? 995 : 993;
  if (port != plain && port != tls) return port;
  const bool implicit = security == qint16(vrlsec::Security::Tls) || (security == qint16(vrlsec::Security::Auto) && port == tls);
  return imap ? (implicit ? 993 : 143) : (implicit ? 995 : 110);
}

}  // namespace

void FrmConfigPrf::ApplyProtocol(bool switched) {
  const bool imap = OptImap->isChecked();
  LblPop3Server->setText(imap ? QStringLiteral("Incomin&g Server:") : QStringLiteral("POP&3 Server:"));
  txtPop3Server->setAccessibleName(imap ? QStringLiteral("Incoming Server") : QStringLiteral("POP3 Server"));
  if (switched) {
    AuxValues& a = WorkingValues();
    a.Pop3TcpPort = SwitchedPort(a.Pop3TcpPort, a.Security.Pop3Security, imap);
  }
}

void FrmConfigPrf::ApplyOutboundInterlock() {
  const bool on = chkPrcOutboundMessages->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{OptSndFilesFromDir, OptUseInfFiles, Frme_OutboundOptions,
                                                     FrmAfterProcessing})
    w->setEnabled(on);
  TxtFilesRenamed->setEnabled(on && OptFlesRename->isChecked());
  // The folders bound what an information file names; a directory's files are its own.
  for (QWidget* w : std::initializer_list<QWidget*>{TxtAttachmentFolders, CmdBrowseAttachmentFolder})
    w->setEnabled(on && OptUseInfFiles->isChecked());
}

void FrmConfigPrf::ApplyHostType() {
  const bool internet = !OptUseWinMsg->isChecked();
  FrmInternetMail->setVisible(internet);
  FrmWinMsg->setVisible(!internet);
  FrmIncomingMail->setVisible(internet);
}

void FrmConfigPrf::OutBound_Options() {
  if (OptSndFilesFromDir->isChecked()) {
    Frme_OutboundOptions->setTitle(QStringLiteral("Files From Directory"));
    CmdOutContens_options->setText(QStringLiteral("Send &Options"));
    TxtFilesOutbound->setText(QStringLiteral("*.TXT"));
  } else {
    Frme_OutboundOptions->setTitle(QStringLiteral("Information Files"));
    CmdOutContens_options->setText(QStringLiteral("&Contents"));
    TxtFilesOutbound->setText(QStringLiteral("*.INF"));
  }
}

}  // namespace vrlconf
