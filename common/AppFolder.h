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
// Creates the folder (mode 0700) when missing; false when it cannot be made.
bool EnsureApplicationFolder();
// folder + "/" (unless it ends with one) + name.
QString PathInApplicationFolder(const QString& fileName);

}  // namespace vrl
