// Volumes: a file layer (a host directory, by default) served as a volume
// with a device name, a volume GUID name and a device type.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host/kernel.h"

namespace host {

namespace fs {
class FileLayer;
}

// The device type a volume's instances are offered with.
enum class DeviceType : ULONG {
    Disk = FILE_DEVICE_DISK_FILE_SYSTEM,
    CdRom = FILE_DEVICE_CD_ROM_FILE_SYSTEM,
    NetworkFileSystem = FILE_DEVICE_NETWORK_FILE_SYSTEM,
};

// A host directory served as a volume: \Device\HarddiskVolumeN (or
// \Device\Mup\serverN for a network file system). Names beneath it are NT
// names, resolved beneath the root only. Mounting offers the volume to every
// filter that is filtering (instance setup with
// FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME); destroying it tears their
// instances down (FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT). Close every
// handle on a volume before destroying it.
class Volume {
public:
    // fileSystem FLT_FSTYPE_UNKNOWN means NTFS for a disk, CDFS for a CD-ROM
    // and LANMAN for a network file system. The files are the host's beneath
    // root, through the build's own file layer (POSIX or Win32).
    explicit Volume(std::filesystem::path root, DeviceType type = DeviceType::Disk,
                    FLT_FILESYSTEM_TYPE fileSystem = FLT_FSTYPE_UNKNOWN);
    // A volume over another file layer; root is only what Root() reports.
    Volume(std::unique_ptr<fs::FileLayer> layer, std::filesystem::path root,
           DeviceType type = DeviceType::Disk, FLT_FILESYSTEM_TYPE fileSystem = FLT_FSTYPE_UNKNOWN);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    const std::filesystem::path& Root() const;
    DeviceType Type() const;
    FLT_FILESYSTEM_TYPE FileSystemType() const;
    std::u16string DeviceName() const;                       // \Device\HarddiskVolume3
    std::u16string GuidName() const;                         // \??\Volume{...}
    std::u16string NtName(std::string_view relative) const;  // DeviceName + "\" + relative with '\'
    // An instance of no filter on this volume: opens, reads and queries
    // through it reach the file system directly. For tools and tests that
    // call the driver's routines without loading it.
    PFLT_INSTANCE Instance() const;
    PFLT_VOLUME FltVolume() const;
    // The device's sector size, set before any open: from then on unbuffered
    // and paging transfers must be whole sectors, in offset and length, or
    // fail with STATUS_INVALID_PARAMETER. Volumes check nothing until set,
    // so that every outcome on an ordinary volume stays as it was.
    void SetSectorSize(ULONG bytes);

    struct Impl;
    Impl* Get() const { return impl_; }

private:
    Impl* impl_;
};

// Host files held open by file objects.
size_t OpenFileCount();

}  // namespace host
