#!/usr/bin/env bash
# Line and branch coverage of the driver (vhdx/, stub/, filter/) by the host
# test suites and the driver's fuzz corpora, with clang's source-based coverage in its
# own build directory (build/coverage). Prints llvm-cov's table, then every
# uncovered line as FILE:LINES. Not part of CI. Usage: scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

root=$(pwd)
build=build/coverage
profiles=$build/profiles
flags="-fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer-no-link"
tests=(vhdx_tests filter_tests)  # the suites that run the driver
fuzzers=(parse_fuzz read_fuzz ops_fuzz diff_fuzz)  # diff_fuzz: the well-formed read paths

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-O1 $flags" -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
    -DPONTOR_FUZZ=ON -DPONTOR_TESTS=ON -DPONTOR_MINGW_OBJDUMP=PONTOR_MINGW_OBJDUMP-NOTFOUND \
    >/dev/null  # no pontor.sys: its sources are the same, measured on the host
cmake --build "$build" -j"${PONTOR_JOBS:-2}" --target "${tests[@]}" "${fuzzers[@]}"

rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for test in "${tests[@]}"; do
    binary=$(find "$build/tests" -name "$test" -type f -perm -u+x | head -n 1)
    objects+=(-object "$binary")
    echo "== coverage: $test"
    # Without PONTOR_DRIVER the filter suite runs on the host build, the one
    # measured here.
    (cd "$(dirname "$binary")" && LLVM_PROFILE_FILE="$root/$profiles/$test-%p.profraw" \
        "$root/$binary" --gtest_brief=1 >/dev/null) || echo "coverage: $test had failures" >&2
done
for fuzzer in "${fuzzers[@]}"; do
    objects+=(-object "$build/fuzz/$fuzzer")
    echo "== coverage: $fuzzer over fuzz/corpus/${fuzzer%_fuzz}"
    LLVM_PROFILE_FILE="$profiles/$fuzzer-%p.profraw" "$build/fuzz/$fuzzer" -runs=0 \
        "fuzz/corpus/${fuzzer%_fuzz}" >/dev/null 2>&1
done

llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/coverage.profdata"
# Everything but the driver is left out of the figures.
sources=(-ignore-filename-regex="^$root/(platform|tests|tools|fuzz|bench|build)/|^/usr/")
# The first binary is named alone, the others each after -object.
llvm-cov report -instr-profile="$build/coverage.profdata" "${objects[@]:1}" "${sources[@]}"
echo "== coverage: uncovered lines"
llvm-cov export -format=lcov -instr-profile="$build/coverage.profdata" "${objects[@]:1}" \
    "${sources[@]}" | python3 -c '
import os, sys
lines = {}
for row in sys.stdin:
    if row.startswith("SF:"):
        name = os.path.relpath(row[3:].strip())
    elif row.startswith("DA:"):
        number, count = row[3:].split(",")[:2]
        lines.setdefault(name, {})[int(number)] = lines.get(name, {}).get(int(number), 0) + int(count)
for name in sorted(lines):
    missed = sorted(n for n, c in lines[name].items() if c == 0)
    runs = []
    for n in missed:
        if runs and n == runs[-1][1] + 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    if runs:
        print(name + ":" + ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in runs))
'
