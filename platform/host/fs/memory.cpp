// The in-memory file layer. Each file's data is a map of extents over
// holes that read as zeros; names are resolved as the POSIX layer resolves
// them (exactly first, then without regard to case when asked), and a
// symbolic link stops an open the same way. One reader-writer lock per
// volume: reads share it, everything that changes a file or a directory
// takes it alone.
#include "platform/host/fs/memory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <shared_mutex>

#include "platform/host/fs/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host::fs {
namespace {

constexpr uint64_t kPage = 4096;
// Extents of at most 64 KiB: allocations that small are recycled by the
// sanitizers' allocators, where larger ones are fresh pages every time.
constexpr size_t kExtent = 64 << 10;
const uint8_t kZeros[kPage] = {};
std::atomic<uint64_t> gNextDevice{0x4D454D0000000000ULL};  // "MEM": never a host device number

LONGLONG Now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 +
           11644473600LL * 10000000LL;
}

bool IsZero(const uint8_t* p, size_t n) { return std::memcmp(p, kZeros, n) == 0; }

enum class Kind { File, Directory, Link };

struct Node {
    Kind kind = Kind::File;
    std::u16string name;  // stored spelling
    uint64_t index = 0;
    bool readOnly = false;
    LONGLONG created = 0, written = 0;
    std::map<std::u16string, std::shared_ptr<Node>> children;
    std::map<uint64_t, std::vector<uint8_t>> extents;  // by file offset, never overlapping
    uint64_t size = 0;

    // Drops every byte in [begin, end), splitting the extents it cuts.
    void Punch(uint64_t begin, uint64_t end) {
        auto it = extents.upper_bound(begin);
        if (it != extents.begin()) {
            auto prev = std::prev(it);
            const uint64_t prevEnd = prev->first + prev->second.size();
            if (prevEnd > begin) {
                if (prevEnd > end) {
                    extents.emplace(end, std::vector<uint8_t>(
                                             prev->second.begin() + (ptrdiff_t)(end - prev->first),
                                             prev->second.end()));
                }
                prev->second.resize(begin - prev->first);
                if (prev->second.empty()) {
                    extents.erase(prev);
                }
            }
        }
        it = extents.lower_bound(begin);
        while (it != extents.end() && it->first < end) {
            if (it->first + it->second.size() > end) {
                extents.emplace(
                    end, std::vector<uint8_t>(it->second.begin() + (ptrdiff_t)(end - it->first),
                                              it->second.end()));
            }
            it = extents.erase(it);
        }
    }

    // Writes over [offset, offset + n): whole zero pages become holes.
    void Write(uint64_t offset, const uint8_t* data, size_t n) {
        Punch(offset, offset + n);
        size_t at = 0;
        auto pageEnd = [&](size_t from) {
            return std::min<size_t>(n, from + (size_t)(kPage - (offset + from) % kPage));
        };
        while (at < n) {
            size_t next = pageEnd(at);
            if (IsZero(data + at, next - at)) {
                at = next;
                continue;
            }
            const size_t start = at;
            while (at < n && at - start < kExtent &&
                   !IsZero(data + at, (next = pageEnd(at)) - at)) {
                at = next;
            }
            extents.emplace(offset + start, std::vector<uint8_t>(data + start, data + at));
        }
        size = std::max<uint64_t>(size, offset + n);
        written = Now();
    }

    void Resize(uint64_t length) {
        if (length < size) {
            Punch(length, UINT64_MAX);
        }
        size = length;
        written = Now();
    }

    size_t Read(uint64_t offset, size_t length, uint8_t* buffer) const {
        if (offset >= size) {
            return 0;
        }
        const size_t n = (size_t)std::min<uint64_t>(length, size - offset);
        const uint64_t end = offset + n;
        auto it = extents.upper_bound(offset);
        if (it != extents.begin()) {
            --it;
        }
        uint64_t filled = offset;  // below it, the buffer holds its bytes
        for (; it != extents.end() && it->first < end; ++it) {
            const uint64_t from = std::max(it->first, offset);
            const uint64_t to = std::min<uint64_t>(it->first + it->second.size(), end);
            if (from < to) {
                std::memset(buffer + (filled - offset), 0, from - filled);  // a hole
                std::memcpy(buffer + (from - offset), it->second.data() + (from - it->first),
                            to - from);
                filled = to;
            }
        }
        std::memset(buffer + (filled - offset), 0, end - filled);
        return n;
    }

    uint64_t Allocation() const {
        uint64_t bytes = 0;
        for (const auto& [at, data] : extents) {
            bytes += (at + data.size() + kPage - 1) / kPage * kPage - at / kPage * kPage;
        }
        return bytes;
    }
};

