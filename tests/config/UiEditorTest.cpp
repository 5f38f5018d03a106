// The profile editor: its checks in order (message and focus), the record it writes, and the
// working values its dialogs edit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "CfgTransfer.h"
#include "FrmConfigPrf.h"
#include "FrmInfFileContens.h"
#include "FrmIntMailMoreSettings.h"
#include "FrmMain.h"
#include "FrmOutSendOptions.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"

#include <algorithm>

using namespace vrlconf;

namespace {

struct Said {
  QStringList texts;
  QStringList dialogs;  // sub-dialogs opened, by object name
};

// A fresh application folder with one profile "Orders"; boxes answer No and are recorded.
class UiEditor : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VORLANE_HOME", home_.path().toUtf8());
    ASSERT_TRUE(CreateProfilesFile());
    ProfileRecord orders;
    orders.Prfname = QStringLiteral("Orders");
    orders.HostType = 2;
    ASSERT_TRUE(AddProfileRecord(orders));
    SetPromptHookForTesting([this](PromptKind, const QString& t) {
      said_.texts << t;
      return answer_;
    });
    SetModalHookForTesting([this](QDialog& d) {
      said_.dialogs << d.objectName();
      return int(QDialog::Rejected);
    });
  }
  void TearDown() override {
    SetPromptHookForTesting({});
    SetModalHookForTesting({});
    crypto::SetKeyForTesting(0);
  }
  // A new profile that passes every check.
  void FillValid(FrmConfigPrf& e) {
    e.AddProfile();
    e.TxtQorvProfileName->setText(QStringLiteral("New"));
    e.txtSmtpServer->setText(QStringLiteral("smtp.example.com"));
    e.txtPop3Server->setText(QStringLiteral("pop.example.com"));
    e.txtPop3SmtpUsername->setText(QStringLiteral("u"));
    e.txtPop3SmtpPws->setText(QStringLiteral("p"));
    e.txtfromname->setText(QStringLiteral("Sender"));
    e.txtfromaddress->setText(QStringLiteral("s@example.com"));
    e.TxtInBoundDir->setText(home_.path());
    e.TxtOutBoundDir->setText(home_.path());
    WorkingValues().RecAddress = QStringLiteral("to@example.com");
  }
  QByteArray Slot(int n) {
    QFile f(ProfilesFilePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll().mid(qint64(n - 1) * kRecordLength, kRecordLength) : QByteArray();
  }

  QTemporaryDir home_;
  Said said_;
  bool answer_ = false;
};

