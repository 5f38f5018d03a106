#pragma once
// The outbound step for one file: read what to send (from the profile, or from the file itself in
// information-file mode), send it through the session, then delete or rename the file, or rename
// it to the extension "BAD" when it could not go. With the profile's RetryTransient a file whose
// send failed for a reason that may pass stays for a later cycle, until RetryHours after its
// first failure (kept in the journal).
#include <QString>

#include "AgentContext.h"
#include "ConfRecords.h"

class MailHost;

namespace agent {

class RetryJournal;

void ProcessOutboundFile(AgentContext& agent, const ProfileRecord& profile, MailHost& host,
                         const QString& folder, const QString& name, RetryJournal& journal);

// Renames path to its name with extension ext, made free with MakeUniqueFileName and never over
// an existing entry. Returns the new path, or empty after reporting the failure.
QString ChangeFileExtension(AgentContext& agent, const QString& path, const QString& ext);

}  // namespace agent
