#include "clock.h"

int64_t g_packetTime = 0;
