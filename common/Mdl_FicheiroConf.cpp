#include "Mdl_FicheiroConf.h"
