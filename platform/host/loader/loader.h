// Loading a Windows driver image (pontor.sys) into the host process, as the
// Windows kernel's loader and I/O manager do: the PE32+ native image is
// mapped section by section, always away from its preferred base so that
// every base relocation is applied, its imports of ntoskrnl.exe and
// FLTMGR.SYS are bound to the host's own routines, DriverEntry runs, and
// INIT is discarded. The image then runs on the host Filter Manager exactly
// as the host-built driver does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/host/host.h"

namespace host {

namespace loader {
// One routine the host exports to images, by module and name.
struct ImageExport {
    const char* module;
    const char* name;
    void* address;
};
std::span<const ImageExport> ImageExports();
}  // namespace loader

struct ImageSection {
    std::string name;
    uintptr_t address;
    size_t size;                   // the mapped size, whole pages
    int protection;                // PROT_* as mapped now
    uint32_t characteristics = 0;  // of the section header (IMAGE_SCN_*)
};

// A PE32+ native image mapped, relocated and bound. Unmapped when destroyed.
class DriverImage {
public:
    // Nothing stays mapped after a refusal, whose reason is one line in *error.
    static std::unique_ptr<DriverImage> Map(const std::vector<unsigned char>& file,
                                            std::string* error);
    static std::unique_ptr<DriverImage> Map(const std::filesystem::path& path, std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    uint64_t PreferredBase() const { return preferredBase_; }
    size_t RelocationsApplied() const { return relocations_; }
    PDRIVER_INITIALIZE Entry() const { return entry_; }
    const std::vector<ImageSection>& Sections() const { return sections_; }
    const ImageSection* Section(std::string_view name) const;
    // An external symbol of the image's COFF symbol table (GNU ld keeps one
    // unless the image is stripped), as a debugger finds a driver's global;
    // null if there is none.
    void* Symbol(const std::string& name) const;
    // Makes every section marked IMAGE_SCN_MEM_DISCARDABLE (INIT, as the
    // linker marks it) inaccessible, as the kernel frees them once
    // DriverEntry has returned.
    void DiscardInit();

private:
    DriverImage() = default;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    size_t relocations_ = 0;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::vector<ImageSection> sections_;
    std::vector<uint32_t> discardable_;        // indices into sections_
    std::map<std::string, uint32_t> symbols_;  // RVAs
    bool registered_ = false;                  // with the exception dispatcher
    friend struct ImageMapper;
};

// Images mapped now, for tests that check nothing is left behind.
size_t MappedImageCount();

// A driver image loaded as the service control manager's start of a driver
// does: mapped, entered with a driver object and the registry path of its
// service, INIT discarded. Unload goes through the Filter Manager (the
// registered unload callback, as "fltmc unload" does); the image is unmapped
// once the driver is unloaded.
class LoadedDriver {
public:
    // Null on refusal (a bad image, or DriverEntry failing, with its status),
    // with the reason in *error; nothing stays mapped then.
    // beforeEntry, if given, sees the mapped image before DriverEntry runs,
    // as a debugger attached at load does (to set a global such as the trace
    // mask).
    using BeforeEntry = std::function<void(const DriverImage&)>;
    static std::unique_ptr<LoadedDriver> Load(const std::filesystem::path& path, std::string* error,
                                              const BeforeEntry& beforeEntry = {});
    ~LoadedDriver();  // unloads (mandatory) if still loaded, then unmaps
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    Driver& Get() { return *driver_; }
    const DriverImage& Image() const { return *image_; }
    // The unload callback's status; a refused unload keeps the image mapped.
    NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS flags = 0);

private:
    LoadedDriver() = default;
    std::unique_ptr<DriverImage> image_;
    std::unique_ptr<Driver> driver_;
};

// The driver a host program serves through: the Windows image that the
// PONTOR_DRIVER environment variable names, loaded as above, or else the
// host build, entered at hostEntry.
class ServingDriver {
public:
    static constexpr const char* kVariable = "PONTOR_DRIVER";
    // Null on refusal, with the reason in *error.
    static std::unique_ptr<ServingDriver> Load(PDRIVER_INITIALIZE hostEntry, std::string* error,
                                               const LoadedDriver::BeforeEntry& beforeEntry = {});
    static std::filesystem::path ImagePath();  // from the environment; empty: the host build

    Driver& Get() { return image_ != nullptr ? image_->Get() : *hostBuild_; }
    bool IsImage() const { return image_ != nullptr; }

private:
    std::unique_ptr<Driver> hostBuild_;
    std::unique_ptr<LoadedDriver> image_;
};

}  // namespace host
