// The volume record: a file layer mounted with a device name, a volume GUID
// name and a device type, offered to the filters as it mounts.
#include <algorithm>
#include <cstdio>

#include "platform/host/fs/internal.h"
#include "platform/host/iomgr/iomgr.h"
#include "platform/host/rtl/rtl.h"

namespace host {
namespace {

std::vector<Volume::Impl*>& gVolumes = *new std::vector<Volume::Impl*>();  // under detail::Lock()
unsigned gNextVolume = 1;

// What a volume's type and number imply: its file system when none was
// given, \Device\HarddiskVolumeN (or \Device\Mup\serverN), its volume GUID
// name, and its bare Filter Manager objects.
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
    volume->fltVolume.volume = volume;
    volume->instance.volume = volume;
}

}  // namespace

Volume::Volume(std::filesystem::path root, DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : Volume(fs::NewHostLayer(root), root, type, fileSystem) {}

Volume::Volume(std::unique_ptr<fs::FileLayer> layer, std::filesystem::path root, DeviceType type,
               FLT_FILESYSTEM_TYPE fileSystem)
    : impl_(new Impl()) {
    impl_->layer = std::move(layer);
    impl_->root = std::move(root);
    impl_->type = type;
    {
        std::lock_guard<std::mutex> lock(detail::Lock());
        impl_->number = gNextVolume++;
        gVolumes.push_back(impl_);
    }
    NameVolume(impl_, fileSystem);
    detail::AttachFilters(impl_);
}

Volume::~Volume() {
    // The lazy closer finishes with this volume's streams first, and any it
    // is releasing now.
    FlushLazyClose();
    detail::ReleaseDetached(detail::FsTearDownCachedStreams(impl_));
    detail::DetachFilters(impl_);
    {
        std::lock_guard<std::mutex> lock(detail::Lock());
        std::erase(gVolumes, impl_);
    }
    delete impl_;
}

const std::filesystem::path& Volume::Root() const { return impl_->root; }
DeviceType Volume::Type() const { return impl_->type; }
FLT_FILESYSTEM_TYPE Volume::FileSystemType() const { return impl_->fileSystem; }
std::u16string Volume::DeviceName() const { return impl_->deviceName; }
std::u16string Volume::GuidName() const { return impl_->guidName; }
PFLT_INSTANCE Volume::Instance() const { return &impl_->instance; }
PFLT_VOLUME Volume::FltVolume() const { return &impl_->fltVolume; }
void Volume::SetSectorSize(ULONG bytes) { impl_->sectorSize = bytes; }

std::u16string Volume::NtName(std::string_view relative) const {
    std::u16string rest = Utf16(relative);
    std::replace(rest.begin(), rest.end(), u'/', u'\\');
    return impl_->deviceName + (rest.empty() || rest[0] != u'\\' ? u"\\" : u"") + rest;
}

namespace detail {

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

}  // namespace detail
}  // namespace host
