// pontor mount: a FUSE file system over a directory in which every file
// operation that the driver can see becomes the matching request to the host
// I/O manager, with the driver loaded: bound stubs read as raw disks of the
// served size, refuse writes and answer the header ioctl; other files pass
// through. Operations no filter ever sees (listing, renaming, removing,
// permissions, times) go to the directory itself.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "tools/commands.h"
#include "tools/fuse_workers.h"
#include "tools/pontor_ioctl.h"
#include "tools/served.h"

namespace tool {
namespace {

struct OpenFile {
    host::Handle handle;
    int statFd = -1;  // O_PATH: the file's own attributes, whatever it is renamed to
    ~OpenFile() {
        if (statFd >= 0) {
            ::close(statFd);
        }
    }
};

struct MountState {
    std::unique_ptr<FilterStack> stack;
    std::filesystem::path root;
    std::mutex mutex;
    std::unordered_set<OpenFile*> open;  // closed at unmount if the kernel did not release them
    uint64_t readAhead = 0;              // bytes; 0 leaves the kernel's
};

MountState& State() { return *(MountState*)fuse_get_context()->private_data; }

// "/a/b" to the root-relative "a/b".
std::string Relative(const char* path) { return path[0] == '/' ? path + 1 : path; }
std::string HostPath(const char* path) { return (State().root / Relative(path)).string(); }

OpenFile* FileOf(const fuse_file_info* fi) { return fi ? (OpenFile*)(uintptr_t)fi->fh : nullptr; }

int Errno(NTSTATUS status) { return -ErrnoOf(status); }

// FUSE hands over reads and writes with their offsets, several at once: the
// files are opened for positional I/O, so that requests to one open file
// (read-ahead, threads sharing it) are not queued behind each other.
constexpr FileIo kFileIo = FileIo::Positional;

constexpr uint64_t kReadAhead = 512 * 1024;  // see SetReadAhead
constexpr size_t kMaxWrite = 256 * 1024;     // see Init

// Sizes as the size queries report them: a bound stub's are its served size.
int QuerySizes(const host::Handle& handle, struct stat* st) {
    FILE_STANDARD_INFORMATION info = {};
    const host::IoResult result =
        host::QueryInformation(handle, FileStandardInformation, &info, sizeof info);
    if (!NT_SUCCESS(result.status)) {
        return Errno(result.status);
    }
    st->st_size = info.EndOfFile.QuadPart;
    st->st_blocks = (info.AllocationSize.QuadPart + 511) / 512;
    return 0;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (OpenFile* file = FileOf(fi)) {
        if (::fstat(file->statFd, st) != 0) {
            return -errno;
        }
        return QuerySizes(file->handle, st);
    }
    if (::lstat(HostPath(path).c_str(), st) != 0) {
        return -errno;
    }
    if (!S_ISREG(st->st_mode)) {
        return 0;
    }
    // Open the file as Windows does to query it, so the filter sees the open.
    host::Handle handle;
    const host::IoResult opened =
        State().stack->Open(Relative(path), FILE_READ_ATTRIBUTES | SYNCHRONIZE, &handle);
    if (!NT_SUCCESS(opened.status)) {
        return Errno(opened.status);
    }
    return QuerySizes(handle, st);
}

ACCESS_MASK AccessOf(int flags) {
    switch (flags & O_ACCMODE) {
        case O_WRONLY: return GENERIC_WRITE | SYNCHRONIZE;
        case O_RDWR: return GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
        default: return GENERIC_READ | SYNCHRONIZE;
    }
}

int Keep(const char* path, OpenFile* file, fuse_file_info* fi) {
    file->statFd = ::open(HostPath(path).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (file->statFd < 0) {
        const int error = errno;
        delete file;
        return -error;
    }
    std::lock_guard<std::mutex> lock(State().mutex);
    State().open.insert(file);
    fi->fh = (uintptr_t)file;
    return 0;
}

int Open(const char* path, fuse_file_info* fi) {
    auto file = std::make_unique<OpenFile>();
    const host::IoResult result =
        State().stack->Open(Relative(path), AccessOf(fi->flags), &file->handle, kFileIo);
    if (!NT_SUCCESS(result.status)) {
        return Errno(result.status);
    }
    return Keep(path, file.release(), fi);
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
    host::CreateRequest request;
    request.name = State().stack->Volume().NtName(Relative(path));
    request.desiredAccess = AccessOf(fi->flags);
    request.disposition = (fi->flags & O_EXCL) ? FILE_CREATE : FILE_OPEN_IF;
    request.createOptions = CreateOptionsFor(kFileIo);
    auto file = std::make_unique<OpenFile>();
    const host::IoResult result = host::Create(request, &file->handle);
    if (!NT_SUCCESS(result.status)) {
        return Errno(result.status);
    }
    if (result.information == FILE_CREATED) {
        ::chmod(HostPath(path).c_str(), mode & 07777);
    }
    return Keep(path, file.release(), fi);
}

int Release(const char*, fuse_file_info* fi) {
    OpenFile* file = FileOf(fi);
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        State().open.erase(file);
    }
    file->handle.Close();
    delete file;
    return 0;
}

// A read of an open file, as the workers answer it: the count read (0 at
// the end), or -errno.
ssize_t ReadOpenFile(uint64_t fh, uint64_t offset, size_t size, char* data) {
    host::ReadRequest request;
    request.buffer = data;
    request.length = (ULONG)std::min<size_t>(size, 0xFFFFFFFFu);
    request.offset = (LONGLONG)offset;
    // An IRP read, as the I/O manager sends once fast I/O is refused: the
    // filter refuses it for every bound stub, so trying it first only costs.
    request.path = host::IoPath::Irp;
    const host::IoResult result = host::Read(((OpenFile*)(uintptr_t)fh)->handle, request);
    if (result.status == STATUS_END_OF_FILE) {
        return 0;
    }
    if (!NT_SUCCESS(result.status)) {
        return Errno(result.status);
    }
    return (ssize_t)std::min<ULONG_PTR>(result.information, request.length);
}

// Reads larger than the workers' buffers come this way.
int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    return (int)ReadOpenFile(fi->fh, (uint64_t)offset, size, buffer);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    host::WriteRequest request;
    request.buffer = buffer;
    request.length = (ULONG)std::min<size_t>(size, 0xFFFFFFFFu);
    request.offset = offset;
    request.path = host::IoPath::Cached;
    const host::IoResult result = host::Write(FileOf(fi)->handle, request);
    if (!NT_SUCCESS(result.status)) {
        return Errno(result.status);
    }
    return (int)std::min<ULONG_PTR>(result.information, request.length);
}

bool IsBoundStub(const host::Handle& handle) { return NT_SUCCESS(QueryStubHeader(handle).status); }

// Set-information reaches the file system untouched by the filter; the
// mount still keeps a bound stub's bytes from being cut, as writes are.
int Truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (OpenFile* file = FileOf(fi)) {
        if (IsBoundStub(file->handle)) {
            return -EACCES;
        }
    } else {
        host::Handle handle;
        if (NT_SUCCESS(State()
                           .stack->Open(Relative(path), FILE_READ_ATTRIBUTES | SYNCHRONIZE, &handle)
                           .status) &&
            IsBoundStub(handle)) {
            return -EACCES;
        }
    }
    if (path == nullptr) {
        return -ENOENT;  // an open file since removed
    }
    // Nor is an image presented replayed cut, as it takes no writes.
    if (ReplayedLayer* logs = State().stack->Logs()) {
        std::vector<std::u16string> components;
        for (const auto& part : std::filesystem::path(Relative(path))) {
            components.push_back(part.u16string());
        }
        if (!components.empty() && logs->Examine(components)) {
            return -EACCES;
        }
    }
    return ::truncate(HostPath(path).c_str(), size) == 0 ? 0 : -errno;
}

