// Mounting a volume: the file system makes its volume record, the Filter
// Manager attaches its own above it, and only then is the volume found by
// name and offered to the filters; dismounting undoes it in reverse.
#include "platform/host/iomgr/internal.h"

namespace host {

Volume::Volume(std::filesystem::path root, DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : Volume(fs::NewHostLayer(root), root, type, fileSystem) {}

Volume::Volume(std::unique_ptr<fs::FileLayer> layer, std::filesystem::path root, DeviceType type,
               FLT_FILESYSTEM_TYPE fileSystem)
    : impl_(fs::NewVolume(std::move(layer), std::move(root), type, fileSystem)) {
    auto* attached = new _FLT_VOLUME();
    attached->volume = impl_;
    attached->instance.volume = impl_;
    impl_->attached = attached;
    fs::MountVolume(impl_);
    fltmgr::AttachFilters(impl_);
}

Volume::~Volume() {
    // The lazy closer finishes with this volume's streams first, and any it
    // is releasing now.
    FlushLazyClose();
    fltmgr::ReleaseDetached(fs::TearDownCachedStreams(impl_));
    fltmgr::DetachFilters(impl_);
    fs::DismountVolume(impl_);
    delete impl_->attached;
    delete impl_;
}

PFLT_INSTANCE Volume::Instance() const { return &impl_->attached->instance; }
PFLT_VOLUME Volume::FltVolume() const { return impl_->attached; }

}  // namespace host
