#include "vrlmail.h"
#include <cstdio>
int RunFetch(const QStringList&) { std::fputs("vrlmail fetch: not built yet\n", stderr); return 2; }
