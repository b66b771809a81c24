// pontor stub create: a stub beside an image, and the VMDK descriptor a
// hypervisor opens to use it, written only when the driver would bind the
// stub and serve current bytes (or when told to go ahead).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "platform/host/host.h"
#include "stub/stub.h"
#include "tools/reader/check.h"
#include "tools/commands.h"
#include "tools/stub_file.h"
#include "tools/vmdk_descriptor.h"

namespace tool {
namespace {

// lsilogic: the SCSI controller VMware Workstation's new-VM wizard proposes
// for most guests, so the disk is described for the controller it will most
// likely be attached to; ide only suits IDE-only guests.
constexpr Adapter kDefaultAdapter = Adapter::LsiLogic;

// The descriptor's identities from the image's. ddb.uuid.image is the
// virtual disk's id (its page 83 data), which the image keeps while its data
// changes, so that a descriptor written again for the same disk is the same
// medium to VirtualBox; the data write GUID stands in where there is none.
// CID, which VMware changes with the content, comes from the data write GUID,
// which the image changes with its data.
Descriptor DescribeImage(const InspectedImage& image, const std::string& extent, uint64_t sectors,
                         Adapter adapter) {
    const HeaderCopy& header =
        image.layout.Current() ? *image.layout.Current() : image.layout.headers[0];
    const Metadata& metadata = image.layout.metadata;
    const Guid& id = metadata.virtualDiskId && !metadata.virtualDiskId->IsZero()
                         ? *metadata.virtualDiskId
                         : header.dataWriteGuid;
    std::string uuid = id.Text().substr(1, 36);
    for (char& c : uuid) {
        c = (char)std::tolower((unsigned char)c);
    }
    uint32_t cid = 0;
    for (int i = 3; i >= 0; i--) {
        cid = cid << 8 | header.dataWriteGuid.bytes[i];
    }
    // ffffffff is "no parent" in parentCID; keep the CID clear of it.
    return {extent, sectors, adapter, cid >= 0xFFFFFFFEu ? 0xFFFFFFFDu : cid, uuid};
}

int StubCreate(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const std::optional<std::string> stub =
        args.Arguments().size() > 1 ? std::optional(args.Arguments()[1]) : std::nullopt;
    const bool stubOnly = args.Flag("stub-only");
    Adapter adapter = kDefaultAdapter;
    if (const auto name = args.Value("adapter")) {
        const auto parsed = ParseAdapter(*name);
        if (!parsed) {
            throw UsageError{"--adapter: unknown adapter '" + *name + "' (" + kAdapterNames + ")"};
        }
        if (stubOnly) {
            throw UsageError{"--adapter describes the descriptor, which --stub-only leaves out"};
        }
        adapter = *parsed;
    }
    const StubPlan plan = PlanStub(image, stub, stubOnly);

    // Bind as the driver will: the image beneath the stub's directory, its
    // parent in that directory.
    const Chain chain = InspectChain(plan.directory, plan.relative, image, args.Verbose());
    if (auto failure = BindingFailure(chain)) {
        failure->message = "cannot bind: " + failure->message;
        throw *failure;
    }
    const std::vector<Finding> findings = CheckChain(chain);
    const bool force = args.Flag("force");
    for (const Finding& f : findings) {
        if (f.effect == Effect::Stale) {
            std::fprintf(stderr, "pontor: %s: %s: %s [%s]\n", f.subject.c_str(),
                         force ? "warning" : "error", f.message.c_str(), f.code.c_str());
        }
    }
    if (Stale(findings) && !force) {
        const bool log = std::any_of(findings.begin(), findings.end(),
                                     [](const Finding& f) { return f.code == "log-not-replayed"; });
        throw ToolError{
            image,
            std::string(log ? "the log was not replayed and the driver on Windows serves the file "
                              "without it: stale bytes"
                            : "the driver would serve stale bytes") +
                "; no stub written (--force writes it anyway)" +
                (log ? "; on Windows, 'pontor replay IMAGE OUT' writes a copy with the log "
                       "replayed, 'pontor replay --in-place --yes IMAGE' replays IMAGE itself; on "
                       "Linux, 'pontor mount' serves a stub written with --force with the log "
                       "applied in memory, the file unchanged"
                     : "")};
    }

    const uint64_t served = chain.child->driver->Context()->DataSize;
    std::vector<uint8_t> descriptor;
    if (plan.descriptorPath) {
        // The driver serves whole MiB, so this holds for every image it binds.
        if (served % 512 != 0) {
            throw ToolError{image, "the served size, " + std::to_string(served) +
                                       " bytes, is no whole number of the 512-byte sectors a "
                                       "descriptor counts (--stub-only writes the stub alone)"};
        }
        const std::string text = DescriptorText(
            DescribeImage(*chain.child, plan.stubPath.filename().string(), served / 512, adapter));
        // Smaller than a stub, the driver lets its opens through untouched.
        if (text.size() >= PONTOR_STUB_READ_SIZE) {
            throw ToolError{plan.descriptorPath->string(),
                            "the descriptor would be " + std::to_string(text.size()) +
                                " bytes, which the driver would take for a stub (a shorter "
                                "stub name, or --stub-only)"};
        }
        descriptor.assign(text.begin(), text.end());
    }

    // Neither file is written while either exists, and the stub goes again
    // when the descriptor cannot follow it: the pair or nothing.
    const bool overwrite = args.Flag("overwrite");
    if (!overwrite) {
        for (const auto& path : {std::optional(plan.stubPath), plan.descriptorPath}) {
            std::error_code error;
            if (path && std::filesystem::exists(std::filesystem::symlink_status(*path, error))) {
                throw ToolError{path->string(), "already exists (--overwrite replaces it)"};
            }
        }
    }
    WriteFileAtomically(plan.stubPath, StubBytes(plan.storedPath), overwrite);
    if (plan.descriptorPath) {
        try {
            WriteFileAtomically(*plan.descriptorPath, descriptor, overwrite);
        } catch (...) {
            if (!overwrite) {
                std::error_code ignored;
                std::filesystem::remove(plan.stubPath, ignored);
            }
            throw;
        }
    }
    std::printf("%s: stub for %s, serving %llu bytes\n", plan.stubPath.string().c_str(),
                plan.relative.c_str(), (unsigned long long)served);
    if (plan.descriptorPath) {
        std::printf("%s: descriptor of %s, %llu sectors, adapter %s\n",
                    plan.descriptorPath->string().c_str(),
                    plan.stubPath.filename().string().c_str(), (unsigned long long)(served / 512),
                    AdapterName(adapter));
    } else if (!plan.note.empty()) {
        std::printf("%s: %s\n", plan.stubPath.string().c_str(), plan.note.c_str());
    }
    return kExitOk;
}

}  // namespace

Command StubCreateCommand() {
    return {{"stub create",
             "IMAGE [STUB]",
             "write a stub serving IMAGE and the VMDK descriptor naming it",
             "Writes two files beside IMAGE (NAME: IMAGE's name without its extension):\n"
             "  NAME-flat.vmdk  the stub: 2048 bytes naming IMAGE; through the driver it\n"
             "                  reads as the virtual disk, raw, and refuses writes\n"
             "  NAME.vmdk       a VMDK text descriptor whose one FLAT extent is the stub:\n"
             "                  the file VMware, VirtualBox and QEMU open as the disk\n"
             "With --stub-only the stub alone is written, as NAME.vmdk, for programs that\n"
             "read raw disks. STUB chooses the stub's name, or a directory for the default\n"
             "names; a STUB named X-flat.vmdk gets the descriptor X.vmdk, any other name\n"
             "is written alone (the output says so). The stub names IMAGE relative to its\n"
             "own directory, so IMAGE must lie in that directory or beneath it, and the\n"
             "parent of a differencing image must lie in the stub's directory itself.\n"
             "Refuses an image the driver cannot bind, and one it would serve stale bytes of\n"
             "(a log that was not replayed, a newer second header whose log differs, a\n"
             "parent that changed since the child was made) unless --force is given. An\n"
             "image whose log was not replayed is served stale on Windows: replay it there\n"
             "('pontor replay'); on Linux, 'pontor mount' serves a stub written with --force\n"
             "with the log applied in memory.\n"
             "Neither file is written if either exists; both appear whole or neither does.\n"
             "\n"
             "Attach the disk read-only, as the driver refuses writes: VMware, an\n"
             "independent-nonpersistent disk or a snapshot's child; VirtualBox, an\n"
             "immutable disk; QEMU, readonly=on or -snapshot.\n"
             "\n"
             "Examples:\n"
             "  pontor stub create disk.vhdx                 disk-flat.vmdk and disk.vmdk\n"
             "  pontor stub create --adapter ide disk.vhdx   described for an IDE controller\n"
             "  pontor stub create --stub-only disk.vhdx     disk.vmdk, the raw stub alone\n"
             "  pontor stub create images/disk.vhdx .        the pair here, naming images/\n"
             "  qemu-img info disk.vmdk                      (through the driver: pontor mount)\n"
             "  qemu-system-x86_64 -drive file=disk.vmdk,format=vmdk,if=virtio,readonly=on\n"
             "\n"
             "Exit status: 0 written, 1 refused or not written (nothing is left behind),\n"
             "2 bad command line.\n",
             {{0, "adapter", "TYPE",
               "the descriptor's controller: ide, buslogic, lsilogic (default), legacyESX"},
              {0, "stub-only", nullptr, "write the stub alone, as NAME.vmdk"},
              {'f', "force", nullptr, "write the stub despite stale bytes (a warning each)"},
              {0, "overwrite", nullptr, "replace existing files"}},
             1,
             2},
            StubCreate};
}

}  // namespace tool
