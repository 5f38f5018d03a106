#pragma once
#include <QString>
#include <QStringList>
#include <optional>

// Each takes the arguments after the command word and returns the exit status.
int RunSend(const QStringList& args);
int RunFetch(const QStringList& args);

// "--opt=value": cuts arg to "--opt" and returns the value; nothing for "--opt" alone.
std::optional<QString> TakeInlineValue(QString& arg);
// A kB field of /proc/self/status ("VmRSS", "VmHWM"); -1 when it cannot be read.
long ProcStatusKb(const char* field);
