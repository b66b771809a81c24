#include "tools/replayed_layer.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host.h"
#include "tools/reader/layout.h"
#include "vhdx/vhdx.h"

namespace tool {

namespace fs = host::fs;

// The bytes of the file once replayed, over the file as it is: runs of the
// log's data sectors and zeros, and the two headers, none overlapping; the
// file's own bytes everywhere else, zeros past its end.
struct ReplayedLayer::View {
    struct Run {
        uint64_t end;
        const uint8_t* data;  // null: zeros
    };
    Log log;  // owns the data sectors the runs point into
    std::array<HeaderBytes, 2> headers;
    std::map<uint64_t, Run> runs;  // by first offset
    uint64_t size = 0;

    // [begin, end) becomes data (or zeros), over whatever was there.
    void Put(uint64_t begin, uint64_t end, const uint8_t* data) {
        auto it = runs.lower_bound(begin);
        if (it != runs.begin()) {
            auto before = std::prev(it);
            const Run whole = before->second;
            if (whole.end > begin) {
                before->second.end = begin;
                if (whole.end > end) {
                    runs.emplace(end, Run{whole.end, whole.data ? whole.data + (end - before->first)
                                                                : nullptr});
                }
            }
        }
        while (it != runs.end() && it->first < end) {
            if (it->second.end > end) {
                const Run rest{it->second.end,
                               it->second.data ? it->second.data + (end - it->first) : nullptr};
                runs.erase(it);
                runs.emplace(end, rest);
                break;
            }
            it = runs.erase(it);
        }
        runs.emplace(begin, Run{end, data});
    }

