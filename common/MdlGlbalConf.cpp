#include "MdlGlbalConf.h"
