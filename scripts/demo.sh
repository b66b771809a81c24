#!/usr/bin/env bash
# Builds the release configuration and shows the bundled sample image the
# way the driver parses it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target pontor >/dev/null

sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
gzip -dc samples/sample.vhdx.gz >"$sample/sample.vhdx"
echo "$ pontor info sample.vhdx"
build/release/tools/pontor info "$sample/sample.vhdx"
