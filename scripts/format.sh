#!/usr/bin/env bash
# Formats the tracked C++ files with the repository's .clang-format (100
# columns). --check changes nothing and fails, naming each file that
# clang-format would change; --report names them and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
    ""|--check|--report) ;;
    *) echo "usage: scripts/format.sh [--check|--report]" >&2; exit 2 ;;
esac
command -v clang-format >/dev/null || { echo "format: clang-format is not installed" >&2; exit 1; }

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.inc')
if [[ -z $mode ]]; then
    clang-format -i --style=file "${files[@]}"
    exit 0
fi

unformatted=0
for file in "${files[@]}"; do
    if ! clang-format --style=file "$file" | cmp -s - "$file"; then
        echo "format: $file is not formatted (scripts/format.sh formats it)" >&2
        unformatted=$((unformatted + 1))
    fi
done
if ((unformatted)); then
    echo "format: $unformatted of ${#files[@]} files not formatted" >&2
    [[ $mode == --report ]] || exit 1
fi
