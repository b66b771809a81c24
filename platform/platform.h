// The only header driver code includes: the kernel and Filter Manager names
// of the platform the driver is built for. The Windows build of the pontor
// tool runs the driver's parser in user mode on the host platform's
// declarations (PONTOR_HOST_PLATFORM, tools/win32).
#pragma once

#if defined(_WIN32) && !defined(PONTOR_HOST_PLATFORM)
#include "windows/kernel.h"
#else
#include "host/kernel.h"
#endif