int Ioctl(const char*, unsigned int cmd, void*, fuse_file_info* fi, unsigned int, void* data) {
    if (cmd != PONTOR_IOC_GET_STUB_HEADER) {
        return -ENOTTY;
    }
    const HeaderReply reply = QueryStubHeader(FileOf(fi)->handle);
    if (!NT_SUCCESS(reply.status)) {
        return Errno(reply.status);
    }
    std::memset(data, 0, PONTOR_STUB_HEADER_BYTES);
    std::memcpy(data, reply.bytes.data(),
                std::min<size_t>(reply.bytes.size(), PONTOR_STUB_HEADER_BYTES));
    return 0;
}

// What no filter sees, straight to the directory.
int Result(int r) { return r == 0 ? 0 : -errno; }
int Mkdir(const char* path, mode_t mode) { return Result(::mkdir(HostPath(path).c_str(), mode)); }
int Unlink(const char* path) { return Result(::unlink(HostPath(path).c_str())); }
int Rmdir(const char* path) { return Result(::rmdir(HostPath(path).c_str())); }
int Rename(const char* from, const char* to, unsigned int flags) {
    return Result(
        ::renameat2(AT_FDCWD, HostPath(from).c_str(), AT_FDCWD, HostPath(to).c_str(), flags));
}
int Chmod(const char* path, mode_t mode, fuse_file_info*) {
    return Result(::chmod(HostPath(path).c_str(), mode));
}
int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
    return Result(::lchown(HostPath(path).c_str(), uid, gid));
}
int Utimens(const char* path, const timespec times[2], fuse_file_info*) {
    return Result(::utimensat(AT_FDCWD, HostPath(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}
int Symlink(const char* target, const char* path) {
    return Result(::symlink(target, HostPath(path).c_str()));
}
int ReadLink(const char* path, char* buffer, size_t size) {
    const ssize_t n = ::readlink(HostPath(path).c_str(), buffer, size - 1);
    if (n < 0) {
        return -errno;
    }
    buffer[n] = 0;
    return 0;
}
int StatFs(const char*, struct statvfs* st) { return Result(::statvfs(State().root.c_str(), st)); }
int Flush(const char*, fuse_file_info*) { return 0; }

int OpenDir(const char* path, fuse_file_info* fi) {
    DIR* dir = ::opendir(HostPath(path).c_str());
    if (dir == nullptr) {
        return -errno;
    }
    fi->fh = (uintptr_t)dir;
    return 0;
}

int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
            fuse_readdir_flags) {
    DIR* dir = (DIR*)(uintptr_t)fi->fh;
    ::rewinddir(dir);
    while (dirent* entry = ::readdir(dir)) {
        if (fill(buffer, entry->d_name, nullptr, 0, (fuse_fill_dir_flags)0) != 0) {
            break;
        }
    }
    return 0;
}

int ReleaseDir(const char*, fuse_file_info* fi) {
    return Result(::closedir((DIR*)(uintptr_t)fi->fh));
}

void* Init(fuse_conn_info* connection, fuse_config* config) {
    // The largest request either way: each worker receives into a buffer
    // this large (plus a page), and each read is answered from one. 256 KiB
    // halves the requests of a sequential reader against the kernel's 128 KiB
    // and keeps the workers' buffers, the bulk of the daemon's memory, small.
    connection->max_write = kMaxWrite;
    // The kernel takes the smaller of this and the mount's read-ahead.
    if (const uint64_t readAhead = State().readAhead) {
        connection->max_readahead = (unsigned)std::min<uint64_t>(readAhead, 1u << 30);
    }
    config->use_ino = 0;
    config->nullpath_ok = 1;  // reads and writes need only the handle
    config->attr_timeout = 1.0;
    config->entry_timeout = 1.0;
    config->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The "MAJOR:MINOR" of the file system mounted last at path, from the mount
// table: a stat of the mount point would wait on this very daemon.
std::string MountedDevice(const std::string& path) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line, device;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, majorMinor, root, point;
        fields >> id >> parent >> majorMinor >> root >> point;
        // The table writes space, tab, newline and backslash as \ooo.
        std::string unescaped;
        for (size_t i = 0; i < point.size(); i++) {
            if (point[i] == '\\' && i + 3 < point.size() && IsOctal(point[i + 1]) &&
                IsOctal(point[i + 2]) && IsOctal(point[i + 3])) {
                unescaped += (char)std::stoi(point.substr(i + 1, 3), nullptr, 8);
                i += 3;
            } else {
                unescaped += point[i];
            }
        }
        if (unescaped == path) {
            device = majorMinor;
        }
    }
    return device;
}

// The kernel reads ahead of a sequential reader 128 KiB by default, one or
// two requests to the daemon; a longer window keeps several in flight, so
// that the workers overlap the reader. Only root may change it.
bool SetReadAhead(const std::string& mountpoint, uint64_t bytes) {
    const std::string device = MountedDevice(mountpoint);
    if (device.empty()) {
        return false;
    }
    std::ofstream knob("/sys/class/bdi/" + device + "/read_ahead_kb");
    knob << bytes / 1024;
    knob.flush();
    return knob.good();
}

fuse_operations Operations() {
    fuse_operations ops = {};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.readlink = ReadLink;
    ops.mkdir = Mkdir;
    ops.unlink = Unlink;
    ops.rmdir = Rmdir;
    ops.symlink = Symlink;
    ops.rename = Rename;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.truncate = Truncate;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = StatFs;
    ops.flush = Flush;
    ops.release = Release;
    ops.opendir = OpenDir;
    ops.readdir = ReadDir;
    ops.releasedir = ReleaseDir;
    ops.create = Create;
    ops.utimens = Utimens;
    ops.ioctl = Ioctl;
    return ops;
}

int Mount(const ParsedArgs& args) {
    const std::filesystem::path source =
        std::filesystem::absolute(args.Arguments()[0]).lexically_normal();
    const std::string mountpoint =
        std::filesystem::absolute(args.Arguments()[1]).lexically_normal().string();
    std::error_code error;
    for (const auto& [path, given] :
         {std::pair{source.string(), args.Arguments()[0]}, {mountpoint, args.Arguments()[1]}}) {
        if (!std::filesystem::is_directory(path, error)) {
            throw ToolError{given, std::filesystem::exists(path, error) ? ErrnoText(ENOTDIR)
                                                                        : ErrnoText(ENOENT)};
        }
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        throw ToolError{"/dev/fuse",
                        ErrnoText(errno) +
                            " (FUSE is not available here; 'pontor cat' reads a stub without it)"};
    }
    // Request and reply buffers are reused from the heap rather than mapped
    // and trimmed with every request; the binding's 1 MiB buffers are mapped
    // and go back to the system at once. Two arenas: the workers rarely wait
    // for one another's allocations, and freed buffers are not spread wide.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 4 << 20);
    ::mallopt(M_ARENA_MAX, 2);

    const auto readAhead = args.Value("readahead");
    MountState state;
    state.root = source;
    state.readAhead = readAhead ? ParseSize("--readahead", *readAhead) : kReadAhead;
    // Logs are told of as they are found: those of the images directly in
    // SOURCE now, before the daemon leaves the terminal; others when first
    // opened, which only -f shows.
    const std::string shownSource = args.Arguments()[0];
    state.stack = std::make_unique<FilterStack>(
        source, LogPolicy{!args.Flag("ignore-log"), [shownSource](const LogNotice& notice) {
                              const std::string shown =
                                  (std::filesystem::path(shownSource) / notice.image).string();
                              std::fprintf(stderr, "%s\n", NoticeLine(notice, shown).c_str());
                          }});
    if (ReplayedLayer* logs = state.stack->Logs()) {
        for (const auto& entry : std::filesystem::directory_iterator(source, error)) {
            if (entry.is_regular_file(error) && !entry.is_symlink(error)) {
                logs->Examine({entry.path().filename().u16string()});
            }
        }
        // The logs' regions and entries were read whole to find what to
        // keep: what is not kept goes back before the daemon serves.
        ::malloc_trim(0);
    }

    std::string options =
        "fsname=pontor:" + source.string() + ",subtype=pontor,default_permissions";
    if (const auto extra = args.Value("options")) {
        options += "," + *extra;
    }
    const char* argv[] = {"pontor", "-o", options.c_str()};
    fuse_args fargs = FUSE_ARGS_INIT(3, (char**)argv);
    const fuse_operations ops = Operations();
    fuse* fs = fuse_new(&fargs, &ops, sizeof ops, &state);
    fuse_opt_free_args(&fargs);
    if (fs == nullptr) {
        throw ToolError{mountpoint, "FUSE refused the options '" + options + "'"};
    }
    fuse_session* session = fuse_get_session(fs);
    // The handlers come first: a stop asked for as soon as the mount appears
    // must still end the loop and unmount, not kill the daemon mounted.
    if (fuse_set_signal_handlers(session) != 0) {
        fuse_destroy(fs);
        throw ToolError{mountpoint, "cannot install the signal handlers"};
    }
    if (fuse_mount(fs, mountpoint.c_str()) != 0) {
        fuse_remove_signal_handlers(session);
        fuse_destroy(fs);
        throw ToolError{args.Arguments()[1], "cannot mount here (see the line above)"};
    }
    if (state.readAhead != 0) {
        if (!SetReadAhead(mountpoint, state.readAhead) && readAhead) {
            std::fprintf(stderr, "pontor: %s: read-ahead left as it was (only root may set it)\n",
                         args.Arguments()[1].c_str());
        }
    }
    int status = kExitOk;
    if (fuse_daemonize(args.Flag("foreground") ? 1 : 0) != 0) {
        status = kExitFailure;
    } else {
        // Reads of one stub take turns (the driver holds the stream's mutex
        // across each), and every worker keeps its own request and reply
        // buffers: a few more workers than processors keep both busy.
        const unsigned workers = std::thread::hardware_concurrency() + 2;
        if (!ServeSession(session, workers, kMaxWrite, ReadOpenFile)) {
            status = kExitFailure;
        }
    }
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    for (OpenFile* file : state.open) {
        file->handle.Close();
        delete file;
    }
    state.open.clear();
    state.stack.reset();
    return status;
}

}  // namespace

