// The driver image loader: a small PE32+ loader in the manner of the Windows
// and ReactOS system-image loaders. Every field is read from the file with a
// bounds check first; the image is refused, with one line naming why,
// wherever Windows would refuse it.
#include "platform/host/loader/loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/host/ke/internal.h"
#include "platform/host/loader/seh.h"

namespace host {
namespace {

// PE constants (winnt.h).
constexpr uint16_t kDosMagic = 0x5a4d;     // "MZ"
constexpr uint32_t kNtSignature = 0x4550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kScnMemDiscardable = 0x02000000;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryException = 3;
constexpr int kDirectoryBaseReloc = 5;
constexpr int kRelBasedAbsolute = 0;
constexpr int kRelBasedDir64 = 10;
constexpr uint64_t kOrdinalFlag = 1ull << 63;

// Offsets within the headers (IMAGE_NT_HEADERS64 and its parts).
constexpr size_t kFileHeader = 4;  // after the signature
constexpr size_t kOptionalHeader = kFileHeader + 20;
constexpr size_t kOptImageBase = 24, kOptSectionAlignment = 32, kOptSizeOfImage = 56,
                 kOptSizeOfHeaders = 60, kOptSubsystem = 68, kOptNumberOfRvaAndSizes = 108,
                 kOptDataDirectory = 112, kOptEntryPoint = 16;
constexpr size_t kSectionHeaderSize = 40;

std::atomic<size_t> gMappedImages{0};

size_t PageSize() { return (size_t)sysconf(_SC_PAGESIZE); }
size_t RoundUp(size_t value, size_t to) { return (value + to - 1) / to * to; }

// Little-endian reads of a byte range that say whether they fit.
struct Bytes {
    const unsigned char* data;
    size_t size;
    template <typename T>
    bool Get(size_t offset, T* value) const {
        if (offset > size || size - offset < sizeof(T)) {
            return false;
        }
        memcpy(value, data + offset, sizeof(T));
        return true;
    }
    bool Fits(uint64_t offset, uint64_t length) const {
        return offset <= size && length <= size - offset;
    }
    // A NUL-terminated string lying wholly inside the range.
    bool String(size_t offset, std::string* value) const {
        if (offset >= size) {
            return false;
        }
        const void* end = memchr(data + offset, 0, size - offset);
        if (end == nullptr) {
            return false;
        }
        value->assign((const char*)data + offset, (const char*)end);
        return true;
    }
};

int Protection(uint32_t characteristics) {
    int protection = 0;
    if (characteristics & kScnMemRead)
        protection |= PROT_READ;
    if (characteristics & kScnMemWrite)
        protection |= PROT_WRITE;
    if (characteristics & kScnMemExecute)
        protection |= PROT_EXEC | PROT_READ;
    return protection;
}

bool SameModule(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

void* FindExport(const std::string& module, const std::string& name) {
    for (const loader::ImageExport& e : loader::ImageExports()) {
        if (SameModule(module, e.module) && name == e.name) {
            return e.address;
        }
    }
    return nullptr;
}

}  // namespace

// The steps of mapping, each refusing with its reason.
struct ImageMapper {
    Bytes file;
    std::string* error;
    std::unique_ptr<DriverImage> image{new DriverImage};
    size_t headers = 0;  // offset of the NT headers
    uint16_t sectionCount = 0;
    size_t sectionTable = 0;
    uint32_t sizeOfImage = 0, sizeOfHeaders = 0, alignment = 0, entryRva = 0;
    uint32_t directoryCount = 0;

    bool Refuse(const std::string& why) {
        *error = why;
        return false;
    }
    Bytes Mapped() const { return {(const unsigned char*)image->base_, image->size_}; }
    unsigned char* At(uint32_t rva) const { return (unsigned char*)image->base_ + rva; }

    bool Directory(int index, uint32_t* rva, uint32_t* size) {
        *rva = *size = 0;
        if ((uint32_t)index >= directoryCount) {
            return true;
        }
        const size_t at = headers + kOptionalHeader + kOptDataDirectory + 8 * (size_t)index;
        if (!file.Get(at, rva) || !file.Get(at + 4, size)) {
            return Refuse("truncated PE: the data directories pass the end of the file");
        }
        if (*size != 0 && !Mapped().Fits(*rva, *size)) {
            return Refuse("inconsistent PE: data directory " + std::to_string(index) +
                          " lies outside the image");
        }
        return true;
    }

