// Loading a driver as the service control manager does, and unloading and
// detaching it as fltmc does.
#pragma once

#include "platform/host/fs/fs.h"
#include "platform/host/kernel.h"

namespace host {

// Loads a driver as the service control manager does: runs DriverEntry with
// a fresh driver object. Each filter the driver registers and starts is
// offered every mounted volume, and every volume mounted later, through its
// instance setup callback; a volume whose setup fails (STATUS_FLT_DO_NOT_ATTACH
// for a network file system, say) gets no instance.
class Driver {
public:
    explicit Driver(PDRIVER_INITIALIZE entry);
    // Unloads with FLTFL_FILTER_UNLOAD_MANDATORY if still loaded.
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NTSTATUS EntryStatus() const;  // what DriverEntry returned; failed means not loaded
    bool Loaded() const;
    // Calls the filter's unload callback, in which the driver calls
    // FltUnregisterFilter; that tears down every instance (teardown-start,
    // the stream contexts of the instance deleted, teardown-complete), so
    // every context cleanup runs once its last reference is released. A
    // failure from the callback refuses a non-mandatory unload and leaves
    // the driver loaded. A filter without an unload callback cannot be
    // unloaded (STATUS_INVALID_DEVICE_REQUEST). Returns the callback's status.
    NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS flags = 0);
    PDRIVER_OBJECT Object();
    PFLT_FILTER Filter() const;                            // the first filter registered, or null
    PFLT_INSTANCE InstanceOn(const Volume& volume) const;  // its instance there, or null
    // Detaches the filter from a volume as "fltmc detach" does: query
    // teardown (a failure refuses the detach and is returned; a filter
    // without the callback refuses with STATUS_FLT_DO_NOT_DETACH), then
    // teardown with FLTFL_INSTANCE_TEARDOWN_MANUAL. STATUS_NOT_FOUND when
    // the filter has no instance there.
    NTSTATUS Detach(const Volume& volume);

private:
    DRIVER_OBJECT object_{};
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
    bool loaded_ = false;
};

}  // namespace host
