#pragma once
#include "mime/Pop3Mail.h"  // the records belong to MIME parsing now; this name stays for its callers
