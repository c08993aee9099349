# shellcheck shell=bash
# Shared by the check scripts: paths, configure/build, the port lock, sanitizer settings.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc)}
PORT_LOCK=/tmp/yult-ports.lock

step() { printf '\n== %s: %s\n' "$(date +%T)" "$*"; }
die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

# shellcheck disable=SC2120 # options are optional: deps alone installs the build and test set
deps() { "$ROOT/scripts/install-deps.sh" "$@"; }

# configure DIR [cmake arguments...]; YULT_CMAKE_ARGS adds arguments to every configure (e.g. -GNinja).
configure() {
    local dir=$1
    shift
    # shellcheck disable=SC2086 # YULT_CMAKE_ARGS is a list of words
    cmake -S "$ROOT" -B "$dir" --log-level=WARNING "$@" ${YULT_CMAKE_ARGS:-} >/dev/null
}

# build DIR [targets...]
build() {
    local dir=$1 targets=()
    shift
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$dir" -j "$JOBS" "${targets[@]}"
}

# configure_asan: build-asan, everything with ASan+UBSan (YULT_SANITIZE) at -O2 with debug info.
ASAN_DIR=$ROOT/build-asan
configure_asan() {
    configure "$ASAN_DIR" -DBUILD_TESTING=ON -DYULT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# Everything that runs the agent takes the machine-wide port lock: its ports are fixed.
locked() { flock "$PORT_LOCK" "$@"; }

# sanitize_into DIR: every ASan/UBSan report ends the process (abort, a signal death that no
# expected exit status hides) and is also written to DIR/<tool>.<pid>, so a report from an
# agent whose output a test does not read still fails the run (see no_sanitizer_reports).
# Leak checking stays on: the agent ends with exit(0) from inside its handlers, but what it
# holds then is still reachable from main's stack and the event loop, which LSan does not report.
sanitize_into() {
    local dir=$1
    rm -rf "$dir" && mkdir -p "$dir"
    local common="halt_on_error=1:abort_on_error=1:print_summary=1"
    export ASAN_OPTIONS="$common:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:log_path=$dir/asan"
    export UBSAN_OPTIONS="$common:print_stacktrace=1:log_path=$dir/ubsan"
}

# no_sanitizer_reports DIR: prints every report written there; fails when there is one.
no_sanitizer_reports() {
    local dir=$1 clean=0 report
    for report in "$dir"/*; do
        [ -s "$report" ] || continue
        clean=1
        echo "---- sanitizer report $report"
        cat "$report"
    done
    return $clean
}

# e2e_against AGENT [LAUNCHER] [-- ctest arguments...]: the native end-to-end tests of build-asan
# (or YULT_NATIVE_BUILD), built here if need be, run against another agent program.
e2e_against() {
    local agent=$1 launcher=${2:-}
    shift 2 || shift $#
    [ "${1:-}" = -- ] && shift
    local native=${YULT_NATIVE_BUILD:-$ASAN_DIR}
    step "native end-to-end tests in $native"
    if [ ! -f "$native/CMakeCache.txt" ]; then
        [ "$native" = "$ASAN_DIR" ] || die "$native is not configured"
        configure_asan
    fi
    build "$native"
    step "end-to-end tests against $agent${launcher:+ under $launcher}"
    YULT_AGENT=$agent YULT_AGENT_LAUNCHER=$launcher locked ctest --test-dir "$native/tests/e2e" --output-on-failure "$@"
}
