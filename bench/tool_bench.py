#!/usr/bin/env python3
"""Benchmark of the pontor tool and mount against baselines measured in the
same run. Every figure is a ratio, the median of ROUNDS rounds with its
lowest and highest value; the rounds interleave the runs they compare.

  cat      pontor cat of a fully present image to /dev/null, against dd of the
           equivalent raw file to /dev/null (qemu-img convert to a null target
           shown beside it)
  convert  qemu-img convert of the same image to a raw file, against pontor
           convert to the same destination (above 1: pontor is ahead): a file
           in /dev/shm, where the time is the tools' own, and one in WORKDIR,
           where the disk's write-back takes a varying share (a reference)
  mount    4 KiB reads through 'pontor mount', sequential and random, against
           the raw file through a plain FUSE passthrough and the image through
           vhdimount and through qemu's own FUSE export (qemu-storage-daemon);
           two reader threads against one; the peak resident size of each daemon.
           For reference, random reads against a passthrough on libfuse's
           low-level interface (fuse_passthrough_ll), a stricter floor
  scaling  two random readers of two different stubs through 'pontor mount'
           against one, beside the same for a plain FUSE passthrough over two
           raw files, measured in the same rounds: the host platform has no
           lock shared by the two readers' requests, so pontor should scale
           as the passthrough does (ratio of the scalings near 1)
  memory   peak resident size of pontor cat and convert, and of the mount daemon
  huge     a 64 TiB dynamic image with 1 MiB blocks (a 512 MiB BAT) holding two
           4 MiB pieces: time and peak resident size of pontor info, check,
           map and stub create beside qemu-img info and check and vhdiinfo,
           of pontor flatten of a five-block child over it (made by
           make_child, as qemu-img cannot), and the resident size of the pontor mount daemon and of qemu's FUSE
           export after binding it and reading from it
  dirty    a 1 TiB dynamic image whose log (its 1 MiB log region nearly full)
           was not replayed, made by make_logged: the pontor mount daemon's
           resident and peak size with the log applied in memory, beside the
           same daemon with --ignore-log, after binding a stub and reading it

Images: SIZE MiB of random data (default 2048) converted by qemu-img to VHDX
with 1 MiB and with 32 MiB blocks. Needs about 6 x SIZE of free space in
WORKDIR, qemu-img, fusermount3, vhdimount, qemu-storage-daemon and /dev/fuse
for the mount figures.

usage: bench/tool_bench.py [--rounds N] [--size MiB] [--build DIR] [--only PART,...] [WORKDIR]
  --only takes cat, convert, mount, scaling, memory, huge and dirty; all seven by default
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1 << 20
BLOCK_SIZES = ("1M", "32M")


def run(*args, stdout=subprocess.DEVNULL, **kwargs):
    subprocess.run(args, check=True, stdout=stdout, **kwargs)


def seconds(*args, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    run(*args, stdout=stdout)
    return time.perf_counter() - start


def peak_kib(*args):
    """Peak resident size of a command, from GNU time."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *args], check=True, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def summary(values):
    return statistics.median(values), min(values), max(values)


class Report:
    def __init__(self):
        self.failed = []

    def ratio(self, name, values, floor=None, note=""):
        median, low, high = summary(values)
        verdict = ""
        if floor is not None:
            verdict = "  ok (>= %.2f)" % floor if median >= floor else "  BELOW %.2f" % floor
            if median < floor:
                self.failed.append(name)
        print("  %-52s %6.2f  (%.2f .. %.2f)%s%s" % (name, median, low, high, verdict, note))

    def memory(self, name, kib, ceiling_mib):
        ok = kib <= ceiling_mib * 1024
        if not ok:
            self.failed.append(name)
        print("  %-52s %6.1f MiB  %s" % (name, kib / 1024, "ok (<= %d MiB)" % ceiling_mib if ok else
                                          "ABOVE %d MiB" % ceiling_mib))


