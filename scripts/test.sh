#!/usr/bin/env bash
# Checks the formatting, builds every configuration and runs every test:
# release and asan test suites, the filter's concurrency tests under tsan,
# then each fuzz target briefly over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/format.sh --check

for preset in release asan tsan; do
    echo "== $preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "== $preset: test"
    ctest --preset "$preset"
done

echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "${PONTOR_FUZZ_SECONDS:-20}"
