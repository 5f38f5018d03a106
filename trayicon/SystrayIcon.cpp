#include "SystrayIcon.h"