struct MemoryFile : File {
    MemoryFile(std::shared_ptr<Node> n, bool w) : node(std::move(n)), writable(w) {}
    std::shared_ptr<Node> node;
    const bool writable;  // opened for writing, as a descriptor is
};

Node* NodeOf(File* file) { return static_cast<MemoryFile*>(file)->node.get(); }

// A name resolved beneath the root: the directory that holds its last
// component, and that component's node if it exists.
struct Resolved {
    std::shared_ptr<Node> parent;
    std::u16string last;  // stored spelling, or as given when missing
    std::shared_ptr<Node> node;
    std::u16string normalized;
};

}  // namespace

class MemoryLayer : public FileLayer {
public:
    MemoryLayer() : device_(gNextDevice++) { root_ = NewNode(Kind::Directory, u""); }

    NTSTATUS OpenRoot(File** file) override {
        *file = new MemoryFile(root_, false);
        return STATUS_SUCCESS;
    }

    NTSTATUS Open(const OpenRequest& p, Opened* opened) override {
        std::unique_lock<std::shared_mutex> lock(mutex);
        Resolved r;
        const NTSTATUS status = Resolve(p.components, p.caseInsensitive, p.stopOnSymlink, &r);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (p.targetDirectory) {
            opened->information = r.node ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
            opened->normalized = r.normalized.substr(0, r.normalized.rfind(u'\\'));
            opened->file = new MemoryFile(r.parent, false);
            return STATUS_SUCCESS;
        }
        std::shared_ptr<Node> node = r.node;
        const bool directory =
            node ? node->kind == Kind::Directory : (p.options & FILE_DIRECTORY_FILE) != 0;
        const Disposition d = Decide(p, node != nullptr, directory, node && node->readOnly);
        if (!NT_SUCCESS(d.status)) {
            return d.status;
        }
        if (!node) {
            node = NewNode(directory ? Kind::Directory : Kind::File, r.last);
            r.parent->children[r.last] = node;
        } else if (d.overwrite) {
            node->Resize(0);
        }
        opened->information = d.information;
        opened->normalized = r.normalized;
        opened->file = new MemoryFile(std::move(node), d.writable);
        return STATUS_SUCCESS;
    }

    NTSTATUS Normalize(const std::vector<std::u16string>& components, bool caseInsensitive,
                       std::u16string* normalized) override {
        std::shared_lock<std::shared_mutex> lock(mutex);
        Resolved r;
        const NTSTATUS status = Resolve(components, caseInsensitive, true, &r);
        *normalized = r.normalized;
        return status;
    }

    NTSTATUS Read(File* file, uint64_t offset, ULONG length, void* buffer, ULONG* done) override {
        std::shared_lock<std::shared_mutex> lock(mutex);
        *done = 0;
        const Node* node = NodeOf(file);
        if (node->kind != Kind::File) {
            return STATUS_IO_DEVICE_ERROR;  // as a read of a directory descriptor fails
        }
        *done = (ULONG)node->Read(offset, length, (uint8_t*)buffer);
        return STATUS_SUCCESS;
    }

    NTSTATUS Write(File* file, uint64_t offset, ULONG length, const void* buffer,
                   ULONG* done) override {
        std::unique_lock<std::shared_mutex> lock(mutex);
        *done = 0;
        if (!static_cast<MemoryFile*>(file)->writable) {
            return STATUS_ACCESS_DENIED;
        }
        NodeOf(file)->Write(offset, (const uint8_t*)buffer, length);
        *done = length;
        return STATUS_SUCCESS;
    }

    NTSTATUS Describe(File* file, FileFacts* facts) override {
        std::shared_lock<std::shared_mutex> lock(mutex);
        const Node* node = NodeOf(file);
        facts->directory = node->kind == Kind::Directory;
        facts->readOnly = node->readOnly;
        facts->size = facts->directory ? 0 : node->size;
        facts->allocation = node->Allocation();
        facts->links = 1;
        facts->device = device_;
        facts->index = node->index;
        facts->creationTime = node->created;
        facts->lastAccessTime = node->written;
        facts->lastWriteTime = node->written;
        facts->changeTime = node->written;
        return STATUS_SUCCESS;
    }

    void Close(File* file) override { delete file; }

    // ---- The host side ----

    // The node of a "a/b" name, created (with its directories) as kind when
    // asked; null when missing or when a component is not a directory.
    std::shared_ptr<Node> Find(std::string_view name, bool create, Kind kind = Kind::File) {
        std::shared_ptr<Node> dir = root_;
        size_t at = 0;
        for (;;) {
            const size_t slash = std::min(name.find('/', at), name.size());
            const std::u16string component = Utf16(name.substr(at, slash - at));
            const bool last = slash == name.size();
            auto it = dir->children.find(component);
            std::shared_ptr<Node> next;
            if (it != dir->children.end()) {
                next = it->second;
            } else if (create) {
                next = NewNode(last ? kind : Kind::Directory, component);
                dir->children[component] = next;
            } else {
                return nullptr;
            }
            if (last) {
                return next;
            }
            if (next->kind != Kind::Directory) {
                return nullptr;
            }
            dir = next;
            at = slash + 1;
        }
    }

