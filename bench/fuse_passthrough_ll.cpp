// A stricter floor than fuse_passthrough: the same read-only passthrough of
// the files directly in a directory, on libfuse's low-level interface, which
// has no path layer. Each read is one pread into a buffer the worker keeps,
// answered with fuse_reply_buf; the loop is libfuse's own, multi-threaded,
// configured as fuse_passthrough's. The mount benchmark shows the mount
// against it for reference.
//
// usage: fuse_passthrough_ll SOURCE MOUNTPOINT   (foreground; SIGTERM unmounts)
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kTimeout = 1.0;  // attributes and entries, as fuse_passthrough's

std::string gSource;
std::mutex gMutex;
std::vector<std::string> gNames;  // inode i + 2 is gNames[i]; the root is 1

fuse_ino_t InodeOf(const std::string& name) {
    std::lock_guard<std::mutex> lock(gMutex);
    for (size_t i = 0; i < gNames.size(); i++) {
        if (gNames[i] == name) {
            return i + 2;
        }
    }
    gNames.push_back(name);
    return gNames.size() + 1;
}

std::string PathOf(fuse_ino_t ino) {
    std::lock_guard<std::mutex> lock(gMutex);
    return ino == FUSE_ROOT_ID ? gSource : gSource + "/" + gNames.at(ino - 2);
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param entry = {};
    if (parent != FUSE_ROOT_ID || ::lstat((gSource + "/" + name).c_str(), &entry.attr) != 0) {
        fuse_reply_err(req, parent != FUSE_ROOT_ID ? ENOENT : errno);
        return;
    }
    entry.ino = InodeOf(name);
    entry.attr.st_ino = entry.ino;
    entry.attr_timeout = entry.entry_timeout = kTimeout;
    fuse_reply_entry(req, &entry);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st;
    if (::lstat(PathOf(ino).c_str(), &st) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    st.st_ino = ino;
    fuse_reply_attr(req, &st, kTimeout);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const int fd = ::open(PathOf(ino).c_str(), O_RDONLY);
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fi->fh = (uint64_t)fd;
    fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    thread_local std::vector<char> buffer;
    if (buffer.size() < size) {
        buffer.resize(size);
    }
    const ssize_t n = ::pread((int)fi->fh, buffer.data(), size, offset);
    if (n < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_buf(req, buffer.data(), (size_t)n);
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    fuse_reply_err(req, ::close((int)fi->fh) == 0 ? 0 : errno);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuse_passthrough_ll SOURCE MOUNTPOINT\n");
        return 2;
    }
    gSource = argv[1];
    fuse_lowlevel_ops ops = {};
    ops.lookup = Lookup;
    ops.getattr = GetAttr;
    ops.open = Open;
    ops.read = Read;
    ops.release = Release;
    const char* fargv[] = {"fuse_passthrough_ll", "-o",
                           "fsname=passthrough-ll,default_permissions,ro"};
    fuse_args args = FUSE_ARGS_INIT(3, (char**)fargv);
    fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (session == nullptr || fuse_set_signal_handlers(session) != 0 ||
        fuse_session_mount(session, argv[2]) != 0) {
        std::fprintf(stderr, "fuse_passthrough_ll: cannot mount %s\n", argv[2]);
        return 1;
    }
    fuse_loop_config* config = fuse_loop_cfg_create();
    const unsigned workers = std::thread::hardware_concurrency() + 2;
    fuse_loop_cfg_set_max_threads(config, workers);
    fuse_loop_cfg_set_idle_threads(config, workers);
    fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    fuse_remove_signal_handlers(session);
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    return 0;
}