    bool Headers() {
        uint16_t dosMagic;
        uint32_t lfanew, signature;
        if (!file.Get(0, &dosMagic) || dosMagic != kDosMagic) {
            return Refuse("not a PE image: no MZ signature");
        }
        if (!file.Get(0x3c, &lfanew)) {
            return Refuse("truncated PE: the DOS header is incomplete");
        }
        headers = lfanew;
        if (!file.Get(headers, &signature) || signature != kNtSignature) {
            return Refuse("not a PE image: no PE signature at " + Hex(lfanew));
        }
        uint16_t machine, optionalSize, characteristics, magic, subsystem = 0;
        if (!file.Get(headers + kFileHeader, &machine) ||
            !file.Get(headers + kFileHeader + 2, &sectionCount) ||
            !file.Get(headers + kFileHeader + 16, &optionalSize) ||
            !file.Get(headers + kFileHeader + 18, &characteristics) ||
            !file.Get(headers + kOptionalHeader, &magic)) {
            return Refuse("truncated PE: the file header is incomplete");
        }
        if (machine != kMachineAmd64 || magic != kPe32PlusMagic) {
            return Refuse("not an x64 (PE32+) image");
        }
        if (optionalSize < kOptDataDirectory ||
            !file.Fits(headers + kOptionalHeader, optionalSize)) {
            return Refuse("truncated PE: the optional header is incomplete");
        }
        if (!(characteristics & kFileExecutableImage)) {
            return Refuse("not an executable image");
        }
        if (characteristics & kFileDll) {
            return Refuse("a DLL, not a driver");
        }
        if (characteristics & kFileRelocsStripped) {
            return Refuse("no base relocations (stripped): the image cannot be relocated");
        }
        const size_t opt = headers + kOptionalHeader;
        file.Get(opt + kOptImageBase, &image->preferredBase_);
        file.Get(opt + kOptEntryPoint, &entryRva);
        file.Get(opt + kOptSectionAlignment, &alignment);
        file.Get(opt + kOptSizeOfImage, &sizeOfImage);
        file.Get(opt + kOptSizeOfHeaders, &sizeOfHeaders);
        file.Get(opt + kOptSubsystem, &subsystem);
        file.Get(opt + kOptNumberOfRvaAndSizes, &directoryCount);
        if (subsystem != kSubsystemNative) {
            return Refuse("subsystem " + std::to_string(subsystem) + " is not native (1)");
        }
        directoryCount = std::min<uint32_t>(directoryCount, (optionalSize - kOptDataDirectory) / 8);
        if (alignment < PageSize() || alignment % PageSize() != 0) {
            return Refuse("inconsistent PE: section alignment " + Hex(alignment) +
                          " is not a multiple of the page size");
        }
        if (sizeOfImage == 0 || sizeOfHeaders == 0 || sizeOfHeaders > sizeOfImage ||
            !file.Fits(0, sizeOfHeaders)) {
            return Refuse("truncated PE: the headers pass the end of the file or the image");
        }
        sectionTable = opt + optionalSize;
        if (sectionCount == 0 ||
            !file.Fits(sectionTable, (uint64_t)sectionCount * kSectionHeaderSize) ||
            sectionTable + (uint64_t)sectionCount * kSectionHeaderSize > sizeOfHeaders) {
            return Refuse("truncated PE: the section table passes the headers");
        }
        return true;
    }

    // Maps the whole image read-write, away from its preferred base.
    bool Reserve() {
        const size_t size = RoundUp(sizeOfImage, PageSize());
        void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED && (uint64_t)(uintptr_t)at == image->preferredBase_) {
            void* other =
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            munmap(at, size);
            at = other;
        }
        if (at == MAP_FAILED) {
            return Refuse("cannot map " + std::to_string(size) + " bytes for the image");
        }
        image->base_ = (uintptr_t)at;
        image->size_ = size;
        gMappedImages++;
        memcpy(At(0), file.data, sizeOfHeaders);
        image->sections_.push_back(
            {"headers", image->base_, RoundUp(sizeOfHeaders, PageSize()), PROT_READ});
        return true;
    }

