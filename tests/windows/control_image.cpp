// A minimal filter image for trying the image checks themselves: linked
// like pontor.sys, then broken one way per control image.
#include "platform/platform.h"

#ifdef PONTOR_CONTROL_GLOBAL_CONSTRUCTOR
// Something that needs running before DriverEntry, which nothing would do.
struct Announcer {
    Announcer() { DbgPrint("Control: constructed\n"); }
};
Announcer gAnnouncer;
#endif

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    static const FLT_OPERATION_REGISTRATION operations[] = {
        {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL}};
    static const FLT_REGISTRATION registration = {
        sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, NULL, operations, NULL, NULL,
        NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
    DbgPrint("Control: %wZ\n", RegistryPath);
#ifdef PONTOR_CONTROL_FOREIGN_IMPORT
    KeStallExecutionProcessor(1);
#endif
    PFLT_FILTER filter;
    NTSTATUS status = FltRegisterFilter(DriverObject, &registration, &filter);
    if (NT_SUCCESS(status)) {
        status = FltStartFiltering(filter);
    }
    return status;
}

// The entry point of the control linked with the wrong one.
extern "C" NTSTATUS PontorControlOther(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return DriverEntry(DriverObject, RegistryPath);
}
