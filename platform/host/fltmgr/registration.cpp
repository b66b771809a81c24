// The Filter Manager's registration of filters, their instances on volumes
// (setup, rundown, teardown), and unloading and detaching a driver's
// filters for the loader.
#include <algorithm>
#include <condition_variable>
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/fltmgr/filters.h"
#include "platform/host/fltmgr/internal.h"
#include "platform/host/iomgr/iomgr.h"
#include "platform/host/ke/internal.h"

namespace host {
namespace {

std::mutex& gLock = fs::Lock();
std::condition_variable gLockCondition;  // instance rundown

// The registered filters and the instances not torn down, under gLock, and
// every record that has left them: kept until ReclaimRetired (a file object
// may still name the instance it was opened through) but never scanned, so
// that lookups cost what is live. The registries are never destroyed, so they
// outlive every static user and the leak checker still sees what they hold.
std::vector<_FLT_FILTER*>& gFilters = *new std::vector<_FLT_FILTER*>();
std::vector<_FLT_INSTANCE*>& gInstances = *new std::vector<_FLT_INSTANCE*>();
std::vector<std::unique_ptr<_FLT_FILTER>>& gRetiredFilters =
    *new std::vector<std::unique_ptr<_FLT_FILTER>>();
std::vector<std::unique_ptr<_FLT_INSTANCE>>& gRetiredInstances =
    *new std::vector<std::unique_ptr<_FLT_INSTANCE>>();
unsigned gNextSequence = 1;

FLT_RELATED_OBJECTS Related(_FLT_FILTER* filter, _FLT_INSTANCE* instance, PFILE_OBJECT fo) {
    FLT_RELATED_OBJECTS related = {};
    related.Size = sizeof(related);
    related.Filter = filter;
    related.Instance = instance;
    related.Volume = instance != nullptr ? instance->volume->attached : nullptr;
    related.FileObject = fo;
    return related;
}

void Insert(Volume::Impl* volume, _FLT_INSTANCE* instance) {
    std::vector<_FLT_INSTANCE*> list = volume->attached->instances.Current();
    auto at = std::find_if(list.begin(), list.end(), [&](_FLT_INSTANCE* i) {
        return i->filter->sequence > instance->filter->sequence;
    });
    list.insert(at, instance);
    volume->attached->instances.Publish(std::move(list));
}

void Remove(Volume::Impl* volume, _FLT_INSTANCE* instance) {
    std::vector<_FLT_INSTANCE*> list = volume->attached->instances.Current();
    std::erase(list, instance);
    volume->attached->instances.Publish(std::move(list));
}

// Under gLock.
void RetireInstance(_FLT_INSTANCE* instance) {
    instance->tearingDown = true;
    std::erase(gInstances, instance);
    gRetiredInstances.emplace_back(instance);
}

void SetupInstance(_FLT_FILTER* filter, Volume::Impl* volume, FLT_INSTANCE_SETUP_FLAGS flags) {
    auto* instance = new _FLT_INSTANCE();
    instance->volume = volume;
    instance->filter = filter;
    {
        std::lock_guard<std::mutex> lock(gLock);
        gInstances.push_back(instance);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (filter->registration.InstanceSetupCallback != nullptr) {
        const FLT_RELATED_OBJECTS related = Related(filter, instance, nullptr);
        const ke::ThreadBalance balance = ke::CurrentBalance();
        status = filter->registration.InstanceSetupCallback(
            &related, flags, (DEVICE_TYPE)volume->type, volume->fileSystem);
        ke::CheckBalance(balance, "InstanceSetupCallback");
    }
    std::lock_guard<std::mutex> lock(gLock);
    // A volume mounting while the filter unregisters does not keep it.
    if (!NT_SUCCESS(status) || !filter->filtering) {
        RetireInstance(instance);  // never attached
        return;
    }
    Insert(volume, instance);
}

void TeardownInstance(_FLT_INSTANCE* instance, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    std::vector<fs::PerStreamContext*> detached;
    {
        std::unique_lock<std::mutex> lock(gLock);
        if (instance->tearingDown) {
            return;
        }
        RetireInstance(instance);
        Remove(instance->volume, instance);
        gLockCondition.wait(lock, [&] { return instance->active == 0; });
    }
    _FLT_FILTER* filter = instance->filter;
    const FLT_RELATED_OBJECTS related = Related(filter, instance, nullptr);
    if (filter->registration.InstanceTeardownStartCallback != nullptr) {
        const ke::ThreadBalance balance = ke::CurrentBalance();
        filter->registration.InstanceTeardownStartCallback(&related, reason);
        ke::CheckBalance(balance, "InstanceTeardownStartCallback");
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        detached = fltmgr::DetachInstanceContexts(instance);
    }
    fltmgr::ReleaseDetached(detached);
    if (filter->registration.InstanceTeardownCompleteCallback != nullptr) {
        const ke::ThreadBalance balance = ke::CurrentBalance();
        filter->registration.InstanceTeardownCompleteCallback(&related, reason);
        ke::CheckBalance(balance, "InstanceTeardownCompleteCallback");
    }
}

std::vector<_FLT_INSTANCE*> InstancesOf(_FLT_FILTER* filter) {
    std::lock_guard<std::mutex> lock(gLock);
    std::vector<_FLT_INSTANCE*> out;
    for (_FLT_INSTANCE* i : gInstances) {
        if (i->filter == filter) {
            out.push_back(i);
        }
    }
    return out;
}

std::vector<_FLT_FILTER*> FiltersOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(gLock);
    std::vector<_FLT_FILTER*> out;
    for (_FLT_FILTER* f : gFilters) {
        if (f->driver == driver) {
            out.push_back(f);
        }
    }
    return out;
}

}  // namespace

namespace fltmgr {

bool IsRegistered(PFLT_FILTER filter) {
    return filter != nullptr &&
           std::find(gFilters.begin(), gFilters.end(), filter) != gFilters.end();
}

std::vector<_FLT_INSTANCE*> AcquireInstances(Volume::Impl* volume, _FLT_INSTANCE* through) {
    std::vector<_FLT_INSTANCE*> out;
    if (volume == nullptr || (through != nullptr && through->filter == nullptr)) {
        return out;
    }
    const auto shared = volume->attached->instances.Shared();
    if (shared == nullptr) {
        return out;
    }
    const std::vector<_FLT_INSTANCE*>& all = *shared;
    auto from = all.begin();
    if (through != nullptr) {
        from = std::find(all.begin(), all.end(), through);
        if (from == all.end() || through->tearingDown) {
            // Torn down: what lay below it is no longer known, as no
            // request may be issued through a detached instance.
            return out;
        }
        ++from;
    }
    for (auto it = from; it != all.end(); ++it) {
        // Counted in before the teardown flag is read, as rundown protection
        // is taken: a teardown that set the flag first waits for the count.
        (*it)->active++;
        if ((*it)->tearingDown) {
            ReleaseInstances({*it});
            continue;
        }
        out.push_back(*it);
    }
    return out;
}

void ReleaseInstances(const std::vector<_FLT_INSTANCE*>& instances) {
    for (_FLT_INSTANCE* i : instances) {
        if (--i->active == 0 && i->tearingDown) {
            std::lock_guard<std::mutex> lock(gLock);
            gLockCondition.notify_all();
        }
    }
}

void AttachFilters(Volume::Impl* volume) {
    std::vector<_FLT_FILTER*> filtering;
    {
        std::lock_guard<std::mutex> lock(gLock);
        for (_FLT_FILTER* f : gFilters) {
            if (f->filtering) {
                filtering.push_back(f);
            }
        }
    }
    for (_FLT_FILTER* f : filtering) {
        SetupInstance(f, volume, FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    }
}

void DetachFilters(Volume::Impl* volume) {
    std::vector<_FLT_INSTANCE*> instances;
    {
        std::lock_guard<std::mutex> lock(gLock);
        instances = volume->attached->instances.Current();
    }
    for (_FLT_INSTANCE* i : instances) {
        TeardownInstance(i, FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT);
    }
}

}  // namespace fltmgr

size_t ReclaimRetired() {
    if (OpenFileCount() != 0) {
        return 0;  // a file object may still name an instance it was opened through
    }
    std::lock_guard<std::mutex> lock(gLock);
    // A context still allocated may name its filter and the instance it
    // was attached through.
    for (const auto& instance : gRetiredInstances) {
        if (instance->filter != nullptr && fltmgr::ContextsOf(instance->filter) != 0) {
            return 0;
        }
    }
    for (const auto& filter : gRetiredFilters) {
        if (fltmgr::ContextsOf(filter.get()) != 0) {
            return 0;
        }
    }
    const size_t freed = gRetiredFilters.size() + gRetiredInstances.size();
    gRetiredInstances.clear();
    gRetiredFilters.clear();
    return freed;
}

// ---- What the loader asks of the Filter Manager ----
namespace fltmgr {

PFLT_FILTER FilterOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(gLock);
    for (_FLT_FILTER* f : gFilters) {
        if (f->driver == driver) {
            return f;
        }
    }
    return nullptr;
}

PFLT_INSTANCE InstanceOf(PDRIVER_OBJECT driver, const Volume& volume) {
    std::lock_guard<std::mutex> lock(gLock);
    for (_FLT_INSTANCE* i : volume.Get()->attached->instances.Current()) {
        if (i->filter->driver == driver) {
            return i;
        }
    }
    return nullptr;
}

size_t UnregisterFilters(PDRIVER_OBJECT driver) {
    const std::vector<_FLT_FILTER*> left = FiltersOf(driver);
    for (_FLT_FILTER* f : left) {
        FltUnregisterFilter(f);
    }
    return left.size();
}

NTSTATUS UnloadFilters(PDRIVER_OBJECT driver, FLT_FILTER_UNLOAD_FLAGS flags, bool* unloaded) {
    *unloaded = false;
    const std::vector<_FLT_FILTER*> filters = FiltersOf(driver);
    NTSTATUS status = STATUS_SUCCESS;
    if (!filters.empty()) {
        PFLT_FILTER_UNLOAD_CALLBACK unload = filters.front()->registration.FilterUnloadCallback;
        if (unload == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;  // a filter without one cannot be stopped
        }
        const ke::ThreadBalance balance = ke::CurrentBalance();
        status = unload(flags);
        ke::CheckBalance(balance, "FilterUnloadCallback");
        if (!NT_SUCCESS(status) && !(flags & FLTFL_FILTER_UNLOAD_MANDATORY)) {
            return status;
        }
    }
    UnregisterFilters(driver);
    *unloaded = true;
    return status;
}

NTSTATUS DetachInstance(PFLT_INSTANCE instance) {
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK query =
        instance->filter->registration.InstanceQueryTeardownCallback;
    if (query == nullptr) {
        return STATUS_FLT_DO_NOT_DETACH;
    }
    const FLT_RELATED_OBJECTS related = Related(instance->filter, instance, nullptr);
    const ke::ThreadBalance balance = ke::CurrentBalance();
    const NTSTATUS status = query(&related, 0);
    ke::CheckBalance(balance, "InstanceQueryTeardownCallback");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TeardownInstance(instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

}  // namespace fltmgr

}  // namespace host
using host::gLock;

extern "C" {

// ---- Registration ----

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltRegisterFilter");
    if (RetFilter != nullptr) {
        *RetFilter = nullptr;
    }
    if (Driver == nullptr || Registration == nullptr || RetFilter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((Registration->Version >> 8) != 2 ||
        Registration->Version > FLT_REGISTRATION_VERSION_0203 ||
        Registration->Size < offsetof(FLT_REGISTRATION, GenerateFileNameCallback)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::RegisterFilter, &injected)) {
        return injected;
    }
    auto filter = new _FLT_FILTER();
    filter->driver = Driver;
    std::memcpy(&filter->registration, Registration,
                std::min<size_t>(Registration->Size, sizeof(FLT_REGISTRATION)));
    for (const FLT_CONTEXT_REGISTRATION* c = Registration->ContextRegistration;
         c != nullptr && c->ContextType != FLT_CONTEXT_END; c++) {
        const FLT_CONTEXT_TYPE t = c->ContextType;
        const bool oneType = t != 0 && (t & (t - 1)) == 0 && t <= FLT_SECTION_CONTEXT;
        const bool ownAllocation = c->ContextAllocateCallback != nullptr;
        if (!oneType || (!ownAllocation && c->Size == 0) ||
            (ownAllocation != (c->ContextFreeCallback != nullptr))) {
            delete filter;
            return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
        }
        filter->contexts.push_back(*c);
    }
    for (const FLT_OPERATION_REGISTRATION* o = Registration->OperationRegistration;
         o != nullptr && o->MajorFunction != IRP_MJ_OPERATION_END; o++) {
        const UCHAR major = o->MajorFunction;
        const bool known = major <= IRP_MJ_MAXIMUM_FUNCTION || major >= IRP_MJ_VOLUME_DISMOUNT;
        if (!known || filter->operations->pre[major] != nullptr ||
            filter->operations->post[major] != nullptr) {
            delete filter;
            return STATUS_INVALID_PARAMETER;
        }
        filter->operations->pre[major] = o->PreOperation;
        filter->operations->post[major] = o->PostOperation;
        filter->operations->flags[major] = o->Flags;
    }
    std::lock_guard<std::mutex> lock(gLock);
    filter->sequence = host::gNextSequence++;
    host::gFilters.push_back(filter);
    *RetFilter = filter;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltStartFiltering");
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::StartFiltering, &injected)) {
        return injected;
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!host::fltmgr::IsRegistered(Filter) || Filter->filtering) {
            return STATUS_INVALID_PARAMETER;
        }
        Filter->filtering = true;
    }
    for (host::Volume::Impl* v : host::fs::Volumes()) {
        host::SetupInstance(Filter, v, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    }
    return STATUS_SUCCESS;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltUnregisterFilter");
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!host::fltmgr::IsRegistered(Filter)) {
            host::ke::BugCheck("FltUnregisterFilter: not a registered filter");
            return;
        }
        Filter->filtering = false;
    }
    for (_FLT_INSTANCE* i : host::InstancesOf(Filter)) {
        host::TeardownInstance(i, FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
    }
    // Contexts the lazy closer is releasing now are waited for, as the
    // Filter Manager waits.
    host::FlushLazyClose();
    const size_t outstanding = host::fltmgr::ContextsOf(Filter);
    {
        std::lock_guard<std::mutex> lock(gLock);
        Filter->operations.reset();
        Filter->contexts = {};
        std::erase(host::gFilters, Filter);
        host::gRetiredFilters.emplace_back(Filter);
    }
    // The Filter Manager waits for these forever; the host stops instead.
    if (outstanding != 0) {
        host::ke::BugCheck("FltUnregisterFilter: " + std::to_string(outstanding) +
                           " context(s) still referenced");
    }
}

}  // extern "C"
