#pragma once
// The two record layouts of the configuration files: 5000-byte slots, little-endian, Boolean as
// -1/0, strings as a 2-byte byte count followed by UTF-8 text (Windows-1252 on read when the bytes
// are not valid UTF-8). Field names are the stored names.
#include <QByteArray>
#include <QString>
#include <optional>
#include <type_traits>

inline constexpr int kRecordLength = 5000;
// One Long, seventeen Integer/Boolean fields and twenty-six length prefixes.
inline constexpr int kProfileFixedBytes = 90;
inline constexpr int kProfileMaxStringBytes = kRecordLength - kProfileFixedBytes;  // 4910
// Eleven Integer/Boolean fields and one length prefix: the shortest global record.
inline constexpr int kGlobalFixedBytes = 22;

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
  // Added by this port, kept in the extension block behind the fields: the size in MB at which
  // the log file is rotated (one older file, name.1, is kept). 0, the value of records without
  // the block, means no limit.
  qint32 LogMaxMB = 0;
  // Behind it in the same block: messages larger than this many MB stay on the server; 0 (also
  // for a block of only LogMaxMB) means no limit.
  qint32 MaxMessageMB = 0;
  // Behind that: messages that bring more files than this stay on the server; 0 means no limit.
  // A record without it (no block, or a shorter one) reads as the default.
  static constexpr qint32 kDefaultMaxAttachments = 1000;
  qint32 MaxAttachments = kDefaultMaxAttachments;
  // Behind that, as a 2-byte byte count and UTF-8 text: the file the agent writes its figures for
  // monitoring to after every cycle; empty (also for a record without it) means none.
  QString MetricsFile;
  // Behind that, counted likewise: the PostgreSQL connection string (libpq key=value or URI) of
  // the database a fleet of agents shares; empty means this machine only.
  QString ClusterDatabase;
  // Behind that: how long a profile's lease lasts before another agent of the fleet may take the
  // profile over. A value outside the range reads as the default.
  static constexpr qint32 kDefaultLeaseSeconds = 30;
  static constexpr qint32 kMinLeaseSeconds = 2;
  static constexpr qint32 kMaxLeaseSeconds = 3600;
  qint32 LeaseSeconds = kDefaultLeaseSeconds;

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

// Bytes the strings of a profile take on disk, plus the extension block when there is one
// (the 4910-byte limit applies to this sum).
int ProfileStringBytes(const ProfileRecord& rec);

// The marked block behind the 44 fields: marker, 2-byte little-endian length, the bytes.
inline constexpr char kExtensionMarker[] = "VXB1";
inline constexpr int kExtensionHeaderBytes = 6;
inline constexpr int kGlobalFixedBytes = 22;

// What a ClusterDatabase value may take, in UTF-8 bytes.
inline constexpr qsizetype kMaxClusterDatabaseBytes = 1024;
// Why a ClusterDatabase value cannot be stored, as a phrase for behind its name ("must not hold
// control characters"); empty when it can (an empty value, for none, included).
QString ClusterDatabaseProblem(const QString& conninfo);

// Record strings: UTF-8 on write; on read UTF-8 when valid, else Windows-1252.
QByteArray EncodeRecordString(const QString& s);
QString DecodeRecordString(const QByteArray& bytes);

// How each field is stored. ByteString: one QChar per stored byte (WinMsgPws).
enum class FieldKind { Long, Boolean, Integer, Port, String, ByteString };

// Calls f(name, kind, field) for every field in disk order; f takes the field as auto& (const
// when the record is). The names are the stored names.
template <class Rec, class F>
  requires std::is_same_v<std::remove_const_t<Rec>, ProfileRecord>
