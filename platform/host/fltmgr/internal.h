// The Filter Manager's objects behind the opaque handles (its records of
// filters, instances, volumes, contexts and file objects), and its services
// to the I/O manager.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/fs/internal.h"
#include "platform/host/kernel.h"

// A registered filter. Records are kept until the process ends, so that a
// stale handle is never mistaken for a later filter at the same address; what
// only a registered filter needs (its callbacks and context types) goes when
// it unregisters, so a process that loads drivers again and again keeps a few
// hundred bytes for each.
struct _FLT_FILTER {
    struct Operations {
        PFLT_PRE_OPERATION_CALLBACK pre[256] = {};
        PFLT_POST_OPERATION_CALLBACK post[256] = {};
        FLT_OPERATION_REGISTRATION_FLAGS flags[256] = {};
    };
    PDRIVER_OBJECT driver = nullptr;
    unsigned sequence = 0;  // registration order: earlier filters sit higher
    FLT_REGISTRATION registration{};
    std::vector<FLT_CONTEXT_REGISTRATION> contexts;
    std::unique_ptr<Operations> operations = std::make_unique<Operations>();
    bool filtering = false;
};

// An instance: a filter attached to a volume, or the volume's bare instance
// (filter null) through which requests reach the file system directly.
// Requests take it without a lock, as rundown protection does: count in,
// then check that it is not being torn down.
struct _FLT_INSTANCE {
    host::Volume::Impl* volume = nullptr;
    _FLT_FILTER* filter = nullptr;
    std::atomic<int> active{0};            // operations inside its callbacks
    std::atomic<bool> tearingDown{false};  // no longer offered new operations
};

namespace host::fltmgr {

// A volume's filter instances, top of the stack first. Requests read the
// current list without the structural lock; attach and detach publish a new
// one under it. A list goes when the last request reading it is done.
class InstanceStack {
public:
    std::vector<_FLT_INSTANCE*> Current() const {
        const auto list = Shared();
        return list != nullptr ? *list : std::vector<_FLT_INSTANCE*>();
    }
    // The published list itself, without a copy: for the per-request path.
    std::shared_ptr<const std::vector<_FLT_INSTANCE*>> Shared() const {
        return current_.load(std::memory_order_acquire);
    }
    void Publish(std::vector<_FLT_INSTANCE*> list) {  // under the structural lock
        current_.store(std::make_shared<const std::vector<_FLT_INSTANCE*>>(std::move(list)),
                       std::memory_order_release);
    }

private:
    std::atomic<std::shared_ptr<const std::vector<_FLT_INSTANCE*>>> current_;
};

}  // namespace host::fltmgr

// The Filter Manager's volume, attached above the file system's: the bare
// instance, through which requests reach the file system directly, and the
// filter instances.
struct _FLT_VOLUME {
    host::Volume::Impl* volume = nullptr;
    _FLT_INSTANCE instance;
    host::fltmgr::InstanceStack instances;
};

// A context the Filter Manager hands out: its body comes from the pool with
// the registration's tag; the record counts references and says where the
// context is attached.
struct ContextRecord : host::fs::PerStreamContext {
    _FLT_FILTER* filter = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = nullptr;
    PFLT_CONTEXT_FREE_CALLBACK freeCallback = nullptr;
    ULONG tag = 0;
    void* body = nullptr;
    std::atomic<long> references{0};
    // Attached to `stream` through this instance; changed under the structural
    // lock and the stream's context lock.
    _FLT_INSTANCE* instance = nullptr;
};

// Extra create parameters of one create.
struct _ECP_LIST {
    std::vector<GUID> types;
    UCHAR emptyContext[8] = {};
};

// The Filter Manager's record of a file object: where its requests start,
// and what it keeps while the create is in flight.
struct FltFileObject {
    // Requests on this file object start below this instance: null for an
    // open from the top of the stack; the bare instance reaches the file
    // system directly.
    _FLT_INSTANCE* openedThrough = nullptr;
    bool inCreate = false;         // between the create's first pre-op and its last post-op
    bool cancelled = false;        // FltCancelFileOpen from a post-create
    bool caseInsensitive = true;   // how the create resolves its name
    _ECP_LIST* ecpList = nullptr;  // during the create only
};

namespace host::fltmgr {

// Filters' instances on a volume as it mounts and dismounts.
void AttachFilters(Volume::Impl* volume);
void DetachFilters(Volume::Impl* volume);

// Instances on a volume below `through` (all of them for null, none for the
// bare instance), each counted active; ReleaseInstances ends the activity.
std::vector<_FLT_INSTANCE*> AcquireInstances(Volume::Impl* volume, _FLT_INSTANCE* through);
void ReleaseInstances(const std::vector<_FLT_INSTANCE*>& instances);

// Releases the contexts a stream's teardown detached (fs::Close,
// fs::TearDownCachedStreams), without the structural lock.
void ReleaseDetached(const std::vector<fs::PerStreamContext*>& contexts);
// An instance's stream contexts as it is torn down, detached from their
// streams; the structural lock held.
std::vector<fs::PerStreamContext*> DetachInstanceContexts(_FLT_INSTANCE* instance);
size_t ContextsOf(_FLT_FILTER* filter);  // still allocated

// Whether a filter handle names a registered filter; the structural lock held.
bool IsRegistered(PFLT_FILTER filter);

}  // namespace host::fltmgr