TEST_F(UiEditor, ChecksRunInOrderWithTheirMessageAndFocus) {
  using E = FrmConfigPrf;
  const QString missing = QStringLiteral("/no/such/dir");
  struct Row {
    const char* what;
    std::function<void(E&)> change;
    QString message;
    QLineEdit* E::*focus;  // null: not a text box
  };
  const Row rows[] = {
      {"blank name", [](E& e) { e.TxtQorvProfileName->setText(QStringLiteral("  ")); }, "Invalid profile name", &E::TxtQorvProfileName},
      {"taken name", [](E& e) { e.TxtQorvProfileName->setText(QStringLiteral("Orders")); }, "This profile already exists: Orders", &E::TxtQorvProfileName},
      {"messaging name", [](E& e) { e.OptUseWinMsg->setChecked(true); }, "Invalid Windows Messaging profile name", &E::TxtWinMsgProfileName},
      {"no server", [](E& e) { e.txtSmtpServer->clear(), e.txtPop3Server->setText(QStringLiteral(" ")); }, "Indicate a valid SMTP and/or POP3 Server!", &E::txtSmtpServer},
      {"no SMTP", [](E& e) { e.txtSmtpServer->clear(); }, "SMTP Server is empty. No Outbound Messages will be processed. Continue?", &E::txtSmtpServer},
      {"no POP3", [](E& e) { e.txtPop3Server->clear(); }, "POP3 Server is empty. No Inbound Messages will be processed. Continue?", &E::txtPop3Server},
      {"no user", [](E& e) { e.txtPop3SmtpUsername->clear(); }, "Username is empty. Continue?", &E::txtPop3SmtpUsername},
      {"no password", [](E& e) { e.txtPop3SmtpPws->clear(); }, "Password is empty. Continue?", &E::txtPop3SmtpPws},
      {"no sender name", [](E& e) { e.txtfromname->clear(); }, "Invalid Name for User Information", &E::txtfromname},
      {"no sender address", [](E& e) { e.txtfromaddress->clear(); }, "Invalid E-Mail Address for User Information", &E::txtfromaddress},
      {"sender without an address", [](E& e) { e.txtfromaddress->setText(QStringLiteral("Sender")); }, "Invalid E-Mail Address for User Information", &E::txtfromaddress},
      {"relative inbound dir", [](E& e) { e.TxtInBoundDir->setText(QStringLiteral("in")); }, "Not an absolute folder name: in", &E::TxtInBoundDir},
      {"no inbound dir", [](E& e) { e.TxtInBoundDir->clear(); }, "Invalid Inbound directory\rContinue ?", &E::TxtInBoundDir},
      {"missing inbound dir", [&](E& e) { e.TxtInBoundDir->setText(missing); }, "Directory not found: " + missing + "\rContinue ?", &E::TxtInBoundDir},
      {"no inbound files", [](E& e) { e.ChkCreateAttchFilesInMsgs->setChecked(false), e.ChkCreateInfFileForInMsgs->setChecked(false); },
       "WARNING!\r\nNo files will be created for inbound messages.\r\nContinue ?", nullptr},
      {"any result type", [](E& e) { e.TxtFilesRES->setText(QStringLiteral("*.*")); }, "This type of file cannot be used: *.*", &E::TxtFilesRES},
      {"result type of inbound files", [](E& e) { e.TxtFilesRES->setText(QStringLiteral("*.txt")); },
       "This type of file cannot be used because this is de type of inbound files ", &E::TxtFilesRES},
      {"result type of inbound files, bare", [](E& e) { e.TxtFilesInbound->setText(QStringLiteral("TXT")), e.TxtFilesRES->setText(QStringLiteral(".txt")); },
       "This type of file cannot be used because this is de type of inbound files ", &E::TxtFilesRES},
      {"IMAP without a folder", [](E& e) { e.OptImap->click(), e.TxtImapFolder->setText(QStringLiteral(" ")); },
       "Enter the IMAP folder to fetch the messages from (usually INBOX)", &E::TxtImapFolder},
      {"IMAP move without a folder", [](E& e) { e.OptImap->click(), e.OptImapMove->click(); }, "Enter the folder processed messages are moved to", &E::TxtImapMoveTo},
      {"IMAP move to the folder fetched from", [](E& e) { e.OptImap->click(), e.OptImapMove->click(), e.TxtImapMoveTo->setText(QStringLiteral("INBOX")); },
       "Processed messages must move to another folder than the one they are fetched from", &E::TxtImapMoveTo},
      {"no outbound dir", [](E& e) { e.TxtOutBoundDir->setText(QStringLiteral(" ")); }, "Invalid Outbound directory\rContinue ?", &E::TxtOutBoundDir},
      {"missing outbound dir", [&](E& e) { e.TxtOutBoundDir->setText(missing); }, "Directory not found: " + missing + "\rContinue ?", &E::TxtOutBoundDir},
      {"BAD outbound type", [](E& e) { e.TxtFilesOutbound->setText(QStringLiteral("*.bad")); }, "This type of file cannot be used: *.BAD", &E::TxtFilesOutbound},
      {"any outbound type", [](E& e) { e.TxtFilesOutbound->setText(QStringLiteral("*.*")); }, "This type of file cannot be used: *.*", &E::TxtFilesOutbound},
      {"any rename type", [](E& e) { e.OptFlesRename->setChecked(true), e.TxtFilesRenamed->clear(); }, "This type of file cannot be used: *.*", &E::TxtFilesRenamed},
      {"BAD rename type", [](E& e) { e.OptFlesRename->setChecked(true), e.TxtFilesRenamed->setText(QStringLiteral("*.Bad")); }, "This type of file cannot be used: *.BAD", &E::TxtFilesRenamed},
      {"rename type of outbound files", [](E& e) { e.OptFlesRename->setChecked(true), e.TxtFilesRenamed->setText(QStringLiteral("*.txt")); },
       "This type of file cannot be used because this is de type of information files ", &E::TxtFilesRenamed},
      {"relative outbound dir", [](E& e) { e.TxtOutBoundDir->setText(QStringLiteral("./out")); }, "Not an absolute folder name: ./out", &E::TxtOutBoundDir},
      {"no send options", [](E&) { WorkingValues().RecAddress = QStringLiteral(" "); }, "Configure the Send Options!", nullptr},
      {"no contents", [](E& e) { e.OptUseInfFiles->setChecked(true); }, "Configure the contents of information file!", nullptr},
      {"nothing processed", [](E& e) { e.chkPrcInboundMessages->setChecked(false), e.chkPrcOutboundMessages->setChecked(false); },
       "Please select 'Process Inbound Messages' or 'Process Outbound Messages'", nullptr},
  };
  const QByteArray before = Slot(1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FrmConfigPrf e;
    FillValid(e);
    row.change(e);
    said_.texts.clear();
    e.accept();
    ASSERT_FALSE(said_.texts.isEmpty());
    EXPECT_EQ(said_.texts.last().toStdString(), row.message.toStdString());
    EXPECT_EQ(said_.texts.size(), 1) << said_.texts.join(" | ").toStdString();
    if (row.focus) {
      QLineEdit* box = e.*row.focus;
      EXPECT_EQ(e.focusWidget(), box);
      EXPECT_TRUE(e.Tabs()->currentWidget()->isAncestorOf(box));
      EXPECT_EQ(box->selectedText(), box->text());
    }
    EXPECT_EQ(e.result(), QDialog::Rejected);
    EXPECT_EQ(Slot(1), before);  // header untouched: nothing added
  }
  EXPECT_EQ(said_.dialogs, QStringList({"FrmOutSendOptions", "FrmInfFileContens"}));
}

