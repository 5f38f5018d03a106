#include "Mdl_Crypto.h"
