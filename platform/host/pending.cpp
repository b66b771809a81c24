// Entry points not implemented yet: each fails cleanly.
#include "platform/host/internal.h"

namespace host {

Driver::Driver(PDRIVER_INITIALIZE entry) { entryStatus_ = entry ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_PARAMETER; }
Driver::~Driver() = default;
NTSTATUS Driver::EntryStatus() const { return entryStatus_; }
bool Driver::Loaded() const { return false; }
NTSTATUS Driver::Unload(FLT_FILTER_UNLOAD_FLAGS) { return STATUS_NOT_IMPLEMENTED; }
PDRIVER_OBJECT Driver::Object() { return &object_; }
PFLT_FILTER Driver::Filter() const { return nullptr; }
PFLT_INSTANCE Driver::InstanceOn(const Volume&) const { return nullptr; }
NTSTATUS Driver::Detach(const Volume&) { return STATUS_NOT_IMPLEMENTED; }

Handle::~Handle() { Close(); }
Handle::Handle(Handle&& other) noexcept : fileObject_(other.fileObject_) { other.fileObject_ = nullptr; }
Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        Close();
        fileObject_ = other.fileObject_;
        other.fileObject_ = nullptr;
    }
    return *this;
}
IoResult Handle::Close() { return {STATUS_SUCCESS, 0}; }

IoResult Create(const CreateRequest&, Handle*) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult Open(const Volume&, std::string_view, Handle*, ACCESS_MASK) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult Read(const Handle&, const ReadRequest&) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult Write(const Handle&, const WriteRequest&) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult QueryInformation(const Handle&, FILE_INFORMATION_CLASS, void*, ULONG) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult FileSystemControl(const Handle&, const FsControlRequest&) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult AcquireForModWrite(const Handle&, LONGLONG) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult AcquireForCcFlush(const Handle&) { return {STATUS_NOT_IMPLEMENTED, 0}; }
IoResult PrepareMdlWrite(const Handle&, LONGLONG, ULONG) { return {STATUS_NOT_IMPLEMENTED, 0}; }

void FailCreate(uint64_t, NTSTATUS) {}
uint64_t CreateCount() { return 0; }
void FailMdlMapping(uint64_t) {}
void CancelWait(uint64_t) {}
size_t BlockedCancellableWaits() { return 0; }
void CancelBlockedWaits() {}
void SetHook(HookPoint, std::function<void()>) {}
int CriticalRegionDepth() { return 0; }
int MutexesHeld() { return 0; }

}  // namespace host

extern "C" {

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT, const FLT_REGISTRATION*, PFLT_FILTER*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER) { return STATUS_NOT_IMPLEMENTED; }
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER) {}
NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER, FLT_CONTEXT_TYPE, SIZE_T, POOL_TYPE, PFLT_CONTEXT*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE, PFILE_OBJECT, FLT_SET_CONTEXT_OPERATION, PFLT_CONTEXT, PFLT_CONTEXT*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CONTEXT*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltDeleteStreamContext(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CONTEXT*) { return STATUS_NOT_IMPLEMENTED; }
VOID FLTAPI FltReferenceContext(PFLT_CONTEXT) {}
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT) {}
VOID FLTAPI FltDeleteContext(PFLT_CONTEXT) {}
NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA, FLT_FILE_NAME_OPTIONS, PFLT_FILE_NAME_INFORMATION*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION) { return STATUS_NOT_IMPLEMENTED; }
VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION) {}
VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION) {}
NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME, PUNICODE_STRING, PULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltGetEcpListFromCallbackData(PFLT_FILTER, PFLT_CALLBACK_DATA, PECP_LIST*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER, PECP_LIST, LPCGUID, PVOID*, ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE, PFILE_OBJECT, PVOID, ULONG, FILE_INFORMATION_CLASS, PULONG) { return STATUS_NOT_IMPLEMENTED; }
VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE, PFILE_OBJECT) {}
NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID, PLARGE_INTEGER, PFLT_CALLBACK_DATA) { return STATUS_NOT_IMPLEMENTED; }
VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data) { Data->Flags |= FLTFL_CALLBACK_DATA_DIRTY; }
VOID FLTAPI FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data) { Data->Flags &= ~FLTFL_CALLBACK_DATA_DIRTY; }
BOOLEAN FLTAPI FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data) { return (Data->Flags & FLTFL_CALLBACK_DATA_DIRTY) != 0; }
VOID NTAPI KeInitializeEvent(PRKEVENT, EVENT_TYPE, BOOLEAN) {}
LONG NTAPI KeSetEvent(PRKEVENT, KPRIORITY, BOOLEAN) { return 0; }
VOID NTAPI KeClearEvent(PRKEVENT) {}
LONG NTAPI KeResetEvent(PRKEVENT) { return 0; }
LONG NTAPI KeReadStateEvent(PRKEVENT) { return 0; }
VOID NTAPI KeInitializeMutex(PRKMUTEX, ULONG) {}
LONG NTAPI KeReleaseMutex(PRKMUTEX, BOOLEAN) { return 0; }
LONG NTAPI KeReadStateMutex(PRKMUTEX) { return 0; }
NTSTATUS NTAPI KeWaitForSingleObject(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI KeEnterCriticalRegion(VOID) {}
VOID NTAPI KeLeaveCriticalRegion(VOID) {}
VOID NTAPI IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit) { *LowLimit = *HighLimit = 0; }
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) { return nullptr; }

}  // extern "C"
