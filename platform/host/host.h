// The host platform's own interface, for tests and tools: volumes, fault
// injection, pool accounting, the debug sink. Driver code never includes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include <cstdarg>

#include "platform/host/kernel.h"

namespace host {

// Status names as the platform spells them ("STATUS_END_OF_FILE"); an unknown
// value gives "0x...".
std::string StatusName(NTSTATUS status);

// UTF-8 <-> UTF-16 for test and tool code.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);
std::string Utf8(PCUNICODE_STRING s);

// ---- Pool ----
struct Allocation {
    const void* address;
    size_t size;
    ULONG tag;
    bool fltAligned;  // from FltAllocatePoolAlignedWithTag (else ExAllocatePoolWithTag)
};
size_t PoolOutstanding();            // allocations not yet freed
size_t PoolOutstanding(ULONG tag);
std::vector<Allocation> PoolAllocations();
uint64_t PoolAllocationCount();      // allocations attempted since the last ResetFaults()
// The largest single allocation the pool grants; larger requests fail as a
// real non-paged pool would. Default 1 GiB.
void SetPoolAllocationLimit(size_t bytes);

// Pool misuse (wrong tag, double free, unknown pointer, wrong free routine)
// is a bug check. By default it aborts with a message; a test may count them.
using BugCheckHandler = std::function<void(std::string_view what)>;
void SetBugCheckHandler(BugCheckHandler handler);  // empty: abort

// ---- Fault injection (counted from the last ResetFaults()) ----
void ResetFaults();
void FailAllocation(uint64_t nth);                  // the nth allocation (1-based) fails
void FailAllocationOfTag(ULONG tag, uint64_t nth);  // the nth allocation of that tag fails
void FailRead(uint64_t nth, NTSTATUS status);       // the nth FltReadFile returns status
void ShortenRead(uint64_t nth, ULONG bytes);        // the nth FltReadFile moves at most bytes
uint64_t ReadCount();                               // FltReadFile calls since ResetFaults()
bool FaultInjected();                               // whether an armed fault has fired

// ---- Access faults ----
// The exception the host raises where Windows would raise an access
// violation: a write into a range armed by ArmAccessFault, from
// RtlZeroMemory, RtlCopyMemory or FltReadFile. It unwinds through driver
// frames as a structured exception does on Windows.
struct AccessViolation {
    const void* address;
};
void ArmAccessFault(const void* begin, size_t length);  // one range; length 0 disarms

// ---- Debug output ----
struct DebugLine {
    bool ex;  // DbgPrintEx (else DbgPrint)
    ULONG component;
    ULONG level;
    std::string text;
};
// Formats with the platform's conversions (%wZ, %I64d, %I64x, %I64X, %llx,
// %016llx, %x, %d, %u, %s, %ws, %c, %p, %%), LLP64 widths: %lx is 32 bits.
std::string FormatDebug(const char* format, va_list args);
using DebugSink = std::function<void(const DebugLine&)>;
void SetDebugSink(DebugSink sink);  // empty: discard

// Captures every debug line while alive.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    std::vector<DebugLine> Lines() const;
    std::vector<std::string> Texts() const;  // text of every line, in order
    bool Contains(std::string_view text) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<DebugLine> lines_;
    DebugSink previous_;  // restored when the capture ends
};

// ---- Volumes ----
enum class DeviceType : ULONG { Disk = 0x07, NetworkFileSystem = 0x14 };

// A host directory served as a volume: \Device\HarddiskVolumeN (or
// \Device\Mup\N for a network file system). Names beneath it are NT names,
// resolved case-insensitively beneath the root only.
class Volume {
public:
    explicit Volume(std::filesystem::path root, DeviceType type = DeviceType::Disk);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    const std::filesystem::path& Root() const;
    DeviceType Type() const;
    std::u16string DeviceName() const;   // \Device\HarddiskVolume3
    std::u16string GuidName() const;     // \??\Volume{...}
    std::u16string NtName(std::string_view relative) const;  // DeviceName + "\" + relative with '\'
    PFLT_INSTANCE Instance() const;      // an instance on this volume, for driver calls
    PFLT_VOLUME FltVolume() const;

    struct Impl;
private:
    Impl* impl_;
};

// Host file descriptors held by open file objects.
size_t OpenFileCount();

// Opens a host file as a file object for reading (no volume), as the tool and
// tests do for images outside any volume. Release with ObDereferenceObject.
NTSTATUS OpenHostFile(const std::filesystem::path& path, PFILE_OBJECT* fileObject);

}  // namespace host
