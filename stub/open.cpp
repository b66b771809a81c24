// Opening an image file below this filter, for reading only, and closing
// it. The binder and the context cleanup use them, and so does everything on
// the host that opens images as the binder does (the tool, the tests, the
// fuzzers).
#include "stub/stub.h"

NTSTATUS PontorOpenFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PUNICODE_STRING FileName,
                        PHANDLE FileHandle, PFILE_OBJECT* FileObject) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, FileName,
                               OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    *FileHandle = NULL;
    *FileObject = NULL;
    const NTSTATUS status =
        FltCreateFileEx(Filter, Instance, FileHandle, FileObject, GENERIC_READ | SYNCHRONIZE,
                        &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS,
                        NULL, 0, IO_STOP_ON_SYMLINK);
    if (!NT_SUCCESS(status)) {
        // Nothing to close later, whatever the call left in the outputs.
        *FileHandle = NULL;
        *FileObject = NULL;
    }
    return status;
}

VOID PontorCloseFile(VhdxContext* Image) {
    if (Image->FileHandle != NULL) {
        FltClose(Image->FileHandle);
        Image->FileHandle = NULL;
    }
    if (Image->FileObject != NULL) {
        ObDereferenceObject(Image->FileObject);
        Image->FileObject = NULL;
    }
}
