#pragma once
// The start-up entry: an XDG autostart file that runs the console when the user logs in. It is
// written or removed each time the global options are saved, following RunAtSysStartup.
#include <QString>

namespace vrlconf {

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/vorlane-v3.desktop
QString AutostartFilePath();
// The console program beside the running program: every program is installed in one folder.
QString ConsoleProgramPath();
// The entry's text for a program path (quoted for the Exec key when the path needs it); an
// application folder other than the default one is passed on with --home.
QByteArray AutostartEntryText(const QString& program);
// Writes the entry (creating the autostart folder); false when it cannot be written.
bool SetAutostartEntry(const QString& program);
// Removes the entry; false when there was none or it cannot be removed.
bool DeleteAutostartEntry();

}  // namespace vrlconf
