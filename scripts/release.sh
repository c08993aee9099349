#!/bin/bash
# Cuts a release: the fully static, stripped agent for x86_64, arm64 and armhf, each through the
# whole end-to-end suite (test-release.sh x86_64; test-device-vm.sh, on Debian's ARM kernel in a VM),
# packed into dist/:
#   dist/yultservice-<version>-<arch>.tar.gz   YultService, README.md, docs/profiler-link.md, INSTALL
#   dist/SHA256SUMS
# <version> is what the built agent prints for -v. An architecture whose tests fail is not
# packed, and the run fails naming it. The same commit gives the same archives, byte for byte.
#   release.sh [--allow-dirty]  build, test and pack into dist/; a tree with changes that are
#                               not committed is refused unless --allow-dirty
#   release.sh --dry-run        the same into a temporary directory, removed at the end (CI)
# Every archive is checked as a device would get it: its exact list of files, the program's
# kind (file), and the version the packed program prints (under qemu-user for ARM).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
export LC_ALL=C
unset TAR_OPTIONS GZIP

dry_run=0 allow_dirty=0
for option in "$@"; do
    case $option in
        --dry-run) dry_run=1 ;;
        --allow-dirty) allow_dirty=1 ;;
        *) die "usage: $0 [--dry-run] [--allow-dirty]" ;;
    esac
done

epoch=$(source_date_epoch)
if [ -n "$(git -C "$ROOT" status --porcelain 2>/dev/null)" ]; then
    [ $dry_run = 1 ] || [ $allow_dirty = 1 ] ||
        die "the tree has changes that are not committed (git status): commit them, or pass --allow-dirty"
    echo "release: the tree has changes that are not committed; these archives are not those of its last commit"
fi

deps --cross

# The start of what file(1) says of each architecture's program.
kind_of() {
    case $1 in
        x86_64) echo "ELF 64-bit LSB executable, x86-64," ;;
        arm64) echo "ELF 64-bit LSB executable, ARM aarch64," ;;
        armhf) echo "ELF 32-bit LSB executable, ARM, EABI5" ;;
    esac
}

# version_of ARCH PROGRAM: what PROGRAM, built for ARCH, prints for -v.
version_of() {
    local launcher
    launcher=$(release_launcher "$1")
    # shellcheck disable=SC2086 # the launcher is a command and its arguments
    $launcher "$2" -v
}

install_note() {
    local arch=$1 version=$2 machine
    case $arch in
        x86_64) machine="64-bit x86 (uname -m: x86_64)" ;;
        arm64) machine="64-bit ARM (uname -m: aarch64)" ;;
        armhf) machine="32-bit ARM, ARMv7 or later with hardware floating point (uname -m: armv7l)" ;;
    esac
    cat <<NOTE
YultService $version for $arch: $machine

One program, linked statically and stripped: it needs no library on the device.
README.md tells what it does; docs/profiler-link.md how it talks to the application.

To install it, copy YultService to the device where the Ostrel Studio Performance Extension
starts it from (/usr/local/bin here, as an example), make it executable, and check its version:

    scp YultService root@DEVICE:/usr/local/bin/YultService
    ssh root@DEVICE 'chmod 755 /usr/local/bin/YultService && /usr/local/bin/YultService -v'

The last command prints $version.
NOTE
}

work=$(mktemp -d /tmp/yult-release.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Each test script runs as a process of its own, so that set -e holds inside it; what it leaves
# in stage/ is the program that passed.
# The dry run is CI's, whose own two suites already wait out the 5-second server deadline for the
# diagnosis; it spares the three release agents that wait. A real release runs every test.
passed=() failed=()
for arch in $RELEASE_ARCHES; do
    if [ "$arch" = x86_64 ]; then
        test_script=("$ROOT/scripts/test-release.sh" x86_64)
        [ $dry_run = 0 ] || test_script+=(-E DeadlineDiagnosis)
    else
        test_script=("$ROOT/scripts/test-device-vm.sh" "$arch")
        [ $dry_run = 0 ] || test_script+=('--gtest_filter=-DeadlineDiagnosis.*')
    fi
    if "${test_script[@]}"; then
        passed+=("$arch")
    else
        failed+=("$arch")
        echo "release: $arch failed its tests and is not packed"
    fi
done
[ ${#passed[@]} -gt 0 ] || die "no architecture passed its tests: nothing to pack (${failed[*]} failed)"
version=$(version_of "${passed[0]}" "$(release_agent "${passed[0]}")")
[[ $version =~ ^[0-9]+(\.[0-9]+)+$ ]] || die "the agent prints an unlikely version: '$version'"

out=$ROOT/dist
[ $dry_run = 0 ] || out=$work/dist
rm -rf "$out"
mkdir -p "$out"

for arch in "${passed[@]}"; do
    name=yultservice-$version-$arch
    stage=$(release_dir "$arch")/stage
    tree=$work/tree/$name
    step "pack $name"
    mkdir -p "$tree/docs"
    install -m 0755 "$stage/bin/YultService" "$tree/YultService"
    install -m 0644 "$stage/share/doc/yultservice/README.md" "$tree/README.md"
    install -m 0644 "$stage/share/doc/yultservice/docs/profiler-link.md" "$tree/docs/profiler-link.md"
    install_note "$arch" "$version" >"$tree/INSTALL"
    chmod 0644 "$tree/INSTALL"
    # Nothing of this machine goes in: names sorted, root's numeric owner, one time, fixed modes
    # (directories too, whatever the umask), and no name or time in the gzip header.
    tar --create --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
        --mode=u+rw,go=rX --directory="$work/tree" "$name" | gzip -9 -n >"$out/$name.tar.gz"

    expected=$(printf '%s\n' "$name/" "$name/INSTALL" "$name/README.md" "$name/YultService" "$name/docs/" \
        "$name/docs/profiler-link.md")
    listed=$(tar -tzf "$out/$name.tar.gz")
    if [ "$listed" != "$expected" ]; then
        diff <(echo "$expected") <(echo "$listed") || true
        die "$name.tar.gz does not hold exactly the expected files"
    fi
    unpacked=$work/unpacked/$arch
    mkdir -p "$unpacked"
    tar -xzf "$out/$name.tar.gz" -C "$unpacked"
    program=$unpacked/$name/YultService
    kind=$(file -b "$program")
    echo "$kind"
    case $kind in
        "$(kind_of "$arch")"*"statically linked"*", stripped"*) ;;
        *) die "$name: the program is not a static, stripped $arch program" ;;
    esac
    printed=$(version_of "$arch" "$program")
    [ "$printed" = "$version" ] || die "$name: the packed program prints '$printed' for -v, not '$version'"
    echo "$name: $(stat -c %s "$program") bytes; -v prints $printed"
done

(cd "$out" && sha256sum -- *.tar.gz >SHA256SUMS)
step "release $version in $out"
ls -l "$out"
cat "$out/SHA256SUMS"
[ ${#failed[@]} -eq 0 ] || die "not packed, their tests failed: ${failed[*]}"
[ $dry_run = 0 ] || echo "dry run: $out is removed now"
