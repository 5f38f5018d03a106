#include "ConfRecords.h"
