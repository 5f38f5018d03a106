#pragma once
#include <QStringList>

// Each takes the arguments after the command word and returns the exit status.
int RunSend(const QStringList& args);
int RunFetch(const QStringList& args);
