#!/bin/bash
# Runs the agent of a plain build (build-valgrind) under valgrind's memcheck for a CPU start,
# a trace reception and a heap summary, with the process fuzzer's peer playing the application
# without mutations. Fails on invalid reads or writes and on use of uninitialised memory.
# Leaks are not checked: the agent ends with exit(0) while its objects are still reachable.
#   valgrind-check.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$ROOT/build-valgrind

deps --valgrind
step "configure and build $dir"
configure "$dir" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
build "$dir" YultService

logs=$dir/valgrind-logs
rm -rf "$logs" "$dir/findings" && mkdir -p "$logs"
status=0
for job in start stop heap; do
    step "memcheck: $job"
    # Seed 1 makes the trace and the summary 7049 bytes in ten writes, with verbose progress lines.
    locked python3 "$ROOT/fuzz/process_fuzz.py" --agent "$dir/YultService" --jobs "$job" --pristine 1 \
        --iterations 1 --seed 1 --findings "$dir/findings" \
        --launcher "valgrind -q --error-exitcode=99 --leak-check=no --track-origins=yes --log-file=$logs/%p.log" ||
        status=1
done
# This valgrind does not know the pidfd calls (424 pidfd_send_signal, 434 pidfd_open) and
# answers them ENOSYS, which the agent meets by queueing the signal by pid: its note about them
# is no finding. Every other line is.
unknown_pidfd_call='unhandled [a-z0-9]*-linux syscall: 4[23]4$|write your own handler|README_MISSING_SYSCALL_OR_IOCTL|consider this a bug|bug_reports.html'
for log in "$logs"/*.log; do
    if grep -Evq "$unknown_pidfd_call" "$log"; then
        status=1
        echo "---- $log" && cat "$log"
    fi
done
exit $status
