// File objects: their creation and release, the handle an application
// holds, and the cleanup and close that end them.
#include <cstring>

#include "platform/host/fltmgr/dispatch.h"

namespace host {

using fltmgr::Dispatch;
using fltmgr::DispatchBelow;
using fltmgr::Request;

namespace iomgr {

void InitFileObject(PFILE_OBJECT fo, Volume::Impl* volume, std::u16string name, bool synchronous) {
    std::memset((void*)fo, 0, sizeof(*fo));
    fo->Type = 5;  // IO_TYPE_FILE
    fo->Size = sizeof(FILE_OBJECT);
    fo->Flags = synchronous ? FO_SYNCHRONOUS_IO : 0;
    fo->Host = new HostFileObject();
    fo->Host->name = std::move(name);
    fo->Host->volume = volume;
    fo->FileName.Buffer = fo->Host->name.data();
    fo->FileName.Length = fo->FileName.MaximumLength = (USHORT)(fo->Host->name.size() * 2);
}

PFILE_OBJECT NewFileObject(Volume::Impl* volume, std::u16string name, bool synchronous) {
    auto* fo = new FILE_OBJECT();
    InitFileObject(fo, volume, std::move(name), synchronous);
    return fo;
}

void FreeFileObject(PFILE_OBJECT fo) {
    const bool onStack = fo->Host->onStack;
    delete fo->Host;
    fo->Host = nullptr;
    if (!onStack) {
        delete fo;
    }
}

void CleanupFileObject(PFILE_OBJECT fo, _FLT_INSTANCE* through) {
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_CLEANUP, fo);
    DispatchBelow(r, through, [&](Request& q) {
        fs::Cleanup(fo);
        q.data.IoStatus.Status = STATUS_SUCCESS;
    });
}

void DereferenceFileObject(PFILE_OBJECT fo) {
    if (fo == nullptr || fo->Host == nullptr) {
        ke::BugCheck("ObfDereferenceObject: not a referenced file object");
        return;
    }
    const long left = --fo->Host->references;
    if (left > 0) {
        return;
    }
    if (left < 0) {
        ke::BugCheck("ObfDereferenceObject: a file object dereferenced once too often");
        return;
    }
    std::vector<fs::PerStreamContext*> detached;
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_CLOSE, fo);
    const std::vector<_FLT_INSTANCE*> instances =
        fltmgr::AcquireInstances(fo->Host->volume, fo->Host->flt.openedThrough);
    Dispatch(r, instances, [&](Request& q) {
        detached = fs::Close(fo);
        q.data.IoStatus.Status = STATUS_SUCCESS;
    });
    fltmgr::ReleaseInstances(instances);
    if (fo->FsContext2 != nullptr) {
        ke::BugCheck("a filter completed IRP_MJ_CLOSE: the file system never saw the close");
        detached = fs::Close(fo);
    }
    fltmgr::ReleaseDetached(detached);
    FreeFileObject(fo);
}

}  // namespace iomgr

// ---- Handles ----

Handle::~Handle() { Close(); }

Handle::Handle(Handle&& other) noexcept : fileObject_(other.fileObject_) {
    other.fileObject_ = nullptr;
}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        Close();
        fileObject_ = other.fileObject_;
        other.fileObject_ = nullptr;
    }
    return *this;
}

IoResult Handle::Close() {
    PFILE_OBJECT fo = fileObject_;
    if (fo == nullptr) {
        return {STATUS_SUCCESS, 0};
    }
    fileObject_ = nullptr;
    iomgr::CleanupFileObject(fo, fo->Host->flt.openedThrough);
    iomgr::DereferenceFileObject(fo);
    return {STATUS_SUCCESS, 0};
}

}  // namespace host

extern "C" {

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
    host::iomgr::DereferenceFileObject((PFILE_OBJECT)Object);
}

}  // extern "C"
