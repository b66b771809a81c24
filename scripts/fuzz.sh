#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (default 20) over a scratch copy of its
# seed corpus. Usage: scripts/fuzz.sh [SECONDS] [TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
only=${2:-}
build=build/fuzz/fuzz

for target in "$build"/*_fuzz; do
    name=$(basename "$target")
    [[ -n "$only" && "$name" != "$only" ]] && continue
    corpus=$(mktemp -d)
    trap 'rm -rf "$corpus"' EXIT
    seeds=fuzz/corpus/${name%_fuzz}
    [[ -d "$seeds" ]] && cp -r "$seeds"/. "$corpus"/
    echo "== fuzz: $name for ${seconds}s"
    log="$corpus.log"
    if ! ASAN_OPTIONS=allocator_may_return_null=1 \
        "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $name failed" >&2
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" || true
    rm -f "$log"
    rm -rf "$corpus"
    trap - EXIT
done
