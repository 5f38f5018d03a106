#pragma once
#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "socket/SecuritySettings.h"

// Each takes the arguments after the command word and returns the exit status.
int RunSend(const QStringList& args);
int RunFetch(const QStringList& args);

// "--opt=value": cuts arg to "--opt" and returns the value; nothing for "--opt" alone.
std::optional<QString> TakeInlineValue(QString& arg);
// A kB field of /proc/self/status ("VmRSS", "VmHWM"); -1 when it cannot be read.
long ProcStatusKb(const char* field);

// The security options of both commands: --security, --ca-file, --fingerprint, --no-verify,
// --auth, --password-command.
extern const QStringList kSecurityValued;
extern const QStringList kSecuritySwitches;
// The settings the options give (the original clear-text dialogue without any); false with the
// reason for a bad value. --no-verify prints a warning.
bool SecurityFromOptions(const std::map<QString, QString>& opt, vrlsec::Settings* settings, QString* error);
// The password: the first line of --password-file, or of --password-command's output. False
// with the reason (exit status 6 for the caller).
bool PasswordFromOptions(const std::map<QString, QString>& opt, QString* password, QString* error);
