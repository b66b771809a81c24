// The filter's internal header: the registration's callbacks and the small
// guards the callbacks use so that every way out releases what was taken.
#pragma once

#include "stub/stub.h"
#include "vhdx/pontor.h"

// The handle FltRegisterFilter returned; used by start and unregister only.
extern PFLT_FILTER gFilterHandle;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Registration and instance lifecycle.
NTSTATUS FLTAPI PontorUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS FLTAPI PontorInstanceSetup(PCFLT_RELATED_OBJECTS FltObjects,
                                    FLT_INSTANCE_SETUP_FLAGS Flags, DEVICE_TYPE VolumeDeviceType,
                                    FLT_FILESYSTEM_TYPE VolumeFilesystemType);
NTSTATUS FLTAPI PontorInstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                            FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
VOID FLTAPI PontorInstanceTeardownStart(PCFLT_RELATED_OBJECTS FltObjects,
                                        FLT_INSTANCE_TEARDOWN_FLAGS Reason);
VOID FLTAPI PontorInstanceTeardownComplete(PCFLT_RELATED_OBJECTS FltObjects,
                                           FLT_INSTANCE_TEARDOWN_FLAGS Reason);

// Create interception.
FLT_PREOP_CALLBACK_STATUS FLTAPI PontorPreCreate(PFLT_CALLBACK_DATA Data,
                                                 PCFLT_RELATED_OBJECTS FltObjects,
                                                 PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI PontorPostCreate(PFLT_CALLBACK_DATA Data,
                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID CompletionContext,
                                                   FLT_POST_OPERATION_FLAGS Flags);
// The normalized, parsed name of the operation's file. On success the
// caller owns one reference; on failure *NameInfo is null.
NTSTATUS PontorGetFileName(PFLT_CALLBACK_DATA Data, PFLT_FILE_NAME_INFORMATION* NameInfo);

// Read redirection.
FLT_PREOP_CALLBACK_STATUS FLTAPI PontorPreRead(PFLT_CALLBACK_DATA Data,
                                               PCFLT_RELATED_OBJECTS FltObjects,
                                               PVOID* CompletionContext);
// Serves one read of a bound stub into the caller's buffer and completes the
// callback data's status and information. The caller holds Context->Mutex.
NTSTATUS PontorProcessRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                           StreamContext* Context);

// Sizes, modifications, the header query and cleanup.
FLT_POSTOP_CALLBACK_STATUS FLTAPI PontorPostQueryInformation(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID CompletionContext,
                                                             FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI PontorPreWrite(PFLT_CALLBACK_DATA Data,
                                                PCFLT_RELATED_OBJECTS FltObjects,
                                                PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI PontorPreFileSystemControl(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI PontorPreCleanup(PFLT_CALLBACK_DATA Data,
                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                  PVOID* CompletionContext);

// One reference to a stream context, dropped when the guard goes.
class PontorContextReference {
public:
    PontorContextReference() : Context_(NULL) {}
    explicit PontorContextReference(StreamContext* Context) : Context_(Context) {}
    ~PontorContextReference() { Reset(NULL); }
    PontorContextReference(const PontorContextReference&) = delete;
    PontorContextReference& operator=(const PontorContextReference&) = delete;

    StreamContext* Get() const { return Context_; }
    StreamContext* operator->() const { return Context_; }
    // Drops the reference held, if any, and takes over Context's.
    void Reset(StreamContext* Context) {
        if (Context_ != NULL) {
            FltReleaseContext(Context_);
        }
        Context_ = Context;
    }
    // Hands the reference held to the caller.
    StreamContext* Detach() {
        StreamContext* context = Context_;
        Context_ = NULL;
        return context;
    }
    // Gets the stream's context into the guard; STATUS_NOT_FOUND when the
    // stream has none.
    NTSTATUS Acquire(PCFLT_RELATED_OBJECTS FltObjects) {
        PFLT_CONTEXT context = NULL;
        const NTSTATUS status =
            FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject, &context);
        Reset(NT_SUCCESS(status) ? (StreamContext*)context : NULL);
        return status;
    }

private:
    StreamContext* Context_;
};

// Holds a context's Mutex for the life of the guard.
class PontorMutexHold {
public:
    explicit PontorMutexHold(PKMUTEX Mutex) : Mutex_(Mutex) {
        KeWaitForSingleObject(Mutex_, Executive, KernelMode, FALSE, NULL);
    }
    ~PontorMutexHold() { KeReleaseMutex(Mutex_, FALSE); }
    PontorMutexHold(const PontorMutexHold&) = delete;
    PontorMutexHold& operator=(const PontorMutexHold&) = delete;

private:
    PKMUTEX Mutex_;
};

// Whether a stream is bound. Read without a lock by callbacks that hold only
// a context reference; the writes are interlocked.
inline BOOLEAN PontorIsBound(StreamContext* Context) {
    return ReadAcquire(&Context->Initialized) != 0;
}
