#pragma once
// A password or token from a command (a secret store, an OAuth2 refresh script): the first line
// of its standard output. The command runs through /bin/sh at each session opening, with a time
// limit. Its output never appears in an error text, so a failing command cannot leak a secret
// into the log.
#include <QString>

namespace vrl {

inline constexpr int kPasswordCommandSeconds = 30;

// True with the first line (without its line end) in *secret; false with a clear reason in
// *error naming the command's exit status, a time-out or a command that could not start.
bool RunPasswordCommand(const QString& command, QString* secret, QString* error,
                        int timeoutSeconds = kPasswordCommandSeconds);

}  // namespace vrl
