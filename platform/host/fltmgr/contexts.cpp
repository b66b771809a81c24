// Filter Manager contexts: allocation, stream contexts set, got and deleted
// per instance, references, and the cleanup after the last one. A request's
// lookups take only the stream's lock and the registry shard of its context.
#include <algorithm>
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/iomgr/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/pool/internal.h"
#include "platform/host/rtl/sharded_map.h"

namespace host {
namespace {

auto& gContexts = *new rtl::ShardedMap<ContextRecord*>();  // by body

ContextRecord* FindContext(PFLT_CONTEXT context, const char* routine) {
    ContextRecord* record = nullptr;
    if (!gContexts.Find(context, &record)) {
        ke::BugCheck(std::string(routine) + ": not a live context");
        return nullptr;
    }
    return record;
}

void Release(ContextRecord* record) {
    if (--record->references > 0) {
        return;
    }
    if (record->stream != nullptr) {
        // Its attachment still holds a reference: a caller released twice.
        record->references++;
        ke::BugCheck("FltReleaseContext: an attached context released once too often");
        return;
    }
    gContexts.Erase(record->body);
    if (record->cleanup != nullptr) {
        const ke::ThreadBalance balance = ke::CurrentBalance();
        const ke::IrqlScope activity(PASSIVE_LEVEL, ke::Activity::ContextCleanup);
        record->cleanup(record->body, record->type);
        ke::CheckBalance(balance, "ContextCleanupCallback");
    }
    if (record->freeCallback != nullptr) {
        record->freeCallback(record->body, record->type);
    } else {
        pool::PlatformFree(record->body, record->tag);
    }
    delete record;
}

// The stream of a file object an instance's context is set on, checked as
// the Filter Manager checks its arguments, with its context lock held.
struct LockedStream {
    NTSTATUS status = STATUS_SUCCESS;
    fs::Stream* stream = nullptr;
    std::unique_lock<std::mutex> lock;
};

LockedStream StreamOf(PFLT_INSTANCE instance, PFILE_OBJECT fo) {
    LockedStream s;
    if (instance == nullptr || instance->filter == nullptr || fo == nullptr ||
        fo->Host == nullptr) {
        s.status = STATUS_INVALID_PARAMETER;
    } else if (instance->tearingDown) {
        s.status = STATUS_FLT_DELETING_OBJECT;
    } else if (fs::StreamOf(fo) == nullptr) {
        s.status = STATUS_NOT_SUPPORTED;  // no stream: a volume open, say
    } else if (fo->Host->volume != instance->volume) {
        s.status = STATUS_INVALID_PARAMETER;
    } else {
        s.stream = fs::StreamOf(fo);
        s.lock = std::unique_lock<std::mutex>(s.stream->contextLock);
    }
    return s;
}

// Under the stream's context lock.
ContextRecord* AttachedTo(fs::Stream* stream, PFLT_INSTANCE instance) {
    for (fs::PerStreamContext* c : stream->contexts) {
        auto* r = static_cast<ContextRecord*>(c);
        if (r->instance == instance) {
            return r;
        }
    }
    return nullptr;
}

// Detaches a context from its stream; both locks held.
void Detach(ContextRecord* record) {
    std::erase(record->stream.load()->contexts, record);
    record->stream = nullptr;
}

}  // namespace

namespace fltmgr {

void ReleaseDetached(const std::vector<fs::PerStreamContext*>& contexts) {
    for (fs::PerStreamContext* c : contexts) {
        Release(static_cast<ContextRecord*>(c));
    }
}

std::vector<fs::PerStreamContext*> DetachInstanceContexts(_FLT_INSTANCE* instance) {
    std::vector<fs::PerStreamContext*> detached;
    gContexts.ForEach([&](ContextRecord* record) {
        if (record->instance == instance && record->stream != nullptr) {
            detached.push_back(record);
        }
    });
    for (fs::PerStreamContext* c : detached) {
        std::lock_guard<std::mutex> lock(c->stream.load()->contextLock);
        Detach(static_cast<ContextRecord*>(c));
    }
    return detached;
}

size_t ContextsOf(_FLT_FILTER* filter) {
    size_t n = 0;
    gContexts.ForEach([&](ContextRecord* record) { n += record->filter == filter; });
    return n;
}

}  // namespace fltmgr
}  // namespace host

extern "C" {

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
        std::lock_guard<std::mutex> lock(host::fs::Lock());
        if (!host::fltmgr::IsRegistered(Filter)) {
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
                     : host::pool::PlatformAllocate(ContextSize, match->PoolTag);
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
    host::gContexts.Insert(body, record);
    *ReturnedContext = body;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT* OldContext) {
    host::ke::CheckIrql(APC_LEVEL, "FltSetStreamContext");
    host::faults::RunHook(host::HookPoint::SetStreamContext);
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::SetStreamContext, &injected)) {
        return injected;
    }
    ContextRecord* replaced = nullptr;
    {
        std::lock_guard<std::mutex> lock(host::fs::Lock());
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
        host::LockedStream locked = host::StreamOf(Instance, FileObject);
        if (!NT_SUCCESS(locked.status)) {
            return locked.status;
        }
        host::fs::Stream* stream = locked.stream;
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
    host::ke::CheckIrql(APC_LEVEL, "FltGetStreamContext");
    if (Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = nullptr;
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::GetStreamContext, &injected)) {
        return injected;
    }
    host::LockedStream locked = host::StreamOf(Instance, FileObject);
    if (!NT_SUCCESS(locked.status)) {
        return locked.status;
    }
    host::fs::Stream* stream = locked.stream;
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
        std::lock_guard<std::mutex> lock(host::fs::Lock());
        host::LockedStream locked = host::StreamOf(Instance, FileObject);
        if (!NT_SUCCESS(locked.status)) {
            return locked.status;
        }
        host::fs::Stream* stream = locked.stream;
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
    if (ContextRecord* record = host::FindContext(Context, "FltReferenceContext")) {
        record->references++;
    }
}

VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context) {
    if (ContextRecord* record = host::FindContext(Context, "FltReleaseContext")) {
        host::Release(record);
    }
}

VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context) {
    ContextRecord* record;
    {
        std::lock_guard<std::mutex> lock(host::fs::Lock());
        record = host::FindContext(Context, "FltDeleteContext");
        if (record == nullptr || record->stream == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> streamLock(record->stream.load()->contextLock);
        host::Detach(record);
    }
    host::Release(record);
}

}  // extern "C"