// IMAP names the server for it, takes a port still at a POP3 default to its own (and back), and
// is saved with its settings.
TEST_F(UiEditor, ImapChoiceMovesTheDefaultPortAndIsSaved) {
  const struct { qint16 security; quint16 pop3, imap, back; } ports[] = {
      {0, 110, 143, 110}, {0, 995, 993, 995}, {3, 110, 993, 995}, {2, 995, 143, 110}, {1, 2525, 2525, 2525}};
  FrmConfigPrf e;
  FillValid(e);
  AuxValues& a = WorkingValues();
  for (const auto& p : ports) {
    a.Security.Pop3Security = p.security, a.Pop3TcpPort = p.pop3;
    e.OptImap->click();
    EXPECT_EQ(a.Pop3TcpPort, p.imap) << p.pop3;
    e.OptPop3->click();
    EXPECT_EQ(a.Pop3TcpPort, p.back) << p.pop3;
  }
  e.OptImap->click();
  EXPECT_EQ(e.txtPop3Server->accessibleName(), "Incoming Server");
  e.OptImapKeep->click(), e.ChkImapIdle->setChecked(true);
  e.accept();
  ASSERT_EQ(e.result(), QDialog::Accepted) << said_.texts.join(" | ").toStdString();
  ProfileRecord r;
  ASSERT_TRUE(ReadProfileRecord(3, r));
  EXPECT_EQ(conf::ReadProfileInbound(r), (ProfileInbound{"imap", "INBOX", "keep", "", true}));
}

