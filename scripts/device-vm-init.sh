#!/bin/busybox sh
# shellcheck shell=sh
# The first process of the device VM (test-device-vm.sh packs it as /init): mounts what a
# device has, loads the TCP diag modules, brings up loopback, runs each test program of
# /etc/device-vm.conf and prints the end line the host waits for. Any way out but that line
# (a panic, a hang, init ending) is a failure on the host's side.
# /bin/sh is dash, which runs commands from PATH: busybox's own shell would run its built-in
# grep and ps ahead of the tests' stand-ins.
/bin/busybox --install -s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
say() { echo "device-vm: $*"; }
say "up after $(cut -d ' ' -f 1 /proc/uptime) s: $(uname -srm)"

# shellcheck source=/dev/null # written by test-device-vm.sh
. /etc/device-vm.conf
status=0
ip link set lo up || status=1
# shellcheck disable=SC3040 # busybox ash has pipefail
set -o pipefail
set -f
cd /tmp || status=1

# run_tests ARGUMENTS: every test program in full with these gtest arguments; a failed one sets
# status. A skipped test fails the run too, since nothing here stands between the tests and the
# kernel.
run_tests() {
    for program in $YULT_TEST_PROGRAMS; do
        say "run ${program##*/} $*"
        started=$(cut -d ' ' -f 1 /proc/uptime)
        "$program" "$@" 2>&1 | tee /tmp/device-vm.log || status=1
        if grep -q '^\[  SKIPPED \]' /tmp/device-vm.log; then
            say "${program##*/} skipped tests"
            status=1
        fi
        say "${program##*/} took $(cut -d ' ' -f 1 /proc/uptime) s of uptime, from $started"
    done
}

# First as on a kernel without TCP diag, where the agent reads the kernel's TCP tables instead;
# nothing can load the modules behind the tests' back, since /lib/modules has no tree for modprobe.
if [ -n "$YULT_WITHOUT_DIAG_ARGUMENTS" ]; then
    say "without TCP diag"
    # shellcheck disable=SC2086 # the arguments are words; their patterns are gtest's (set -f)
    run_tests $YULT_WITHOUT_DIAG_ARGUMENTS
fi
for module in inet_diag tcp_diag; do
    insmod "/lib/modules/$module.ko" || { say "cannot load $module"; status=1; }
done
say "with TCP diag"
# shellcheck disable=SC2086 # as above
run_tests $YULT_TEST_ARGUMENTS
say "end status $status"
poweroff -f
