#!/bin/bash
# The end-to-end tests on the device's own kind of kernel: Debian's arm64 or armhf kernel booted
# under qemu-system (no KVM: full emulation), with the tests, the simulator and the release agent
# running there natively as ARM programs. Under qemu-user the agent meets the host's kernel through
# a translation that refuses NETLINK_SOCK_DIAG and shows the host's system call numbers in /proc;
# here the guards take the paths they take on a device, and no test may skip.
#   test-device-vm.sh arm64|armhf [gtest arguments...]   (e.g. --gtest_filter=-*Deadline* --gtest_repeat=20)
# It builds the release agent (build-release-<arch>, as release.sh packs it) and the end-to-end
# tests and the simulator for ARCH (build-vm-<arch>, linked statically), packs them into an
# initramfs with busybox, dash (a shell that runs the tests' stand-in tools from PATH), coreutils'
# sleep, util-linux's setpriv, objcopy, the TCP diag modules, /etc/passwd and /etc/group, and boots
# the kernel on it. The VM runs a few peer tests before it loads the diag modules, then every test
# program with the arguments given, and prints an end line with the status. The run passes only
# on an end line of status 0 within YULT_VM_TIME_LIMIT seconds (600 by default); a panic, a hang,
# a failed or skipped test fails it. The ARCH side's Debian packages are fetched with apt-get download into
# build-vm-<arch>/debs, once per version.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
arch=${1:-}
shift || true
case $arch in
    arm64)
        kernel_package=linux-image-arm64
        machine=(qemu-system-aarch64 -M virt -cpu cortex-a57) # -cpu max is three times slower
        ;;
    armhf)
        kernel_package=linux-image-armmp
        # shellcheck disable=SC2054 # the commas separate machine properties
        machine=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15)
        ;;
    *) die "usage: $0 arm64|armhf [gtest arguments...]" ;;
esac
triple=$(release_triple "$arch")
dir=$ROOT/build-vm-$arch
time_limit=${YULT_VM_TIME_LIMIT:-600}
# Before the diag modules are loaded, the agent checks peers in the kernel's TCP tables, as on a
# device whose kernel has no TCP diag: the peer tests but the intruders' (whose thousand refusals
# each read the whole table, longer on an emulated CPU than the wait for the application) and one
# whole run of each collecting job.
without_diag=${YULT_WITHOUT_DIAG_ARGUMENTS-'--gtest_filter=PeerAccess.*:LinkTest.CollectingJobs*-PeerAccess.Intruders*'}
umask 022

deps --cross --vm
release_build "$arch"
agent=$(release_agent "$arch")

step "tests and simulator for $arch in $dir"
# Linked statically: the initramfs holds no C++ runtime. The tests are listed when they run, in
# the VM, not by running them at build time, and run the release agent: no agent is built here.
configure "$dir" --toolchain "$ROOT/cmake/toolchains/$triple.cmake" -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static "-DGTest_DIR=/usr/lib/$triple/cmake/GTest" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "-DYULT_TEST_AGENT=$agent"
tests=("$dir/tests/e2e/command_line_tests" "$dir/tests/e2e/link_tests")
build "$dir" command_line_tests link_tests >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }

step "Debian's $arch kernel, busybox, dash, coreutils, util-linux and binutils"
kernel=$(apt-cache depends "$kernel_package:$arch" | awk '$1 == "Depends:" { sub(/:.*/, "", $2); print $2; exit }')
[ -n "$kernel" ] || die "no kernel package behind $kernel_package:$arch (apt-get update?)"
packages=("$kernel" busybox-static dash coreutils util-linux libc6 libcap-ng0 "binutils-$triple" libbinutils zlib1g
    libzstd1)