Command MountCommand() {
    return {
        {"mount",
         "SOURCE MOUNTPOINT",
         "serve a directory through the driver with FUSE",
         "Mounts SOURCE (a directory) at MOUNTPOINT with the driver loaded over it. Each\n"
         "file operation becomes the matching request to the host I/O manager: stat opens\n"
         "the file and asks its size, so a stub shows its served size; reads of a bound\n"
         "stub serve the virtual disk; writes to it (and truncating it) fail with EACCES;\n"
         "the ioctl PONTOR_IOC_GET_STUB_HEADER (tools/pontor_ioctl.h) returns its header.\n"
         "Other files pass through. Listing, renaming, removing, permissions and times\n"
         "go straight to SOURCE, as no filter sees them. Runs in the background unless\n"
         "-f; unmounts on SIGINT or SIGTERM, or with 'fusermount3 -u MOUNTPOINT'.\n"
         "\n"
         "Only the user who mounted can use the mount unless -o allow_other is given:\n"
         "needed when a hypervisor runs as another user (QEMU under libvirt as\n"
         "libvirt-qemu, VirtualBox or VMware as you while root mounted). Users other\n"
         "than root may give it only where /etc/fuse.conf holds user_allow_other.\n"
         "\n"
         "A hypervisor opens the descriptor NAME.vmdk that 'pontor stub create' writes\n"
         "beside the stub NAME-flat.vmdk: shorter than a stub, it passes through, and\n"
         "its extent is the stub, served. Attach it read-only, as writes are refused:\n"
         "VMware, an independent-nonpersistent disk or a snapshot's child; VirtualBox,\n"
         "an immutable disk; QEMU, readonly=on or -snapshot. For example:\n"
         "  pontor mount -o allow_other images vm\n"
         "  qemu-img info vm/disk.vmdk\n"
         "  qemu-system-x86_64 -drive file=vm/disk.vmdk,format=vmdk,if=virtio,readonly=on\n"
         "\n"
         "An image whose log was not replayed (a WSL or Docker ext4.vhdx after a crash, a\n"
         "copy of a running machine's disk) is served with its log applied in memory, as\n"
         "Windows applies it when it attaches the disk: its stub serves the disk as it\n"
         "now is, and the image file itself reads, through the mount, as 'pontor replay'\n"
         "would write it (so qemu-img, which refuses such an image read-only, opens it\n"
         "there). The file in SOURCE is only read; opening it for writing through the\n"
         "mount fails with EACCES. Each such image is named on stderr: those directly in\n"
         "SOURCE when it mounts, others when first opened (seen with -f). A log that\n"
         "cannot be replayed is served as the file stands, with a warning. --ignore-log\n"
         "serves every image as it stands, stale, as the driver serves it on Windows.\n",
         {{'f', "foreground", nullptr, "stay in the foreground"},
          {'o', "options", "OPTS", "more FUSE mount options, comma-separated (e.g. allow_other)"},
          {0, "readahead", "SIZE",
           "kernel read-ahead for the mount (default 512K; 0: the kernel's; root only)"},
          kIgnoreLogOption},
         2,
         2},
        Mount};
}

}  // namespace tool
