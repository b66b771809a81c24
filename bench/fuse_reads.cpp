// One read workload on a file, timed: sequential or random reads of a fixed
// size from THREADS threads, each with its own open. Prints the bytes read
// and the seconds taken, so that a driver script can form ratios between
// files read in the same run.
//
// usage: fuse_reads FILE seq|rand REQUEST THREADS BYTES_PER_THREAD
//   seq:  thread t reads its BYTES_PER_THREAD from t * BYTES_PER_THREAD on
//   rand: each thread reads BYTES_PER_THREAD / REQUEST requests at random
//         REQUEST-aligned offsets of the whole file
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: fuse_reads FILE seq|rand REQUEST THREADS BYTES_PER_THREAD\n");
        return 2;
    }
    const char* path = argv[1];
    const bool sequential = std::string_view(argv[2]) == "seq";
    const size_t request = std::strtoull(argv[3], nullptr, 0);
    const int threads = std::atoi(argv[4]);
    const uint64_t perThread = std::strtoull(argv[5], nullptr, 0);
    struct stat st;
    if (::stat(path, &st) != 0 || request == 0 || threads < 1) {
        std::perror(path);
        return 1;
    }
    const uint64_t size = (uint64_t)st.st_size;
    // Every file is opened before the clock starts: opening a FUSE file drops
    // the pages an earlier run left cached, which is no part of reading.
    std::vector<int> fds;
    for (int t = 0; t < threads; t++) {
        fds.push_back(::open(path, O_RDONLY));
        if (fds.back() < 0) {
            std::perror(path);
            return 1;
        }
    }
    std::atomic<uint64_t> total{0};
    std::atomic<bool> failed{false};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            const int fd = fds[t];
            std::vector<char> buffer(request);
            std::mt19937_64 random(1000 + t);
            uint64_t done = 0;
            for (uint64_t i = 0; done < perThread; i++) {
                const uint64_t offset = sequential ? (t * perThread + i * request) % size
                                                   : random() % (size / request) * request;
                const ssize_t n = ::pread(fd, buffer.data(), request, (off_t)offset);
                if (n <= 0) {
                    failed = true;
                    break;
                }
                done += (uint64_t)n;
            }
            total += done;
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : fds) {
        ::close(fd);
    }
    if (failed) {
        std::fprintf(stderr, "fuse_reads: %s: a read failed\n", path);
        return 1;
    }
    std::printf("%llu %.6f\n", (unsigned long long)total.load(), seconds);
    return 0;
}
