#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (default 20) over a scratch copy of its
# seed corpus, with the format's dictionary, then prints each target's
# executions per second and coverage. Leaks are checked by each target (the
# driver allocates only from the pool) and by LeakSanitizer at exit, not after
# every input. Usage: scripts/fuzz.sh [SECONDS] [TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
only=${2:-}
build=build/fuzz/fuzz
summary=()

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
        -dict=fuzz/vhdx.dict -detect_leaks=0 "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $name failed" >&2
        exit 1
    fi
    # The last status line: "#N DONE cov: C ft: F corp: K/S ... exec/s: E".
    done=$(grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1)
    summary+=("$(awk -v n="$name" '{
        for (i = 1; i < NF; i++) { if ($i ~ /:$/) v[$i] = $(i + 1) }
        printf "%-12s %8s runs %6s exec/s  cov %5s  ft %6s  corpus %s\n",
               n, substr($1, 2), v["exec/s:"], v["cov:"], v["ft:"], v["corp:"] }' <<<"$done")")
    rm -f "$log"
    rm -rf "$corpus"
    trap - EXIT
done
printf '%s\n' "== fuzz: summary" "${summary[@]}"
