#!/usr/bin/env bash
# The file system is a leaf, as NTFS sits below the Filter Manager: nothing
# under platform/host/fs may include a header of the Filter Manager or the
# I/O manager. Names each offending include and fails.
# usage: layering_test.sh SOURCE_DIR
set -euo pipefail
cd "$1/platform/host/fs"
if grep -rnE '#include "platform/host/(fltmgr|iomgr)/' .; then
    echo "layering: the file system includes the Filter Manager or the I/O manager (above)" >&2
    exit 1
fi
