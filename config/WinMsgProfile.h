#pragma once
// What the profile editor's messaging button does: show the profile's Maildir in the desktop's
// file manager. A messaging profile names a Maildir (localmsg::MaildirPath), so there is no
// separate settings program to start.
#include <QString>

namespace qorvconf {

// Opens the Maildir that WinMsgProfileName names with the desktop's file manager (xdg-open) and
// does not wait for it. False, with the sentence to show in *problem, when the name is empty, the
// path is not a Maildir this user may read and write, or xdg-open cannot be started.
bool OpenWinMsgProfile(const QString& WinMsgProfileName, QString* problem);

}  // namespace qorvconf