    bool Sections() {
        uint64_t end = RoundUp(sizeOfHeaders, alignment);
        for (uint16_t i = 0; i < sectionCount; i++) {
            const size_t at = sectionTable + (size_t)i * kSectionHeaderSize;
            char rawName[9] = {};
            memcpy(rawName, file.data + at, 8);
            uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
            file.Get(at + 8, &virtualSize);
            file.Get(at + 12, &rva);
            file.Get(at + 16, &rawSize);
            file.Get(at + 20, &rawOffset);
            file.Get(at + 36, &characteristics);
            const std::string name = rawName;
            const uint64_t span = virtualSize != 0 ? virtualSize : rawSize;
            if (rva % alignment != 0 || (uint64_t)rva + span > sizeOfImage) {
                return Refuse("inconsistent PE: section " + name + " lies outside the image");
            }
            if (rva < end) {
                return Refuse("inconsistent PE: section " + name + " overlaps the one before it");
            }
            if (rawSize != 0 && !file.Fits(rawOffset, rawSize)) {
                return Refuse("truncated PE: section " + name + " passes the end of the file");
            }
            memcpy(At(rva), file.data + rawOffset, std::min<uint64_t>(rawSize, span));
            end = RoundUp(rva + span, alignment);
            image->sections_.push_back({name, image->base_ + rva, RoundUp(span, PageSize()),
                                        Protection(characteristics), characteristics});
            if (characteristics & kScnMemDiscardable) {
                image->discardable_.push_back((uint32_t)image->sections_.size() - 1);
            }
        }
        if (entryRva == 0 || entryRva >= sizeOfImage) {
            return Refuse("inconsistent PE: the entry point lies outside the image");
        }
        image->entry_ = (PDRIVER_INITIALIZE)(image->base_ + entryRva);
        return true;
    }

    bool Relocate() {
        uint32_t rva, size;
        if (!Directory(kDirectoryBaseReloc, &rva, &size)) {
            return false;
        }
        if (size == 0) {
            return Refuse("no base relocations (stripped): the image cannot be relocated");
        }
        const uint64_t delta = image->base_ - image->preferredBase_;
        const Bytes mapped = Mapped();
        for (uint32_t block = rva; block < rva + size;) {
            uint32_t page, blockSize;
            if (!mapped.Get(block, &page) || !mapped.Get(block + 4, &blockSize) || blockSize < 8 ||
                blockSize % 2 != 0 || blockSize > rva + size - block) {
                return Refuse("inconsistent PE: a base relocation block at " + Hex(block) +
                              " is malformed");
            }
            for (uint32_t entry = block + 8; entry < block + blockSize; entry += 2) {
                uint16_t word = 0;
                mapped.Get(entry, &word);
                const int type = word >> 12;
                const uint64_t target = (uint64_t)page + (word & 0xfff);
                if (type == kRelBasedAbsolute) {
                    continue;
                }
                if (type != kRelBasedDir64) {
                    return Refuse("base relocation type " + std::to_string(type) + " at " +
                                  Hex(target) + " is not supported (only DIR64)");
                }
                uint64_t value;
                if (!mapped.Get(target, &value)) {
                    return Refuse("inconsistent PE: a base relocation at " + Hex(target) +
                                  " lies outside the image");
                }
                value += delta;
                memcpy(At((uint32_t)target), &value, sizeof value);
                image->relocations_++;
            }
            block += blockSize;
        }
        return true;
    }

