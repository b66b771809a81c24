// The Filter Manager's dispatch of one operation: its FLT_CALLBACK_DATA
// passes the pre-operation callbacks from the top of the volume's instance
// stack down, then the file system, then the post-operation callbacks from
// the bottom up.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/faults/internal.h"
#include "platform/host/iomgr/internal.h"
#include "platform/host/ke/internal.h"

namespace host::fltmgr {

// Identifies the requesting thread in callback data.
inline thread_local char tThreadToken;

// One operation's callback data.
struct Request {
    FLT_IO_PARAMETER_BLOCK iopb{};
    FLT_CALLBACK_DATA data;
    Request(ULONG flags, KPROCESSOR_MODE mode, UCHAR major, PFILE_OBJECT fo)
        : data{flags, (PETHREAD)&tThreadToken, &iopb, {}, nullptr, {}, mode} {
        iopb.MajorFunction = major;
        iopb.TargetFileObject = fo;
    }
    Request(const Request&) = delete;
};

inline FLT_RELATED_OBJECTS Related(_FLT_INSTANCE* instance, PFILE_OBJECT fo) {
    FLT_RELATED_OBJECTS related = {};
    related.Size = sizeof(related);
    related.Filter = instance->filter;
    related.Volume = instance->volume->attached;
    related.Instance = instance;
    related.FileObject = fo;
    return related;
}

// Whether a registration's flags skip this read or write.
inline bool Skipped(FLT_OPERATION_REGISTRATION_FLAGS flags, const Request& r) {
    const UCHAR major = r.iopb.MajorFunction;
    if (major != IRP_MJ_READ && major != IRP_MJ_WRITE) {
        return false;
    }
    const bool paging = r.iopb.IrpFlags & IRP_PAGING_IO;
    const bool nonCached = r.iopb.IrpFlags & IRP_NOCACHE;
    return ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO) && paging) ||
           ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO) && !paging && !nonCached) ||
           ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO) && nonCached &&
            !paging);
}

enum class Outcome { Done, FastIoDisallowed };

// Runs one request through the instances (top first) and the file system.
template <class FileSystem>
Outcome Dispatch(Request& r, const std::vector<_FLT_INSTANCE*>& instances, FileSystem&& fs) {
    struct Post {
        _FLT_INSTANCE* instance;
        PFLT_POST_OPERATION_CALLBACK callback;
        PVOID context;
    };
    std::vector<Post> posts;
    const UCHAR major = r.iopb.MajorFunction;
    PFILE_OBJECT fo = r.iopb.TargetFileObject;
    // The memory manager's paging I/O reaches the filters and the file
    // system at APC_LEVEL.
    std::optional<ke::IrqlScope> irql;
    if ((major == IRP_MJ_READ || major == IRP_MJ_WRITE) && (r.iopb.IrpFlags & IRP_PAGING_IO) &&
        !(r.data.Flags & FLTFL_CALLBACK_DATA_GENERATED_IO)) {
        irql.emplace(APC_LEVEL, ke::Activity::PagingIo);
    }
    bool completed = false;
    bool disallowed = false;
    for (_FLT_INSTANCE* instance : instances) {
        const _FLT_FILTER::Operations& operations = *instance->filter->operations;
        PFLT_PRE_OPERATION_CALLBACK pre = operations.pre[major];
        PFLT_POST_OPERATION_CALLBACK post = operations.post[major];
        if ((pre == nullptr && post == nullptr) || Skipped(operations.flags[major], r)) {
            continue;
        }
        r.iopb.TargetInstance = instance;
        FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        PVOID context = nullptr;
        if (pre != nullptr) {
            const FLT_RELATED_OBJECTS related = Related(instance, fo);
            FLT_IO_PARAMETER_BLOCK before;
            std::memcpy(&before, &r.iopb, sizeof(before));
            const ke::ThreadBalance balance = ke::CurrentBalance();
            result = pre(&r.data, &related, &context);
            CheckBalance(balance, "a pre-operation callback");
            if (result != FLT_PREOP_COMPLETE && !FltIsCallbackDataDirty(&r.data) &&
                std::memcmp(&before, &r.iopb, sizeof(before)) != 0) {
                ke::BugCheck(
                    "a pre-operation callback changed the parameters without "
                    "FltSetCallbackDataDirty");
            }
        }
        switch (result) {
            case FLT_PREOP_SUCCESS_WITH_CALLBACK:
            case FLT_PREOP_SYNCHRONIZE:  // every request is synchronous here
                if (post != nullptr) {
                    posts.push_back({instance, post, context});
                }
                break;
            case FLT_PREOP_SUCCESS_NO_CALLBACK: break;
            case FLT_PREOP_COMPLETE: completed = true; break;
            case FLT_PREOP_DISALLOW_FASTIO:
                if (!FLT_IS_FASTIO_OPERATION(&r.data)) {
                    ke::BugCheck(
                        "FLT_PREOP_DISALLOW_FASTIO returned for a request that is not fast I/O");
                    completed = true;
                    break;
                }
                disallowed = true;
                break;
            default:
                ke::BugCheck("pre-operation result " + std::to_string((int)result) +
                             " (pending requests are not modelled)");
                completed = true;
                break;
        }
        if (completed || disallowed) {
            break;
        }
    }
    if (disallowed) {
        r.data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
        r.data.IoStatus.Information = 0;
    } else if (!completed) {
        fs(r);
        if (major == IRP_MJ_CREATE && fo->FsContext2 != nullptr) {
            faults::RunHook(HookPoint::PostCreate);
        }
    }
    r.data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
        r.iopb.TargetInstance = it->instance;
        const FLT_RELATED_OBJECTS related = Related(it->instance, fo);
        const ke::ThreadBalance balance = ke::CurrentBalance();
        const FLT_POSTOP_CALLBACK_STATUS result = it->callback(&r.data, &related, it->context, 0);
        CheckBalance(balance, "a post-operation callback");
        if (result != FLT_POSTOP_FINISHED_PROCESSING) {
            ke::BugCheck("post-operation result " + std::to_string((int)result) +
                         " (deferred completion is not modelled)");
        }
    }
    return disallowed ? Outcome::FastIoDisallowed : Outcome::Done;
}

// Runs a request through the instances below `through` on the file's volume.
template <class FileSystem>
Outcome DispatchBelow(Request& r, _FLT_INSTANCE* through, FileSystem&& fs) {
    const std::vector<_FLT_INSTANCE*> instances =
        AcquireInstances(r.iopb.TargetFileObject->Host->volume, through);
    const Outcome outcome = Dispatch(r, instances, fs);
    ReleaseInstances(instances);
    return outcome;
}

}  // namespace host::fltmgr
