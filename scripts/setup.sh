#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (Debian 12, as
# root). Packages already present are skipped; nothing is fetched otherwise.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # compilers, sanitizers, libFuzzer
    llvm                                             # llvm-profdata, llvm-cov: scripts/coverage.sh
    libgtest-dev clang-format                        # tests; the format check
    qemu-utils                                       # qemu-img: interoperability oracle
    qemu-system-common                               # qemu-storage-daemon: a descriptor's disk exported; the mount benchmark's peer
    libfuse3-dev fuse3                               # pontor mount; fusermount3
    libvhdi-utils                                    # vhdimount: the mount benchmark's peer
    fdisk                                            # sfdisk: the demo lists the sample's partitions
    mingw-w64-x86-64-dev gcc-mingw-w64-x86-64        # DDK headers, ld, dlltool: pontor.sys
    g++-mingw-w64-x86-64-posix                       # pontor.exe (libstdc++, winpthreads)
    osslsigncode openssl python3-asn1crypto          # the Windows bundle's signatures and catalog
    wine64                                           # runs pontor.exe in the tests
    dpkg-dev man-db                                  # the .deb's Depends (dpkg-shlibdeps); man page check
    lintian                                          # the .deb checked as Debian checks packages
    e2fsprogs mount                                  # debugfs; loop mounts of the served disk
    python3
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
