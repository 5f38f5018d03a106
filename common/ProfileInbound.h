#pragma once
// How a profile fetches its inbound mail, kept as one entry of the profile record's extension
// block by the rules of the others: a profile without the entry fetches by POP3 as it always
// did, and writing the defaults back removes the entry, so such a record stays as it was. The
// IMAP settings are the agent's IMAP step's; POP3 ignores them.
#include "ConfRecords.h"

#include <QString>

struct ProfileInbound {
  QString Protocol = QStringLiteral("pop3");   // "pop3" or "imap"
  QString ImapFolder = QStringLiteral("INBOX");  // the folder messages are fetched from
  QString ImapAfter = QStringLiteral("delete");  // "delete", "move" or "keep"
  QString ImapMoveTo;                             // with "move": where processed messages go
  bool ImapIdle = false;                          // new mail starts the inbound step at once

  bool operator==(const ProfileInbound&) const = default;
  bool UsesImap() const { return Protocol == QLatin1String("imap"); }
};

namespace conf {

inline constexpr quint16 kInboundTag = 5;
// What a folder name may take, in UTF-8 bytes (the import refuses more).
inline constexpr qsizetype kMaxImapFolderBytes = 1024;

// An entry of an older version, or with values this version does not know, reads as the defaults
// where it says nothing known.
ProfileInbound ReadProfileInbound(const ProfileRecord& rec);
void WriteProfileInbound(ProfileRecord& rec, const ProfileInbound& settings);

// The rule the settings meet before they are stored, the same for the import and the editor;
// the first fault found. Known protocol and after values are the caller's to make sure of.
enum class InboundFault { None, BadFolder, EmptyFolder, BadMoveTo, NoMoveTo, MoveToSame };
InboundFault CheckProfileInbound(const ProfileInbound& settings);

}  // namespace conf
