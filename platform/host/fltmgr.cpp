// The Filter Manager: filter registration, instances on volumes, loading and
// unloading drivers, stream contexts, file names, extra create parameters.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "platform/host/internal.h"

// A context the Filter Manager hands out: its body comes from the pool with
// the registration's tag; the record counts references and says where the
// context is attached.
struct ContextRecord {
    _FLT_FILTER* filter = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = nullptr;
    PFLT_CONTEXT_FREE_CALLBACK freeCallback = nullptr;
    ULONG tag = 0;
    void* body = nullptr;
    long references = 0;
    HostStream* stream = nullptr;       // attached to this stream ...
    _FLT_INSTANCE* instance = nullptr;  // ... through this instance
};

namespace host {
namespace {

// The Filter Manager's own pool tag for name information.
constexpr ULONG kNameTag = 'F' | ('M' << 8) | ('f' << 16) | ('n' << 24);

std::mutex gLock;
std::condition_variable gLockCondition;

// Every filter and instance ever created (see _FLT_FILTER), under gLock.
// The registries are never destroyed, so they outlive every static user and
// the leak checker still sees what they hold.
std::vector<_FLT_FILTER*>& gFilters = *new std::vector<_FLT_FILTER*>();
std::vector<_FLT_INSTANCE*>& gInstances = *new std::vector<_FLT_INSTANCE*>();
unsigned gNextSequence = 1;

auto& gContexts = *new std::unordered_map<const void*, ContextRecord*>();  // by body
auto& gNames = *new std::unordered_map<const void*, long>();               // references by record

FLT_RELATED_OBJECTS Related(_FLT_FILTER* filter, _FLT_INSTANCE* instance, PFILE_OBJECT fo) {
    FLT_RELATED_OBJECTS related = {};
    related.Size = sizeof(related);
    related.Filter = filter;
    related.Instance = instance;
    related.Volume = instance != nullptr ? &instance->volume->fltVolume : nullptr;
    related.FileObject = fo;
    return related;
}

bool IsRegistered(PFLT_FILTER filter) {
    return filter != nullptr &&
           std::find(gFilters.begin(), gFilters.end(), filter) != gFilters.end() &&
           !filter->unregistered;
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
        const detail::ThreadBalance balance = detail::CurrentBalance();
        status = filter->registration.InstanceSetupCallback(
            &related, flags, (DEVICE_TYPE)volume->type, volume->fileSystem);
        detail::CheckBalance(balance, "InstanceSetupCallback");
    }
    std::lock_guard<std::mutex> lock(gLock);
    if (!NT_SUCCESS(status)) {
        instance->tearingDown = true;  // never attached
        return;
    }
    auto at =
        std::find_if(volume->instances.begin(), volume->instances.end(),
                     [&](_FLT_INSTANCE* i) { return i->filter->sequence > filter->sequence; });
    volume->instances.insert(at, instance);
}

void TeardownInstance(_FLT_INSTANCE* instance, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    std::vector<ContextRecord*> detached;
    {
        std::unique_lock<std::mutex> lock(gLock);
        if (instance->tearingDown) {
            return;
        }
        instance->tearingDown = true;
        std::erase(instance->volume->instances, instance);
        gLockCondition.wait(lock, [&] { return instance->active == 0; });
    }
    _FLT_FILTER* filter = instance->filter;
    const FLT_RELATED_OBJECTS related = Related(filter, instance, nullptr);
    if (filter->registration.InstanceTeardownStartCallback != nullptr) {
        const detail::ThreadBalance balance = detail::CurrentBalance();
        filter->registration.InstanceTeardownStartCallback(&related, reason);
        detail::CheckBalance(balance, "InstanceTeardownStartCallback");
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        for (auto& [body, record] : gContexts) {
            if (record->instance == instance && record->stream != nullptr) {
                std::erase(record->stream->contexts, record);
                record->stream = nullptr;
                detached.push_back(record);
            }
        }
    }
    detail::ReleaseDetached(detached);
    if (filter->registration.InstanceTeardownCompleteCallback != nullptr) {
        const detail::ThreadBalance balance = detail::CurrentBalance();
        filter->registration.InstanceTeardownCompleteCallback(&related, reason);
        detail::CheckBalance(balance, "InstanceTeardownCompleteCallback");
    }
}

std::vector<_FLT_INSTANCE*> InstancesOf(_FLT_FILTER* filter) {
    std::lock_guard<std::mutex> lock(gLock);
    std::vector<_FLT_INSTANCE*> out;
    for (_FLT_INSTANCE* i : gInstances) {
        if (i->filter == filter && !i->tearingDown) {
            out.push_back(i);
        }
    }
    return out;
}

std::vector<_FLT_FILTER*> FiltersOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(gLock);
    std::vector<_FLT_FILTER*> out;
    for (_FLT_FILTER* f : gFilters) {
        if (f->driver == driver && !f->unregistered) {
            out.push_back(f);
        }
    }
    return out;
}

