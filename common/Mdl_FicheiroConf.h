#pragma once
// Operations on the profiles file "VRL3PF.PCF". Each opens, works and closes the file; each
// returns true on success and false on any input/output failure.
#include "ConfRecords.h"

inline constexpr const char* kProfilesFileName = "VRL3PF.PCF";

QString ProfilesFilePath();
// "Error writing configuration file: "<path>"" and, when err is set, " - <the system's reason>".
QString WriteErrorText(const QString& path, int err);
bool CreateProfilesFile();
bool AddProfileRecord(ProfileRecord& rec);
bool WriteProfileRecord(const ProfileRecord& rec);
bool ReadProfileRecord(qint32 number, ProfileRecord& rec);
// Every profile of the profiles file, RecordNumber set to its slot; none and true when there is
// no file; none and false when the header or a record cannot be read (record by record: a
// damaged header with a huge count ends in a read error).
bool ReadAllProfileRecords(QList<ProfileRecord>& out);
// Slot of the first profile named exactly so; -1 when none; -2 when the header cannot be read
// (after showing the read error).
int FindProfileByName(const QString& name);
bool DeleteProfileRecord(qint32 number);
// The in-memory corrections of a profile the agent loads: an internet-mail profile's port 0
// becomes 110 (POP3) or 25 (SMTP), a time-out outside 1..300 becomes 30. The file is not changed.
void CorrectLoadedProfile(ProfileRecord& rec);

namespace conf {
// The header record as a new profiles file holds it (its password scrambled afresh).
ProfileRecord NewHeaderRecord();
// The same operations on a profiles file at another path (an import builds a new file beside
// the real one and renames it into place).
bool CreateProfilesFileAt(const QString& path);
bool AddProfileRecordAt(const QString& path, ProfileRecord& rec);
bool ReadProfileRecordAt(const QString& path, qint32 number, ProfileRecord& rec);
}  // namespace conf
