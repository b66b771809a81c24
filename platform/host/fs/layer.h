// The seam between the file system the I/O manager sees and the files that
// hold a volume's data. Everything NTFS decides the same way for every
// backing store (the NT-name rules, streams shared by file objects, share
// access, the information classes, the end-of-file answers) is written once
// above it (fs/files.cpp); a layer only finds, opens, reads, writes and
// describes its files. Each volume has its own layer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/kernel.h"

namespace host::fs {

// A file or directory a layer has open.
struct File {
    virtual ~File() = default;
};

// What the information classes are built from.
struct FileFacts {
    bool directory = false;
    bool readOnly = false;
    uint64_t size = 0;  // 0 for a directory
    uint64_t allocation = 0;
    uint32_t links = 1;
    uint64_t device = 0;  // device and index name the file: file objects on
    uint64_t index = 0;   // the same pair share one stream
    LONGLONG creationTime = 0, lastAccessTime = 0, lastWriteTime = 0, changeTime = 0;  // NT times
};

// An open or create beneath the root, its name already checked and split.
struct OpenRequest {
    std::vector<std::u16string> components;  // at least one
    ACCESS_MASK access;                      // generic rights mapped
    ULONG shareAccess;
    ULONG disposition;
    ULONG options;
    bool caseInsensitive;
    bool stopOnSymlink;
    bool targetDirectory;  // SL_OPEN_TARGET_DIRECTORY: the directory that would hold the name
};

// What NTFS makes of a create's disposition and options, the same for every
// layer. For a name that exists, directory and readOnly say what it is.
struct Disposition {
    NTSTATUS status = STATUS_SUCCESS;  // a failure: nothing is opened or created
    bool overwrite = false;            // truncate the existing file
    bool writable = false;             // open it for writing
    ULONG_PTR information = 0;         // FILE_OPENED, FILE_CREATED, ...
};
Disposition Decide(const OpenRequest& request, bool exists, bool directory, bool readOnly);

struct Opened {
    File* file = nullptr;
    std::u16string normalized;  // "\a\b" with the stored spelling of what exists
    ULONG_PTR information = 0;  // FILE_OPENED, FILE_CREATED, ... FILE_EXISTS
};

class FileLayer {
public:
    virtual ~FileLayer() = default;
    // Resolves beneath the root only: a symbolic link stops the open
    // (STATUS_STOPPED_ON_SYMLINK when asked, else STATUS_ACCESS_DENIED).
    virtual NTSTATUS Open(const OpenRequest& request, Opened* opened) = 0;
    virtual NTSTATUS OpenRoot(File** file) = 0;  // a volume open
    // The stored spelling of every existing component, the rest as given;
    // fails as Open would, STATUS_STOPPED_ON_SYMLINK at a link.
    virtual NTSTATUS Normalize(const std::vector<std::u16string>& components, bool caseInsensitive,
                               std::u16string* normalized) = 0;
    // Up to length bytes at offset; a count of 0 means the end of the file.
    virtual NTSTATUS Read(File* file, uint64_t offset, ULONG length, void* buffer, ULONG* done) = 0;
    // A cached read, which on Windows the cache manager copies from its views
    // of the file: a layer may keep views of its own.
    virtual NTSTATUS ReadCached(File* file, uint64_t offset, ULONG length, void* buffer,
                                ULONG* done) {
        return Read(file, offset, length, buffer, done);
    }
    virtual NTSTATUS Write(File* file, uint64_t offset, ULONG length, const void* buffer,
                           ULONG* done) = 0;
    virtual NTSTATUS Describe(File* file, FileFacts* facts) = 0;
    virtual void Close(File* file) = 0;  // and deletes it
};

// The build's own layer over a host directory: POSIX on Linux, Win32 on
// Windows.
std::unique_ptr<FileLayer> NewHostLayer(const std::filesystem::path& root);

}  // namespace host::fs
