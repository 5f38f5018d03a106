#include "ProfileCheck.h"

#include "ProfileSecurity.h"
#include "smtp/SMTP_OutMail.h"

#include <QDir>

namespace conf {
namespace {

bool HasControl(const QString& text) {
  for (QChar c : text)
    if (c.category() == QChar::Other_Control) return true;
  return false;
}

bool AnyType(const QString& type) { return TypeExtension(type).isEmpty(); }

bool SameType(const QString& a, const QString& b) {
  return TypeExtension(a).compare(TypeExtension(b), Qt::CaseInsensitive) == 0;
}

bool BadType(const QString& type) { return TypeExtension(type).compare(QLatin1String("BAD"), Qt::CaseInsensitive) == 0; }

class Collector {
 public:
  explicit Collector(const ProfileCheckOptions& o) : run_(o.purpose == CheckPurpose::Run) {}

  // Rules the agent's load keeps pass forRun; the others only stop a save.
  void Refuse(ProfileField field, const QString& text, const QString& detail, bool forRun = false) {
    if (!run_ || forRun) list_.append({Severity::Refuse, field, text, detail});
  }
  void Ask(ProfileField field, const QString& text, const QString& detail, Effect effect = Effect::None,
           bool exclamation = false) {
    if (!run_) list_.append({Severity::Ask, field, text, detail, effect, exclamation});
  }
  bool Run() const { return run_; }
  QList<ProfileProblem> Take() { return std::move(list_); }

