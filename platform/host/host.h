// The host platform's own interface, for tests and tools: volumes, requests,
// loading drivers, fault injection, pool accounting, the debug sink. Driver
// code never includes it. One header per component; this one includes them
// all.
#pragma once

#include "platform/host/debug/debug.h"
#include "platform/host/faults/faults.h"
#include "platform/host/fltmgr/filters.h"
#include "platform/host/fs/fs.h"
#include "platform/host/fs/memory.h"
#include "platform/host/iomgr/iomgr.h"
#include "platform/host/ke/ke.h"
#include "platform/host/kernel.h"
#include "platform/host/loader/driver.h"
#include "platform/host/pool/pool.h"
#include "platform/host/rtl/rtl.h"
