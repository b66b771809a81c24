// The floor FUSE itself sets: a read-only passthrough of a directory with
// libfuse3, multi-threaded, configured as 'pontor mount' is (attribute and
// entry timeouts, no path for reads, worker threads), each read one pread of
// the file below.
// The mount benchmark reads the raw file through it as its baseline.
//
// usage: fuse_passthrough SOURCE MOUNTPOINT   (foreground; SIGTERM unmounts)
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::string gSource;

std::string HostPath(const char* path) { return gSource + path; }

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
    const int r = fi ? ::fstat((int)fi->fh, st) : ::lstat(HostPath(path).c_str(), st);
    return r == 0 ? 0 : -errno;
}

int Open(const char* path, fuse_file_info* fi) {
    const int fd = ::open(HostPath(path).c_str(), O_RDONLY);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = (uint64_t)fd;
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pread((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

int Release(const char*, fuse_file_info* fi) { return ::close((int)fi->fh) == 0 ? 0 : -errno; }

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
    DIR* dir = ::opendir(HostPath(path).c_str());
    if (dir == nullptr) {
        return -errno;
    }
    while (dirent* entry = ::readdir(dir)) {
        fill(buffer, entry->d_name, nullptr, 0, (fuse_fill_dir_flags)0);
    }
    ::closedir(dir);
    return 0;
}

void* Init(fuse_conn_info*, fuse_config* config) {
    config->use_ino = 0;
    config->nullpath_ok = 1;
    config->attr_timeout = 1.0;
    config->entry_timeout = 1.0;
    config->negative_timeout = 0;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuse_passthrough SOURCE MOUNTPOINT\n");
        return 2;
    }
    gSource = argv[1];
    fuse_operations ops = {};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.open = Open;
    ops.read = Read;
    ops.release = Release;
    ops.readdir = ReadDir;
    const char* fargv[] = {"fuse_passthrough", "-o", "fsname=passthrough,default_permissions,ro"};
    fuse_args args = FUSE_ARGS_INIT(3, (char**)fargv);
    fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (fs == nullptr || fuse_mount(fs, argv[2]) != 0) {
        std::fprintf(stderr, "fuse_passthrough: cannot mount %s\n", argv[2]);
        return 1;
    }
    fuse_set_signal_handlers(fuse_get_session(fs));
    fuse_loop_config* config = fuse_loop_cfg_create();
    const unsigned workers = std::thread::hardware_concurrency() + 2;
    fuse_loop_cfg_set_max_threads(config, workers);
    fuse_loop_cfg_set_idle_threads(config, workers);
    fuse_loop_mt(fs, config);
    fuse_loop_cfg_destroy(config);
    fuse_remove_signal_handlers(fuse_get_session(fs));
    fuse_unmount(fs);
    fuse_destroy(fs);
    return 0;
}