debs=$dir/debs
mkdir -p "$debs"
# Fetched once per version (apt names each file after its version); older versions go.
mapfile -t wanted < <(apt-get download --print-uris "${packages[@]/%/:$arch}" | awk '{ print $2 }')
[ ${#wanted[@]} = ${#packages[@]} ] || die "apt-get cannot name every package: ${packages[*]}"
missing=()
for file in "${wanted[@]}"; do
    [ -f "$debs/$file" ] || missing+=("${file%%_*}:$arch")
done
keep=()
for file in "${wanted[@]}"; do
    keep+=(-not -name "$file")
done
find "$debs" -name '*.deb' "${keep[@]}" -delete
if [ ${#missing[@]} -gt 0 ]; then
    (cd "$debs" && apt-get download -q "${missing[@]}" >"$dir/download.log" 2>&1) || { cat "$dir/download.log"; exit 1; }
fi

step "initramfs"
# The packages' files in sysroot/ (of the kernel's, only the kernel and the two modules); the
# initramfs takes from there the programs it needs and, by their NEEDED entries, their libraries.
# They are unpacked again only when a version changes.
sysroot=$dir/sysroot tree=$dir/initramfs
if [ "$(cat "$sysroot.packages" 2>/dev/null)" != "${wanted[*]}" ]; then
    rm -rf "$sysroot" "$sysroot.packages"
    mkdir -p "$sysroot"
    for file in "${wanted[@]}"; do
        if [[ $file == linux-image-* ]]; then
            dpkg-deb --fsys-tarfile "$debs/$file" | tar -x -C "$sysroot" --wildcards './boot/vmlinuz-*' \
                './lib/modules/*/kernel/net/ipv4/inet_diag.ko' './lib/modules/*/kernel/net/ipv4/tcp_diag.ko'
        else
            dpkg-deb -x "$debs/$file" "$sysroot"
        fi
    done
    echo "${wanted[*]}" >"$sysroot.packages"
fi
rm -rf "$tree"
mkdir -p "$tree"

# A merged /usr, as on Debian: busybox's links land in /usr/bin, where the tests' grep stand-in
# finds grep.
mkdir -p "$tree"/{usr/bin,usr/sbin,usr/lib,etc,proc,sys,dev,root,tmp}
ln -s usr/bin "$tree/bin"
ln -s usr/sbin "$tree/sbin"
ln -s usr/lib "$tree/lib"
chmod 1777 "$tree/tmp"
chmod 0755 "$tree"

# place FILE PATH: FILE at PATH in the initramfs, with the libraries it needs, found in sysroot/.
place() {
    local file=$1 path=$2 library found libdir
    [ -e "$tree$path" ] && return 0
    install -D -m "$(stat -L -c %a "$file")" "$file" "$tree$path"
    readelf -h "$file" >/dev/null 2>&1 || return 0 # not an ELF file
    local interpreter
    interpreter=$(readelf -l "$file" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
    [ -z "$interpreter" ] || place "$sysroot$interpreter" "$interpreter"
    for library in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        found=""
        for libdir in /lib/$triple /usr/lib/$triple; do
            [ -e "$sysroot$libdir/$library" ] && found=$libdir/$library && break
        done
        [ -n "$found" ] || die "$file needs $library, which no package here holds"
        place "$sysroot$found" "$found"
    done
}
place "$sysroot/bin/busybox" /bin/busybox
place "$sysroot/bin/dash" /bin/dash
ln -s dash "$tree/bin/sh"
place "$sysroot/bin/sleep" /bin/sleep # the tests copy it as a set-user-ID program: not a busybox link
place "$sysroot/usr/bin/$triple-objcopy" /usr/bin/objcopy
place "$sysroot/usr/bin/setpriv" /usr/bin/setpriv # the tests' setpriv has util-linux's options
for module in "$sysroot"/lib/modules/*/kernel/net/ipv4/*.ko; do
    place "$module" "/lib/modules/${module##*/}"
done
place "$ROOT/scripts/device-vm-init.sh" /init
printf '%s\n' root:x:0:0:root:/root:/bin/sh nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin \
    >"$tree/etc/passwd"
printf '%s\n' root:x:0: nogroup:x:65534: >"$tree/etc/group"

# The tests find the simulator, their signal target, the tulm stand-in and the help page where
# they were built.
for program in "${tests[@]}" "$dir/olva-app-sim" "$dir/signal-target" "$dir/tulm-bin/tulm" "$agent"; do
    place "$program" "$program"
done
place "$ROOT/tests/e2e/help-page.txt" "$ROOT/tests/e2e/help-page.txt"
cat >"$tree/etc/device-vm.conf" <<CONF
export YULT_AGENT='$agent'
export YULT_EMULATED_CPU='${machine[*]}'
YULT_TEST_PROGRAMS='${tests[*]}'
YULT_TEST_ARGUMENTS='$*'
YULT_WITHOUT_DIAG_ARGUMENTS='$without_diag'
CONF
(cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --owner=0:0 --quiet) | gzip -1 >"$dir/initramfs.gz"
ls -l "$dir/initramfs.gz"

vmlinuz=$(echo "$sysroot"/boot/vmlinuz-*)
step "boot $(basename "$vmlinuz") under ${machine[0]} (time limit $time_limit s)"
console=$dir/console.log
started=$(date +%s)
# -no-reboot and panic=-1: a panic ends qemu. An /init that cannot start is a panic too (init=),
# not a shell on the console. No NIC: the tests need loopback only.
status=0
timeout -k 10 "$time_limit" nice "${machine[@]}" -m 1024 -smp 2 -nic none -no-reboot -display none -monitor none \
    -serial stdio -kernel "$vmlinuz" -initrd "$dir/initramfs.gz" \
    -append "console=ttyAMA0 panic=-1 oops=panic quiet rdinit=/init init=/init" </dev/null | tee "$console" || status=$?
ended=$(date +%s)
end=$(tr -d '\r' <"$console" | sed -n 's/^device-vm: end status \([0-9]*\)$/\1/p' | tail -n 1)
echo "test-device-vm: $arch: $((ended - started)) s in qemu"
[ $status = 124 ] && die "$arch: no end within $time_limit s"
[ -n "$end" ] || die "$arch: the VM ended without its end line (qemu's status $status)"
[ "$end" = 0 ] || die "$arch: tests failed in the VM"
echo "test-device-vm: $arch passed"
