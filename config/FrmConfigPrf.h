#pragma once
// The profile editor: every setting of one profile record on three pages, checked in a fixed
// order on OK and written to the profiles file. The settings edited in its sub-dialogs live in
// the module's working values until the profile is saved.
#include <QDialog>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

#include "ConfRecords.h"
#include "ProfileCheck.h"
#include "ProfileInbound.h"
#include "ProfileOAuth.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace vrlconf {

// The profile fields the sub-dialogs edit.
struct AuxValues {
  qint16 AdressLin = 0;
  QString Adress1Sep, Adress2Sep;
  qint16 FileLin = 0;
  QString File1Sep, File2Sep;
  qint16 SubjectLin = 0;
  QString Subject1Sep, Subject2Sep;
  qint16 MsgLin = 0;
  QString Msg1Sep, Msg2Sep;
  bool DeleteInterchange = true;
  QString RecAddress, Subject, MsgText;
  bool SmtpRequiresLogin = false;
  bool Pop3LoginBeforeSndMail = false;
  quint16 Pop3TcpPort = 110;
  quint16 SmtpTcpPort = 25;
  qint16 TimeOutSecs = 30;
  // The settings this port adds (record extension), edited beside the ports.
  ProfileSecurity Security = ProfileSecurity::Automatic();
  ProfileUnattended Unattended = ProfileUnattended::NewProfile();
  ProfileOAuth OAuth;
};

AuxValues& WorkingValues();
void ResetAuxValues();
// True when the editor was last closed with Cancel.
bool EditorCancelled();

// Text normalisers of the file-type boxes.
QString RemoveAsterisco(QString& text);
QString RemoveRightDot(QString& text);
QString SetFileTypeExtention(QString& text);

// Every box the editor and its dialogs show ("Vorlane", the system's icons) goes through
// Prompt; tests replace the boxes with a hook that records the text and gives the answer.
enum class PromptKind { Warning, Question, QuestionExclamation };
bool Prompt(QWidget* parent, PromptKind kind, const QString& text);
void SetPromptHookForTesting(std::function<bool(PromptKind, const QString&)> hook);
// Sub-dialogs opened by the editor run through RunModal; a test hook may answer them.
int RunModal(QDialog& dialog);
void SetModalHookForTesting(std::function<int(QDialog&)> hook);
// Warns with text, then selects the tab holding w (when on one), focuses w and selects its text.
void FailOn(QWidget* w, const QString& text);

class FrmConfigPrf : public QDialog {
  Q_OBJECT
 public:
  explicit FrmConfigPrf(QWidget* parent = nullptr);

  // Prepare the window; EditProfile false when the slot cannot be read (already said).
  void AddProfile();
  bool EditProfile(int& Pos);

  bool TesteQorvProfileName();
  bool TesteParamsMessaging();
  bool TesteParamsPop3_Smtp();
  bool TesteParamsInbound();
  bool TesteParamsOutbound();
  bool TesteInfFileContens();
  bool TesteSndOptions();
  void OutBound_Options();

  void accept() override;
  void reject() override;

  QTabWidget* Tabs() const { return tabs_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildProfilePage();
  void BuildInboundPage();
  void BuildOutboundPage();
  void ApplyInboundInterlock();
  void ApplyOutboundInterlock();
  void ApplyHostType();
  void ApplyProtocol(bool switched);
  ProfileInbound Inbound() const;
  bool TesteImap();
  void SetHeading(const QString& text);
  void Browse(QLineEdit* box, const QString& title);
  void TestSettings();
  void OpenMessaging();
  void ShowHelp();
  ProfileRecord BuildRecord() const;
  QStringList AttachmentFolders() const;
  bool Check(const QSet<conf::ProfileField>& fields);
  QWidget* ControlOf(conf::ProfileField field) const;

  int mode_ = 1;
  int recordNumber_ = 0;
  QByteArray extension_;  // of the edited record: entries this editor does not know stay
  QStringList loadedFolders_;  // the record's attachment folders, as read
  ProfileInbound loadedInbound_;  // the record's inbound settings, as read

  QLabel* heading_ = nullptr;
  QTabWidget* tabs_ = nullptr;
 public:
  // Controls by their system names (tests and the screenshots reach them).
  QCheckBox* ChkPrfEnabled = nullptr;
  QLineEdit* TxtQorvProfileName = nullptr;
  QRadioButton* OptUseIntMail = nullptr;
  QRadioButton* OptUseWinMsg = nullptr;
  QGroupBox* FrmInternetMail = nullptr;
  QLineEdit* txtSmtpServer = nullptr;
  QLabel* LblPop3Server = nullptr;
  QLineEdit* txtPop3Server = nullptr;
  QLineEdit* txtPop3SmtpUsername = nullptr;
  QLineEdit* txtPop3SmtpPws = nullptr;
  QLineEdit* txtfromname = nullptr;
  QLineEdit* txtfromaddress = nullptr;
  QPushButton* Command3 = nullptr;
  QPushButton* Command4 = nullptr;
  QGroupBox* FrmWinMsg = nullptr;
  QLineEdit* TxtWinMsgProfileName = nullptr;
  QLineEdit* TxtWinMsgPws = nullptr;
  QPushButton* CmdWinMsging = nullptr;
  QCheckBox* chkPrcInboundMessages = nullptr;
  QLineEdit* TxtInBoundDir = nullptr;
  QPushButton* CmdBrowseInbound = nullptr;
  QCheckBox* ChkCreateAttchFilesInMsgs = nullptr;
  QLineEdit* TxtFilesInbound = nullptr;
  QCheckBox* ChkCreateInfFileForInMsgs = nullptr;
  QLineEdit* TxtFilesRES = nullptr;
  QLabel* LblInBoundDir = nullptr;
  QGroupBox* FrmIncomingMail = nullptr;
  QRadioButton* OptPop3 = nullptr;
  QRadioButton* OptImap = nullptr;
  QLineEdit* TxtImapFolder = nullptr;
  QRadioButton* OptImapDelete = nullptr;
  QRadioButton* OptImapMove = nullptr;
  QLineEdit* TxtImapMoveTo = nullptr;
  QRadioButton* OptImapKeep = nullptr;
  QCheckBox* ChkImapIdle = nullptr;
  QCheckBox* chkPrcOutboundMessages = nullptr;
  QRadioButton* OptSndFilesFromDir = nullptr;
  QRadioButton* OptUseInfFiles = nullptr;
  QGroupBox* Frme_OutboundOptions = nullptr;
  QLabel* LblOutBoundDir = nullptr;
  QLineEdit* TxtOutBoundDir = nullptr;
  QPushButton* CmdBrowseOutbound = nullptr;
  QLabel* LblFilesOutbound = nullptr;
  QLineEdit* TxtFilesOutbound = nullptr;
  QPushButton* CmdOutContens_options = nullptr;
  QLabel* LblAttachmentFolders = nullptr;
  QLineEdit* TxtAttachmentFolders = nullptr;
  QPushButton* CmdBrowseAttachmentFolder = nullptr;
  QGroupBox* FrmAfterProcessing = nullptr;
  QRadioButton* OptFlesDelete = nullptr;
  QRadioButton* OptFlesRename = nullptr;
  QLineEdit* TxtFilesRenamed = nullptr;
};

}  // namespace vrlconf
