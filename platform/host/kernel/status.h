// NTSTATUS values the driver and the host use, from the one list that
// also names them (host::StatusName).
#pragma once

#include "platform/host/kernel/base.h"

#define PONTOR_STATUS(name, code) constexpr NTSTATUS name = (NTSTATUS)code;
#include "platform/host/kernel/statuses.inc"
#undef PONTOR_STATUS
