#!/usr/bin/env bash
# Prepares the images and runs the read-engine benchmark on a release build:
# a fully present 1 GiB disk at 1 MiB and 32 MiB blocks (written by qemu-img
# from random data), a sparse 1 GiB disk, and a differencing chain. Every
# figure is a ratio to a raw read of the same bytes measured in the same run.
# usage: bench/read_bench.sh [WORKDIR]   (needs about 5 GiB free)
set -euo pipefail
cd "$(dirname "$0")/.."

work=${1:-$(mktemp -d)}
mkdir -p "$work"
cmake --preset release >/dev/null
cmake --build --preset release --target read_bench make_chain >/dev/null
bin=build/release/bench

if [[ ! -f "$work/random.raw" ]]; then
    echo "preparing images in $work"
    head -c 1G /dev/urandom >"$work/random.raw"
    for bs in 1M 32M; do
        qemu-img convert -f raw -O vhdx -o subformat=dynamic,block_size=$bs \
            "$work/random.raw" "$work/full-$bs.vhdx"
    done
    qemu-img create -q -f vhdx -o block_size=1M "$work/sparse.vhdx" 1G
    truncate -s 1G "$work/sparse.raw"
    "$bin/make_chain" "$work"
fi

"$bin/read_bench" --rounds "${ROUNDS:-5}" \
    "full 1M blocks=$work/full-1M.vhdx:$work/random.raw" \
    "full 32M blocks=$work/full-32M.vhdx:$work/random.raw" \
    "sparse=$work/sparse.vhdx:$work/sparse.raw" \
    "differencing=$work/child.vhdx:$work/chain.raw"
