#pragma once
// Operations on the global file "VRL3GCF.GCF".
#include "ConfRecords.h"

inline constexpr const char* kGlobalFileName = "VRL3GCF.GCF";

QString GlobalFilePath();
bool WriteGlobalRecord(const GlobalRecord& rec);
// The all-empty record when the file cannot be read.
GlobalRecord ReadGlobalRecord();
// The same read, telling whether it succeeded (the record keeps what was read, if anything).
bool ReadGlobalRecord(GlobalRecord& rec);

namespace conf {
// The same operations on a global file at another path.
bool WriteGlobalRecordAt(const QString& path, const GlobalRecord& rec);
bool ReadGlobalRecordAt(const QString& path, GlobalRecord& rec);
}  // namespace conf
