// Filter Manager file names: name information for a request's file, its
// parse into volume, parent, final component, extension and stream, the
// references on it, FltParseFileName and the volume GUID name.
#include <algorithm>
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/iomgr/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/pool/internal.h"
#include "platform/host/rtl/internal.h"
#include "platform/host/rtl/sharded_map.h"

namespace host {
namespace {

// The Filter Manager's own pool tag for name information.
constexpr ULONG kNameTag = 'F' | ('M' << 8) | ('f' << 16) | ('n' << 24);

auto& gNames = *new rtl::ShardedMap<long>();  // references by record

}  // namespace
}  // namespace host

extern "C" {

NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation) {
    host::ke::CheckIrql(APC_LEVEL, "FltGetFileNameInformation");
    if (FileNameInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileNameInformation = nullptr;
    if (CallbackData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::GetFileNameInformation, &injected)) {
        return injected;
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
    if (format != FLT_FILE_NAME_NORMALIZED) {
        name = h->volume->deviceName + h->name;
    } else if (const host::fs::Ccb* ccb = host::fs::CcbOf(fo)) {
        name = ccb->normalizedName;
    } else {
        // Before the open: the file system resolves what exists so far.
        const NTSTATUS status =
            host::fs::Normalize(h->volume, h->name, h->flt.caseInsensitive, &name);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    const size_t bytes = name.size() * sizeof(char16_t);
    if (bytes > 0xFFFE) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto* info = (PFLT_FILE_NAME_INFORMATION)host::pool::PlatformAllocate(
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
    host::gNames.Insert(info, 1);
    *FileNameInformation = info;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    host::ke::CheckIrql(APC_LEVEL, "FltParseFileNameInformation");
    long references;
    if (FileNameInformation == nullptr || !host::gNames.Find(FileNameInformation, &references)) {
        host::ke::BugCheck("FltParseFileNameInformation: not a live name");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::ParseFileNameInformation, &injected)) {
        return injected;
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
    if (!host::gNames.With(FileNameInformation, [](long& references, auto) { references++; })) {
        host::ke::BugCheck("FltReferenceFileNameInformation: not a live name");
    }
}

VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    host::ke::CheckIrql(APC_LEVEL, "FltReleaseFileNameInformation");
    bool last = false;
    if (!host::gNames.With(FileNameInformation, [&](long& references, auto erase) {
            if (--references == 0) {
                erase();
                last = true;
            }
        })) {
        host::ke::BugCheck("FltReleaseFileNameInformation: not a live name");
        return;
    }
    if (!last) {
        return;
    }
    host::pool::PlatformFree(FileNameInformation, host::kNameTag);
}

NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeGuidName,
                                     PULONG BufferSizeNeeded) {
    host::ke::CheckIrql(APC_LEVEL, "FltGetVolumeGuidName");
    if (Volume == nullptr || Volume->volume == nullptr || VolumeGuidName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (host::faults::NextRoutineFails(host::FltRoutine::GetVolumeGuidName, &injected)) {
        return injected;
    }
    const std::u16string& guid = Volume->volume->guidName;
    const ULONG bytes = (ULONG)(guid.size() * sizeof(char16_t));
    if (BufferSizeNeeded != nullptr) {
        *BufferSizeNeeded = bytes;
    }
    if (VolumeGuidName->MaximumLength < bytes || VolumeGuidName->Buffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    host::faults::CheckAccess(VolumeGuidName->Buffer, bytes);
    std::memcpy(VolumeGuidName->Buffer, guid.data(), bytes);
    VolumeGuidName->Length = (USHORT)bytes;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltParseFileName(PCUNICODE_STRING FileName, PUNICODE_STRING Extension,
                                 PUNICODE_STRING Stream, PUNICODE_STRING FinalComponent) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltParseFileName");
    if (FileName == nullptr || (FileName->Length & 1) ||
        FileName->Length > FileName->MaximumLength ||
        (FileName->Buffer == nullptr && FileName->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FileName->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const size_t n = FileName->Length / 2;
    size_t final = 0;
    for (size_t i = 0; i < n; i++) {
        if (host::rtl::CharAt(FileName, i) == u'\\') {
            final = i + 1;
        }
    }
    size_t stream = n;
    for (size_t i = final; i < n; i++) {
        if (host::rtl::CharAt(FileName, i) == u':') {
            stream = i;
            break;
        }
    }
    size_t extension = stream;
    for (size_t i = final; i < stream; i++) {
        if (host::rtl::CharAt(FileName, i) == u'.') {
            extension = i + 1;
        }
    }
    auto set = [&](PUNICODE_STRING out, size_t begin, size_t end) {
        if (out == nullptr) {
            return;
        }
        if (begin >= end) {
            out->Buffer = nullptr;
            out->Length = out->MaximumLength = 0;
            return;
        }
        out->Buffer = (PWCH)((char*)FileName->Buffer + 2 * begin);
        out->Length = out->MaximumLength = (USHORT)(2 * (end - begin));
    };
    set(Extension, extension, stream);
    set(Stream, stream, n);
    set(FinalComponent, final, n);
    return STATUS_SUCCESS;
}

}  // extern "C"
