#pragma once
// The whole configuration (global record and profiles) as one JSON document, for the
// configuration program's --export and --import.
//
//   {"global": {the 11 global fields}, "profiles": [{the profile fields but RecordNumber}, ...]}
//
// Field names are the record names. Profiles take slots 2, 3, ... in array order. WinMsgPws is
// plain text in the document and scrambled in the file; Extension (base64) appears only when
// non-empty. Reading a document checks everything before anything is written.
#include "ConfRecords.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace cfgtransfer {

struct Configuration {
  GlobalRecord global;
  QList<ProfileRecord> profiles;  // as stored: WinMsgPws scrambled, RecordNumber = slot

  bool operator==(const Configuration&) const = default;
};

// Reads both files of the application folder. A missing file reads as "nothing configured"
// (the all-empty global record, no profiles); a file that exists but cannot be read is an error.
bool ReadConfiguration(Configuration& out, QString& error);
// Only the profiles (for listing); same rules.
bool ReadProfiles(QList<ProfileRecord>& out, QString& error);

QByteArray ToJson(const Configuration& conf);

// At most this many problems of one document are listed (then "... and N more").
inline constexpr int kMaxProblems = 20;

// Parses and validates a document; on success out holds records ready to write (passwords
// scrambled, RecordNumber set to the slot each profile will take, "~" in paths expanded). On
// failure problems lists what is wrong, each naming its place: "global", or a profile by its
// name and the slot VRLCfg31 --list shows. notes, when given, says what was changed (paths
// expanded); warnings what the editor would have asked about (taken as answered Yes).
bool FromJson(const QByteArray& json, Configuration& out, QStringList& problems,
              QStringList* notes = nullptr, QStringList* warnings = nullptr);
// The same, the problems joined with "; ".
bool FromJson(const QByteArray& json, Configuration& out, QString& error);

// Writes the global record, then a new profiles file with every profile, each into a temporary
// file beside the real one; both are renamed into place only when everything was written.
bool WriteConfiguration(const Configuration& conf, QString& error);

}  // namespace cfgtransfer
