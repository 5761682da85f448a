#include "base/Globals.h"

bool g_bDebugMode = false;
