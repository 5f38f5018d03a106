#pragma once
// A password or token from a command (a secret store, an OAuth2 refresh script): the first line
// of its standard output. The command runs through /bin/sh at each session opening, with a time
// limit for the line. Nothing behind the line is read, and a command still running 2 seconds
// after it is stopped (SIGTERM to its process group, SIGKILL a second later), so an endless
// writer costs neither memory nor the time-out. Its output never appears in an error text, so a
// failing command cannot leak a secret into the log.
#include <QString>

namespace vrl {

inline constexpr int kPasswordCommandSeconds = 30;
// A token is a few KB; a longer first line is refused.
inline constexpr int kPasswordCommandMaxBytes = 64 * 1024;

// True with the first line (without its line end) in *secret; false with a clear reason in
// *error naming the command's exit status (of a command that ended by itself), a time-out, a
// first line over the limit or a command that could not start.
bool RunPasswordCommand(const QString& command, QString* secret, QString* error,
                        int timeoutSeconds = kPasswordCommandSeconds);

}  // namespace vrl