    std::shared_mutex mutex;

private:
    std::shared_ptr<Node> NewNode(Kind kind, std::u16string name) {
        auto node = std::make_shared<Node>();
        node->kind = kind;
        node->name = std::move(name);
        node->index = ++nextIndex_;
        node->created = node->written = Now();
        return node;
    }

    NTSTATUS Resolve(const std::vector<std::u16string>& components, bool caseInsensitive,
                     bool stopOnSymlink, Resolved* r) {
        std::shared_ptr<Node> dir = root_;
        r->parent = dir;
        for (size_t i = 0; i < components.size(); i++) {
            const bool last = i + 1 == components.size();
            std::shared_ptr<Node> found;
            auto it = dir->children.find(components[i]);
            if (it != dir->children.end()) {
                found = it->second;
            } else if (caseInsensitive) {
                for (const auto& [name, child] : dir->children) {
                    if (EqualNoCase(name, components[i])) {
                        found = child;
                        break;
                    }
                }
            }
            if (!found) {
                if (!last) {
                    return STATUS_OBJECT_PATH_NOT_FOUND;
                }
                r->last = components[i];
                r->normalized += u"\\" + components[i];
                return STATUS_SUCCESS;
            }
            if (found->kind == Kind::Link) {
                return stopOnSymlink ? STATUS_STOPPED_ON_SYMLINK : STATUS_ACCESS_DENIED;
            }
            r->normalized += u"\\" + found->name;
            if (last) {
                r->last = found->name;
                r->node = found;
                return STATUS_SUCCESS;
            }
            if (found->kind != Kind::Directory) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            dir = found;
            r->parent = dir;
        }
        return STATUS_SUCCESS;
    }

    const uint64_t device_;
    uint64_t nextIndex_ = 0;
    std::shared_ptr<Node> root_;
};

}  // namespace host::fs

namespace host {

MemoryVolume::MemoryVolume(DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : Volume(std::make_unique<fs::MemoryLayer>(), {}, type, fileSystem) {}

fs::MemoryLayer& MemoryVolume::Files() const {
    return static_cast<fs::MemoryLayer&>(*Volume::Get()->layer);
}

void MemoryVolume::Put(std::string_view name, const void* bytes, size_t size) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    if (auto node = files.Find(name, true)) {
        node->Resize(0);
        node->Write(0, (const uint8_t*)bytes, size);
    }
}

void MemoryVolume::Patch(std::string_view name, uint64_t offset, const void* bytes, size_t size) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    if (auto node = files.Find(name, false)) {
        node->Write(offset, (const uint8_t*)bytes, size);
    }
}

void MemoryVolume::Resize(std::string_view name, uint64_t size) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    if (auto node = files.Find(name, false)) {
        node->Resize(size);
    }
}

std::vector<uint8_t> MemoryVolume::Get(std::string_view name, uint64_t offset,
                                       size_t length) const {
    fs::MemoryLayer& files = Files();
    std::shared_lock<std::shared_mutex> lock(files.mutex);
    std::vector<uint8_t> bytes;
    auto node = files.Find(name, false);
    if (node && offset < node->size) {
        bytes.resize((size_t)std::min<uint64_t>(length, node->size - offset));
        node->Read(offset, bytes.size(), bytes.data());
    }
    return bytes;
}

bool MemoryVolume::Exists(std::string_view name) const {
    fs::MemoryLayer& files = Files();
    std::shared_lock<std::shared_mutex> lock(files.mutex);
    return files.Find(name, false) != nullptr;
}

void MemoryVolume::MakeDirectory(std::string_view name) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    files.Find(name, true, fs::Kind::Directory);
}

void MemoryVolume::MakeLink(std::string_view name) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    files.Find(name, true, fs::Kind::Link);
}

void MemoryVolume::SetReadOnly(std::string_view name, bool readOnly) {
    fs::MemoryLayer& files = Files();
    std::unique_lock<std::shared_mutex> lock(files.mutex);
    if (auto node = files.Find(name, false)) {
        node->readOnly = readOnly;
    }
}

uint64_t MemoryVolume::Index(std::string_view name) const {
    fs::MemoryLayer& files = Files();
    std::shared_lock<std::shared_mutex> lock(files.mutex);
    auto node = files.Find(name, false);
    return node ? node->index : 0;
}

}  // namespace host
