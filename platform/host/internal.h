// Host-private objects behind the opaque Filter Manager and kernel handles.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/host/host.h"

struct _FLT_VOLUME {
    host::Volume::Impl* volume;
};

struct _FLT_INSTANCE {
    host::Volume::Impl* volume;
};

struct host::Volume::Impl {
    std::filesystem::path root;
    DeviceType type;
    FLT_FILESYSTEM_TYPE fileSystem;
    unsigned number;
    std::u16string deviceName;
    std::u16string guidName;
    _FLT_VOLUME fltVolume;
    _FLT_INSTANCE instance;
};

struct HostFileObject {
    int fd = -1;
    std::atomic<long> references{1};
    std::filesystem::path path;
    std::u16string name;  // the NT name the file was opened by
    host::Volume::Impl* volume = nullptr;
};

namespace host::detail {

// Pool misuse and other contract violations a checked kernel would stop on.
void BugCheck(const std::string& what);

// Counts the file objects' host descriptors.
void FileOpened();
void FileClosed();

}  // namespace host::detail
