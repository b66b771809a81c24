// Loading a driver as the service control manager does, and unloading and
// detaching its filters through the Filter Manager as fltmc does.
#include "platform/host/loader/driver.h"

#include "platform/host/fltmgr/filters.h"
#include "platform/host/ke/internal.h"

namespace host {

Driver::Driver(PDRIVER_INITIALIZE entry) {
    object_.Type = 4;  // IO_TYPE_DRIVER
    object_.Size = sizeof(object_);
    static const char16_t kService[] =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pontor";
    object_.DriverName.Buffer = (PWCH)u"\\Driver\\Pontor";
    object_.DriverName.Length = object_.DriverName.MaximumLength = 14 * 2;
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, kService);
    if (entry == nullptr) {
        entryStatus_ = STATUS_INVALID_PARAMETER;
        return;
    }
    const ke::ThreadBalance balance = ke::CurrentBalance();
    entryStatus_ = entry(&object_, &registryPath);
    ke::CheckBalance(balance, "DriverEntry");
    if (NT_SUCCESS(entryStatus_)) {
        loaded_ = true;
        return;
    }
    // A driver that fails to load is gone, and a filter it left registered
    // would call into an unloaded image.
    if (fltmgr::UnregisterFilters(&object_) != 0) {
        ke::BugCheck("DriverEntry failed and left its filter registered");
    }
}

Driver::~Driver() {
    if (loaded_) {
        Unload(FLTFL_FILTER_UNLOAD_MANDATORY);
    }
}

NTSTATUS Driver::EntryStatus() const { return entryStatus_; }
bool Driver::Loaded() const { return loaded_; }
PDRIVER_OBJECT Driver::Object() { return &object_; }

NTSTATUS Driver::Unload(FLT_FILTER_UNLOAD_FLAGS flags) {
    if (!loaded_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    bool unloaded = false;
    const NTSTATUS status = fltmgr::UnloadFilters(&object_, flags, &unloaded);
    loaded_ = !unloaded;
    return status;
}

PFLT_FILTER Driver::Filter() const {
    return fltmgr::FilterOf(const_cast<PDRIVER_OBJECT>(&object_));
}

PFLT_INSTANCE Driver::InstanceOn(const Volume& volume) const {
    return fltmgr::InstanceOf(const_cast<PDRIVER_OBJECT>(&object_), volume);
}

NTSTATUS Driver::Detach(const Volume& volume) {
    PFLT_INSTANCE instance = InstanceOn(volume);
    if (instance == nullptr) {
        return STATUS_NOT_FOUND;
    }
    return fltmgr::DetachInstance(instance);
}

}  // namespace host
