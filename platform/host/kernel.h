// The Windows kernel names the driver uses, declared for the Linux host, one
// header per kernel component (kernel/), then the Filter Manager's
// (../fltmgr.h, shared with the cross build), then the routines the driver
// imports (../imports.inc). Driver code reaches this header only through
// platform.h.
#pragma once

#include "platform/host/kernel/base.h"
#include "platform/host/kernel/status.h"
// Components, lowest first.
#include "platform/host/kernel/ex.h"
#include "platform/host/kernel/ke.h"
#include "platform/host/kernel/rtl.h"
#include "platform/host/kernel/ob.h"
#include "platform/host/kernel/mm.h"
#include "platform/host/kernel/io.h"
#include "platform/host/kernel/guarded.h"
// The Filter Manager: the kernel types above are all it needs.
#include "../fltmgr.h"

// The kernel's routines, declared from the driver's import list.
#define PONTOR_DECLARE_NTOSKRNL(declaration) declaration
#define PONTOR_DECLARE_FLTMGR(declaration)
#include "../declare_imports.h"
