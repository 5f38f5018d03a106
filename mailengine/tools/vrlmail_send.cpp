#include "vrlmail.h"
#include <cstdio>
int RunSend(const QStringList&) { std::fputs("vrlmail send: not built yet\n", stderr); return 2; }