 private:
  bool run_;
  QList<ProfileProblem> list_;
};

const QString kAgain = QStringLiteral("\rContinue ?");
const QString kAnyType = QStringLiteral("This type of file cannot be used: *.*");
const QString kBadType = QStringLiteral("This type of file cannot be used: *.BAD");

QString Field(const char* name) { return QStringLiteral("field \"%1\"").arg(QLatin1String(name)); }

void CheckName(const ProfileRecord& p, const ProfileCheckOptions& o, Collector& c) {
  const QString invalid = QStringLiteral("Invalid profile name");
  if (p.Prfname.trimmed().isEmpty()) return c.Refuse(ProfileField::Name, invalid, Field("Prfname") + " must not be empty");
  if (HasControl(p.Prfname))
    return c.Refuse(ProfileField::Name, invalid,
                    Field("Prfname") + " must not hold control characters (TAB, line breaks)");
  if (!o.nameTaken) return;
  const int slot = o.nameTaken(p.Prfname);
  if (slot == -2) c.Refuse(ProfileField::Name, QString(), QStringLiteral("the profiles cannot be read"));
  if (slot > 0)
    c.Refuse(ProfileField::Name, QStringLiteral("This profile already exists: ") + p.Prfname,
             QStringLiteral("the name is taken by the profile in slot %1").arg(slot));
}

void CheckMessaging(const ProfileRecord& p, Collector& c) {
  if (p.WinMsgProfileName.trimmed().isEmpty())
    c.Refuse(ProfileField::WinMsgProfile, QStringLiteral("Invalid Windows Messaging profile name"),
             Field("WinMsgProfileName") + " must name the Maildir of a messaging profile (for example ~/Maildir)");
  if (p.TimeOutSecs < 0 || p.TimeOutSecs > 300)
    c.Refuse(ProfileField::Ports, QStringLiteral("Invalid time-out"),
             Field("TimeOutSecs") + QStringLiteral(" must be from 0 to 300, not %1").arg(p.TimeOutSecs));
}

void CheckInternetMail(const ProfileRecord& p, Collector& c) {
  const struct {
    const char* name;
    int value;
    int max;
  } ranges[] = {{"Pop3TcpPort", p.Pop3TcpPort, 65535}, {"SmtpTcpPort", p.SmtpTcpPort, 65535}, {"TimeOutSecs", p.TimeOutSecs, 300}};
  for (const auto& r : ranges) {
    if (r.value < 1 || r.value > r.max)
      c.Refuse(ProfileField::Ports, QStringLiteral("Invalid port or time-out in More Settings"),
               Field(r.name) + QStringLiteral(" must be from 1 to %1 for an internet-mail profile, not %2").arg(r.max).arg(r.value));
  }
  const bool noSmtp = p.SmtpServer.trimmed().isEmpty();
  const bool noPop3 = p.Pop3Server.trimmed().isEmpty();
  if (noSmtp && noPop3)
    return c.Refuse(ProfileField::SmtpServer, QStringLiteral("Indicate a valid SMTP and/or POP3 Server!"),
                    QStringLiteral("fields \"SmtpServer\" and \"Pop3Server\" must not both be empty"));
  if (noSmtp)
    c.Ask(ProfileField::SmtpServer, QStringLiteral("SMTP Server is empty. No Outbound Messages will be processed. Continue?"),
          Field("SmtpServer") + " is empty: no outbound messages will be processed", Effect::NoOutbound);
  if (noPop3)
    c.Ask(ProfileField::Pop3Server, QStringLiteral("POP3 Server is empty. No Inbound Messages will be processed. Continue?"),
          Field("Pop3Server") + " is empty: no inbound messages will be processed", Effect::NoInbound);
  if (p.UserName.trimmed().isEmpty())
    c.Ask(ProfileField::UserName, QStringLiteral("Username is empty. Continue?"), Field("UserName") + " is empty");
  // A password command or an OAuth sign-in supplies it, so an empty password is expected then.
  if (const ProfileSecurity sec = ReadProfileSecurity(p);
      p.Pop3SmtpPws.trimmed().isEmpty() && sec.PasswordCommand.trimmed().isEmpty() && !sec.UsesOAuth())
    c.Ask(ProfileField::Password, QStringLiteral("Password is empty. Continue?"), Field("Pop3SmtpPws") + " is empty");
  if (p.FromName.trimmed().isEmpty())
    c.Refuse(ProfileField::FromName, QStringLiteral("Invalid Name for User Information"), Field("FromName") + " must not be empty");
  // Servers refuse a message whose sender is no address; the agent needs it only to send.
  const bool sends = p.PrcOutboundMessages;
  if (SMTP_OutMail syntax; !syntax.IsValidEmailAddress(p.FromAddress.trimmed()))
    c.Refuse(ProfileField::FromAddress, QStringLiteral("Invalid E-Mail Address for User Information"),
             Field("FromAddress") + QStringLiteral(" must be an e-mail address the agent can send from, not \"%1\"").arg(p.FromAddress),
             sends);
}

// An empty folder may be saved after a Yes; a relative one never, since the agent's working
// folder is arbitrary.
void CheckFolder(const QString& dir, const char* name, ProfileField field, const QString& invalid,
                 const ProfileCheckOptions& o, Collector& c) {
  const QString trimmed = dir.trimmed();
  if (trimmed.isEmpty()) return c.Ask(field, invalid + kAgain, Field(name) + " is empty");
  if (!dir.startsWith(u'/'))
    return c.Refuse(field, QStringLiteral("Not an absolute folder name: ") + dir,
                    Field(name) + QStringLiteral(" must be an absolute folder path (starting with / or ~/), not \"%1\"").arg(dir),
                    true);
  if (o.folderExists && !o.folderExists(trimmed))
    c.Ask(field, QStringLiteral("Directory not found: ") + trimmed + kAgain,
          Field(name) + QStringLiteral(": the folder \"%1\" does not exist").arg(trimmed));
}

void CheckInbound(const ProfileRecord& p, const ProfileCheckOptions& o, Collector& c) {
  CheckFolder(p.InboundDir, "InboundDir", ProfileField::InboundDir, QStringLiteral("Invalid Inbound directory"), o, c);
  if (!p.CreateInfFileInboundMsgs && !p.CreateAttchsInMsgs)
    c.Ask(ProfileField::CreateFiles, QStringLiteral("WARNING!\r\nNo files will be created for inbound messages.\r\nContinue ?"),
          QStringLiteral("no files will be created for inbound messages (\"CreateAttchsInMsgs\" and "
                         "\"CreateInfFileInboundMsgs\" are false)"),
          Effect::None, true);
  if (!p.CreateInfFileInboundMsgs) return;
  if (AnyType(p.ResFilesExtention))
    c.Refuse(ProfileField::ResType, kAnyType, Field("ResFilesExtention") + " must name one type of file, not any");
  else if (SameType(p.FileExtention, p.ResFilesExtention))
    c.Refuse(ProfileField::ResType, QStringLiteral("This type of file cannot be used because this is de type of inbound files "),
             Field("ResFilesExtention") + QStringLiteral(" must differ from \"FileExtention\" (\"%1\")").arg(p.FileExtention));
}

void CheckOutbound(const ProfileRecord& p, const ProfileCheckOptions& o, Collector& c) {
  CheckFolder(p.OutboundDir, "OutboundDir", ProfileField::OutboundDir, QStringLiteral("Invalid Outbound directory"), o, c);
  // A file renamed to .BAD, or to any type, would be sent again.
  if (BadType(p.OutFilesExtention))
    c.Refuse(ProfileField::OutType, kBadType, Field("OutFilesExtention") + " must not be BAD", true);
  else if (AnyType(p.OutFilesExtention))
    c.Refuse(ProfileField::OutType, kAnyType, Field("OutFilesExtention") + " must name one type of file, not any", true);
  if (o.renameChosen || !p.RenamedFilesExtention.isEmpty()) {
    const QString field = Field("RenamedFilesExtention");
    if (AnyType(p.RenamedFilesExtention))
      c.Refuse(ProfileField::RenamedType, kAnyType, field + " must name one type of file, not any", true);
    else if (BadType(p.RenamedFilesExtention))
      c.Refuse(ProfileField::RenamedType, kBadType, field + " must not be BAD", true);
    else if (SameType(p.RenamedFilesExtention, p.OutFilesExtention))
      c.Refuse(ProfileField::RenamedType,
               QStringLiteral("This type of file cannot be used because this is de type of information files "),
               field + QStringLiteral(" must differ from \"OutFilesExtention\" (\"%1\")").arg(p.OutFilesExtention), true);
  }
  if (p.OutboundMode == 1 && p.RecAddress.trimmed().isEmpty())
    c.Refuse(ProfileField::SendOptions, QStringLiteral("Configure the Send Options!"),
             Field("RecAddress") + " must name the recipients when \"OutboundMode\" is 1");
  if (p.OutboundMode == 2 && p.AdressLin == 0)
    c.Refuse(ProfileField::InfFileContents, QStringLiteral("Configure the contents of information file!"),
             Field("AdressLin") + " must give the line of the addresses when \"OutboundMode\" is 2");
}

}  // namespace

QList<ProfileProblem> CheckProfile(const ProfileRecord& p, const ProfileCheckOptions& o) {
  Collector c(o);
  if (!c.Run()) CheckName(p, o, c);
  if (p.HostType == 1) {
    CheckMessaging(p, c);
  } else if (p.HostType == 2) {
    CheckInternetMail(p, c);
  } else {
    c.Refuse(ProfileField::HostType, QStringLiteral("Invalid mail option"),
             Field("HostType") + QStringLiteral(" must be 1 (messaging) or 2 (internet mail), not %1").arg(p.HostType), true);
  }
  if (p.OutboundMode != 1 && p.OutboundMode != 2)
    c.Refuse(ProfileField::OutboundMode, QStringLiteral("Invalid outbound option"),
             Field("OutboundMode") + QStringLiteral(" must be 1 or 2, not %1").arg(p.OutboundMode),
             p.PrcOutboundMessages);
  if (p.PrcInboundMessages) CheckInbound(p, o, c);
  if (p.PrcOutboundMessages) CheckOutbound(p, o, c);
  if (!p.PrcInboundMessages && !p.PrcOutboundMessages)
    c.Refuse(ProfileField::Process, QStringLiteral("Please select 'Process Inbound Messages' or 'Process Outbound Messages'"),
             QStringLiteral("fields \"PrcInboundMessages\" and \"PrcOutboundMessages\" must not both be false"));
  return c.Take();
}

QList<ProfileProblem> CheckProfileAnsweringYes(ProfileRecord& p, const ProfileCheckOptions& options) {
  QList<ProfileProblem> answered;
  // Each round clears one more of the two directions at most, so three rounds settle it.
  for (int round = 0; round < 3; ++round) {
    bool changed = false;
    for (const ProfileProblem& problem : CheckProfile(p, options)) {
      bool& flag = problem.effect == Effect::NoOutbound ? p.PrcOutboundMessages : p.PrcInboundMessages;
      if (problem.effect == Effect::None || !flag) continue;
      flag = false;
      changed = true;
      answered << problem;
    }
    if (!changed) break;
  }
  for (const ProfileProblem& problem : CheckProfile(p, options)) {
    if (problem.effect == Effect::None) answered << problem;
  }
  return answered;
}

QString TypeExtension(const QString& type) {
  QString s = type.trimmed();
  s.remove(u'*');
  while (s.endsWith(u'.')) s.chop(1);
  return s.mid(s.lastIndexOf(u'.') + 1);
}

bool ExpandHome(QString& path) {
  if (path != QLatin1String("~") && !path.startsWith(QLatin1String("~/"))) return false;
  path = QDir::homePath() + path.mid(1);
  return true;
}

}  // namespace conf
