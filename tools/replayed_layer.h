// The tool's file layer over the host's: an image whose log was not replayed
// is presented with its log applied in memory, as Windows applies it when it
// attaches the disk, so that the driver above, unchanged, binds and serves
// the disk as it now is. The file itself is only read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/host/fs/layer.h"

namespace tool {

// What the layer found in an image the first time it was opened (and again
// when the file changed): a log applied, or one that cannot be.
struct LogNotice {
    std::string image;  // volume-relative, '/'-separated
    bool applied = false;
    size_t entries = 0;
    uint64_t firstSequence = 0, lastSequence = 0;
    std::string problem;  // why it cannot be replayed
};

// The line the tool prints for a notice, naming the image as shown.
std::string NoticeLine(const LogNotice& notice, const std::string& shown);

class ReplayedLayer : public host::fs::FileLayer {
public:
    // notify is called, under the layer's lock, once for each image state.
    ReplayedLayer(std::unique_ptr<host::fs::FileLayer> inner,
                  std::function<void(const LogNotice&)> notify);
    ~ReplayedLayer() override;

    // Looks at a file as an open would, to report on it before anyone asks;
    // true when it is presented replayed, and so takes no writes.
    bool Examine(const std::vector<std::u16string>& components, bool caseInsensitive = false);

    NTSTATUS Open(const host::fs::OpenRequest& request, host::fs::Opened* opened) override;
    NTSTATUS OpenRoot(host::fs::File** file) override;
    NTSTATUS Normalize(const std::vector<std::u16string>& components, bool caseInsensitive,
                       std::u16string* normalized) override;
    NTSTATUS Read(host::fs::File* file, uint64_t offset, ULONG length, void* buffer,
                  ULONG* done) override;
    NTSTATUS ReadCached(host::fs::File* file, uint64_t offset, ULONG length, void* buffer,
                        ULONG* done) override;
    NTSTATUS Write(host::fs::File* file, uint64_t offset, ULONG length, const void* buffer,
                   ULONG* done) override;
    NTSTATUS Describe(host::fs::File* file, host::fs::FileFacts* facts) override;
    void Close(host::fs::File* file) override;

    struct View;

private:
    NTSTATUS ReadFile(host::fs::File* file, uint64_t offset, ULONG length, void* buffer,
                      bool cached, ULONG* done);
    // The view of an opened file, null for one served as it is.
    std::shared_ptr<const View> ViewOf(host::fs::File* file, const std::u16string& normalized);

    struct Known {
        uint64_t size;
        LONGLONG lastWriteTime, changeTime;
        std::shared_ptr<const View> view;
    };
    std::unique_ptr<host::fs::FileLayer> inner_;
    std::function<void(const LogNotice&)> notify_;
    std::mutex mutex_;
    std::map<std::pair<uint64_t, uint64_t>, Known> known_;  // VHDX files by device and index
};

}  // namespace tool
