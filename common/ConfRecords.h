#pragma once
// The two record layouts of the configuration files: 5000-byte slots, little-endian, Boolean as
// -1/0, strings as a 2-byte byte count followed by UTF-8 text (Windows-1252 on read when the bytes
// are not valid UTF-8). Field names are the stored names.
#include <QByteArray>
#include <QString>
#include <optional>

inline constexpr int kRecordLength = 5000;
// One Long, seventeen Integer/Boolean fields and twenty-six length prefixes.
inline constexpr int kProfileFixedBytes = 90;
inline constexpr int kProfileMaxStringBytes = kRecordLength - kProfileFixedBytes;  // 4910

struct ProfileRecord {
  qint32 RecordNumber = 0;
  bool PrfEnabled = false;
  QString Prfname;
  qint16 HostType = 0;
  QString WinMsgProfileName;
  QString WinMsgPws;  // scrambled; each QChar holds one stored byte (0..255)
  QString SmtpServer;
  QString Pop3Server;
  QString UserName;
  QString Pop3SmtpPws;
  QString FromName;
  QString FromAddress;
  bool SmtpRequiresLogin = false;
  bool Pop3LoginBeforeSndMail = false;
  // Ports are stored in 16 bits and read unsigned, so that ports above 32767 stay usable.
  quint16 Pop3TcpPort = 0;
  quint16 SmtpTcpPort = 0;
  qint16 TimeOutSecs = 0;
  bool PrcInboundMessages = false;
  bool PrcOutboundMessages = false;
  QString InboundDir;
  bool CreateAttchsInMsgs = false;
  bool CreateInfFileInboundMsgs = false;
  QString FileExtention;
  QString ResFilesExtention;
  qint16 OutboundMode = 0;
  QString OutboundDir;
  QString OutFilesExtention;
  QString RenamedFilesExtention;
  qint16 AdressLin = 0;
  QString Adress1Sep;
  QString Adress2Sep;
  qint16 FileLin = 0;
  QString File1Sep;
  QString File2Sep;
  qint16 SubjectLin = 0;
  QString Subject1Sep;
  QString Subject2Sep;
  qint16 MsgLin = 0;
  QString Msg1Sep;
  QString Msg2Sep;
  QString RecAddress;
  QString Subject;
  QString MsgText;
  bool DeleteInterchange = false;
  // Marked extension block behind the 44 fields (settings added by this port, such as
  // transport security and authentication). Empty: none is written. Its bytes count
  // against the slot like the fields do.
  QByteArray Extension;

  bool operator==(const ProfileRecord&) const = default;
};

struct GlobalRecord {
  bool RunAtSysStartup = false;
  bool AutoInit = false;
  bool InitMinimized = false;
  bool HideWhenMinimized = false;
  bool AutoExit = false;
  qint16 PrcInterval = 0;
  qint16 PrcIntervalUnit = 0;
  bool ShowErrorMsgs = false;
  bool UseLogFile = false;
  QString LogFileName;
  qint16 ConfigFlag = 0;

  bool operator==(const GlobalRecord&) const = default;
};

namespace conf {

// Packs a record into its slot bytes (exactly kRecordLength bytes, zero-filled behind the
// fields); nullopt when the fields do not fit the slot.
std::optional<QByteArray> PackProfile(const ProfileRecord& rec);
std::optional<QByteArray> PackGlobal(const GlobalRecord& rec);

// Unpacks slot bytes (may be shorter than a full slot when it is the last one of a file);
// nullopt when a field runs past the data (truncated or garbage).
std::optional<ProfileRecord> UnpackProfile(const QByteArray& slot);
std::optional<GlobalRecord> UnpackGlobal(const QByteArray& slot);

// Bytes the strings of a profile take on disk (the 4910-byte limit applies to this).
int ProfileStringBytes(const ProfileRecord& rec);

// Record strings: UTF-8 on write; on read UTF-8 when valid, else Windows-1252.
QByteArray EncodeRecordString(const QString& s);
QString DecodeRecordString(const QByteArray& bytes);

}  // namespace conf
