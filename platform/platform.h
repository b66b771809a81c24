// The only header driver code includes: the kernel and Filter Manager names
// of the platform the driver is built for.
#pragma once

#if defined(_WIN32)
#include "windows/kernel.h"
#else
#include "host/kernel.h"
#endif
