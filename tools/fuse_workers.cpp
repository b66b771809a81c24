// libfuse answers each request through a request object it allocates, and
// its path layer gives each read a buffer and a buffer vector of their own:
// for a 4 KiB read, more instructions than the driver's whole read path. The
// workers here answer a read from the buffers they keep, and pass every
// other request, and a read too large for them, to libfuse as it came.
#define FUSE_USE_VERSION 312
#include "tools/fuse_workers.h"

#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace tool {
namespace {

// libfuse's own margin for a request's headers above its largest write.
constexpr size_t kHeaderRoom = 4096;

// The device the thread reads: the kernel takes a reply only on the device
// (clone) its request was read from, so libfuse's replies to the requests a
// worker hands it go back there too.
thread_local int tDevice = -1;

ssize_t Send(int fd, iovec* iov, int count, void*) {
    return ::writev(tDevice >= 0 ? tDevice : fd, iov, count);
}

// libfuse wants a receive too; only its own loop would call it, and the
// workers read the device themselves.
ssize_t Receive(int fd, void* buffer, size_t size, void*) { return ::read(fd, buffer, size); }

struct Loop {
    fuse_session* session;
    ReadAnswer answer;
    size_t maxWrite;
    sem_t ended;  // posted by each worker that stops
    std::atomic<bool> failed{false};
};

struct Worker {
    Loop* loop = nullptr;
    int device = -1;
    bool cloned = false;
    bool started = false;
    std::atomic<bool> stopped{false};
    pthread_t thread = {};
};

// Sent to a worker blocked reading the device once the session has ended:
// the handler does nothing, and is installed without SA_RESTART, so that the
// read fails with EINTR. (libfuse cancels its workers instead; a forced
// unwind through C++ frames aborts with the C++ runtime linked in.)
int WakeSignal() { return SIGRTMIN; }
void Wake(int) {}

// A read of up to maxWrite bytes, answered with the header and the data in
// one write. A reply the kernel no longer waits for (its reader was
// interrupted) fails with ENOENT, which libfuse ignores too.
void AnswerRead(const Loop& loop, int device, const fuse_in_header& in, const fuse_read_in& read,
                char* reply) {
    auto* out = (fuse_out_header*)reply;
    const ssize_t n = loop.answer(read.fh, read.offset, read.size, reply + sizeof *out);
    out->unique = in.unique;
    out->error = n < 0 ? (int32_t)n : 0;
    out->len = (uint32_t)(sizeof *out + (n > 0 ? (size_t)n : 0));
    (void)!::write(device, reply, out->len);
}

void* Work(void* argument) {
    Worker& worker = *(Worker*)argument;
    Loop& loop = *worker.loop;
    tDevice = worker.device;
    // The kernel refuses a read of the device into less than the largest
    // write and its headers. Left uninitialised: only the pages that
    // requests and replies reach are touched.
    const size_t requestBytes = loop.maxWrite + kHeaderRoom;
    const std::unique_ptr<char[]> request(new char[requestBytes]);
    const std::unique_ptr<char[]> reply(new char[sizeof(fuse_out_header) + loop.maxWrite]);
    while (!fuse_session_exited(loop.session)) {
        const ssize_t n = ::read(worker.device, request.get(), requestBytes);
        const int error = errno;
        if (n < 0) {
            // ENOENT: the request was interrupted before it was read.
            if (error == EINTR || error == EAGAIN || error == ENOENT) {
                continue;
            }
            if (error != ENODEV) {  // ENODEV: unmounted
                std::fprintf(stderr, "pontor: reading the FUSE device: %s\n", std::strerror(error));
                loop.failed = true;
            }
            fuse_session_exit(loop.session);
            break;
        }
        const auto* in = (const fuse_in_header*)request.get();
        if ((size_t)n >= sizeof *in + sizeof(fuse_read_in) && in->opcode == FUSE_READ) {
            const auto* read = (const fuse_read_in*)(in + 1);
            if (read->size <= loop.maxWrite) {
                AnswerRead(loop, worker.device, *in, *read, reply.get());
                continue;
            }
        }
        fuse_buf buffer = {};
        buffer.mem = request.get();
        buffer.size = (size_t)n;
        fuse_session_process_buf(loop.session, &buffer);
    }
    worker.stopped = true;
    ::sem_post(&loop.ended);
    return nullptr;
}

// A clone of the session's device, with a list of requests being answered
// of its own, so that two readers' workers do not meet on one lock; the
// session's device itself where the kernel cannot clone.
int Clone(int master, bool* cloned) {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    uint32_t source = (uint32_t)master;
    if (fd >= 0 && ::ioctl(fd, FUSE_DEV_IOC_CLONE, &source) == 0) {
        *cloned = true;
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    *cloned = false;
    return master;
}

}  // namespace

bool ServeSession(fuse_session* session, unsigned workers, size_t maxWrite, ReadAnswer answer) {
    const int master = fuse_session_fd(session);
    static const fuse_custom_io io = {Send, Receive, nullptr, nullptr};
    if (fuse_session_custom_io(session, &io, master) != 0) {
        std::fprintf(stderr, "pontor: libfuse refused the mount's own request loop\n");
        return false;
    }
    struct sigaction wake = {}, previous = {};
    wake.sa_handler = Wake;
    ::sigemptyset(&wake.sa_mask);
    ::sigaction(WakeSignal(), &wake, &previous);
    Loop loop;
    loop.session = session;
    loop.answer = answer;
    loop.maxWrite = maxWrite;
    ::sem_init(&loop.ended, 0, 0);
    std::vector<Worker> pool(workers == 0 ? 1 : workers);
    unsigned started = 0;
    for (Worker& worker : pool) {
        worker.loop = &loop;
        worker.device = Clone(master, &worker.cloned);
        worker.started = ::pthread_create(&worker.thread, nullptr, Work, &worker) == 0;
        started += worker.started;
    }
    if (started == 0) {
        std::fprintf(stderr, "pontor: cannot start a worker thread\n");
        loop.failed = true;
    } else {
        // A signal that libfuse's handlers caught interrupts this wait or a
        // worker's read, which then stops; an unmount stops them all.
        while (!fuse_session_exited(session)) {
            ::sem_wait(&loop.ended);
        }
    }
    // A worker may see the session running and then miss the signal before
    // it reads: the signal is sent again until every worker has stopped.
    for (bool waking = true; waking;) {
        waking = false;
        for (Worker& worker : pool) {
            if (worker.started && !worker.stopped) {
                ::pthread_kill(worker.thread, WakeSignal());
                waking = true;
            }
        }
        if (waking) {
            ::usleep(1000);
        }
    }
    for (Worker& worker : pool) {
        if (worker.started) {
            ::pthread_join(worker.thread, nullptr);
        }
        if (worker.cloned) {
            ::close(worker.device);
        }
    }
    ::sem_destroy(&loop.ended);
    ::sigaction(WakeSignal(), &previous, nullptr);
    return !loop.failed;
}

}  // namespace tool
