// Drives the loaded driver with random operation sequences, as applications
// would: opens with random access, options and extra create parameters,
// reads with random offsets, lengths and paths, size queries of random
// classes and buffer lengths, control codes, writes, closes, opens racing
// each other, and injected faults, against a small volume of stubs and images of which some are
// malformed and one stub and one image are patched by the input.
//
// Nothing may crash, and after every input (all handles closed, the driver
// unloaded) the pool must be empty and every host file closed. Reads of the
// well-formed stubs that succeed must return the served bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "filter/filter.h"
#include "fuzz/harness.h"
#include "platform/host/host.h"
#include "tests/support/vhdx_image.h"

namespace {

using vhdxtest::kStubSignature;
using vhdxtest::StubBytes;

using fuzzing::MiB;
constexpr uint64_t kServed = 4 * MiB;  // every well-formed image serves this much

[[noreturn]] void Fail(const char* what) { fuzzing::Fail("ops_fuzz", what); }

struct File {
    const char* name;
    // The virtual disk a bound open of it serves, for the stubs that bind.
    std::vector<uint8_t> served;
};

// The volume, written once per process. The files the input patches are
// restored after each input from their pristine bytes.
struct Harness {
    host::MemoryVolume volume;
    std::vector<File> files;
    std::vector<uint8_t> pristineStub;
    std::vector<uint8_t> pristineImage;

    Harness() {
        // PONTOR_FUZZ_VERBOSE=1 shows the driver's output, to follow one input.
        if (std::getenv("PONTOR_FUZZ_VERBOSE") != nullptr) {
            host::SetDebugSink(
                [](const host::DebugLine& line) { std::fputs(line.text.c_str(), stderr); });
        } else {
            host::SetDebugSink(nullptr);
        }
        host::SetPoolAllocationLimit(64u << 20);

        vhdxtest::ImageSpec plain;
        plain.virtualDiskSize = kServed;
        plain.seed = 5;
        plain.blocks[0] = vhdxtest::State::FullyPresent;
        plain.blocks[2] = vhdxtest::State::Zero;
        plain.blocks[3] = vhdxtest::State::FullyPresent;
        vhdxtest::ImageSpec parent = plain;
        parent.seed = 6;
        parent.blocks[1] = vhdxtest::State::FullyPresent;
        vhdxtest::ImageSpec child;
        child.virtualDiskSize = kServed;
        child.seed = 7;
        child.hasParent = true;
        child.parentLocator = {{u"relative_path", u"..\\far\\base.vhdx"}};
        child.blocks[0] = vhdxtest::State::PartiallyPresent;
        child.blocks[3] = vhdxtest::State::FullyPresent;
        std::vector<uint8_t> bits(1 << 20, 0);
        for (size_t i = 0; i < 2048 / 8; i++) {
            bits[i] = (uint8_t)(0x0F << (i % 5));
        }
        child.sectorBitmaps[0] = bits;
        // A differencing image whose parent is differencing too.
        vhdxtest::ImageSpec nested = child;
        nested.parentLocator = {{u"relative_path", u"child.vhdx"}};

        volume.Put("plain.vhdx", vhdxtest::Build(plain).bytes);
        volume.Put("base.vhdx", vhdxtest::Build(parent).bytes);
        volume.Put("child.vhdx", vhdxtest::Build(child).bytes);
        volume.Put("nested.vhdx", vhdxtest::Build(nested).bytes);
        pristineImage = vhdxtest::Build(plain).bytes;
        volume.Put("patched.vhdx", pristineImage);
        pristineStub = StubBytes("patched.vhdx", 4096);

        files = {
            {"plain.vmdk", vhdxtest::ExpectedBytes(plain, nullptr, 0, kServed)},
            {"DIFF.VMDK", vhdxtest::ExpectedBytes(child, &parent, 0, kServed)},
            {"patched.vmdk", {}},
            {"nested.vmdk", {}},
            {"missing.vmdk", {}},
            {"signature.vmdk", {}},
            {"unterminated.vmdk", {}},
            {"small.vmdk", {}},
            {"other.bin", {}},
            {"dir.vmdk", {}},
        };
        volume.Put("plain.vmdk", StubBytes("plain.vhdx"));
        volume.Put("DIFF.VMDK", StubBytes("child.vhdx", 3000));
        volume.Put("patched.vmdk", pristineStub);
        volume.Put("nested.vmdk", StubBytes("nested.vhdx"));
        volume.Put("missing.vmdk", StubBytes("absent.vhdx"));
        volume.Put("signature.vmdk", StubBytes("plain.vhdx", 2048, kStubSignature ^ 1));
        std::vector<uint8_t> unterminated = StubBytes("plain.vhdx", 4096);
        std::memset(&unterminated[16], 'q', 2048 - 16);
        volume.Put("unterminated.vmdk", unterminated);
        volume.Put("small.vmdk", StubBytes("plain.vhdx", 2047));
        volume.Put("other.bin", StubBytes("plain.vhdx", 8192));
        volume.MakeDirectory("dir.vmdk");
    }
};

Harness& TheHarness() {
    static Harness* harness = new Harness();
    return *harness;
}

// Offsets where the interesting structures of a built image lie.
constexpr uint64_t kImageOffsets[] = {0,       0x10000,      0x30000, 0x30010,
                                      2 * MiB, 2 * MiB + 32, 3 * MiB, 3 * MiB + 8};

// Each value is consumed in a statement of its own, so that an input means
// the same with every compiler.
uint64_t PickOffset(FuzzedDataProvider& in) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 4);
    if (kind == 4) {
        const uint64_t value = in.ConsumeIntegral<uint64_t>();
        return value >> in.ConsumeIntegralInRange<int>(0, 63);
    }
    const uint64_t base = kind == 1   ? in.ConsumeIntegralInRange<uint64_t>(0, 4) * MiB - 4096
                          : kind == 2 ? kServed - 4096
                                      : 0;
    const uint64_t upTo = kind == 3 ? kServed : 8192;
    return base + in.ConsumeIntegralInRange<uint64_t>(0, upTo);
}

