// Win32 file primitives in plain C++ types, for the Windows build of the
// pontor tool: the platform's Win32 file layer (layer.cpp beside this) and the
// tool's own Windows pieces (tools/win32) call these. Only win32.cpp
// includes <windows.h>, whose LONG, ULONG, NTSTATUS and Interlocked
// routines clash with the host platform's kernel.h that the callers include.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace host::win32 {

using FileHandle = void*;  // a Win32 HANDLE

// The Win32 errors callers tell apart (winerror.h values; win32.cpp checks them).
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorNotFound = 1168;

// The NTSTATUS (kernel.h's LONG) that stands for a Win32 error of an open or
// a read; STATUS_IO_DEVICE_ERROR for one without a closer match.
int32_t StatusOfError(uint32_t error);
// The system's one-line text for an error, in UTF-8.
std::string ErrorText(uint32_t error);

// The extended-length form (\\?\C:\dir, \\?\UNC\server\share) of an absolute
// path, which Win32 passes to the file system without reinterpreting a
// component (trailing dots and spaces, device names) and without the
// MAX_PATH limit. Components appended to it must already be valid names.
std::filesystem::path ExtendedLength(const std::filesystem::path& absolute);

enum class EntryKind { Missing, File, Directory, Link };
// What the last component of path names, without following it. A symbolic
// link or a mount point is a Link. Returns 0 or a Win32 error; a name that
// does not exist is Missing, not an error.
uint32_t Examine(const std::filesystem::path& path, EntryKind* kind);

// Each returns 0 or the Win32 error.
// Opens an existing file for reading its data and attributes, with the
// share access asked (FILE_SHARE_* bits). A directory fails with
// kErrorAccessDenied.
uint32_t OpenForReading(const std::filesystem::path& path, uint32_t shareAccess,
                        FileHandle* handle);
// Opens a file or directory with FILE_READ_ATTRIBUTES access only, sharing
// read, write and delete: a handle for control codes of any-access.
uint32_t OpenForAttributes(const std::filesystem::path& path, FileHandle* handle);
// Creates a file that must not exist yet (kErrorFileExists), for writing,
// sharing nothing.
uint32_t CreateNew(const std::filesystem::path& path, FileHandle* handle);
void Close(FileHandle handle);

uint32_t FileSize(FileHandle handle, uint64_t* size);
// What GetFileInformationByHandle says of an open file; times in 100 ns
// units since 1601, as the kernel keeps them.
struct FileDescription {
    bool directory;
    bool readOnly;
    uint64_t size;
    uint32_t links;
    uint64_t volumeSerial;
    uint64_t fileIndex;
    int64_t creationTime, lastAccessTime, lastWriteTime;
};
uint32_t Describe(FileHandle handle, FileDescription* description);
// Reads up to length bytes at offset into buffer; *done says how many. As
// NTFS answers: at or beyond the end of the file nothing is read and the
// error is kErrorHandleEof; a read crossing the end stops there with
// success. A length of 0 succeeds wherever it starts.
uint32_t ReadAt(FileHandle handle, uint64_t offset, uint32_t length, void* buffer, uint32_t* done);
uint32_t WriteAll(FileHandle handle, const void* data, size_t length);
uint32_t Flush(FileHandle handle);  // to the disk

// Renames within a volume; without replace an existing target stays and the
// error is kErrorAlreadyExists.
uint32_t Rename(const std::filesystem::path& from, const std::filesystem::path& to, bool replace);
uint32_t Remove(const std::filesystem::path& path);

// DeviceIoControl with a file-system control code and no input; *returned
// is the count of output bytes.
uint32_t FileSystemControl(FileHandle handle, uint32_t code, void* output, uint32_t outputLength,
                           uint32_t* returned);

}  // namespace host::win32
