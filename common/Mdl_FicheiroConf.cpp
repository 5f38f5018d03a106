#include "Mdl_FicheiroConf.h"

#include "AppFolder.h"
#include "FileIo.h"
#include "MessageBox.h"
#include "Mdl_Crypto.h"

#include <QFileInfo>
#include <limits>

namespace {

constexpr qint32 kHeaderSlot = 1;

// Drops one trailing "/" of a folder longer than one character; "/" alone stays.
void DropTrailingSeparator(QString& dir) {
  if (dir.size() > 1 && dir.endsWith(QLatin1Char('/'))) dir.chop(1);
}

bool ReadFrom(const conf::RecordFile& file, qint32 number, ProfileRecord& rec) {
  QByteArray slot;
  std::optional<ProfileRecord> read;
  // A slot of only zero bytes is what a lost write leaves, not a profile (it has no name).
  if (file.ReadSlot(number, slot) && slot.count('\0') != slot.size()) read = conf::UnpackProfile(slot);
  if (!read) {
    rec = ProfileRecord{};
    return false;
  }
  rec = std::move(*read);
  DropTrailingSeparator(rec.InboundDir);
  DropTrailingSeparator(rec.OutboundDir);
  return true;
}

// A profile goes to the slot its RecordNumber names; the header (whose RecordNumber is the
// last used slot) always to slot 1.
bool WriteTo(const conf::RecordFile& file, const ProfileRecord& rec, qint32 slotNumber) {
  const std::optional<QByteArray> slot = conf::PackProfile(rec);
  return slot && file.WriteSlot(slotNumber, *slot);
}

}  // namespace

namespace conf {

ProfileRecord NewHeaderRecord() {
  ProfileRecord header;
  header.RecordNumber = 1;
  header.PrfEnabled = true;
  header.Prfname = QStringLiteral("QuorvoV3");
  header.WinMsgPws = Scramble(QStringLiteral("Vesk+Talmo"));
  header.InboundDir = QStringLiteral("NXB CONFIGURATION FILE 3");
  header.FileExtention = QStringLiteral("QTX+WMB");
  header.OutboundDir = QStringLiteral("NXB");
  header.OutFilesExtention = QStringLiteral("TORVA");
  return header;
}

bool CreateProfilesFileAt(const QString& path) {
  const RecordFile file(path, RecordFile::Mode::Create, RecordKind::Profiles);
  return file.IsOpen() && WriteTo(file, NewHeaderRecord(), kHeaderSlot);
}

bool AddProfileRecordAt(const QString& path, ProfileRecord& rec) {
  const RecordFile file(path, RecordFile::Mode::ReadWrite, RecordKind::Profiles);
  ProfileRecord header;
  if (!file.IsOpen() || !ReadFrom(file, kHeaderSlot, header)) return false;
  if (header.RecordNumber < kHeaderSlot || header.RecordNumber == std::numeric_limits<qint32>::max()) {
    return false;
  }
  rec.RecordNumber = header.RecordNumber + 1;
  // The new slot first: a failure in between leaves the profile invisible, never half-listed.
  if (!WriteTo(file, rec, rec.RecordNumber)) return false;
  header.RecordNumber += 1;
  return WriteTo(file, header, kHeaderSlot);
}

bool ReadProfileRecordAt(const QString& path, qint32 number, ProfileRecord& rec) {
  const RecordFile file(path, RecordFile::Mode::Read, RecordKind::Profiles);
  if (!file.IsOpen()) {
    rec = ProfileRecord{};
    return false;
  }
  return ReadFrom(file, number, rec);
}

}  // namespace conf

QString ProfilesFilePath() { return vrl::PathInApplicationFolder(QString::fromLatin1(kProfilesFileName)); }

bool CreateProfilesFile() {
  return vrl::EnsureApplicationFolder() && conf::CreateProfilesFileAt(ProfilesFilePath());
}

bool AddProfileRecord(ProfileRecord& rec) { return conf::AddProfileRecordAt(ProfilesFilePath(), rec); }

bool WriteProfileRecord(const ProfileRecord& rec) {
  if (rec.RecordNumber < kHeaderSlot || !conf::PackProfile(rec)) return false;
  if (!vrl::EnsureApplicationFolder()) return false;
  const conf::RecordFile file(ProfilesFilePath(), conf::RecordFile::Mode::Create, conf::RecordKind::Profiles);
  return file.IsOpen() && WriteTo(file, rec, rec.RecordNumber);
}

bool ReadProfileRecord(qint32 number, ProfileRecord& rec) {
  return conf::ReadProfileRecordAt(ProfilesFilePath(), number, rec);
}

bool ReadAllProfileRecords(QList<ProfileRecord>& out) {
  out.clear();
  if (!QFileInfo::exists(ProfilesFilePath())) return true;
  ProfileRecord header;
  if (!ReadProfileRecord(1, header)) return false;
  for (qint32 slot = 2; slot <= header.RecordNumber; ++slot) {
    ProfileRecord p;
    if (!ReadProfileRecord(slot, p)) {
      out.clear();
      return false;
    }
    p.RecordNumber = slot;
    out.append(p);
  }
  return true;
}

int FindProfileByName(const QString& name) {
  const QString path = ProfilesFilePath();
  auto readError = [&] {
    vrl::ShowMessageBox(QStringLiteral("Error reading configuration file: \"%1\"").arg(path),
                        vrl::MsgBoxIcon::Exclamation);
    return -2;
  };
  const conf::RecordFile file(path, conf::RecordFile::Mode::Read, conf::RecordKind::Profiles);
  ProfileRecord rec;
  if (!file.IsOpen() || !ReadFrom(file, kHeaderSlot, rec)) return readError();
  const qint32 last = rec.RecordNumber;
  for (qint32 slot = 2; slot <= last; ++slot) {
    // A slot the header promises but the file lacks is a damaged file, not a missing name.
    if (!ReadFrom(file, slot, rec)) return readError();
    if (rec.Prfname == name) return slot;
  }
  return -1;
}

bool DeleteProfileRecord(qint32 number) {
  const conf::RecordFile file(ProfilesFilePath(), conf::RecordFile::Mode::ReadWrite, conf::RecordKind::Profiles);
  ProfileRecord header;
  if (!file.IsOpen() || !ReadFrom(file, kHeaderSlot, header)) return false;
  // Only a profile slot can be removed: slot 1 is the header, and a slot behind the last
  // profile holds nothing (removing it would drop the last profile instead).
  if (number <= kHeaderSlot || number > header.RecordNumber) return false;
  for (qint32 slot = number; slot < header.RecordNumber; ++slot) {
    ProfileRecord next;
    if (!ReadFrom(file, slot + 1, next)) return false;
    next.RecordNumber = slot;
    if (!WriteTo(file, next, slot)) return false;
  }
  header.RecordNumber -= 1;
  return WriteTo(file, header, kHeaderSlot);
}

void CorrectLoadedProfile(ProfileRecord& rec) {
  if (rec.HostType != 2) return;
  if (rec.Pop3TcpPort == 0) rec.Pop3TcpPort = 110;
  if (rec.SmtpTcpPort == 0) rec.SmtpTcpPort = 25;
  if (rec.TimeOutSecs < 1 || rec.TimeOutSecs > 300) rec.TimeOutSecs = 30;
}

QString WriteErrorText(const QString& path, int err) {
  return QStringLiteral("Error writing configuration file: \"") + path + QLatin1Char('"') + vrl::ReasonSuffix(err);
}
