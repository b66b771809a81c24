#include "vhdx/pontor.h"

// 0 at load; changed only from outside the driver.
ULONG gTraceFlags = 0;
