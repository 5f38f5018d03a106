#pragma once
// A profile's settings for running unattended, kept as one entry of the profile record's
// extension block (beside the security entry, same rules): a profile without the entry has the
// defaults below, which are the original behaviour, and writing the defaults back removes the
// entry, so such a record stays byte for byte what it was.
#include "ConfRecords.h"

#include <QStringList>

struct ProfileUnattended {
  // A file whose send failed for a reason that may pass (no connection, a time-out, a dropped
  // connection, a 4xx reply) stays for a later cycle, until RetryHours after its first failure.
  bool RetryTransient = false;
  qint16 RetryHours = 24;
  // Fetched messages stay on the server; KeepDays 0 keeps them for ever.
  bool KeepOnServer = false;
  qint16 KeepDays = 0;

  bool operator==(const ProfileUnattended&) const = default;

  // What a new profile gets (import, the editor).
  static ProfileUnattended NewProfile() {
    ProfileUnattended u;
    u.RetryTransient = true;
    return u;
  }
};

namespace conf {

inline constexpr quint16 kUnattendedTag = 2;
inline constexpr quint16 kAttachmentFoldersTag = 3;
// What the folder list may take of the record, in UTF-8 bytes.
inline constexpr qsizetype kMaxAttachmentFoldersBytes = 1024;

ProfileUnattended ReadProfileUnattended(const ProfileRecord& rec);
void WriteProfileUnattended(ProfileRecord& rec, const ProfileUnattended& settings);

// The folders an information file may name its attachment in (absolute paths); empty: anywhere,
// as it always was. An entry of its own, absent when the list is empty.
QStringList ReadAttachmentFolders(const ProfileRecord& rec);
void WriteAttachmentFolders(ProfileRecord& rec, const QStringList& folders);
// The rule a folder list meets before it is stored, the same for the import and the editor: each
// name absolute and free of control characters (one a line in the entry), the list within
// kMaxAttachmentFoldersBytes. The first fault found; *at takes the index of a bad name.
enum class FolderListFault { None, BadName, TooLong };
FolderListFault CheckAttachmentFolders(const QStringList& folders, qsizetype* at = nullptr);
// Whether path (an existing file) lies inside one of the folders, links resolved; true when
// there are none.
bool InsideAttachmentFolders(const QString& path, const QStringList& folders);

}  // namespace conf
