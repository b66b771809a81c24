#include "tools/reader/image.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "stub/stub.h"
#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

// The driver's innermost complaint: its first failure line, without the
// "[PONTOR] Routine: " prefix. Informational lines start with CR LF or name
// the BAT position.
std::string DriverMessage(const host::DebugCapture& capture) {
    for (const std::string& text : capture.Texts()) {
        if (text.rfind("[PONTOR] ", 0) != 0 || text.find("(BAT) at offset") != std::string::npos) {
            continue;
        }
        std::string message = text.substr(text.find(": ") + 2);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
        return message;
    }
    return "";
}

// The driver proves the BAT readable by reading it whole into a buffer of
// its size (512 MiB for a 64 TiB disk of 1 MiB blocks), which lives only as
// long as that routine. The tool reaches the same verdict in bounded memory:
// the driver's parse runs with larger buffers refused, and where it stops at
// exactly the BAT's buffer, the tool reads the same region through the same
// FltReadFile a window at a time and completes the record as the routine
// does. Every other outcome runs the driver's parse whole, so a refusal and
// its message are always the driver's own.
constexpr ULONG kBatWindow = 8 << 20;
constexpr ULONG kParseReadFlags =
    FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET;

NTSTATUS Read(const FLT_RELATED_OBJECTS& related, uint64_t offset, ULONG length, void* buffer) {
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    return FltReadFile(related.Instance, related.FileObject, &at, length, buffer, kParseReadFlags,
                       nullptr, nullptr, nullptr);
}

// The BAT region the driver takes: the last entry of copy 1 of the region
// table. Only asked once the driver's parse has passed that table.
std::optional<VHDX_REGION_TABLE_ENTRY> DriverBatRegion(const FLT_RELATED_OBJECTS& related) {
    std::vector<UCHAR> table(VHDX_REGION_TABLE_SIZE);
    if (!NT_SUCCESS(
            Read(related, VHDX_REGION_TABLE_OFFSET, VHDX_REGION_TABLE_SIZE, table.data()))) {
        return std::nullopt;
    }
    VHDX_REGION_TABLE_HEADER header;
    VhdxLoadRegionTableHeader(table.data(), &header);
    std::optional<VHDX_REGION_TABLE_ENTRY> bat;
    for (ULONG i = 0; i < std::min(header.EntryCount, VHDX_REGION_TABLE_MAX_ENTRIES); i++) {
        VHDX_REGION_TABLE_ENTRY entry;
        VhdxLoadRegionTableEntry(&table[sizeof(header) + i * sizeof(entry)], &entry);
        if (VhdxGuidEqual(entry.Guid, VHDX_BAT_REGION_GUID)) {
            bat = entry;
        }
    }
    return bat;
}

// The rest of the driver's BAT routine after its buffer: the whole region
// read, then the geometry. False where the driver's own run must decide: a
// window that fails (a single read of the region fails whenever one of its
// windows does, beyond the end of the file aside) or a geometry it refuses.
bool FinishBatInWindows(const FLT_RELATED_OBJECTS& related, const VHDX_REGION_TABLE_ENTRY& bat,
                        VhdxContext* context) {
    std::vector<UCHAR> window(std::min(kBatWindow, bat.Length));
    for (ULONG done = 0; done < bat.Length;) {
        const ULONG length = std::min<ULONG>(kBatWindow, bat.Length - done);
        const NTSTATUS status = Read(related, bat.FileOffset + done, length, window.data());
        if (!NT_SUCCESS(status) && !(status == STATUS_END_OF_FILE && done > 0)) {
            return false;
        }
        done += length;
    }
    VhdxGeometry geometry;
    if (VhdxDeriveGeometry(context->VirtualDiskSize, context->BlockSize, context->LogicalSectorSize,
                           &geometry) != VHDX_GEOMETRY_VALID) {
        return false;
    }
    VhdxRecordBatGeometry(&geometry, &bat, context);
    return true;
}

