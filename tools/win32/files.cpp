// The tool's Windows file access: HostFile (reader/layout.h) and
// WriteFileAtomically (stub_file.h), over the Win32 primitives of
// platform/host/fs/win32. reader/host_file.cpp and posix_files.cpp are the
// POSIX counterparts.
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <algorithm>
#include <cstring>

#include "platform/host/fs/win32/win32.h"
#include "tools/cli.h"
#include "tools/reader/layout.h"
#include "tools/stub_file.h"

namespace tool {

namespace win32 = host::win32;

// A C runtime descriptor owns the Win32 handle, so that HostFile keeps the
// descriptor it holds on POSIX; closing it closes the handle.
HostFile::~HostFile() {
    if (fd_ >= 0) {
        _close(fd_);
    }
}

std::unique_ptr<HostFile> HostFile::Open(const std::filesystem::path& path, std::string* error) {
    win32::FileHandle handle;
    uint32_t failure = win32::OpenForReading(
        path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &handle);
    if (failure != 0) {
        std::error_code ignored;
        *error =
            failure == win32::kErrorAccessDenied && std::filesystem::is_directory(path, ignored)
                ? "Is a directory"
                : win32::ErrorText(failure);
        return nullptr;
    }
    uint64_t size = 0;
    failure = win32::FileSize(handle, &size);
    const int fd = failure == 0 ? _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) {
        *error = failure != 0 ? win32::ErrorText(failure) : "no C runtime descriptor left";
        win32::Close(handle);
        return nullptr;
    }
    return std::unique_ptr<HostFile>(new HostFile(fd, size));
}

size_t HostFile::ReadAt(uint64_t offset, void* buffer, size_t length) const {
    auto* out = (uint8_t*)buffer;
    const auto handle = (win32::FileHandle)_get_osfhandle(fd_);
    size_t done = 0;
    while (done < length && offset + done < size_) {
        uint32_t got = 0;
        const uint32_t chunk = (uint32_t)std::min<size_t>(length - done, 1u << 30);
        if (win32::ReadAt(handle, offset + done, chunk, out + done, &got) != 0 || got == 0) {
            break;
        }
        done += got;
    }
    std::memset(out + done, 0, length - done);
    return done;
}

void WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes,
                         bool overwrite) {
    // A fresh name beside path, as mkstemp makes one on POSIX.
    std::filesystem::path temporary;
    win32::FileHandle handle = nullptr;
    for (unsigned attempt = 0;; attempt++) {
        temporary = path.parent_path() /
                    (L"." + path.filename().wstring() + L"." + std::to_wstring(_getpid()) + L"-" +
                     std::to_wstring(attempt) + L".tmp");
        const uint32_t failure = win32::CreateNew(temporary, &handle);
        if (failure == 0) {
            break;
        }
        if (failure != win32::kErrorFileExists || attempt == 100) {
            throw ToolError{path.parent_path().string(), win32::ErrorText(failure)};
        }
    }
    uint32_t failure = win32::WriteAll(handle, bytes.data(), bytes.size());
    if (failure == 0) {
        failure = win32::Flush(handle);
    }
    win32::Close(handle);
    if (failure == 0) {
        failure = win32::Rename(temporary, path, overwrite);
        if (failure == 0) {
            return;
        }
    }
    win32::Remove(temporary);
    const bool exists = failure == win32::kErrorAlreadyExists || failure == win32::kErrorFileExists;
    throw ToolError{path.string(), !overwrite && exists ? "already exists (--overwrite replaces it)"
                                                        : win32::ErrorText(failure)};
}

}  // namespace tool
