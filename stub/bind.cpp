// Binding a stub to its image chain: the stub's header names the image
// relative to the stub's own directory; a differencing image's parent is
// looked for by file name in that same directory.
#include "stub/stub.h"
#include "vhdx/pontor.h"

namespace {

// Safe-string limit: 32767 characters. The path buffers hold that much.
constexpr USHORT kMaxStringBytes = 65534;
constexpr USHORT kPathBufferBytes = kMaxStringBytes;

BOOLEAN IsValidString(PCUNICODE_STRING s) {
    if ((s->Length % sizeof(WCHAR)) != 0 || (s->MaximumLength % sizeof(WCHAR)) != 0) {
        return FALSE;
    }
    if (s->Length > s->MaximumLength || s->MaximumLength > kMaxStringBytes) {
        return FALSE;
    }
    return s->Buffer != NULL || (s->Length == 0 && s->MaximumLength == 0);
}

// The image path at offset 16 of the stub, up to its terminating zero. A
// path that does not end within the bytes read is refused, not cut.
PONTOR_PAGED BOOLEAN TakeImagePath(UCHAR* Header, PUNICODE_STRING Path) {
    UCHAR* start = Header + PONTOR_STUB_PATH_OFFSET;
    const ULONG chars = (PONTOR_STUB_READ_SIZE - PONTOR_STUB_PATH_OFFSET) / sizeof(WCHAR);
    for (ULONG i = 0; i < chars; i++) {
        if (VhdxLoad16(start + i * sizeof(WCHAR)) == 0) {
            Path->Length = Path->MaximumLength = (USHORT)(i * sizeof(WCHAR));
            Path->Buffer = (PWCH)start;
            return TRUE;
        }
    }
    return FALSE;
}

// ParentPath as a counted string; the parse always terminates it within
// the field, and the scan never leaves the field.
PONTOR_PAGED VOID TakeParentPath(VhdxContext* Image, PUNICODE_STRING Path) {
    ULONG chars = 0;
    while (chars < VHDX_PARENT_PATH_CHARS - 1 && Image->ParentPath[chars] != 0) {
        chars++;
    }
    Path->Length = Path->MaximumLength = (USHORT)(chars * sizeof(WCHAR));
    Path->Buffer = Image->ParentPath;
}

// Volume + parent directory + Leaf, so the file is looked for beside the stub.
PONTOR_PAGED NTSTATUS BuildNameBesideStub(PUNICODE_STRING Name, PFLT_FILE_NAME_INFORMATION Stub,
                                          PCUNICODE_STRING Leaf) {
    RtlCopyUnicodeString(Name, &Stub->Volume);
    NTSTATUS status = PontorAppendUnicodeString(Name, &Stub->ParentDir);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return PontorAppendUnicodeString(Name, Leaf);
}

// A zero-filled image record from the stub's instance, or null.
PONTOR_PAGED VhdxContext* AllocateImageRecord(PFLT_INSTANCE Instance) {
    VhdxContext* image = (VhdxContext*)FltAllocatePoolAlignedWithTag(
        Instance, NonPagedPoolNx, sizeof(VhdxContext), PONTOR_VHDX_TAG);
    if (image != NULL) {
        RtlZeroMemory(image, sizeof(VhdxContext));
    }
    return image;
}

// Opens and parses the parent named by Child->ParentPath, looked for in the
// stub's directory.
PONTOR_PAGED NTSTATUS BindParent(PCFLT_RELATED_OBJECTS FltObjects, StreamContext* Context,
                                 VhdxContext* Child) {
    Context->ParentVhdxFileContext = AllocateImageRecord(FltObjects->Instance);
    VhdxContext* parent = Context->ParentVhdxFileContext;
    if (parent == NULL) {
        PONTOR_PAGED_LOG_AS("PontorParseHeader",
                            "FltAllocatePoolAlignedWithTag for ParentVhdxFileContext failed \n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PontorPoolBuffer pathBuffer(FltObjects->Instance, kPathBufferBytes, PONTOR_PATH_TAG);
    if (pathBuffer.Get() == NULL) {
        PONTOR_PAGED_LOG_AS("PontorParseHeader", "Failed to allocate path buffer.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING parentPath;
    TakeParentPath(Child, &parentPath);
    UNICODE_STRING finalComponent = {0, 0, NULL};
    NTSTATUS status = FltParseFileName(&parentPath, NULL, NULL, &finalComponent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name = {0, kPathBufferBytes, (PWCH)pathBuffer.Get()};
    status = BuildNameBesideStub(&name, Context->FileNameInfo, &finalComponent);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    status = PontorOpenFile(FltObjects->Filter, FltObjects->Instance, &name, &parent->FileHandle,
                            &parent->FileObject);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG_AS("PontorParseHeader",
                            "PontorOpenFile for Parent VHDX failed with status 0x%x\n", status);
        return status;
    }
    status = VhdxParseHeader(FltObjects, parent);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG_AS("PontorParseHeader",
                            "PontorParseHeader for parent VHDX failed with status 0x%x\n", status);
        return status;
    }
    if (parent->HasParent) {
        PONTOR_PAGED_LOG_AS("PontorParseHeader",
                            "It is a nested differencing VHDX file and is not supported.\n");
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PontorAppendUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!IsValidString(Destination) || !IsValidString(Source)) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT room = Destination->MaximumLength - Destination->Length;
    const USHORT copied = Source->Length < room ? Source->Length : room;
    if (copied != 0) {
        RtlCopyMemory((UCHAR*)Destination->Buffer + Destination->Length, Source->Buffer, copied);
        Destination->Length += copied;
    }
    return copied == Source->Length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

PONTOR_PAGED NTSTATUS PontorParseHeader(PCFLT_RELATED_OBJECTS FltObjects, StreamContext* Context) {
    PAGED_CODE();

    // A retry starts from nothing: what a failed attempt left is released as
    // the context cleanup would release it.
    PontorReleaseImageChain(Context);

    PontorPoolBuffer ioBuffer(FltObjects->Instance, PONTOR_STUB_READ_SIZE, PONTOR_IO_TAG);
    UCHAR* header = ioBuffer.Get();
    if (header == NULL) {
        PONTOR_PAGED_LOG("Failed to allocate I/O buffer.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    NTSTATUS status =
        FltReadFile(FltObjects->Instance, FltObjects->FileObject, &offset, PONTOR_STUB_READ_SIZE,
                    header, FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, NULL, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
        return status;
    }
    // Not a stub: quietly left alone.
    if (VhdxLoad64(header) != PONTOR_STUB_SIGNATURE) {
        return STATUS_UNKNOWN_REVISION;
    }
    RtlCopyMemory(Context->StubHeader, header, PONTOR_STUB_READ_SIZE);

    PontorPoolBuffer pathBuffer(FltObjects->Instance, kPathBufferBytes, PONTOR_PATH_TAG);
    if (pathBuffer.Get() == NULL) {
        PONTOR_PAGED_LOG("Failed to allocate path buffer.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING imagePath;
    if (!TakeImagePath(header, &imagePath)) {
        PONTOR_PAGED_LOG("Image path of %wZ has no terminating zero\n",
                         &Context->FileNameInfo->Name);
        return STATUS_UNKNOWN_REVISION;
    }
    UNICODE_STRING name = {0, kPathBufferBytes, (PWCH)pathBuffer.Get()};
    status = BuildNameBesideStub(&name, Context->FileNameInfo, &imagePath);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    Context->VhdxContext = AllocateImageRecord(FltObjects->Instance);
    VhdxContext* child = Context->VhdxContext;
    if (child == NULL) {
        PONTOR_PAGED_LOG("FltAllocatePoolAlignedWithTag for VhdxContext failed \n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = PontorOpenFile(FltObjects->Filter, FltObjects->Instance, &name, &child->FileHandle,
                            &child->FileObject);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("PontorOpenFile failed with status 0x%x\n", status);
        return status;
    }
    status = VhdxParseHeader(FltObjects, child);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("PontorParseHeader failed with status 0x%x\n", status);
        return status;
    }
    if (child->HasParent) {
        status = BindParent(FltObjects, Context, child);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    Context->VolumeGuidName.Buffer = (PWCH)Context->VolumeGuidNameBuffer;
    Context->VolumeGuidName.Length = 0;
    Context->VolumeGuidName.MaximumLength = sizeof(Context->VolumeGuidNameBuffer);
    status = FltGetVolumeGuidName(FltObjects->Volume, &Context->VolumeGuidName, NULL);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltGetVolumeGuidName failed with status 0x%x\n", status);
        return status;
    }
    return STATUS_SUCCESS;
}
