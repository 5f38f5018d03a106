#include "MdlGlbalConf.h"

#include "AppFolder.h"

namespace conf {

bool WriteGlobalRecordAt(const QString& path, const GlobalRecord& rec) {
  const std::optional<QByteArray> slot = PackGlobal(rec);
  if (!slot) return false;
  const RecordFile file(path, RecordFile::Mode::Create, RecordKind::Global);
  return file.IsOpen() && file.WriteSlot(1, *slot);
}

bool ReadGlobalRecordAt(const QString& path, GlobalRecord& rec) {
  const RecordFile file(path, RecordFile::Mode::Read, RecordKind::Global);
  QByteArray slot;
  if (!file.IsOpen() || !file.ReadSlot(1, slot)) return false;
  return UnpackGlobalInto(slot, rec);
}

}  // namespace conf

QString GlobalFilePath() { return vrl::PathInApplicationFolder(QString::fromLatin1(kGlobalFileName)); }

bool WriteGlobalRecord(const GlobalRecord& rec) {
  if (!conf::PackGlobal(rec)) return false;
  return vrl::EnsureApplicationFolder() && conf::WriteGlobalRecordAt(GlobalFilePath(), rec);
}

GlobalRecord ReadGlobalRecord() {
  GlobalRecord rec;
  if (!ReadGlobalRecord(rec)) return GlobalRecord{};
  return rec;
}

bool ReadGlobalRecord(GlobalRecord& rec) { return conf::ReadGlobalRecordAt(GlobalFilePath(), rec); }
