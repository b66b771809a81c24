#!/usr/bin/env bash
# The .deb as a user installs it: CPack builds it from the install rules; its
# control file names the runtime packages only; dpkg installs it into a
# scratch root (its own database, the machine's untouched), where the
# installed tool, man page and completion are tried; dpkg removes it again
# and leaves nothing behind. lintian, Debian's own checker, finds no error
# or warning in it.
# usage: deb_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "deb_test: $*" >&2
    exit 1
}
host_state() { dpkg-query -W -f='${Status}\n' pontor 2>/dev/null || echo absent; }
before=$(host_state)

cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/cpack/pontor_"$version"_*.deb)
[[ -f ${debs[0]} ]] || fail "cpack made no pontor_${version}_*.deb: $(ls "$work/cpack")"
deb=${debs[0]}

# Depends: the package of every shared library the tool needs, and fuse3
# for fusermount3; nothing only the build needs.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == pontor && $(field Version) == "$version" ]] || fail "control: $(dpkg-deb -I "$deb")"
dpkg-deb -x "$deb" "$work/x"
expected=(fuse3)
for library in $(objdump -p "$work/x/usr/bin/pontor" | awk '$1 == "NEEDED" { print $2 }'); do
    # awk reads to the end: an early exit would fail ldconfig's write (pipefail).
    path=$(ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ && !found { print $NF; found = 1 }')
    owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(realpath "$path")" 2>/dev/null) ||
        fail "no package owns $library ($path)"
    expected+=("${owner%%:*}")
done
depends=$(field Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g' | sort -u | paste -sd' ')
[[ $depends == "$(printf '%s\n' "${expected[@]}" | sort -u | paste -sd' ')" ]] ||
    fail "Depends: $(field Depends); the tool needs: ${expected[*]}"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort | paste -sd' ')
[[ $files == "./usr/bin/pontor ./usr/share/bash-completion/completions/pontor ./usr/share/doc/pontor/changelog.gz ./usr/share/doc/pontor/copyright ./usr/share/man/man1/pontor.1.gz" ]] ||
    fail "package files: $files"

# Debian's own judge of a package: no error, and no warning either.
lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 ||
    { cat "$work/lintian.out"; fail "lintian objects to $(basename "$deb")"; }

# Installed into a scratch root with its own dpkg database.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() { dpkg --root="$root" --log="$work/dpkg.log" --force-depends "$@"; }
dpkg_root -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i failed"; }
pontor=$root/usr/bin/pontor

[[ $("$pontor" --version) =~ ^pontor\ $version\ \(revision\ [0-9a-z.-]+\)$ ]] ||
    fail "--version: $("$pontor" --version)"
mkdir "$work/images"
tar -xzf "$source/samples/chain.tar.gz" -C "$work/images"
info=$("$pontor" info "$work/images/child.vhdx") || fail "info failed: $info"
grep -qx 'served size: *33554432 bytes' <<<"$info" || fail "info: $info"
grep -qx "parent: *$work/images/base.vhdx" <<<"$info" || fail "info: $info"

# The man page renders without warnings and has a section for every command
# and every option the tool lists.
man_page=$root/usr/share/man/man1/pontor.1.gz
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man page warnings: $warnings"
man_text=$(zcat "$man_page" | sed 's/\\-/-/g')
commands=$("$pontor" --help | sed -n 's/^  \([a-z]\+\( [a-z]\+\)\?\) [A-Z].*/\1/p')
[[ $(wc -l <<<"$commands") -ge 9 ]] || fail "pontor --help lists: $commands"
while read -r command; do
    grep -q "^\.SS \"$command " <<<"$man_text" || fail "man page: no section for '$command'"
    for option in $("$pontor" $command --help | grep -o -- ' --[a-z][a-z-]*' | sort -u); do
        grep -q -- "$option" <<<"$man_text" || fail "man page: '$command' option $option is missing"
    done
done <<<"$commands"

# Completion, as bash runs it for the installed tool.
complete_words() {
    PATH=$root/usr/bin:$PATH bash -c '
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _pontor; printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd" "' \
        - "$root/usr/share/bash-completion/completions/pontor" "$@"
}
while IFS='|' read -r line want; do
    read -ra words <<<"$line"
    [[ $line == *" " ]] && words+=("")
    got=$(complete_words "${words[@]}")
    [[ $got == "$want" ]] || fail "completion of '$line': '$got', expected '$want'"
done <<'CASES'
pontor |cat check convert flatten header info map mount read replay stub
pontor st|stub
pontor stub |create
pontor info --|--help --json --trace --verbose
pontor stub create --o|--overwrite
pontor stub create --st|--stub-only
pontor stub create --adapter l|legacyESX lsilogic
pontor mount --read|--readahead
pontor --v|--version
CASES

# Removed: the scratch root is as before the install.
dpkg_root --purge pontor >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg --purge failed"; }
left=$(cd "$root" && find . -mindepth 1 -not -path './var*')
[[ -z $left ]] || fail "left after removal: $left"
[[ $(dpkg --root="$root" -l 2>/dev/null | grep -c '^.i') -eq 0 ]] || fail "still registered after removal"
[[ $(host_state) == "$before" ]] || fail "the machine's own dpkg state of pontor changed"
echo "deb_test: $(basename "$deb") ok (Depends: $(field Depends))"
