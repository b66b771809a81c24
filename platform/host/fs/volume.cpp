// The volume record: a file layer with a device name, a volume GUID name
// and a device type; the mounted volumes, found by name; and the platform's
// structural lock.
#include <algorithm>
#include <cstdio>

#include "platform/host/fs/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host {
namespace {

std::mutex gLock;
std::vector<Volume::Impl*>& gVolumes = *new std::vector<Volume::Impl*>();  // under gLock
std::atomic<unsigned> gNextVolume{1};

// What a volume's type and number imply: its file system when none was
// given, \Device\HarddiskVolumeN (or \Device\Mup\serverN) and its volume
// GUID name.
void NameVolume(Volume::Impl* volume, FLT_FILESYSTEM_TYPE fileSystem) {
    const bool network = volume->type == DeviceType::NetworkFileSystem;
    if (fileSystem == FLT_FSTYPE_UNKNOWN) {
        fileSystem = network                             ? FLT_FSTYPE_LANMAN
                     : volume->type == DeviceType::CdRom ? FLT_FSTYPE_CDFS
                                                         : FLT_FSTYPE_NTFS;
    }
    volume->fileSystem = fileSystem;
    const std::string n = std::to_string(volume->number);
    volume->deviceName =
        Utf16(network ? "\\Device\\Mup\\server" + n : "\\Device\\HarddiskVolume" + n);
    char guid[64];
    std::snprintf(guid, sizeof guid, "\\??\\Volume{%08x-0000-4000-8000-%012x}", volume->number,
                  volume->number);
    volume->guidName = Utf16(guid);
}

}  // namespace

const std::filesystem::path& Volume::Root() const { return impl_->root; }
DeviceType Volume::Type() const { return impl_->type; }
FLT_FILESYSTEM_TYPE Volume::FileSystemType() const { return impl_->fileSystem; }
std::u16string Volume::DeviceName() const { return impl_->deviceName; }
std::u16string Volume::GuidName() const { return impl_->guidName; }
void Volume::SetSectorSize(ULONG bytes) { impl_->sectorSize = bytes; }

std::u16string Volume::NtName(std::string_view relative) const {
    std::u16string rest = Utf16(relative);
    std::replace(rest.begin(), rest.end(), u'/', u'\\');
    return impl_->deviceName + (rest.empty() || rest[0] != u'\\' ? u"\\" : u"") + rest;
}

namespace fs {

std::mutex& Lock() { return gLock; }

Volume::Impl* NewVolume(std::unique_ptr<fs::FileLayer> layer, std::filesystem::path root,
                        DeviceType type, FLT_FILESYSTEM_TYPE fileSystem) {
    auto* volume = new Volume::Impl();
    volume->layer = std::move(layer);
    volume->root = std::move(root);
    volume->type = type;
    volume->number = gNextVolume++;
    NameVolume(volume, fileSystem);
    return volume;
}

void MountVolume(Volume::Impl* volume) {
    std::lock_guard<std::mutex> lock(Lock());
    gVolumes.push_back(volume);
}

void DismountVolume(Volume::Impl* volume) {
    std::lock_guard<std::mutex> lock(Lock());
    std::erase(gVolumes, volume);
}

std::vector<Volume::Impl*> Volumes() {
    std::lock_guard<std::mutex> lock(Lock());
    return gVolumes;
}

Volume::Impl* FindVolume(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(Lock());
    for (Volume::Impl* v : gVolumes) {
        const std::u16string& device = v->deviceName;
        if (name.size() >= device.size() &&
            fs::EqualNoCase(name.substr(0, device.size()), device) &&
            (name.size() == device.size() || name[device.size()] == u'\\')) {
            return v;
        }
    }
    return nullptr;
}

}  // namespace fs
}  // namespace host
