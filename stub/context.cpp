// The stream context of an opened stub: creation and the cleanup the Filter
// Manager calls when the stream goes away.
#include "stub/stub.h"
#include "vhdx/pontor.h"

namespace {

VOID ReleaseImage(PFLT_INSTANCE Instance, VhdxContext** Record) {
    VhdxContext* image = *Record;
    if (image == NULL) {
        return;
    }
    PontorCloseFile(image);
    FltFreePoolAlignedWithTag(Instance, image, PONTOR_VHDX_TAG);
    *Record = NULL;
}

}  // namespace

VOID PontorReleaseImageChain(StreamContext* Context) {
    ReleaseImage(Context->Instance, &Context->VhdxContext);
    ReleaseImage(Context->Instance, &Context->ParentVhdxFileContext);
}

NTSTATUS PontorCreateStreamContext(PFLT_FILTER Filter, StreamContext** Context) {
    // Deprecated in recent kits (C4996) in favour of ExAllocatePool2, which
    // older systems lack; the event is allocated as every supported system can.
    PONTOR_DEPRECATED_CALL(PKEVENT event = (PKEVENT)ExAllocatePoolWithTag(
                               NonPagedPoolNx, sizeof(KEVENT), PONTOR_EVENT_TAG));
    if (event == NULL) {
        PONTOR_TRACE("Failed to allocate KEVENT\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamContext* context = NULL;
    const NTSTATUS status = FltAllocateContext(Filter, FLT_STREAM_CONTEXT, sizeof(StreamContext),
                                               NonPagedPoolNx, (PFLT_CONTEXT*)&context);
    if (!NT_SUCCESS(status)) {
        PONTOR_TRACE("FltAllocateContext failed with status 0x%x\n", status);
        ExFreePoolWithTag(event, PONTOR_EVENT_TAG);
        return status;
    }

    RtlZeroMemory(context, sizeof(StreamContext));
    KeInitializeMutex(&context->Mutex, 0);
    context->InitEvent = event;
    // Signalled: the first create to wait on it may bind.
    KeInitializeEvent(event, SynchronizationEvent, TRUE);
    RtlZeroMemory(context->StubHeader, sizeof(context->StubHeader));
    *Context = context;
    return STATUS_SUCCESS;
}

VOID PontorStreamContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    UNREFERENCED_PARAMETER(ContextType);
    StreamContext* context = (StreamContext*)Context;
    PONTOR_TRACE("Entered\n");

    // No read or modification check may be inside the chain while it goes.
    KeWaitForSingleObject(&context->Mutex, Executive, KernelMode, FALSE, NULL);
    InterlockedExchange(&context->Initialized, 0);
    if (context->FileNameInfo != NULL) {
        FltReleaseFileNameInformation(context->FileNameInfo);
        context->FileNameInfo = NULL;
    }
    PontorReleaseImageChain(context);
    if (context->InitEvent != NULL) {
        ExFreePoolWithTag(context->InitEvent, PONTOR_EVENT_TAG);
        context->InitEvent = NULL;
    }
    KeReleaseMutex(&context->Mutex, FALSE);
}
