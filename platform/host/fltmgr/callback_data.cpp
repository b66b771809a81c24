// Callback data: extra create parameters, the dirty flag, and cancelling an
// open from its post-create.
#include <cstring>

#include "platform/host/iomgr/internal.h"
#include "platform/host/ke/internal.h"

extern "C" {

NTSTATUS FLTAPI FltGetEcpListFromCallbackData(PFLT_FILTER, PFLT_CALLBACK_DATA CallbackData,
                                              PECP_LIST* EcpList) {
    if (EcpList == nullptr || CallbackData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *EcpList = nullptr;
    PFILE_OBJECT fo = CallbackData->Iopb->TargetFileObject;
    if (CallbackData->Iopb->MajorFunction != IRP_MJ_CREATE || fo == nullptr ||
        fo->Host == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *EcpList = fo->Host->flt.ecpList;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER, PECP_LIST EcpList, LPCGUID EcpType,
                                            PVOID* EcpContext, ULONG* EcpContextSize) {
    if (EcpContext != nullptr) {
        *EcpContext = nullptr;
    }
    if (EcpList == nullptr || EcpType == nullptr) {
        // Windows dereferences the list: a caller must test for an absent one.
        host::ke::BugCheck("FltFindExtraCreateParameter: no ECP list");
        return STATUS_INVALID_PARAMETER;
    }
    for (const GUID& g : EcpList->types) {
        if (std::memcmp(&g, EcpType, sizeof(GUID)) == 0) {
            if (EcpContext != nullptr) {
                *EcpContext = EcpList->emptyContext;
            }
            if (EcpContextSize != nullptr) {
                *EcpContextSize = 0;
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
    Data->Flags |= FLTFL_CALLBACK_DATA_DIRTY;
}

VOID FLTAPI FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
    Data->Flags &= ~FLTFL_CALLBACK_DATA_DIRTY;
}

BOOLEAN FLTAPI FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
    return (Data->Flags & FLTFL_CALLBACK_DATA_DIRTY) != 0;
}

VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE, PFILE_OBJECT FileObject) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltCancelFileOpen");
    if (FileObject == nullptr || FileObject->Host == nullptr || FileObject->FsContext2 == nullptr ||
        !FileObject->Host->flt.inCreate) {
        host::ke::BugCheck("FltCancelFileOpen: not a create in its post-operation");
        return;
    }
    FileObject->Host->flt.cancelled = true;
}

}  // extern "C"