constexpr host::IoPath kPaths[] = {host::IoPath::Cached,    host::IoPath::Irp,
                                   host::IoPath::NonCached, host::IoPath::Paging,
                                   host::IoPath::Mdl,       host::IoPath::MdlComplete};
constexpr CSHORT kMdlFlags[] = {MDL_PAGES_LOCKED, MDL_MAPPED_TO_SYSTEM_VA,
                                MDL_SOURCE_IS_NONPAGED_POOL};
constexpr ACCESS_MASK kAccess[] = {
    GENERIC_READ | SYNCHRONIZE, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
    FILE_READ_DATA | FILE_WRITE_DATA, FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
    FILE_READ_ATTRIBUTES};
constexpr GUID kSkipEcp = {
    0x4248BE44, 0x647F, 0x488F, {0x8B, 0xE5, 0xA0, 0x8A, 0xAF, 0x70, 0xF0, 0x28}};

struct Slot {
    host::Handle handle;
    const File* file = nullptr;
};

// Served bytes of a well-formed stub are right whenever a read succeeds at
// an explicit offset on a bound stream.
void CheckServed(const host::Handle& handle, const File* file, uint64_t offset,
                 const uint8_t* bytes, uint64_t count) {
    if (file == nullptr || file->served.empty() || !handle || count == 0 || offset >= kServed) {
        return;
    }
    std::vector<uint8_t> header(4096);
    const host::FsControlRequest probe = {
        .code = FSCTL_GET_STUB_HEADER, .output = header.data(), .outputLength = 4096};
    if (host::FileSystemControl(handle, probe).status == STATUS_SUCCESS &&
        std::memcmp(bytes, file->served.data() + offset, std::min(count, kServed - offset)) != 0) {
        Fail("a bound stub served wrong bytes");
    }
}