ContextRecord* FindContext(PFLT_CONTEXT context, const char* routine) {
    auto it = gContexts.find(context);
    if (it == gContexts.end()) {
        detail::BugCheck(std::string(routine) + ": not a live context");
        return nullptr;
    }
    return it->second;
}

void Release(ContextRecord* record) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (--record->references > 0) {
            return;
        }
        if (record->stream != nullptr) {
            // Its attachment still holds a reference: a caller released twice.
            record->references++;
            detail::BugCheck("FltReleaseContext: an attached context released once too often");
            return;
        }
        gContexts.erase(record->body);
    }
    if (record->cleanup != nullptr) {
        const detail::ThreadBalance balance = detail::CurrentBalance();
        record->cleanup(record->body, record->type);
        detail::CheckBalance(balance, "ContextCleanupCallback");
    }
    if (record->freeCallback != nullptr) {
        record->freeCallback(record->body, record->type);
    } else {
        detail::PlatformFree(record->body, record->tag);
    }
    delete record;
}

// The stream context of an instance on a file object's stream, checked as
// the Filter Manager checks its arguments. Called with gLock held.
NTSTATUS StreamOf(PFLT_INSTANCE instance, PFILE_OBJECT fo, HostStream** stream) {
    if (instance == nullptr || instance->filter == nullptr || fo == nullptr ||
        fo->Host == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (instance->tearingDown) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    if (fo->Host->stream == nullptr) {
        return STATUS_NOT_SUPPORTED;  // no stream: a volume open, say
    }
    if (fo->Host->volume != instance->volume) {
        return STATUS_INVALID_PARAMETER;
    }
    *stream = fo->Host->stream;
    return STATUS_SUCCESS;
}

ContextRecord* AttachedTo(HostStream* stream, PFLT_INSTANCE instance) {
    for (ContextRecord* r : stream->contexts) {
        if (r->instance == instance) {
            return r;
        }
    }
    return nullptr;
}

}  // namespace