TEST_F(UiEditor, SavedProfileIsTheImportedOne) {
  crypto::SetKeyForTesting(7);
  FrmConfigPrf e;
  FillValid(e);
  e.TxtQorvProfileName->setText(QStringLiteral(" orders "));  // differs from "Orders": allowed
  e.txtSmtpServer->clear();
  answer_ = true;  // Yes to "SMTP Server is empty": only inbound remains
  e.TxtFilesRES->setText(QStringLiteral("res.."));
  QFocusEvent leave(QEvent::FocusOut);
  QApplication::sendEvent(e.TxtFilesRES, &leave);  // leaving the box normalises it
  EXPECT_EQ(e.TxtFilesRES->text(), QStringLiteral("*.res"));
  e.accept();
  ASSERT_EQ(e.result(), QDialog::Accepted) << said_.texts.join(" | ").toStdString();
  EXPECT_FALSE(e.chkPrcOutboundMessages->isChecked());

  ProfileRecord p;
  p.PrfEnabled = true, p.Prfname = QStringLiteral(" orders "), p.HostType = 2;
  p.Pop3Server = QStringLiteral("pop.example.com"), p.UserName = QStringLiteral("u"), p.Pop3SmtpPws = QStringLiteral("p");
  p.FromName = QStringLiteral("Sender"), p.FromAddress = QStringLiteral("s@example.com");
  p.Pop3TcpPort = 110, p.SmtpTcpPort = 25, p.TimeOutSecs = 30;
  p.PrcInboundMessages = true, p.InboundDir = home_.path(), p.CreateAttchsInMsgs = p.CreateInfFileInboundMsgs = true;
  p.FileExtention = QStringLiteral("*.TXT"), p.ResFilesExtention = QStringLiteral("*.res");
  p.OutboundMode = 1, p.OutboundDir = home_.path(), p.OutFilesExtention = QStringLiteral("*.TXT");
  p.RecAddress = QStringLiteral("to@example.com"), p.DeleteInterchange = true;
  // A new profile's security and unattended settings, as an import gives them.
  conf::WriteProfileSecurity(p, ProfileSecurity::Automatic());
  conf::WriteProfileUnattended(p, ProfileUnattended::NewProfile());
  ProfileRecord other = p;
  other.Prfname = QStringLiteral("Other");
  cfgtransfer::Configuration imported;
  imported.profiles = {other, p};  // p takes slot 3, as in the edited file
  QString error;
  ASSERT_TRUE(cfgtransfer::FromJson(cfgtransfer::ToJson(imported), imported, error)) << error.toStdString();
  const QByteArray edited = Slot(3);
  ASSERT_FALSE(edited.isEmpty());
  QTemporaryDir elsewhere;
  qputenv("VORLANE_HOME", elsewhere.path().toUtf8());
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(imported, error)) << error.toStdString();
  EXPECT_EQ(edited.toHex().toStdString(), Slot(3).toHex().toStdString());
}

