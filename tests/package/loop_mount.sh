# Sourced by the tests in which the Linux kernel mounts a served disk:
# skip (exit 77, with the reason) and fail, and the check for what every such
# test needs, root, a free loop device, FUSE and the given tools.
# usage: . loop_mount.sh TEST_NAME; needs_loop_mount TOOL...
test_name=$1
skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "$test_name: $*" >&2
    exit 1
}
needs_loop_mount() {
    [[ $(id -u) -eq 0 ]] || skip "not root: a loop mount needs root"
    [[ -e /dev/loop-control ]] || skip "no loop devices here (/dev/loop-control is missing)"
    losetup -f >/dev/null 2>&1 || skip "no free loop device (losetup -f failed)"
    [[ -w /dev/fuse ]] || skip "no usable /dev/fuse"
    local tool
    for tool in fusermount3 debugfs "$@"; do
        command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
    done
}
