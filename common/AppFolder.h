#pragma once
// The application folder that holds the configuration files: --home, else $VORLANE_HOME, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/vorlane.
#include <QString>

namespace vrl {

QString ApplicationFolder();
// ${XDG_CONFIG_HOME:-$HOME/.config}/vorlane: the folder when neither --home nor $VORLANE_HOME says
// otherwise.
QString DefaultApplicationFolder();
// Set by a program's --home option; an empty text falls back to the environment.
void SetApplicationFolder(const QString& folder);
// Creates the folder (mode 0700) when missing, its parents only for the default folder; false
// with errno set when it cannot be made, and failed (when given) the path missing or in the way.
bool EnsureApplicationFolder(QString* failed = nullptr);
// folder + "/" (unless it ends with one) + name.
QString PathInApplicationFolder(const QString& fileName);

}  // namespace vrl