    bool BindImports() {
        uint32_t rva, size;
        if (!Directory(kDirectoryImport, &rva, &size)) {
            return false;
        }
        const Bytes mapped = Mapped();
        for (uint32_t descriptor = rva; size != 0; descriptor += 20) {
            uint32_t lookup, nameRva, thunks;
            if (!mapped.Get(descriptor, &lookup) || !mapped.Get(descriptor + 12, &nameRva) ||
                !mapped.Get(descriptor + 16, &thunks)) {
                return Refuse("inconsistent PE: the import table passes the end of the image");
            }
            if (nameRva == 0 && thunks == 0) {
                return true;
            }
            std::string module;
            if (!mapped.String(nameRva, &module)) {
                return Refuse("inconsistent PE: an imported module's name lies outside the image");
            }
            if (lookup == 0) {
                lookup = thunks;
            }
            for (uint32_t i = 0;; i++) {
                uint64_t thunk;
                if (!mapped.Get(lookup + 8ull * i, &thunk) || !mapped.Fits(thunks + 8ull * i, 8)) {
                    return Refuse("inconsistent PE: the imports of " + module +
                                  " pass the end of the image");
                }
                if (thunk == 0) {
                    break;
                }
                if (thunk & kOrdinalFlag) {
                    return Refuse("import " + module + "!#" + std::to_string(thunk & 0xffff) +
                                  " is by ordinal, which the host does not export");
                }
                std::string name;
                if (thunk > UINT32_MAX || !mapped.String((uint32_t)thunk + 2, &name)) {
                    return Refuse("inconsistent PE: an import name of " + module +
                                  " lies outside the image");
                }
                void* address = FindExport(module, name);
                if (address == nullptr) {
                    return Refuse("import " + module + "!" + name + " is not exported by the host");
                }
                address = seh::ImageEntry(name.c_str(), address);
                memcpy(At(thunks + 8 * i), &address, sizeof address);
            }
        }
        return true;
    }

    // Exceptions are dispatched through the image's own unwind data, so data
    // the dispatcher could not follow refuses the image here, not at the
    // first fault.
    bool UnwindData() {
        uint32_t rva, size;
        if (!Directory(kDirectoryException, &rva, &size)) {
            return false;
        }
        if (!seh::CheckUnwindData(image->base_, sizeOfImage, rva, size, error)) {
            return false;
        }
        seh::RegisterImage(image->base_, image->size_, rva, size);
        image->registered_ = true;
        return true;
    }

    // External symbols of the COFF symbol table that GNU ld keeps in the
    // image (the debugger's view of the driver's globals); none if stripped.
    void Symbols() {
        uint32_t table = 0, count = 0;
        file.Get(headers + kFileHeader + 8, &table);
        file.Get(headers + kFileHeader + 12, &count);
        const uint64_t strings = table + (uint64_t)count * 18;
        if (table == 0 || !file.Fits(table, (uint64_t)count * 18)) {
            return;
        }
        for (uint32_t i = 0; i < count; i++) {
            const size_t at = table + (size_t)i * 18;
            uint32_t value = 0, zero = 0, offset = 0;
            int16_t section = 0;
            uint8_t storage = 0, aux = 0;
            file.Get(at + 8, &value);
            file.Get(at + 12, &section);
            file.Get(at + 16, &storage);
            file.Get(at + 17, &aux);
            file.Get(at, &zero);
            file.Get(at + 4, &offset);
            std::string name;
            if (zero != 0) {
                name.assign((const char*)file.data + at, strnlen((const char*)file.data + at, 8));
            } else if (!file.String(strings + offset, &name)) {
                continue;
            }
            const size_t header = sectionTable + (size_t)(section - 1) * kSectionHeaderSize;
            uint32_t sectionRva = 0;
            if (storage == 2 && section >= 1 && section <= sectionCount &&
                file.Get(header + 12, &sectionRva) && (uint64_t)sectionRva + value < sizeOfImage) {
                image->symbols_[name] = sectionRva + value;
            }
            i += aux;
        }
    }

    bool Protect() {
        for (const ImageSection& s : image->sections_) {
            if (mprotect((void*)s.address, s.size, s.protection) != 0) {
                return Refuse("cannot set the protection of section " + s.name);
            }
        }
        return true;
    }
};

std::unique_ptr<DriverImage> DriverImage::Map(const std::vector<unsigned char>& file,
                                              std::string* error) {
    ImageMapper mapper{{file.data(), file.size()}, error};
    if (mapper.Headers() && mapper.Reserve() && mapper.Sections() && mapper.Relocate() &&
        mapper.BindImports() && mapper.UnwindData() && mapper.Protect()) {
        mapper.Symbols();
        return std::move(mapper.image);
    }
    return nullptr;  // the image's destructor unmaps what was mapped
}

std::unique_ptr<DriverImage> DriverImage::Map(const std::filesystem::path& path,
                                              std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path.string();
        return nullptr;
    }
    const std::vector<unsigned char> file(std::istreambuf_iterator<char>(in), {});
    return Map(file, error);
}