// An open of file and a read of its first bytes, racing another.
void OpenAndRead(Harness& h, const File& file, ULONG length) {
    host::Handle handle;
    host::Create({.name = h.volume.NtName(file.name)}, &handle);
    std::vector<uint8_t> buffer(length);
    const host::IoResult result =
        host::Read(handle, {.buffer = buffer.data(), .length = length, .offset = 0});
    if (NT_SUCCESS(result.status)) {
        CheckServed(handle, &file, 0, buffer.data(), result.information);
    }
}

void Run(Harness& h, FuzzedDataProvider& in) {
    host::Driver driver(DriverEntry);
    if (driver.EntryStatus() != STATUS_SUCCESS) {
        Fail("the driver did not load");
    }
    std::array<Slot, 4> slots;
    for (int op = 0; op < 48 && in.remaining_bytes() > 0; op++) {
        Slot& slot = slots[in.ConsumeIntegralInRange<size_t>(0, slots.size() - 1)];
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0: {
                const File& file =
                    h.files[in.ConsumeIntegralInRange<size_t>(0, h.files.size() - 1)];
                host::CreateRequest request;
                request.name = h.volume.NtName(file.name);
                request.desiredAccess = kAccess[in.ConsumeIntegralInRange<size_t>(0, 4)];
                const int shape = in.ConsumeIntegralInRange<int>(0, 7);
                request.createOptions =
                    shape == 1   ? FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE
                    : shape == 2 ? 0
                                 : FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
                request.operationFlags = shape == 3   ? SL_OPEN_PAGING_FILE
                                         : shape == 4 ? SL_OPEN_TARGET_DIRECTORY
                                                      : 0;
                if (shape == 5) {
                    request.extraCreateParameters = {kSkipEcp};
                }
                request.fileObjectOnStack = shape == 6;
                host::Create(request, &slot.handle);
                slot.file = &file;
                break;
            }
            case 1: {
                const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 300000);
                std::vector<uint8_t> buffer(length);
                host::ReadRequest request;
                request.buffer = in.ConsumeBool() ? buffer.data() : nullptr;
                request.length = length;
                if (in.ConsumeIntegralInRange<int>(0, 7) != 0) {
                    request.offset = (LONGLONG)PickOffset(in);
                }
                request.path = kPaths[in.ConsumeIntegralInRange<size_t>(0, 5)];
                request.mdlFlags = kMdlFlags[in.ConsumeIntegralInRange<size_t>(0, 2)];
                const host::IoResult result = host::Read(slot.handle, request);
                if (result.information > length) {
                    Fail("a read reported more bytes than asked for");
                }
                if (NT_SUCCESS(result.status) && request.buffer != nullptr && request.offset) {
                    CheckServed(slot.handle, slot.file, (uint64_t)*request.offset, buffer.data(),
                                result.information);
                }
                break;
            }
            case 2: {
                const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 300);
                std::vector<uint8_t> buffer(length);
                const auto infoClass = (FILE_INFORMATION_CLASS)in.ConsumeIntegralInRange<int>(
                    0, FileMaximumInformation);
                const host::IoResult result = host::QueryInformation(
                    slot.handle, infoClass, in.ConsumeBool() ? buffer.data() : nullptr, length);
                if (NT_SUCCESS(result.status) && result.information > length) {
                    Fail("a query reported more bytes than the buffer holds");
                }
                break;
            }
            case 3: {
                host::FsControlRequest request;
                std::vector<uint8_t> output(in.ConsumeIntegralInRange<ULONG>(0, 5000));
                request.code =
                    in.ConsumeBool() ? FSCTL_GET_STUB_HEADER : in.ConsumeIntegral<ULONG>();
                request.output = output.data();
                request.outputLength = (ULONG)output.size();
                request.nullSystemBuffer = in.ConsumeIntegralInRange<int>(0, 7) == 0;
                host::FileSystemControl(slot.handle, request);
                break;
            }
            case 4: {
                std::vector<uint8_t> data(in.ConsumeIntegralInRange<ULONG>(0, 4096), 0xA5);
                host::WriteRequest request;
                request.buffer = data.data();
                request.length = (ULONG)data.size();
                request.offset = (LONGLONG)in.ConsumeIntegralInRange<uint64_t>(0, 16384);
                request.path = kPaths[in.ConsumeIntegralInRange<size_t>(0, 3)];
                host::Write(slot.handle, request);
                break;
            }
            case 5:
                switch (in.ConsumeIntegralInRange<int>(0, 2)) {
                    case 0: host::AcquireForModWrite(slot.handle, (LONGLONG)PickOffset(in)); break;
                    case 1: host::AcquireForCcFlush(slot.handle); break;
                    default: {
                        const LONGLONG offset = (LONGLONG)PickOffset(in);
                        host::PrepareMdlWrite(slot.handle, offset,
                                              in.ConsumeIntegralInRange<ULONG>(0, 65536));
                        break;
                    }
                }
                break;
            case 6:
                slot.handle.Close();
                slot.file = nullptr;
                break;
            case 7: {
                const uint64_t nth = in.ConsumeIntegralInRange<uint64_t>(1, 40);
                switch (in.ConsumeIntegralInRange<int>(0, 4)) {
                    case 0: host::FailAllocation(nth); break;
                    case 1: host::FailRead(nth, STATUS_IO_DEVICE_ERROR); break;
                    case 2:
                        // Not below one BAT entry: a sector bitmap entry read that
                        // returns part of its 8 bytes goes on with what arrived.
                        host::ShortenRead(nth, in.ConsumeIntegralInRange<ULONG>(8, 5000));
                        break;
                    case 3: host::FailMdlMapping(nth); break;
                    default: host::CancelWait(nth); break;
                }
                break;
            }
            case 8: {
                const File& file =
                    h.files[in.ConsumeIntegralInRange<size_t>(0, h.files.size() - 1)];
                const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 65536);
                std::thread other(OpenAndRead, std::ref(h), std::cref(file), length);
                OpenAndRead(h, file, length);
                other.join();
                break;
            }
            default: gTraceFlags = in.ConsumeIntegral<ULONG>(); break;
        }
    }
    for (Slot& slot : slots) {
        slot.handle.Close();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    FuzzedDataProvider in(data, size);

    // Patches of the malformed stub and image, applied for this input only,
    // the image resealed in most inputs.
    const int count = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < count; i++) {
        const bool image = in.ConsumeBool();
        uint64_t offset = in.ConsumeIntegralInRange<uint64_t>(0, image ? 64 : 2100);
        if (image) {
            offset += kImageOffsets[in.ConsumeIntegralInRange<size_t>(0, 7)];
        }
        const std::vector<uint8_t> bytes =
            in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 16));
        if (offset + bytes.size() <= (image ? h.pristineImage : h.pristineStub).size()) {
            h.volume.Patch(image ? "patched.vhdx" : "patched.vmdk", offset, bytes.data(),
                           bytes.size());
        }
    }
    if (count != 0) {
        const bool reseal = in.ConsumeIntegralInRange<int>(0, 7) != 0;
        fuzzing::Reseal(h.volume, "patched.vhdx", reseal ? 0 : in.ConsumeIntegral<uint8_t>());
    }

    host::ResetFaults();
    Run(h, in);
    host::ResetFaults();
    gTraceFlags = 0;
    fuzzing::CheckNothingLeft("ops_fuzz");  // after the driver's unload
    host::ReclaimRetired();                 // else every input's filter record stays

    if (count != 0) {
        h.volume.Put("patched.vhdx", h.pristineImage);
        h.volume.Put("patched.vmdk", h.pristineStub);
    }
    return 0;
}
