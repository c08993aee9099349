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

# The release agents: for each of RELEASE_ARCHES the fully static agent (YULT_STATIC), built in
# build-release-<arch> and installed stripped, as it ships, into its stage/ (test-release.sh,
# test-device-vm.sh; release.sh packs what they tested).
# shellcheck disable=SC2034 # read by the scripts that source this
RELEASE_ARCHES="x86_64 arm64 armhf"

release_dir() { echo "$ROOT/build-release-$1"; }
release_agent() { echo "$ROOT/build-release-$1/stage/bin/YultService"; }

# release_triple ARCH: the cross compiler (cmake/toolchains/<triple>.cmake); none for x86_64.
release_triple() {
    case $1 in
        x86_64) echo "" ;;
        arm64) echo aarch64-linux-gnu ;;
        armhf) echo arm-linux-gnueabihf ;;
        *) die "no such architecture: $1 (x86_64, arm64, armhf)" ;;
    esac
}

# release_launcher ARCH: what runs an ARCH program here (qemu-user for ARM; nothing for x86_64).
release_launcher() {
    local triple
    triple=$(release_triple "$1")
    case $triple in
        "") echo "" ;;
        aarch64-*) echo "qemu-aarch64 -L /usr/$triple" ;;
        arm-*) echo "qemu-arm -L /usr/$triple" ;;
    esac
}

# source_date_epoch: the time that stands for the tree in what is made from it:
# SOURCE_DATE_EPOCH when set, else the time of the last commit.
source_date_epoch() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
    else
        git -C "$ROOT" log -1 --format=%ct 2>/dev/null || die "not a git checkout: set SOURCE_DATE_EPOCH"
    fi
}

# release_build ARCH: configures and builds the ARCH agent and installs it stripped into stage/.
# The same tree gives the same program wherever it lies: sources are named relative to the tree
# (-ffile-prefix-map), no debug information is shipped, and the build id is a hash of the
# program's contents. The linker's output is kept in build.log.
release_build() {
    local arch=$1 dir triple toolchain=()
    dir=$(release_dir "$arch")
    triple=$(release_triple "$arch")
    [ -z "$triple" ] || toolchain=(--toolchain "$ROOT/cmake/toolchains/$triple.cmake")
    step "release agent for $arch in $dir"
    rm -rf "$dir/stage" # a failed build leaves no agent to test or pack
    configure "$dir" "${toolchain[@]}" -DBUILD_TESTING=OFF -DYULT_STATIC=ON -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$ROOT/="
    SOURCE_DATE_EPOCH=$(source_date_epoch) build "$dir" YultService >"$dir/build.log" 2>&1 ||
        { cat "$dir/build.log"; return 1; }
    cmake --install "$dir" --component agent --strip --prefix "$dir/stage" >/dev/null
}

# release_e2e ARCH [ctest arguments...]: the native end-to-end tests against the staged ARCH agent
# (under qemu-user for ARM), as test-release.sh runs them. Like e2e_against, it relies on set -e
# to stop at a failure.
release_e2e() {
    local arch=$1 dir triple path=$PATH
    shift
    dir=$(release_dir "$arch")
    triple=$(release_triple "$arch")
    if [ -n "$triple" ]; then
        # The host objcopy cannot read an ARM program file; the version-section test calls `objcopy`.
        mkdir -p "$dir/host-bin"
        ln -sf "/usr/bin/$triple-objcopy" "$dir/host-bin/objcopy"
        path=$dir/host-bin:$PATH
    fi
    PATH=$path e2e_against "$(release_agent "$arch")" "$(release_launcher "$arch")" -- --no-tests=error "$@"
}