DriverImage::~DriverImage() {
    if (registered_) {
        seh::UnregisterImage(base_);
    }
    if (base_ != 0) {
        munmap((void*)base_, size_);
        gMappedImages--;
    }
}

const ImageSection* DriverImage::Section(std::string_view name) const {
    for (const ImageSection& s : sections_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

void* DriverImage::Symbol(const std::string& name) const {
    auto found = symbols_.find(name);
    return found != symbols_.end() ? (void*)(base_ + found->second) : nullptr;
}

void DriverImage::DiscardInit() {
    for (uint32_t index : discardable_) {
        ImageSection& s = sections_[index];
        mprotect((void*)s.address, s.size, PROT_NONE);
        s.protection = PROT_NONE;
    }
}

size_t MappedImageCount() { return gMappedImages; }

namespace {

// DriverEntry sees the driver object filled as the I/O manager fills it.
thread_local const DriverImage* tStarting = nullptr;

NTSTATUS NTAPI StartImage(PDRIVER_OBJECT object, PUNICODE_STRING registryPath) {
    object->DriverStart = (PVOID)tStarting->Base();
    object->DriverSize = (ULONG)tStarting->Size();
    object->DriverInit = tStarting->Entry();
    return tStarting->Entry()(object, registryPath);
}

}  // namespace

std::unique_ptr<LoadedDriver> LoadedDriver::Load(const std::filesystem::path& path,
                                                 std::string* error,
                                                 const BeforeEntry& beforeEntry) {
    std::unique_ptr<LoadedDriver> loaded(new LoadedDriver);
    loaded->image_ = DriverImage::Map(path, error);
    if (loaded->image_ == nullptr) {
        return nullptr;
    }
    if (beforeEntry) {
        beforeEntry(*loaded->image_);
    }
    tStarting = loaded->image_.get();
    loaded->driver_ = std::make_unique<Driver>(&StartImage);
    tStarting = nullptr;
    if (!loaded->driver_->Loaded()) {
        *error = "DriverEntry failed with " + StatusName(loaded->driver_->EntryStatus());
        return nullptr;
    }
    loaded->image_->DiscardInit();
    return loaded;
}

NTSTATUS LoadedDriver::Unload(FLT_FILTER_UNLOAD_FLAGS flags) {
    return driver_->Loaded() ? driver_->Unload(flags) : STATUS_SUCCESS;
}

LoadedDriver::~LoadedDriver() {
    driver_.reset();  // a mandatory unload, if still loaded
    if (image_ != nullptr) {
        image_.reset();
    }
}

std::filesystem::path ServingDriver::ImagePath() {
    const char* path = std::getenv(kVariable);
    return path != nullptr ? std::filesystem::path(path) : std::filesystem::path();
}

std::unique_ptr<ServingDriver> ServingDriver::Load(PDRIVER_INITIALIZE hostEntry, std::string* error,
                                                   const LoadedDriver::BeforeEntry& beforeEntry) {
    auto serving = std::unique_ptr<ServingDriver>(new ServingDriver());
    const std::filesystem::path image = ImagePath();
    if (!image.empty()) {
        serving->image_ = LoadedDriver::Load(image, error, beforeEntry);
        if (serving->image_ == nullptr) {
            *error = image.string() + ": " + *error;
            return nullptr;
        }
        return serving;
    }
    serving->hostBuild_ = std::make_unique<Driver>(hostEntry);
    if (!serving->hostBuild_->Loaded()) {
        *error = "DriverEntry failed with " + StatusName(serving->hostBuild_->EntryStatus());
        return nullptr;
    }
    return serving;
}

}  // namespace host