void ForEachProfileField(Rec& r, F&& f) {
  using K = FieldKind;
  f("RecordNumber", K::Long, r.RecordNumber);
  f("PrfEnabled", K::Boolean, r.PrfEnabled);
  f("Prfname", K::String, r.Prfname);
  f("HostType", K::Integer, r.HostType);
  f("WinMsgProfileName", K::String, r.WinMsgProfileName);
  f("WinMsgPws", K::ByteString, r.WinMsgPws);
  f("SmtpServer", K::String, r.SmtpServer);
  f("Pop3Server", K::String, r.Pop3Server);
  f("UserName", K::String, r.UserName);
  f("Pop3SmtpPws", K::String, r.Pop3SmtpPws);
  f("FromName", K::String, r.FromName);
  f("FromAddress", K::String, r.FromAddress);
  f("SmtpRequiresLogin", K::Boolean, r.SmtpRequiresLogin);
  f("Pop3LoginBeforeSndMail", K::Boolean, r.Pop3LoginBeforeSndMail);
  f("Pop3TcpPort", K::Port, r.Pop3TcpPort);
  f("SmtpTcpPort", K::Port, r.SmtpTcpPort);
  f("TimeOutSecs", K::Integer, r.TimeOutSecs);
  f("PrcInboundMessages", K::Boolean, r.PrcInboundMessages);
  f("PrcOutboundMessages", K::Boolean, r.PrcOutboundMessages);
  f("InboundDir", K::String, r.InboundDir);
  f("CreateAttchsInMsgs", K::Boolean, r.CreateAttchsInMsgs);
  f("CreateInfFileInboundMsgs", K::Boolean, r.CreateInfFileInboundMsgs);
  f("FileExtention", K::String, r.FileExtention);
  f("ResFilesExtention", K::String, r.ResFilesExtention);
  f("OutboundMode", K::Integer, r.OutboundMode);
  f("OutboundDir", K::String, r.OutboundDir);
  f("OutFilesExtention", K::String, r.OutFilesExtention);
  f("RenamedFilesExtention", K::String, r.RenamedFilesExtention);
  f("AdressLin", K::Integer, r.AdressLin);
  f("Adress1Sep", K::String, r.Adress1Sep);
  f("Adress2Sep", K::String, r.Adress2Sep);
  f("FileLin", K::Integer, r.FileLin);
  f("File1Sep", K::String, r.File1Sep);
  f("File2Sep", K::String, r.File2Sep);
  f("SubjectLin", K::Integer, r.SubjectLin);
  f("Subject1Sep", K::String, r.Subject1Sep);
  f("Subject2Sep", K::String, r.Subject2Sep);
  f("MsgLin", K::Integer, r.MsgLin);
  f("Msg1Sep", K::String, r.Msg1Sep);
  f("Msg2Sep", K::String, r.Msg2Sep);
  f("RecAddress", K::String, r.RecAddress);
  f("Subject", K::String, r.Subject);
  f("MsgText", K::String, r.MsgText);
  f("DeleteInterchange", K::Boolean, r.DeleteInterchange);
}

template <class Rec, class F>
  requires std::is_same_v<std::remove_const_t<Rec>, GlobalRecord>
void ForEachGlobalField(Rec& r, F&& f) {
  using K = FieldKind;
  f("RunAtSysStartup", K::Boolean, r.RunAtSysStartup);
  f("AutoInit", K::Boolean, r.AutoInit);
  f("InitMinimized", K::Boolean, r.InitMinimized);
  f("HideWhenMinimized", K::Boolean, r.HideWhenMinimized);
  f("AutoExit", K::Boolean, r.AutoExit);
  f("PrcInterval", K::Integer, r.PrcInterval);
  f("PrcIntervalUnit", K::Integer, r.PrcIntervalUnit);
  f("ShowErrorMsgs", K::Boolean, r.ShowErrorMsgs);
  f("UseLogFile", K::Boolean, r.UseLogFile);
  f("LogFileName", K::String, r.LogFileName);
  f("ConfigFlag", K::Integer, r.ConfigFlag);
}

// Which of the two record files: they differ in the sizes a sound file may have.
enum class RecordKind { Global, Profiles };

// A record file opened for one operation; closed when the object goes. Only a regular file is
// opened (without blocking, so a FIFO or a device in its place is refused, never waited on).
class RecordFile {
 public:
  enum class Mode { Read, ReadWrite, Create };
  // Create makes the file when missing. Files opened for writing get mode 0600 (they hold
  // passwords), new and existing ones alike. Read and ReadWrite refuse a damaged file (see
  // RecordFileProblem); Create, which writes a whole slot, does not look at what is there.
  RecordFile(const QString& path, Mode mode, RecordKind kind);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // Reads slot number (from 1); the last slot of a file may come back shorter than a full slot.
  // False when the slot lies behind the end of the file or on a read error.
  bool ReadSlot(qint32 number, QByteArray& slot) const;
  // Writes a whole slot in one write at its offset. Refused (false) for a slot that would leave
  // a gap of never-written slots in front of it.
  bool WriteSlot(qint32 number, const QByteArray& slot) const;

 private:
  int fd_ = -1;
};

// Why the record file at path cannot be read, as a phrase for behind the file's name ("it is a
// FIFO, not a regular file", "the file is damaged: ..."); empty when it can. A sound file is
// whole 5000-byte slots, where the last may be cut short behind its fields as another writer
// leaves it; the global file is that one slot; a profiles file's header is never all zero bytes.
QString RecordFileProblem(const QString& path, RecordKind kind);

// Unpacks field by field into rec, keeping what was read before a failure; false on a failure.
bool UnpackGlobalInto(const QByteArray& slot, GlobalRecord& rec);

}  // namespace conf