// OpenAndParseImage with the BAT proved readable in windows, for the tool's
// own use; the driver's debug output is then not the routine's.
NTSTATUS OpenAndParseInWindows(const host::Volume& volume, std::string_view relative,
                               VhdxContext* context, FLT_RELATED_OBJECTS* related,
                               host::DebugCapture& capture) {
    const size_t limit = host::PoolAllocationLimit();
    host::SetPoolAllocationLimit(std::min<size_t>(limit, kBatWindow));
    NTSTATUS status = OpenAndParseImage(volume, relative, context, related);
    host::SetPoolAllocationLimit(limit);
    if (status != STATUS_INSUFFICIENT_RESOURCES ||
        !capture.Contains("VhdxParseBlockAllocationTable: Failed to allocate I/O buffer.")) {
        return status;
    }
    const auto bat = DriverBatRegion(*related);
    if (!bat || bat->Length <= kBatWindow || bat->Length > limit) {
        return status;  // refused for its own reasons, not the window's
    }
    if (FinishBatInWindows(*related, *bat, context)) {
        return STATUS_SUCCESS;
    }
    capture.Clear();
    return VhdxParseHeader(related, context);
}

}  // namespace

NTSTATUS OpenImageFile(const host::Volume& volume, std::string_view relative, VhdxContext* context,
                       FLT_RELATED_OBJECTS* related) {
    std::u16string name = volume.NtName(relative);
    UNICODE_STRING objectName;
    objectName.Buffer = name.data();
    objectName.Length = objectName.MaximumLength =
        (USHORT)std::min<size_t>(name.size() * sizeof(char16_t), 0xFFFE);
    *related = {};
    related->Size = sizeof(*related);
    related->Instance = volume.Instance();
    related->Volume = volume.FltVolume();
    const NTSTATUS status = PontorOpenFile(nullptr, volume.Instance(), &objectName,
                                           &context->FileHandle, &context->FileObject);
    related->FileObject = context->FileObject;
    return status;
}

NTSTATUS OpenAndParseImage(const host::Volume& volume, std::string_view relative,
                           VhdxContext* context, FLT_RELATED_OBJECTS* related) {
    const NTSTATUS status = OpenImageFile(volume, relative, context, related);
    return NT_SUCCESS(status) ? VhdxParseHeader(related, context) : status;
}

OpenedImage::~OpenedImage() {
    if (context_) {
        PontorCloseFile(context_.get());
    }
}

std::u16string OpenedImage::ParentPath() const { return std::u16string(context_->ParentPath); }

std::unique_ptr<OpenedImage> OpenedImage::Open(const std::filesystem::path& path, Failure* failure,
                                               bool verbose) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return OpenBeneath(absolute.parent_path(), absolute.filename().string(), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenBeneath(const std::filesystem::path& root,
                                                      const std::string& relative, Failure* failure,
                                                      bool verbose) {
    return OpenOn(std::make_shared<host::Volume>(root), relative, failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenParent(const OpenedImage& child, Failure* failure,
                                                     bool verbose) {
    return OpenOn(child.volume_, host::Utf8(ParentFileName(child.ParentPath())), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenOn(std::shared_ptr<host::Volume> volume,
                                                 const std::string& relative, Failure* failure,
                                                 bool verbose) {
    std::unique_ptr<OpenedImage> image(new OpenedImage());
    image->volume_ = std::move(volume);
    image->path_ = image->volume_->Root() / Utf8Path(relative);
    image->context_ = std::make_unique<VhdxContext>();
    VhdxContext* context = image->context_.get();

    host::DebugCapture capture;
    const NTSTATUS status =
        verbose
            ? OpenAndParseImage(*image->volume_, relative, context, &image->related_)
            : OpenAndParseInWindows(*image->volume_, relative, context, &image->related_, capture);
    if (context->FileObject == nullptr) {  // the open failed
        *failure = {status, "cannot open " + image->path_.string()};
        return nullptr;
    }
    if (verbose) {
        for (const std::string& text : capture.Texts()) {
            std::fputs(text.c_str(), stderr);
        }
    }
    if (!NT_SUCCESS(status)) {
        *failure = {status, DriverMessage(capture)};
        return nullptr;
    }
    return image;
}

std::u16string ParentFileName(std::u16string_view parentPath) {
    std::u16string path(parentPath);
    UNICODE_STRING name, finalComponent = {};
    name.Buffer = path.data();
    name.Length = name.MaximumLength = (USHORT)std::min<size_t>(path.size() * 2, 0xFFFE);
    if (!NT_SUCCESS(FltParseFileName(&name, nullptr, nullptr, &finalComponent)) ||
        finalComponent.Buffer == nullptr) {
        return u"";
    }
    return std::u16string(finalComponent.Buffer, finalComponent.Length / 2);
}

}  // namespace tool