    // Over buffer, which holds the file's bytes at [offset, offset + length).
    void Overlay(uint64_t offset, uint64_t length, uint8_t* buffer) const {
        const uint64_t end = offset + length;
        auto it = runs.upper_bound(offset);
        if (it != runs.begin() && std::prev(it)->second.end > offset) {
            --it;
        }
        for (; it != runs.end() && it->first < end; ++it) {
            const uint64_t from = std::max(it->first, offset);
            const uint64_t to = std::min(it->second.end, end);
            if (it->second.data != nullptr) {
                std::memcpy(buffer + (from - offset), it->second.data + (from - it->first),
                            to - from);
            } else {
                std::memset(buffer + (from - offset), 0, to - from);
            }
        }
    }
};

namespace {

// Every file the layer hands out: the host layer's, and its view.
struct LayerFile : fs::File {
    fs::File* inner;
    std::shared_ptr<const ReplayedLayer::View> view;
    explicit LayerFile(fs::File* file) : inner(file) {}
};

LayerFile* Of(fs::File* file) { return static_cast<LayerFile*>(file); }

// An open file of the host layer, for the full reader.
class InnerFile : public HostFile {
public:
    InnerFile(fs::FileLayer& layer, fs::File* file, uint64_t size)
        : HostFile(size), layer_(layer), file_(file) {}
    size_t ReadAt(uint64_t offset, void* buffer, size_t length) const override {
        auto* out = (uint8_t*)buffer;
        size_t done = 0;
        while (done < length && offset + done < Size()) {
            ULONG got = 0;
            const ULONG want = (ULONG)std::min<size_t>(length - done, 1u << 30);
            if (!NT_SUCCESS(layer_.Read(file_, offset + done, want, out + done, &got)) ||
                got == 0) {
                break;
            }
            done += got;
        }
        std::memset(out + done, 0, length - done);
        return done;
    }

private:
    fs::FileLayer& layer_;
    fs::File* file_;
};

// A file smaller than this holds no log: the log lies past the first MiB.
constexpr uint64_t kSmallestWithLog = 1 << 20;

bool WouldWrite(const fs::OpenRequest& request) {
    return (request.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 ||
           request.disposition == FILE_SUPERSEDE || request.disposition == FILE_OVERWRITE ||
           request.disposition == FILE_OVERWRITE_IF;
}

}  // namespace

std::string NoticeLine(const LogNotice& n, const std::string& shown) {
    if (!n.applied) {
        return "pontor: " + shown + ": warning: its log cannot be replayed (" + n.problem +
               "); served as it stands, which may be stale; 'pontor check " + shown + "' says more";
    }
    return "pontor: " + shown + ": its log was not replayed; " + std::to_string(n.entries) +
           (n.entries == 1 ? " entry" : " entries") + " (sequence " +
           std::to_string(n.firstSequence) + " to " + std::to_string(n.lastSequence) +
           ") applied in memory, as Windows applies them when it attaches the disk; the file "
           "is unchanged (--ignore-log serves it as it stands)";
}

ReplayedLayer::ReplayedLayer(std::unique_ptr<fs::FileLayer> inner,
                             std::function<void(const LogNotice&)> notify)
    : inner_(std::move(inner)), notify_(std::move(notify)) {}

ReplayedLayer::~ReplayedLayer() = default;

std::shared_ptr<const ReplayedLayer::View> ReplayedLayer::ViewOf(fs::File* file,
                                                                 const std::u16string& normalized) {
    fs::FileFacts facts;
    if (!NT_SUCCESS(inner_->Describe(file, &facts)) || facts.directory ||
        facts.size <= kSmallestWithLog) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = std::make_pair(facts.device, facts.index);
    const auto found = known_.find(key);
    if (found != known_.end() && found->second.size == facts.size &&
        found->second.lastWriteTime == facts.lastWriteTime &&
        found->second.changeTime == facts.changeTime) {
        return found->second.view;
    }
    uint8_t signature[8] = {};
    ULONG got = 0;
    if (!NT_SUCCESS(inner_->Read(file, 0, sizeof signature, signature, &got)) ||
        got != sizeof signature || VhdxLoad64(signature) != VHDX_FILE_SIGNATURE) {
        return nullptr;
    }
    const InnerFile source(*inner_, file, facts.size);
    Layout layout = ReadLayout(source);
    std::shared_ptr<View> view;
    LogNotice notice;
    notice.image =
        host::Utf8(normalized.substr(normalized.empty() || normalized[0] != u'\\' ? 0 : 1));
    std::replace(notice.image.begin(), notice.image.end(), '\\', '/');
    if (layout.log.state == Log::State::Replayable) {
        view = std::make_shared<View>();
        const HeaderCopy& current = *layout.Current();
        uint8_t header[VHDX_HEADER_SIZE];
        source.ReadAt(current.offset, header, sizeof header);
        view->headers = ReplayedHeaders(header, layout.currentHeader, current, layout.log);
        view->log = std::move(layout.log);
        view->size = view->log.finalSize;
        for (const LogEntry& entry : view->log.entries) {
            for (const LogUpdate& u : entry.updates) {
                view->Put(u.fileOffset, u.fileOffset + u.length,
                          u.zero ? nullptr : u.sector.data());
            }
        }
        for (int copy = 0; copy < 2; copy++) {
            const uint64_t at = (copy + 1) * (uint64_t)VHDX_HEADER_OFFSET;
            view->Put(at, at + VHDX_HEADER_SIZE, view->headers[copy].data());
        }
        const std::vector<LogEntry>& entries = view->log.entries;
        notice.applied = true;
        notice.entries = entries.size();
        notice.firstSequence = entries.front().header.SequenceNumber;
        notice.lastSequence = entries.back().header.SequenceNumber;
    } else if (layout.Current() != nullptr && layout.log.state != Log::State::None) {
        notice.problem = layout.log.problem;
    }
    known_[key] = Known{facts.size, facts.lastWriteTime, facts.changeTime, view};
    if (notify_ && (notice.applied || !notice.problem.empty())) {
        notify_(notice);
    }
    return view;
}

bool ReplayedLayer::Examine(const std::vector<std::u16string>& components, bool caseInsensitive) {
    fs::OpenRequest request;
    request.components = components;
    request.access = FILE_READ_DATA;
    request.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    request.disposition = FILE_OPEN;
    request.options = FILE_NON_DIRECTORY_FILE;
    request.caseInsensitive = caseInsensitive;
    request.stopOnSymlink = true;
    request.targetDirectory = false;
    fs::Opened opened;
    if (!NT_SUCCESS(inner_->Open(request, &opened))) {
        return false;
    }
    const bool replayed = ViewOf(opened.file, opened.normalized) != nullptr;
    inner_->Close(opened.file);
    return replayed;
}

NTSTATUS ReplayedLayer::Open(const fs::OpenRequest& request, fs::Opened* opened) {
    // The file as it stands is not what readers see: it takes no writes.
    if (WouldWrite(request) && !request.targetDirectory &&
        Examine(request.components, request.caseInsensitive)) {
        return STATUS_ACCESS_DENIED;
    }
    const NTSTATUS status = inner_->Open(request, opened);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file = new LayerFile(opened->file);
    if (!request.targetDirectory) {
        file->view = ViewOf(file->inner, opened->normalized);
    }
    opened->file = file;
    return status;
}

NTSTATUS ReplayedLayer::OpenRoot(fs::File** file) {
    fs::File* root = nullptr;
    const NTSTATUS status = inner_->OpenRoot(&root);
    if (NT_SUCCESS(status)) {
        *file = new LayerFile(root);
    }
    return status;
}

NTSTATUS ReplayedLayer::Normalize(const std::vector<std::u16string>& components,
                                  bool caseInsensitive, std::u16string* normalized) {
    return inner_->Normalize(components, caseInsensitive, normalized);
}

NTSTATUS ReplayedLayer::Read(fs::File* file, uint64_t offset, ULONG length, void* buffer,
                             ULONG* done) {
    return ReadFile(file, offset, length, buffer, false, done);
}

NTSTATUS ReplayedLayer::ReadCached(fs::File* file, uint64_t offset, ULONG length, void* buffer,
                                   ULONG* done) {
    return ReadFile(file, offset, length, buffer, true, done);
}

NTSTATUS ReplayedLayer::ReadFile(fs::File* file, uint64_t offset, ULONG length, void* buffer,
                                 bool cached, ULONG* done) {
    LayerFile* f = Of(file);
    const auto read = [&](ULONG bytes, ULONG* got) {
        return cached ? inner_->ReadCached(f->inner, offset, bytes, buffer, got)
                      : inner_->Read(f->inner, offset, bytes, buffer, got);
    };
    if (!f->view) {
        return read(length, done);
    }
    *done = 0;
    if (offset >= f->view->size) {
        return STATUS_SUCCESS;
    }
    const ULONG wanted = (ULONG)std::min<uint64_t>(length, f->view->size - offset);
    ULONG got = 0;
    const NTSTATUS status = read(wanted, &got);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::memset((uint8_t*)buffer + got, 0, wanted - got);  // the file grows by zeros
    f->view->Overlay(offset, wanted, (uint8_t*)buffer);
    *done = wanted;
    return STATUS_SUCCESS;
}

NTSTATUS ReplayedLayer::Write(fs::File* file, uint64_t offset, ULONG length, const void* buffer,
                              ULONG* done) {
    LayerFile* f = Of(file);
    if (f->view) {
        *done = 0;
        return STATUS_ACCESS_DENIED;
    }
    return inner_->Write(f->inner, offset, length, buffer, done);
}

NTSTATUS ReplayedLayer::Describe(fs::File* file, fs::FileFacts* facts) {
    LayerFile* f = Of(file);
    const NTSTATUS status = inner_->Describe(f->inner, facts);
    if (NT_SUCCESS(status) && f->view) {
        facts->size = f->view->size;
        facts->readOnly = true;
    }
    return status;
}

void ReplayedLayer::Close(fs::File* file) {
    LayerFile* f = Of(file);
    inner_->Close(f->inner);
    delete f;
}

}  // namespace tool