def wait_mounted(path, process=None, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.ismount(path):
            return
        if process is not None and process.poll() is not None:
            break
        time.sleep(0.02)
    sys.exit("tool_bench: %s did not mount" % path)


def set_read_ahead(path, kib):
    """The read-ahead of the file system mounted at path, as 'pontor mount'
    sets its own; False where that is not allowed (only root may)."""
    device = os.stat(path).st_dev
    try:
        with open("/sys/class/bdi/%d:%d/read_ahead_kb" % (os.major(device), os.minor(device)), "w") as knob:
            knob.write(str(kib))
    except OSError:
        return False
    return True


def unmount(path):
    if os.path.ismount(path):
        subprocess.run(["fusermount3", "-u", path], stderr=subprocess.DEVNULL)


def mount_points(work, prefix, names):
    mounts = {name: os.path.join(work, prefix + name) for name in names}
    for path in mounts.values():
        os.makedirs(path, exist_ok=True)
    return mounts


def start(daemons, path, *command):
    """Starts a FUSE daemon in the foreground and waits for its mount."""
    daemon = subprocess.Popen(command)
    daemons.append(daemon)
    wait_mounted(path, daemon)
    return daemon


def qemu_export(daemons, image, path):
    """qemu's own FUSE export of image, read only, at the regular file path."""
    if not os.path.exists(path):
        open(path, "w").close()
    daemon = subprocess.Popen(
        ["qemu-storage-daemon", "--blockdev", "driver=file,filename=%s,node-name=f,read-only=on" % image,
         "--blockdev", "driver=vhdx,file=f,node-name=d,read-only=on",
         "--export", "type=fuse,id=e,node-name=d,mountpoint=%s,writable=off" % path])
    daemons.append(daemon)
    wait_mounted(path, daemon)
    return daemon


def status_kib(pid, field):
    """VmRSS or VmHWM of a process, in KiB."""
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def pid_serving(path):
    """The process whose command line names path (vhdimount daemonizes)."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    if path.encode() in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                pass
    return None


def stop(paths, daemons):
    for path in paths:
        unmount(path)
    for process in daemons:
        process.terminate()
        process.wait()


def prepare(work, size_mib, pontor):
    raw = os.path.join(work, "raw", "random.raw")
    served = os.path.join(work, "served")
    os.makedirs(os.path.dirname(raw), exist_ok=True)
    os.makedirs(served, exist_ok=True)
    if not os.path.exists(raw) or os.path.getsize(raw) != size_mib * MiB:
        print("preparing %d MiB of random data and its images in %s" % (size_mib, work))
        run("dd", "if=/dev/urandom", "of=" + raw, "bs=1M", "count=%d" % size_mib, "status=none")
    for bs in BLOCK_SIZES:
        image = os.path.join(served, "full-%s.vhdx" % bs)
        if not os.path.exists(image):
            run("qemu-img", "convert", "-f", "raw", "-O", "vhdx", "-o", "subformat=dynamic,block_size=" + bs, raw,
                image)
        stub = image[:-4] + "vmdk"
        if not os.path.exists(stub):
            run(pontor, "stub", "create", "--stub-only", image)
    return raw, served


def warm(*paths):
    """Evicts the files from the page cache and reads them back in, so that
    the raw file and the images are cached alike however they were written
    (how pages were written changes how fast they are copied out)."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
        run("cat", path)


def bench_cat(report, rounds, raw, served, pontor, size):
    print("\ncat: throughput of each reader of the whole disk, as a ratio to dd of the raw file")
    for bs in BLOCK_SIZES:
        image = os.path.join(served, "full-%s.vhdx" % bs)
        stub = image[:-4] + "vmdk"
        warm(raw, image)
        tool, qemu = [], []
        for _ in range(rounds):
            base = seconds("dd", "if=" + raw, "of=/dev/null", "bs=8M", "status=none")
            tool.append(base / seconds(pontor, "cat", stub))
            qemu.append(base / seconds("qemu-img", "convert", "-f", "vhdx", "-n", "--target-image-opts", image,
                                       "driver=null-co,size=%d" % size))
        report.ratio("pontor cat, %s blocks / dd of raw" % bs, tool, 0.8)
        report.ratio("qemu-img convert to null, %s blocks / dd of raw" % bs, qemu, note="  (reference)")


def convert_destinations(work, size):
    """Where the outputs go: a file in memory (tmpfs), where the time is the
    tools' own, and a file in WORKDIR, where the disk's write-back (and, on
    a file system mounted with discard, the trimming of the previous output)
    takes its share at random."""
    places = []
    shm = "/dev/shm"
    if os.path.isdir(shm) and shutil.disk_usage(shm).free > 2 * size:
        places.append(("in memory", os.path.join(shm, "pontor-bench-out.raw"), 1.0))
    places.append(("on disk", os.path.join(work, "out.raw"), None if places else 1.0))
    return places


def bench_convert(report, rounds, work, served, pontor, size):
    print("\nconvert: qemu-img convert time over pontor convert time, same image, same destination")
    for where, out, floor in convert_destinations(work, size):
        for bs in BLOCK_SIZES:
            image = os.path.join(served, "full-%s.vhdx" % bs)
            stub = image[:-4] + "vmdk"
            warm(image)
            ratios = []
            commands = [("qemu", ("qemu-img", "convert", "-f", "vhdx", "-O", "raw", image, out)),
                        ("pontor", (pontor, "convert", stub, out))]
            for round_ in range(rounds):
                times = {}
                for name, command in commands[round_ % 2:] + commands[:round_ % 2]:
                    if os.path.exists(out):
                        os.unlink(out)
                    run("sync")
                    times[name] = seconds(*command)
                ratios.append(times["qemu"] / times["pontor"])
            os.unlink(out)
            report.ratio("qemu-img convert time / pontor convert time, %s, %s" % (bs, where), ratios, floor,
                         note="" if floor else "  (reference: the disk's share varies)")


def read_rate(reads, path, mode, threads, per_thread):
    result = subprocess.run([reads, path, mode, "4096", str(threads), str(per_thread)], check=True,
                            stdout=subprocess.PIPE, text=True)
    total, elapsed = result.stdout.split()
    return int(total) / float(elapsed)


def bench_mount(report, rounds, work, raw, served, pontor, build, size):
    if not (os.access("/dev/fuse", os.R_OK | os.W_OK) and shutil.which("fusermount3") and shutil.which("vhdimount")
            and shutil.which("qemu-storage-daemon")):
        print("\nmount: skipped (needs /dev/fuse, fusermount3, vhdimount and qemu-storage-daemon)")
        return None
    print("\nmount: 4 KiB reads, throughput ratios; 'plain' is the raw file through a FUSE passthrough with the\n"
          "kernel's read-ahead (128K); 'plain-512K' the same with the pontor mount's read-ahead; 'low-level\n"
          "passthrough' the same files through libfuse's low-level interface, without its path layer")
    reads = os.path.join(build, "bench", "fuse_reads")
    mounts = mount_points(work, "mnt-", ("pontor", "plain", "plain-512K", "plain-ll", "vhdi-1M", "vhdi-32M"))
    exports = {bs: os.path.join(work, "qemu-export-%s.raw" % bs) for bs in BLOCK_SIZES}
    daemons = []
    qemu = {}
    try:
        daemon = start(daemons, mounts["pontor"], pontor, "mount", "-f", served, mounts["pontor"])
        for name in ("plain", "plain-512K"):
            start(daemons, mounts[name], os.path.join(build, "bench", "fuse_passthrough"), os.path.dirname(raw),
                  mounts[name])
        start(daemons, mounts["plain-ll"], os.path.join(build, "bench", "fuse_passthrough_ll"),
              os.path.dirname(raw), mounts["plain-ll"])
        if not set_read_ahead(mounts["plain-512K"], 512):
            print("  (not root: every mount keeps the kernel's read-ahead, 'plain-512K' included)")
        for bs in BLOCK_SIZES:
            run("vhdimount", os.path.join(served, "full-%s.vhdx" % bs), mounts["vhdi-" + bs])
            wait_mounted(mounts["vhdi-" + bs])
            qemu[bs] = qemu_export(daemons, os.path.join(served, "full-%s.vhdx" % bs), exports[bs])
        plain = os.path.join(mounts["plain"], "random.raw")
        plain512 = os.path.join(mounts["plain-512K"], "random.raw")
        low_level = os.path.join(mounts["plain-ll"], "random.raw")
        workloads = (("seq", "seq", 1, min(size, 1024 * MiB)), ("rand", "rand", 1, 96 * MiB),
                     ("two", "rand", 2, 96 * MiB))
        for bs in BLOCK_SIZES:
            ours = os.path.join(mounts["pontor"], "full-%s.vmdk" % bs)
            vhdi = os.path.join(mounts["vhdi-" + bs], "vhdi1")
            warm(raw, os.path.join(served, "full-%s.vhdx" % bs))
            figures = {key: [] for key in ("seq", "rand", "seq-v", "rand-v", "two", "two-v", "two-plain", "seq-512",
                                           "seq-q", "rand-q", "two-q", "two-vs-plain", "rand-ll", "two-ll")}
            readers = [("ours", ours), ("plain", plain), ("vhdi", vhdi), ("plain-512K", plain512),
                       ("qemu", exports[bs]), ("plain-ll", low_level)]
            # The two references are read only in the workloads they are shown for.
            skipped = {("plain-512K", "rand"), ("plain-512K", "two"), ("plain-ll", "seq")}
            loads = []
            for round_ in range(rounds):
                # The files compared read one workload back to back, each
                # round in another order, so that a slow spell of the
                # machine falls on all of them alike.
                turn = readers[round_ % len(readers):] + readers[:round_ % len(readers)]
                rate = {}
                for key, mode, threads, per_thread in workloads:
                    for name, path in turn:
                        if (name, key) not in skipped:
                            rate[name, key] = read_rate(reads, path, mode, threads, per_thread)
                figures["seq"].append(rate["ours", "seq"] / rate["plain", "seq"])
                figures["rand"].append(rate["ours", "rand"] / rate["plain", "rand"])
                figures["seq-v"].append(rate["ours", "seq"] / rate["vhdi", "seq"])
                figures["rand-v"].append(rate["ours", "rand"] / rate["vhdi", "rand"])
                figures["two"].append(rate["ours", "two"] / rate["ours", "rand"])
                figures["two-v"].append(rate["ours", "two"] / rate["vhdi", "two"])
                figures["two-plain"].append(rate["plain", "two"] / rate["plain", "rand"])
                figures["seq-512"].append(rate["ours", "seq"] / rate["plain-512K", "seq"])
                figures["seq-q"].append(rate["ours", "seq"] / rate["qemu", "seq"])
                figures["rand-q"].append(rate["ours", "rand"] / rate["qemu", "rand"])
                figures["two-q"].append(rate["ours", "two"] / rate["qemu", "two"])
                figures["two-vs-plain"].append(rate["ours", "two"] / rate["plain", "two"])
                figures["rand-ll"].append(rate["ours", "rand"] / rate["plain-ll", "rand"])
                figures["two-ll"].append(rate["ours", "two"] / rate["plain-ll", "two"])
                loads.append(os.getloadavg()[0])
            report.ratio("sequential, %s blocks: pontor mount / plain FUSE" % bs, figures["seq"], 0.9)
            report.ratio("random, %s blocks: pontor mount / plain FUSE" % bs, figures["rand"], 0.95)
            report.ratio("sequential, %s blocks: pontor mount / vhdimount" % bs, figures["seq-v"], 1.0)
            report.ratio("random, %s blocks: pontor mount / vhdimount" % bs, figures["rand-v"], 1.0)
            report.ratio("two random readers / one, %s blocks: pontor mount" % bs, figures["two"], 1.5)
            report.ratio("two random readers, %s blocks: pontor mount / vhdimount" % bs, figures["two-v"], 1.0)
            report.ratio("two random readers, %s blocks: pontor mount / plain FUSE" % bs, figures["two-vs-plain"],
                         0.85)
            report.ratio("sequential, %s blocks: pontor mount / qemu FUSE export" % bs, figures["seq-q"], 1.0)
            report.ratio("random, %s blocks: pontor mount / qemu FUSE export" % bs, figures["rand-q"], 1.0)
            report.ratio("two random readers, %s blocks: pontor mount / qemu FUSE export" % bs, figures["two-q"],
                         1.0)
            report.ratio("two random readers / one: plain FUSE", figures["two-plain"], note="  (reference)")
            report.ratio("sequential, %s blocks: pontor mount / plain-512K" % bs, figures["seq-512"],
                         note="  (reference)")
            report.ratio("random, %s blocks: pontor mount / low-level passthrough" % bs, figures["rand-ll"],
                         note="  (reference)")
            report.ratio("two random readers, %s blocks: pontor mount / low-level passthrough" % bs,
                         figures["two-ll"], note="  (reference)")
            print("  load average (1 min) over the rounds: %.2f .. %.2f, on %d cores; the machine is shared" %
                  (min(loads), max(loads), os.cpu_count()))
        print("  peak resident size of each daemon after the reads:")
        hwm = status_kib(daemon.pid, "VmHWM")
        print("    %-50s %6.1f MiB" % ("pontor mount (both images)", hwm / 1024))
        for bs in BLOCK_SIZES:
            vhdi_pid = pid_serving(mounts["vhdi-" + bs])
            if vhdi_pid is not None:
                print("    %-50s %6.1f MiB" % ("vhdimount, %s blocks" % bs, status_kib(vhdi_pid, "VmHWM") / 1024))
            print("    %-50s %6.1f MiB" % ("qemu FUSE export, %s blocks" % bs, status_kib(qemu[bs].pid, "VmHWM") / 1024))
        return hwm
    finally:
        stop(list(mounts.values()) + list(exports.values()), daemons)


def concurrent_rate(reads, paths, per_reader):
    """Random 4 KiB reads, one process per file, all started together: the
    bytes of all of them over the time the slowest took."""
    processes = [subprocess.Popen([reads, path, "rand", "4096", "1", str(per_reader)], stdout=subprocess.PIPE,
                                  text=True) for path in paths]
    total, slowest = 0, 0.0
    for process in processes:
        out, _ = process.communicate()
        if process.returncode != 0:
            sys.exit("tool_bench: fuse_reads failed")
        got, elapsed = out.split()
        total += int(got)
        slowest = max(slowest, float(elapsed))
    return total / slowest


def twins(work, raw, served, pontor):
    """A second raw file and a second 1 MiB-block image with its stub, so that
    two readers read two different files of each kind."""
    raw2 = os.path.join(os.path.dirname(raw), "random-twin.raw")
    image = os.path.join(served, "full-1M.vhdx")
    image2 = os.path.join(served, "twin-1M.vhdx")
    for source, copy in ((raw, raw2), (image, image2)):
        if not os.path.exists(copy) or os.path.getsize(copy) != os.path.getsize(source):
            shutil.copyfile(source, copy)
    if not os.path.exists(image2[:-4] + "vmdk"):
        run(pontor, "stub", "create", "--stub-only", image2)
    return raw2, image, image2


def bench_scaling(report, rounds, work, raw, served, pontor, build):
    if not (os.access("/dev/fuse", os.R_OK | os.W_OK) and shutil.which("fusermount3")):
        print("\nscaling: skipped (needs /dev/fuse and fusermount3)")
        return
    print("\nscaling: random 4 KiB reads, two readers of two different files against one reader")
    raw2, image, image2 = twins(work, raw, served, pontor)
    reads = os.path.join(build, "bench", "fuse_reads")
    mounts = mount_points(work, "mnt-scaling-", ("pontor", "plain"))
    daemons = []
    try:
        start(daemons, mounts["pontor"], pontor, "mount", "-f", served, mounts["pontor"])
        start(daemons, mounts["plain"], os.path.join(build, "bench", "fuse_passthrough"), os.path.dirname(raw),
              mounts["plain"])
        files = {"pontor": [os.path.join(mounts["pontor"], os.path.basename(i)[:-4] + "vmdk") for i in (image, image2)],
                 "plain": [os.path.join(mounts["plain"], os.path.basename(r)) for r in (raw, raw2)]}
        warm(raw, raw2, image, image2)
        per_reader = 64 * MiB
        figures = {key: [] for key in ("pontor", "plain", "ratio", "two")}
        loads = []
        for round_ in range(rounds):
            order = ("pontor", "plain") if round_ % 2 == 0 else ("plain", "pontor")
            rate = {}
            for name in order:
                rate[name, 1] = concurrent_rate(reads, files[name][:1], per_reader)
                rate[name, 2] = concurrent_rate(reads, files[name], per_reader)
            loads.append(os.getloadavg()[0])
            figures["pontor"].append(rate["pontor", 2] / rate["pontor", 1])
            figures["plain"].append(rate["plain", 2] / rate["plain", 1])
            figures["ratio"].append(figures["pontor"][-1] / figures["plain"][-1])
            figures["two"].append(rate["pontor", 2] / rate["plain", 2])
        report.ratio("two stubs / one stub: pontor mount", figures["pontor"])
        report.ratio("two files / one file: plain FUSE", figures["plain"], note="  (reference)")
        report.ratio("scaling of pontor mount / scaling of plain FUSE", figures["ratio"], 0.8)
        report.ratio("two readers: pontor mount / plain FUSE", figures["two"], note="  (reference)")
        print("  load average (1 min) over the rounds: %.2f .. %.2f, on %d cores; the machine is shared" %
              (min(loads), max(loads), os.cpu_count()))
    finally:
        stop(mounts.values(), daemons)


def bench_memory(report, work, served, pontor, daemon_kib):
    print("\nmemory: peak resident size")
    stub = os.path.join(served, "full-1M.vmdk")
    report.memory("pontor cat", peak_kib(pontor, "cat", stub), 25)
    out = os.path.join(work, "out.raw")
    report.memory("pontor convert", peak_kib(pontor, "convert", stub, out), 25)
    os.unlink(out)
    if daemon_kib is not None:
        report.memory("pontor mount daemon, after the mount figures", daemon_kib, 8)



def timed_peak(*args):
    """Seconds and peak resident KiB of a command, from GNU time."""
    result = subprocess.run(["/usr/bin/time", "-f", "%e %M", *args], check=True, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    elapsed, kib = result.stderr.strip().splitlines()[-1].split()
    return float(elapsed), int(kib)


def bench_huge(report, rounds, work, pontor, build):
    print("\nhuge: a 64 TiB dynamic image with 1 MiB blocks (512 MiB BAT), two 4 MiB pieces written; median seconds\n"
          "(lowest .. highest) and peak resident size, warm cache")
    directory = os.path.join(work, "huge")
    os.makedirs(directory, exist_ok=True)
    image = os.path.join(directory, "huge.vhdx")
    if not os.path.exists(image):
        run("qemu-img", "create", "-q", "-f", "vhdx", "-o", "block_size=1M,subformat=dynamic", image, "64T")
        for offset in ("0", "40G"):
            run("qemu-io", "-c", "write -q -P 0x5a %s 4M" % offset, image)
    stub = os.path.join(directory, "huge.vmdk")
    warm(image)
    commands = [("pontor info", (pontor, "info", image), 64), ("pontor check", (pontor, "check", image), 64),
                ("pontor map", (pontor, "map", image), 64),
                ("pontor stub create", (pontor, "stub", "create", "--stub-only", image), 64),
                ("qemu-img info", ("qemu-img", "info", image), None),
                ("qemu-img check", ("qemu-img", "check", image), None)]
    if shutil.which("vhdiinfo"):
        commands.append(("vhdiinfo", ("vhdiinfo", image), None))
    times = {name: [] for name, _, _ in commands}
    peaks = {name: 0 for name, _, _ in commands}
    loads = []
    for round_ in range(rounds):
        for name, command, _ in commands[round_ % len(commands):] + commands[:round_ % len(commands)]:
            if os.path.exists(stub):
                os.unlink(stub)
            elapsed, kib = timed_peak(*command)
            times[name].append(elapsed)
            peaks[name] = max(peaks[name], kib)
        loads.append(os.getloadavg()[0])
    for name, _, ceiling in commands:
        median, low, high = summary(times[name])
        print("  %-30s %6.2f s (%.2f .. %.2f)  %7.1f MiB" % (name, median, low, high, peaks[name] / 1024))
    for name, _, ceiling in commands:
        if ceiling is not None:
            report.memory(name, peaks[name], ceiling)
            if statistics.median(times[name]) > statistics.median(times["qemu-img check"]):
                report.failed.append(name + " slower than qemu-img check")
    print("  load average (1 min) over the rounds: %.2f .. %.2f, on %d cores; the machine is shared" %
          (min(loads), max(loads), os.cpu_count()))
    # A differencing child with five blocks, flattened once into a
    # stand-alone 64 TiB image: the whole of the parent's BAT is walked and a
    # 512 MiB BAT written.
    child = os.path.join(directory, "child.avhdx")
    if not os.path.exists(child):
        run(os.path.join(build, "bench", "make_child"), image, child, "0", "1", "40960", "65536", "67108863")
    flat = os.path.join(directory, "flat.vhdx")
    elapsed, kib = timed_peak(pontor, "flatten", child, flat)
    os.unlink(flat)
    print("  %-30s %6.2f s (one run)          %7.1f MiB" % ("pontor flatten, 5-block child", elapsed, kib / 1024))
    report.memory("pontor flatten, 5-block child", kib, 64)
    if not (os.access("/dev/fuse", os.R_OK | os.W_OK) and shutil.which("qemu-storage-daemon")):
        print("  daemons: skipped (needs /dev/fuse and qemu-storage-daemon)")
        return
    # Three stubs of the image: three bindings, three BAT reads.
    stubs = [os.path.join(directory, "huge%s.vmdk" % n) for n in ("", "-2", "-3")]
    for path in stubs:
        if os.path.exists(path):
            os.unlink(path)
        run(pontor, "stub", "create", image, path)
    mount = os.path.join(work, "mnt-huge")
    export = os.path.join(work, "qemu-export-huge.raw")
    os.makedirs(mount, exist_ok=True)
    daemons = []
    try:
        ours = start(daemons, mount, pontor, "mount", "-f", directory, mount)
        qemu = qemu_export(daemons, image, export)
        for path in [os.path.join(mount, os.path.basename(p)) for p in stubs] + [export]:
            with open(path, "rb") as f:
                for offset in (0, 40 << 30, 1 << 45):
                    f.seek(offset)
                    f.read(4096)
        time.sleep(0.2)
        for name, pid, ceiling in (("pontor mount daemon, 3 stubs", ours.pid, 32),
                                   ("qemu FUSE export", qemu.pid, None)):
            rss, hwm = status_kib(pid, "VmRSS"), status_kib(pid, "VmHWM")
            print("  %-30s resident %6.1f MiB after binding and reading (peak %.1f MiB)" % (name, rss / 1024,
                                                                                            hwm / 1024))
            if ceiling is not None:
                report.memory(name + ", resident after binding", rss, ceiling)
    finally:
        stop([mount, export], daemons)


def bench_dirty(report, rounds, work, pontor, build):
    print("\ndirty: a 1 TiB dynamic image with 1 MiB blocks whose log was not replayed; the mount daemon's\n"
          "resident and peak size after binding a stub and reading it, median (lowest .. highest)")
    directory = os.path.join(work, "dirty")
    os.makedirs(directory, exist_ok=True)
    image = os.path.join(directory, "dirty.vhdx")
    if not os.path.exists(image):
        before, after = os.path.join(work, "dirty-before.raw"), os.path.join(work, "dirty-after.raw")
        for path in (before, after):
            run("truncate", "-s", "0", path)
            run("truncate", "-s", "1T", path)
        for offset_mib in (0, 600 << 10):
            run("dd", "if=/dev/urandom", "of=" + before, "bs=1M", "count=4", "seek=%d" % offset_mib,
                "conv=notrunc", "status=none")
        run("cp", "--sparse=always", before, after)
        # 180 sectors of 4 KiB differ: 720 KiB of log data in the 1 MiB log.
        run("dd", "if=/dev/urandom", "of=" + after, "bs=4K", "count=180", "seek=256", "conv=notrunc", "status=none")
        run(os.path.join(build, "bench", "make_logged"), before, after, image)
        os.unlink(before)
        os.unlink(after)
    stub = os.path.join(directory, "dirty.vmdk")
    if not os.path.exists(stub):
        run(pontor, "stub", "create", "--force", "--stub-only", image, stderr=subprocess.DEVNULL)
    mount = os.path.join(work, "mnt-dirty")
    os.makedirs(mount, exist_ok=True)
    modes = (("log applied in memory", ()), ("--ignore-log", ("--ignore-log",)))
    resident = {name: [] for name, _ in modes}
    peak = {name: [] for name, _ in modes}
    loads = []
    for _ in range(rounds):
        for name, options in modes:
            daemons = []
            try:
                daemon = start(daemons, mount, pontor, "mount", "-f", *options, directory, mount)
                for path in (os.path.join(mount, "dirty.vmdk"), os.path.join(mount, "dirty.vhdx")):
                    with open(path, "rb") as f:
                        for offset in (0, 1 << 20, 600 << 30, (1 << 40) - 4096):
                            f.seek(offset)
                            f.read(4096)
                time.sleep(0.2)
                resident[name].append(status_kib(daemon.pid, "VmRSS") / 1024)
                peak[name].append(status_kib(daemon.pid, "VmHWM") / 1024)
            finally:
                stop([mount], daemons)
        loads.append(os.getloadavg()[0])
    for name, _ in modes:
        print("  %-30s resident %s MiB, peak %s MiB" % (name, "%.1f (%.1f .. %.1f)" % summary(resident[name]),
                                                         "%.1f (%.1f .. %.1f)" % summary(peak[name])))
    extra = [a - b for a, b in zip(peak["log applied in memory"], peak["--ignore-log"])]
    print("  peak above --ignore-log: %.1f MiB (%.1f .. %.1f), the log region 1.0 MiB; load average (1 min)"
          " %.2f .. %.2f, on %d cores" % (*summary(extra), min(loads), max(loads), os.cpu_count()))
    if statistics.median(extra) > 1.0:
        report.failed.append("dirty image: the log costs more than the log region")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=2048, help="MiB of disk (default 2048)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--only", default="cat,convert,mount,scaling,memory,huge,dirty",
                        help="parts to run, comma-separated")
    parser.add_argument("workdir", nargs="?")
    args = parser.parse_args()
    parts = set(args.only.split(","))
    unknown = parts - {"cat", "convert", "mount", "scaling", "memory", "huge", "dirty"}
    if unknown:
        parser.error("--only: no part named " + ", ".join(sorted(unknown)))
    if args.build == os.path.join(ROOT, "build", "release"):
        run("cmake", "--preset", "release", cwd=ROOT)
    run("cmake", "--build", args.build, "--target", "pontor", "fuse_passthrough", "fuse_passthrough_ll", "fuse_reads",
        *(["make_logged"] if "dirty" in parts else []), *(["make_child"] if "huge" in parts else []), cwd=ROOT)
    pontor = os.path.join(args.build, "tools", "pontor")
    work = args.workdir or tempfile.mkdtemp(prefix="pontor-bench-")
    os.makedirs(work, exist_ok=True)
    if parts - {"huge", "dirty"}:
        raw, served = prepare(work, args.size, pontor)
    size = args.size * MiB
    report = Report()
    print("%d rounds; median (lowest .. highest)" % args.rounds)
    if "cat" in parts:
        bench_cat(report, args.rounds, raw, served, pontor, size)
    if "convert" in parts:
        bench_convert(report, args.rounds, work, served, pontor, size)
    daemon_kib = None
    if "mount" in parts:
        daemon_kib = bench_mount(report, args.rounds, work, raw, served, pontor, args.build, size)
    if "scaling" in parts:
        bench_scaling(report, args.rounds, work, raw, served, pontor, args.build)
    if "memory" in parts:
        bench_memory(report, work, served, pontor, daemon_kib)
    if "huge" in parts:
        bench_huge(report, args.rounds, work, pontor, args.build)
    if "dirty" in parts:
        bench_dirty(report, args.rounds, work, pontor, args.build)
    if report.failed:
        print("\nbelow target: " + "; ".join(report.failed))
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
