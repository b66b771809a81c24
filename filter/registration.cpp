// Driver entry, the registration record, unload and the instance callbacks.
#include "filter/filter.h"

PFLT_FILTER gFilterHandle = NULL;

namespace {

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_STREAM_CONTEXT, 0, PontorStreamContextCleanup, sizeof(StreamContext), PONTOR_CONTEXT_TAG,
     NULL, NULL, NULL},
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, PontorPreCreate, PontorPostCreate, NULL},
    {IRP_MJ_CLEANUP, 0, PontorPreCleanup, NULL, NULL},
    {IRP_MJ_READ, 0, PontorPreRead, NULL, NULL},
    {IRP_MJ_QUERY_INFORMATION, 0, NULL, PontorPostQueryInformation, NULL},
    {IRP_MJ_FILE_SYSTEM_CONTROL, 0, PontorPreFileSystemControl, NULL, NULL},
    {IRP_MJ_WRITE, 0, PontorPreWrite, NULL, NULL},
    {IRP_MJ_ACQUIRE_FOR_MOD_WRITE, 0, PontorPreWrite, NULL, NULL},
    {IRP_MJ_ACQUIRE_FOR_CC_FLUSH, 0, PontorPreWrite, NULL, NULL},
    {IRP_MJ_PREPARE_MDL_WRITE, 0, PontorPreWrite, NULL, NULL},
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0203,
    0,
    kContexts,
    kOperations,
    PontorUnload,
    PontorInstanceSetup,
    PontorInstanceQueryTeardown,
    PontorInstanceTeardownStart,
    PontorInstanceTeardownComplete,
    NULL,  // no name provider
    NULL,
    NULL,
    NULL,  // no transactions
    NULL,
    NULL,  // no section notifications
};

}  // namespace

extern "C" PONTOR_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    PONTOR_TRACE("Entered\n");

    NTSTATUS status = FltRegisterFilter(DriverObject, &kRegistration, &gFilterHandle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FltStartFiltering(gFilterHandle);
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(gFilterHandle);
        return status;
    }
    return STATUS_SUCCESS;
}

PONTOR_PAGED NTSTATUS PontorUnload(FLT_FILTER_UNLOAD_FLAGS Flags) {
    UNREFERENCED_PARAMETER(Flags);
    PAGED_CODE();
    PONTOR_PAGED_TRACE("Entered\n");

    // Never refused, mandatory or not.
    FltUnregisterFilter(gFilterHandle);
    return STATUS_SUCCESS;
}

PONTOR_PAGED NTSTATUS PontorInstanceSetup(PCFLT_RELATED_OBJECTS FltObjects,
                                          FLT_INSTANCE_SETUP_FLAGS Flags,
                                          DEVICE_TYPE VolumeDeviceType,
                                          FLT_FILESYSTEM_TYPE VolumeFilesystemType) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(VolumeFilesystemType);
    PAGED_CODE();
    PONTOR_PAGED_TRACE("Entered\n");

    // Local volumes of every kind, removable and optical included; no
    // network redirectors.
    if (VolumeDeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM) {
        return STATUS_FLT_DO_NOT_ATTACH;
    }
    return STATUS_SUCCESS;
}

PONTOR_PAGED NTSTATUS PontorInstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                                  FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    PAGED_CODE();
    PONTOR_PAGED_TRACE("Entered\n");

    // Manual detach is allowed.
    return STATUS_SUCCESS;
}

PONTOR_PAGED VOID PontorInstanceTeardownStart(PCFLT_RELATED_OBJECTS FltObjects,
                                              FLT_INSTANCE_TEARDOWN_FLAGS Reason) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Reason);
    PAGED_CODE();
    PONTOR_PAGED_TRACE("Entered\n");
}

PONTOR_PAGED VOID PontorInstanceTeardownComplete(PCFLT_RELATED_OBJECTS FltObjects,
                                                 FLT_INSTANCE_TEARDOWN_FLAGS Reason) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Reason);
    PAGED_CODE();
    PONTOR_PAGED_TRACE("Entered\n");
}