// The demo's profiles and those of the test document, imported, save unchanged on OK.
TEST_F(UiEditor, ImportedProfilesSaveUnchanged) {
  QByteArray demo, document;
  for (auto [path, out] : {std::pair{VRL_SOURCE_DIR "/demo/demo-config.json", &demo},
                           std::pair{VRL_TEST_DATA "/config/document.json", &document}}) {
    QFile f(QString::fromUtf8(path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << path;
    *out = f.readAll().replace("@DEMO@", home_.path().toUtf8());
  }
  for (const char* dir : {"orders/out", "invoices/out", "inbox", "archive/out"}) QDir(home_.path()).mkpath(dir);
  answer_ = true;  // the questions an import takes as answered Yes
  for (const QByteArray& json : {demo, document}) {
    cfgtransfer::Configuration conf;
    QString error;
    ASSERT_TRUE(cfgtransfer::FromJson(json, conf, error)) << error.toStdString();
    ASSERT_TRUE(cfgtransfer::WriteConfiguration(conf, error)) << error.toStdString();
    for (int slot = 2; slot < conf.profiles.size() + 2; ++slot) {
      SCOPED_TRACE(slot);
      ProfileRecord before, after;
      ASSERT_TRUE(ReadProfileRecord(slot, before));
      FrmConfigPrf e;
      ASSERT_TRUE(e.EditProfile(slot));
      e.accept();
      ASSERT_EQ(e.result(), QDialog::Accepted) << said_.texts.join(" | ").toStdString();
      ASSERT_TRUE(ReadProfileRecord(slot, after));
      EXPECT_EQ(Unscramble(after.WinMsgPws), Unscramble(before.WinMsgPws));
      after.WinMsgPws = before.WinMsgPws;
      EXPECT_EQ(after, before);
    }
  }
  // A folder typed from the home folder is stored whole.
  int slot = 2;
  FrmConfigPrf e;
  ASSERT_TRUE(e.EditProfile(slot));
  e.TxtOutBoundDir->setText(QStringLiteral("~"));
  e.accept();
  EXPECT_EQ(e.TxtOutBoundDir->text(), QDir::homePath());
}

TEST_F(UiEditor, EditingCorrectsAndKeepsTheRecord) {
  ProfileRecord mail, msg;
  mail.Prfname = QStringLiteral("Mail"), mail.HostType = 2, mail.PrcOutboundMessages = true, mail.OutboundMode = 2;
  mail.SmtpServer = QStringLiteral("smtp"), mail.FromName = QStringLiteral("x"), mail.FromAddress = QStringLiteral("x@example.com");
  mail.UserName = mail.Pop3SmtpPws = QStringLiteral("u");
  mail.TimeOutSecs = 500, mail.OutboundDir = home_.path(), mail.OutFilesExtention = QStringLiteral("*.INF");
  mail.AdressLin = 1, mail.Adress1Sep = mail.Adress2Sep = QStringLiteral(";");
  mail.Extension = QByteArrayLiteral("\x09\x00\x01\x00Z");  // an entry of an unknown tag stays
  msg.Prfname = QStringLiteral("Msg"), msg.HostType = 1, msg.WinMsgProfileName = QStringLiteral("Maildir");
  msg.WinMsgPws = Scramble(QStringLiteral("pw")), msg.PrcOutboundMessages = true, msg.OutboundMode = 1;
  msg.OutboundDir = home_.path(), msg.OutFilesExtention = QStringLiteral("*.TXT"), msg.RecAddress = QStringLiteral("a");
  ASSERT_TRUE(AddProfileRecord(mail) && AddProfileRecord(msg));

  answer_ = true;
  for (int slot : {3, 4}) {
    FrmConfigPrf e;
    ASSERT_TRUE(e.EditProfile(slot));
    e.TxtQorvProfileName->setText(QStringLiteral("Orders"));  // another profile's name: allowed when editing
    e.accept();
    ASSERT_EQ(e.result(), QDialog::Accepted) << said_.texts.join(" | ").toStdString();
  }
  ProfileRecord r;
  ASSERT_TRUE(ReadProfileRecord(3, r));
  EXPECT_EQ(r.Pop3TcpPort, 110);
  EXPECT_EQ(r.TimeOutSecs, 30);
  EXPECT_EQ(r.AdressLin, 1);
  EXPECT_TRUE(r.Extension.contains(QByteArrayLiteral("\x09\x00\x01\x00Z")));
  ASSERT_TRUE(ReadProfileRecord(4, r));
  EXPECT_EQ(r.HostType, 1);
  EXPECT_EQ(Unscramble(r.WinMsgPws), QStringLiteral("pw"));
  EXPECT_EQ(r.SmtpServer, QString());

  int beyond = 9;
  FrmConfigPrf e;
  EXPECT_FALSE(e.EditProfile(beyond));
  EXPECT_EQ(said_.texts.last(), "Error reading configuration file: \"" + ProfilesFilePath() + "\"");
}

TEST_F(UiEditor, AttachmentFoldersLoadSaveAndAreChecked) {
  using E = FrmConfigPrf;
  using L = QStringList;
  ProfileRecord inf;
  inf.Prfname = QStringLiteral("Inf"), inf.HostType = 2, inf.PrcOutboundMessages = true, inf.OutboundMode = 2;
  inf.SmtpServer = inf.Pop3Server = QStringLiteral("mail"), inf.UserName = inf.Pop3SmtpPws = QStringLiteral("u");
  inf.FromName = QStringLiteral("x"), inf.FromAddress = QStringLiteral("x@example.com"), inf.OutboundDir = home_.path();
  inf.OutFilesExtention = QStringLiteral("*.INF"), inf.AdressLin = 1;
  ASSERT_TRUE(AddProfileRecord(inf));
  const QString tooLong = QLatin1Char('/') + QString(conf::kMaxAttachmentFoldersBytes, QLatin1Char('a'));
  struct Row {
    const char* what;
    L loaded;
    QString shown;                   // the box after loading
    std::function<void(E&)> change;  // null: untouched
    QString message;                 // empty: saved
    L saved;
  };
  const Row rows[] = {
      {"loaded and kept", {"/srv/a", "/srv/b c"}, "/srv/a; /srv/b c", nullptr, {}, {"/srv/a", "/srv/b c"}},
      {"a name holding ; kept while untouched", {"/srv/a;b"}, "/srv/a;b", nullptr, {}, {"/srv/a;b"}},
      {"edited", {"/srv/a"}, "/srv/a", [](E& e) { e.TxtAttachmentFolders->setText(" /srv/x ;;/srv/y; "); }, {}, {"/srv/x", "/srv/y"}},
      {"emptied", {"/srv/a"}, "/srv/a", [](E& e) { e.TxtAttachmentFolders->clear(); }, {}, {}},
      {"relative", {}, "", [](E& e) { e.TxtAttachmentFolders->setText("/srv/a; files"); }, "Not an absolute folder name: files", {}},
      {"over the limit", {}, "", [&](E& e) { e.TxtAttachmentFolders->setText(tooLong); },
       "Too many attachment folders: at most 1024 bytes in all", {}},
      {"not applying to a directory's files", {"/srv/a"}, "/srv/a", [](E& e) {
         e.OptSndFilesFromDir->setChecked(true), WorkingValues().RecAddress = "to@example.com";
         EXPECT_FALSE(e.TxtAttachmentFolders->isEnabled());
         e.TxtAttachmentFolders->setText("files");
       }, {}, {"/srv/a"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ProfileRecord r = inf;
    r.RecordNumber = 3;
    conf::WriteAttachmentFolders(r, row.loaded);
    ASSERT_TRUE(WriteProfileRecord(r));
    int slot = 3;
    FrmConfigPrf e;
    ASSERT_TRUE(e.EditProfile(slot));
    EXPECT_EQ(e.TxtAttachmentFolders->text(), row.shown);
    EXPECT_TRUE(e.TxtAttachmentFolders->isEnabled());
    e.Tabs()->setCurrentIndex(0);
    if (row.change) row.change(e);
    said_ = {};
    e.accept();
    if (!row.message.isEmpty()) {
      EXPECT_EQ(said_.texts, L{row.message});
      EXPECT_EQ(e.focusWidget(), e.TxtAttachmentFolders);
      EXPECT_TRUE(e.Tabs()->currentWidget()->isAncestorOf(e.TxtAttachmentFolders));
      EXPECT_EQ(e.result(), QDialog::Rejected);
      continue;
    }
    ASSERT_EQ(e.result(), QDialog::Accepted) << said_.texts.join(" | ").toStdString();
    ASSERT_TRUE(ReadProfileRecord(3, r));
    EXPECT_EQ(conf::ReadAttachmentFolders(r), row.saved);
    EXPECT_EQ(conf::ExtensionEntry(r, conf::kAttachmentFoldersTag).has_value(), !row.saved.isEmpty());
  }
}

TEST(UiEditorText, FileTypesComeOutAsStarDotExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"res", "*.res"}, {".RES", "*.RES"}, {"*.RES..", "*.RES"}, {"*RES", "*.RES"}, {" *.txt ", "*.txt"}, {"*.*", ""}, {"  ", ""}};
  for (auto [in, out] : cases) {
    QString t = QString::fromLatin1(in);
    EXPECT_EQ(SetFileTypeExtention(t), QLatin1String(out)) << in;
  }
}

TEST_F(UiEditor, DialogsChangeTheWorkingValuesOnlyOnOk) {
  ResetAuxValues();
  {
    FrmInfFileContens d;
    EXPECT_TRUE(d.TxtAdressLin->text().isEmpty());
    EXPECT_EQ(d.CboSubjectOptions->currentIndex(), 0);
    EXPECT_TRUE(d.ChkDeleteInterchange->isChecked());
    d.TxtAdressLin->setText(QStringLiteral("abc"));
    d.accept();
    EXPECT_EQ(said_.texts.last(), QStringLiteral("Invalid line number"));
    d.TxtAdressLin->setText(QStringLiteral("2"));
    d.TxtAdress1Sep->setText(QStringLiteral("<"));
    d.accept();
    EXPECT_EQ(said_.texts.last(), QStringLiteral("Invalid separator"));
    EXPECT_EQ(d.focusWidget(), d.TxtAdress2Sep);
    d.TxtAdress2Sep->setText(QStringLiteral(">"));
    d.CboSubjectOptions->setCurrentIndex(2);
    d.CboMsgOptions->setCurrentIndex(1);
    d.ChkDeleteInterchange->setChecked(false);
    d.reject();
    EXPECT_EQ(WorkingValues().AdressLin, 0);  // Cancel keeps them
    d.accept();
    EXPECT_EQ(d.result(), QDialog::Accepted);
  }
  const AuxValues& a = WorkingValues();
  EXPECT_EQ(a.AdressLin, 2);
  EXPECT_EQ(a.FileLin, 0);
  EXPECT_EQ(a.SubjectLin, -2);
  EXPECT_EQ(a.MsgLin, -1);
  EXPECT_FALSE(a.DeleteInterchange);
  {
    FrmInfFileContens d;
    EXPECT_EQ(d.CboSubjectOptions->currentIndex(), 2);
    EXPECT_FALSE(d.TxtSubjectLin->isEnabled());
  }
  {
    FrmOutSendOptions d;
    d.TxtRecAddress->setText(QStringLiteral("   "));
    d.accept();
    EXPECT_EQ(said_.texts.last(), QStringLiteral("Invalid Email Address"));
  }
  WorkingValues().Pop3TcpPort = 0;
  FrmIntMailMoreSettings d;
  EXPECT_EQ(d.txtPop3TcpPort->text(), QStringLiteral("110"));
  const struct {
    const char *pop3, *smtp, *timeout, *message;
  } rows[] = {{"110", "70000", "30", "Invalid Tcp Port"},
              {"0", "25", "30", "Invalid Tcp Port"},
              {"110", "25", "0", "Invalid Timeout Value: ( 0 < Timeout <= 300)"},
              {"110", "25", "301", "Invalid Timeout Value: ( 0 < Timeout <= 300)"},
              {"110", "25", "1", nullptr},
              {"995", "465", "300", nullptr}};
  for (const auto& row : rows) {
    said_ = {};
    d.txtPop3TcpPort->setText(QLatin1String(row.pop3));
    d.txtSmtpTcpPort->setText(QLatin1String(row.smtp));
    d.TxtServerTimeOut->setText(QLatin1String(row.timeout));
    EXPECT_EQ(d.TesteParams(), row.message == nullptr) << row.pop3 << row.smtp << row.timeout;
    if (row.message) {
      EXPECT_EQ(said_.texts.value(0), QLatin1String(row.message));
    }
  }
  d.cboSmtpSecurity->setCurrentIndex(3);
  d.txtPasswordCommand->setText(QStringLiteral("pass show mail"));
  d.chkKeepOnServer->setChecked(true);
  d.accept();
  EXPECT_EQ(a.Pop3TcpPort, 995);
  EXPECT_EQ(a.TimeOutSecs, 300);
  EXPECT_EQ(a.Security.SmtpSecurity, 3);
  EXPECT_EQ(a.Security.PasswordCommand, QStringLiteral("pass show mail"));
  EXPECT_TRUE(a.Unattended.KeepOnServer);
}

// The tab widget alone sees Ctrl+Tab only from inside its pages, not from the buttons below.
TEST_F(UiEditor, CtrlTabChangesTheTabWhileAButtonHasTheFocus) {
  FrmConfigPrf editor;
  FrmIntMailMoreSettings more;
  FrmMain options;
  const std::pair<QDialog*, QTabWidget*> windows[] = {
      {&editor, editor.Tabs()}, {&more, more.Tabs}, {&options, options.findChild<QTabWidget*>()}};
  for (auto [window, tabs] : windows) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << window->objectName().toStdString();
    const auto buttons = window->findChildren<QPushButton*>();
    QPushButton* button = *std::find_if(buttons.begin(), buttons.end(), [&](auto* b) { return !tabs->isAncestorOf(b); });
    button->setFocus();
    tabs->setCurrentIndex(0);
    const std::pair<Qt::Key, int> steps[] = {{Qt::Key_Tab, 1}, {Qt::Key_Backtab, 0}, {Qt::Key_Backtab, tabs->count() - 1}};
    for (auto [key, index] : steps) {
      QTest::keyClick(button, key, Qt::ControlModifier | (key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier));
      EXPECT_EQ(tabs->currentIndex(), index) << window->objectName().toStdString() << " " << key;
      EXPECT_EQ(QApplication::focusWidget(), button);
    }
    window->hide();
  }
}

}  // namespace
