// A Filter Manager routine defined inside the image instead of imported
// from FLTMGR.SYS, as a stray stub would be.
#include "platform/platform.h"

extern "C" NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter) {
    UNREFERENCED_PARAMETER(Filter);
    return STATUS_SUCCESS;
}