namespace detail {

std::mutex& Lock() { return gLock; }
std::condition_variable& LockCondition() { return gLockCondition; }

std::vector<_FLT_INSTANCE*> AcquireInstances(Volume::Impl* volume, _FLT_INSTANCE* through) {
    std::vector<_FLT_INSTANCE*> out;
    if (volume == nullptr || (through != nullptr && through->filter == nullptr)) {
        return out;
    }
    std::lock_guard<std::mutex> lock(gLock);
    const auto& all = volume->instances;
    auto from = all.begin();
    if (through != nullptr) {
        from = std::find(all.begin(), all.end(), through);
        if (from == all.end()) {
            // Torn down: what lay below it is no longer known, as no
            // request may be issued through a detached instance.
            return out;
        }
        ++from;
    }
    for (auto it = from; it != all.end(); ++it) {
        (*it)->active++;
        out.push_back(*it);
    }
    return out;
}

void ReleaseInstances(const std::vector<_FLT_INSTANCE*>& instances) {
    if (instances.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(gLock);
    for (_FLT_INSTANCE* i : instances) {
        if (--i->active == 0) {
            gLockCondition.notify_all();
        }
    }
}

std::vector<ContextRecord*> DetachStreamContexts(HostStream* stream) {
    std::vector<ContextRecord*> detached = std::move(stream->contexts);
    stream->contexts.clear();
    for (ContextRecord* r : detached) {
        r->stream = nullptr;
    }
    return detached;
}

void ReleaseDetached(const std::vector<ContextRecord*>& contexts) {
    for (ContextRecord* r : contexts) {
        Release(r);
    }
}

void AttachFilters(Volume::Impl* volume) {
    std::vector<_FLT_FILTER*> filtering;
    {
        std::lock_guard<std::mutex> lock(gLock);
        for (_FLT_FILTER* f : gFilters) {
            if (f->filtering && !f->unregistered) {
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
        instances = volume->instances;
    }
    for (_FLT_INSTANCE* i : instances) {
        TeardownInstance(i, FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT);
    }
}

}  // namespace detail

// ---- Drivers ----

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
    const detail::ThreadBalance balance = detail::CurrentBalance();
    entryStatus_ = entry(&object_, &registryPath);
    detail::CheckBalance(balance, "DriverEntry");
    if (NT_SUCCESS(entryStatus_)) {
        loaded_ = true;
        return;
    }
    // A driver that fails to load is gone; what it left registered goes too.
    for (_FLT_FILTER* f : FiltersOf(&object_)) {
        FltUnregisterFilter(f);
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
    const std::vector<_FLT_FILTER*> filters = FiltersOf(&object_);
    NTSTATUS status = STATUS_SUCCESS;
    if (!filters.empty()) {
        PFLT_FILTER_UNLOAD_CALLBACK unload = filters.front()->registration.FilterUnloadCallback;
        if (unload == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;  // a filter without one cannot be stopped
        }
        const detail::ThreadBalance balance = detail::CurrentBalance();
        status = unload(flags);
        detail::CheckBalance(balance, "FilterUnloadCallback");
        if (!NT_SUCCESS(status) && !(flags & FLTFL_FILTER_UNLOAD_MANDATORY)) {
            return status;
        }
    }
    for (_FLT_FILTER* f : FiltersOf(&object_)) {
        FltUnregisterFilter(f);
    }
    loaded_ = false;
    return status;
}

PFLT_FILTER Driver::Filter() const {
    std::lock_guard<std::mutex> lock(gLock);
    for (_FLT_FILTER* f : gFilters) {
        if (f->driver == &object_ && !f->unregistered) {
            return f;
        }
    }
    return nullptr;
}

PFLT_INSTANCE Driver::InstanceOn(const Volume& volume) const {
    std::lock_guard<std::mutex> lock(gLock);
    for (_FLT_INSTANCE* i : volume.Get()->instances) {
        if (i->filter->driver == &object_) {
            return i;
        }
    }
    return nullptr;
}

NTSTATUS Driver::Detach(const Volume& volume) {
    _FLT_INSTANCE* instance = InstanceOn(volume);
    if (instance == nullptr) {
        return STATUS_NOT_FOUND;
    }
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK query =
        instance->filter->registration.InstanceQueryTeardownCallback;
    if (query == nullptr) {
        return STATUS_FLT_DO_NOT_DETACH;
    }
    const FLT_RELATED_OBJECTS related = Related(instance->filter, instance, nullptr);
    const detail::ThreadBalance balance = detail::CurrentBalance();
    const NTSTATUS status = query(&related, 0);
    detail::CheckBalance(balance, "InstanceQueryTeardownCallback");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TeardownInstance(instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

}  // namespace host

using host::gLock;

extern "C" {

// ---- Registration ----

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter) {
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
        if (!known || filter->pre[major] != nullptr || filter->post[major] != nullptr) {
            delete filter;
            return STATUS_INVALID_PARAMETER;
        }
        filter->pre[major] = o->PreOperation;
        filter->post[major] = o->PostOperation;
        filter->operationFlags[major] = o->Flags;
    }
    std::lock_guard<std::mutex> lock(gLock);
    filter->sequence = host::gNextSequence++;
    host::gFilters.push_back(filter);
    *RetFilter = filter;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!host::IsRegistered(Filter) || Filter->filtering) {
            return STATUS_INVALID_PARAMETER;
        }
        Filter->filtering = true;
    }
    for (host::Volume::Impl* v : host::detail::Volumes()) {
        host::SetupInstance(Filter, v, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    }
    return STATUS_SUCCESS;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!host::IsRegistered(Filter)) {
            host::detail::BugCheck("FltUnregisterFilter: not a registered filter");
            return;
        }
        Filter->filtering = false;
    }
    for (_FLT_INSTANCE* i : host::InstancesOf(Filter)) {
        host::TeardownInstance(i, FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
    }
    size_t outstanding = 0;
    {
        std::lock_guard<std::mutex> lock(gLock);
        for (const auto& [body, record] : host::gContexts) {
            outstanding += record->filter == Filter;
        }
        Filter->unregistered = true;
    }
    // The Filter Manager waits for these forever; the host stops instead.
    if (outstanding != 0) {
        host::detail::BugCheck("FltUnregisterFilter: " + std::to_string(outstanding) +
                               " context(s) still referenced");
    }
}

// ---- Contexts ----

NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                   SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext) {
    if (ReturnedContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ReturnedContext = nullptr;
    if (PoolType != NonPagedPool && PoolType != NonPagedPoolNx && PoolType != PagedPool) {
        return STATUS_INVALID_PARAMETER;
    }
    const FLT_CONTEXT_REGISTRATION* match = nullptr;
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!host::IsRegistered(Filter)) {
            return STATUS_INVALID_PARAMETER;
        }
        for (const FLT_CONTEXT_REGISTRATION& c : Filter->contexts) {
            const bool fits = c.Size == FLT_VARIABLE_SIZED_CONTEXTS || c.Size == ContextSize ||
                              ((c.Flags & FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH) &&
                               ContextSize <= c.Size) ||
                              c.ContextAllocateCallback != nullptr;
            if (c.ContextType == ContextType && fits) {
                match = &c;
                break;
            }
        }
    }
    if (match == nullptr) {
        return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
    }
    void* body = match->ContextAllocateCallback != nullptr
                     ? match->ContextAllocateCallback(PoolType, ContextSize, ContextType)
                     : host::detail::PlatformAllocate(ContextSize, match->PoolTag);
    if (body == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* record = new ContextRecord();
    record->filter = Filter;
    record->type = ContextType;
    record->cleanup = match->ContextCleanupCallback;
    record->freeCallback = match->ContextFreeCallback;
    record->tag = match->PoolTag;
    record->body = body;
    record->references = 1;
    std::lock_guard<std::mutex> lock(gLock);
    host::gContexts[body] = record;
    *ReturnedContext = body;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT* OldContext) {
    host::detail::RunHook(host::HookPoint::SetStreamContext);
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    ContextRecord* replaced = nullptr;
    {
        std::lock_guard<std::mutex> lock(gLock);
        ContextRecord* record = host::FindContext(NewContext, "FltSetStreamContext");
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (record->type != FLT_STREAM_CONTEXT ||
            (Instance != nullptr && Instance->filter != record->filter)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (record->stream != nullptr) {
            return STATUS_FLT_CONTEXT_ALREADY_LINKED;
        }
        HostStream* stream = nullptr;
        const NTSTATUS status = host::StreamOf(Instance, FileObject, &stream);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (stream->fileObjects == 0) {
            return STATUS_FLT_DELETING_OBJECT;
        }
        if (ContextRecord* existing = host::AttachedTo(stream, Instance)) {
            if (Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (OldContext != nullptr) {
                    existing->references++;
                    *OldContext = existing->body;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            std::erase(stream->contexts, existing);
            existing->stream = nullptr;
            if (OldContext != nullptr) {
                *OldContext = existing->body;  // the attachment's reference passes to the caller
            } else {
                replaced = existing;
            }
        }
        record->references++;
        record->stream = stream;
        record->instance = Instance;
        stream->contexts.push_back(record);
    }
    if (replaced != nullptr) {
        host::Release(replaced);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    PFLT_CONTEXT* Context) {
    if (Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = nullptr;
    std::lock_guard<std::mutex> lock(gLock);
    HostStream* stream = nullptr;
    const NTSTATUS status = host::StreamOf(Instance, FileObject, &stream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ContextRecord* record = host::AttachedTo(stream, Instance);
    if (record == nullptr) {
        return STATUS_NOT_FOUND;
    }
    record->references++;
    *Context = record->body;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltDeleteStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                       PFLT_CONTEXT* OldContext) {
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    ContextRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> lock(gLock);
        HostStream* stream = nullptr;
        const NTSTATUS status = host::StreamOf(Instance, FileObject, &stream);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        record = host::AttachedTo(stream, Instance);
        if (record == nullptr) {
            return STATUS_NOT_FOUND;
        }
        std::erase(stream->contexts, record);
        record->stream = nullptr;
        if (OldContext != nullptr) {
            *OldContext = record->body;
            return STATUS_SUCCESS;
        }
    }
    host::Release(record);
    return STATUS_SUCCESS;
}

VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context) {
    std::lock_guard<std::mutex> lock(gLock);
    if (ContextRecord* record = host::FindContext(Context, "FltReferenceContext")) {
        record->references++;
    }
}

VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context) {
    ContextRecord* record;
    {
        std::lock_guard<std::mutex> lock(gLock);
        record = host::FindContext(Context, "FltReleaseContext");
    }
    if (record != nullptr) {
        host::Release(record);
    }
}

VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context) {
    ContextRecord* record;
    {
        std::lock_guard<std::mutex> lock(gLock);
        record = host::FindContext(Context, "FltDeleteContext");
        if (record == nullptr || record->stream == nullptr) {
            return;
        }
        std::erase(record->stream->contexts, record);
        record->stream = nullptr;
    }
    host::Release(record);
}

// ---- Names ----

NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation) {
    if (FileNameInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileNameInformation = nullptr;
    if (CallbackData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PFILE_OBJECT fo = CallbackData->Iopb->TargetFileObject;
    if (fo == nullptr || fo->Host == nullptr || fo->Host->volume == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG format = NameOptions & 0xFF;
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED &&
        format != FLT_FILE_NAME_SHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    HostFileObject* h = fo->Host;
    std::u16string name;
    if (format == FLT_FILE_NAME_NORMALIZED) {
        if (h->opened) {
            name = h->normalizedName;
        } else {
            // Before the open: the file system resolves what exists so far.
            const NTSTATUS status =
                host::detail::FsNormalize(h->volume, h->name, h->caseInsensitive, &name);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    } else {
        name = h->opened ? h->openedName : h->volume->deviceName + h->name;
    }
    const size_t bytes = name.size() * sizeof(char16_t);
    if (bytes > 0xFFFE) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto* info = (PFLT_FILE_NAME_INFORMATION)host::detail::PlatformAllocate(
        sizeof(FLT_FILE_NAME_INFORMATION) + bytes, host::kNameTag);
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(info, 0, sizeof(*info));
    info->Size = sizeof(*info);
    info->Format = format;
    info->Name.Buffer = (PWCH)(info + 1);
    info->Name.Length = info->Name.MaximumLength = (USHORT)bytes;
    std::memcpy(info->Name.Buffer, name.data(), bytes);
    // The volume is part of every name; the other parts wait for the parse.
    const USHORT volumeBytes = (USHORT)std::min(bytes, h->volume->deviceName.size() * 2);
    info->Volume.Buffer = info->Name.Buffer;
    info->Volume.Length = info->Volume.MaximumLength = volumeBytes;
    std::lock_guard<std::mutex> lock(gLock);
    host::gNames[info] = 1;
    *FileNameInformation = info;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (FileNameInformation == nullptr || !host::gNames.contains(FileNameInformation)) {
            host::detail::BugCheck("FltParseFileNameInformation: not a live name");
            return STATUS_INVALID_PARAMETER;
        }
    }
    PFLT_FILE_NAME_INFORMATION info = FileNameInformation;
    UNICODE_STRING rest;
    rest.Buffer = (PWCH)((char*)info->Name.Buffer + info->Volume.Length);
    rest.Length = rest.MaximumLength = (USHORT)(info->Name.Length - info->Volume.Length);
    UNICODE_STRING extension, stream, final;
    NTSTATUS status = STATUS_SUCCESS;
    if (rest.Length == 0) {
        extension = stream = final = UNICODE_STRING{0, 0, nullptr};
    } else {
        status = FltParseFileName(&rest, &extension, &stream, &final);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    info->Extension = extension;
    info->Stream = stream;
    info->FinalComponent = final;
    info->ParentDir.Buffer = rest.Buffer;
    info->ParentDir.Length = info->ParentDir.MaximumLength =
        final.Buffer != nullptr ? (USHORT)((char*) final.Buffer - (char*)rest.Buffer) : rest.Length;
    info->NamesParsed = FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                        FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    std::lock_guard<std::mutex> lock(gLock);
    auto it = host::gNames.find(FileNameInformation);
    if (it == host::gNames.end()) {
        host::detail::BugCheck("FltReferenceFileNameInformation: not a live name");
        return;
    }
    it->second++;
}

VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        auto it = host::gNames.find(FileNameInformation);
        if (it == host::gNames.end()) {
            host::detail::BugCheck("FltReleaseFileNameInformation: not a live name");
            return;
        }
        if (--it->second > 0) {
            return;
        }
        host::gNames.erase(it);
    }
    host::detail::PlatformFree(FileNameInformation, host::kNameTag);
}

NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeGuidName,
                                     PULONG BufferSizeNeeded) {
    if (Volume == nullptr || Volume->volume == nullptr || VolumeGuidName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string& guid = Volume->volume->guidName;
    const ULONG bytes = (ULONG)(guid.size() * sizeof(char16_t));
    if (BufferSizeNeeded != nullptr) {
        *BufferSizeNeeded = bytes;
    }
    if (VolumeGuidName->MaximumLength < bytes || VolumeGuidName->Buffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    host::detail::CheckAccess(VolumeGuidName->Buffer, bytes);
    std::memcpy(VolumeGuidName->Buffer, guid.data(), bytes);
    VolumeGuidName->Length = (USHORT)bytes;
    return STATUS_SUCCESS;
}

// ---- Extra create parameters ----

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
    *EcpList = fo->Host->ecpList;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER, PECP_LIST EcpList, LPCGUID EcpType,
                                            PVOID* EcpContext, ULONG* EcpContextSize) {
    if (EcpContext != nullptr) {
        *EcpContext = nullptr;
    }
    if (EcpList == nullptr || EcpType == nullptr) {
        // Windows dereferences the list: a caller must test for an absent one.
        host::detail::BugCheck("FltFindExtraCreateParameter: no ECP list");
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

// ---- Callback data ----

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
    if (FileObject == nullptr || FileObject->Host == nullptr || !FileObject->Host->opened ||
        !FileObject->Host->inCreate) {
        host::detail::BugCheck("FltCancelFileOpen: not a create in its post-operation");
        return;
    }
    FileObject->Host->cancelled = true;
}

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned) {
    if (LengthReturned != nullptr) {
        *LengthReturned = 0;
    }
    if (Instance == nullptr || FileObject == nullptr || FileObject->Host == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR information = 0;
    const NTSTATUS status = host::detail::QueryBelow(Instance, FileObject, FileInformationClass,
                                                     FileInformation, Length, &information);
    if (LengthReturned != nullptr) {
        *LengthReturned = (ULONG)information;
    }
    return status;
}

}  // extern "C"
