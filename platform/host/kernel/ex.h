// The executive: pool types (the routines are in platform/imports.inc).
#pragma once

#include "platform/host/kernel/base.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };
