// The Win32 calls behind win32.h; the one source of the Windows build that
// includes <windows.h>.
#define WIN32_LEAN_AND_MEAN
#define WIN32_NO_STATUS  // ntstatus.h below defines the STATUS_ values
#include <windows.h>
#undef WIN32_NO_STATUS
#include <winternl.h>  // NTSTATUS
#include <ntstatus.h>

#include <algorithm>

#include "platform/host/fs/win32/win32.h"

namespace host::win32 {

static_assert(kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorNotReady == ERROR_NOT_READY);
static_assert(kErrorHandleEof == ERROR_HANDLE_EOF);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(kErrorFileExists == ERROR_FILE_EXISTS);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorNotFound == ERROR_NOT_FOUND);

namespace {

constexpr DWORD kLargestTransfer = 1u << 30;  // per ReadFile or WriteFile call

}  // namespace

int32_t StatusOfError(uint32_t error) {
    switch (error) {
        case ERROR_SUCCESS: return STATUS_SUCCESS;
        case ERROR_FILE_NOT_FOUND: return STATUS_OBJECT_NAME_NOT_FOUND;
        case ERROR_PATH_NOT_FOUND: return STATUS_OBJECT_PATH_NOT_FOUND;
        case ERROR_ACCESS_DENIED: return STATUS_ACCESS_DENIED;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return STATUS_SHARING_VIOLATION;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE: return STATUS_OBJECT_NAME_INVALID;
        case ERROR_DIRECTORY: return STATUS_NOT_A_DIRECTORY;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return STATUS_OBJECT_NAME_COLLISION;
        case ERROR_HANDLE_EOF: return STATUS_END_OF_FILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        case ERROR_DELETE_PENDING: return STATUS_DELETE_PENDING;
        case ERROR_NOT_READY: return STATUS_DEVICE_NOT_READY;
        case ERROR_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
        default: return STATUS_IO_DEVICE_ERROR;
    }
}

std::string ErrorText(uint32_t error) {
    wchar_t text[512];
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, error, 0, text, (DWORD)std::size(text), nullptr);
    std::string utf8(length * 3, '\0');
    utf8.resize((size_t)WideCharToMultiByte(CP_UTF8, 0, text, (int)length, utf8.data(),
                                            (int)utf8.size(), nullptr, nullptr));
    while (!utf8.empty() && (utf8.back() == ' ' || utf8.back() == '.')) {
        utf8.pop_back();
    }
    return utf8.empty() ? "Windows error " + std::to_string(error) : utf8;
}

std::filesystem::path ExtendedLength(const std::filesystem::path& absolute) {
    std::wstring path = absolute.lexically_normal().make_preferred().native();
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return path;
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return L"\\\\?\\" + path;
}

uint32_t Examine(const std::filesystem::path& path, EntryKind* kind) {
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *kind = EntryKind::Missing;
            return ERROR_SUCCESS;
        }
        return error;
    }
    FindClose(search);
    // For a reparse point, dwReserved0 holds its tag.
    const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                      (entry.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                       entry.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
    *kind = link                                                  ? EntryKind::Link
            : (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Directory
                                                                  : EntryKind::File;
    return ERROR_SUCCESS;
}

namespace {

uint32_t Open(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
              FileHandle* handle) {
    const HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *handle = nullptr;
        return GetLastError();
    }
    *handle = h;
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t OpenForReading(const std::filesystem::path& path, uint32_t shareAccess,
                        FileHandle* handle) {
    return Open(path, GENERIC_READ,
                shareAccess & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
                OPEN_EXISTING, handle);
}

uint32_t OpenForAttributes(const std::filesystem::path& path, FileHandle* handle) {
    return Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, handle);
}

uint32_t CreateNew(const std::filesystem::path& path, FileHandle* handle) {
    return Open(path, GENERIC_WRITE, 0, CREATE_NEW, handle);
}

void Close(FileHandle handle) { CloseHandle(handle); }

uint32_t FileSize(FileHandle handle, uint64_t* size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle, &value)) {
        return GetLastError();
    }
    *size = (uint64_t)value.QuadPart;
    return ERROR_SUCCESS;
}

namespace {

int64_t Time(const FILETIME& t) {
    return (int64_t)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime);
}

}  // namespace

uint32_t Describe(FileHandle handle, FileDescription* d) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return GetLastError();
    }
    d->directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    d->readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    d->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    d->links = info.nNumberOfLinks;
    d->volumeSerial = info.dwVolumeSerialNumber;
    d->fileIndex = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    d->creationTime = Time(info.ftCreationTime);
    d->lastAccessTime = Time(info.ftLastAccessTime);
    d->lastWriteTime = Time(info.ftLastWriteTime);
    return ERROR_SUCCESS;
}

uint32_t ReadAt(FileHandle handle, uint64_t offset, uint32_t length, void* buffer, uint32_t* done) {
    *done = 0;
    while (*done < length) {
        const uint64_t at = offset + *done;
        OVERLAPPED position = {};
        position.Offset = (DWORD)at;
        position.OffsetHigh = (DWORD)(at >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, (char*)buffer + *done,
                      std::min<DWORD>(length - *done, kLargestTransfer), &got, &position)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                break;
            }
            return error;
        }
        if (got == 0) {
            break;
        }
        *done += got;
    }
    return *done == 0 && length != 0 ? ERROR_HANDLE_EOF : ERROR_SUCCESS;
}

uint32_t WriteAll(FileHandle handle, const void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        DWORD wrote = 0;
        if (!WriteFile(handle, (const char*)data + done,
                       (DWORD)std::min<size_t>(length - done, kLargestTransfer), &wrote, nullptr)) {
            return GetLastError();
        }
        done += wrote;
    }
    return ERROR_SUCCESS;
}

uint32_t Flush(FileHandle handle) {
    return FlushFileBuffers(handle) ? ERROR_SUCCESS : GetLastError();
}

uint32_t Rename(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExW(from.c_str(), to.c_str(), flags) ? ERROR_SUCCESS : GetLastError();
}

uint32_t Remove(const std::filesystem::path& path) {
    return DeleteFileW(path.c_str()) ? ERROR_SUCCESS : GetLastError();
}

uint32_t FileSystemControl(FileHandle handle, uint32_t code, void* output, uint32_t outputLength,
                           uint32_t* returned) {
    DWORD count = 0;
    const BOOL ok =
        DeviceIoControl(handle, code, nullptr, 0, output, outputLength, &count, nullptr);
    *returned = count;
    return ok ? ERROR_SUCCESS : GetLastError();
}

}  // namespace host::win32
