#!/usr/bin/env bash
# Main-job demo: profile a simulated OlvaScript app end to end with YultService.
# Run after building into build/ (BUILD_DIR overrides, relative to the
# repository root).
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
build=${BUILD_DIR:-build}
work=$(mktemp -d "${TMPDIR:-/tmp}/yult-demo.XXXXXX")
sim_pid=
agent_runs=0

cleanup() {
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 10 s for the simulator's ready line on fd 3 and prints its pid;
# gives up early if the simulator dies.
wait_ready() {
    local line deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)); do
        if read -r -t 1 line <&3 && [[ $line =~ ^olva-app-sim:\ pid\ ([0-9]+)\ ready$ ]]; then
            echo "${BASH_REMATCH[1]}"
            return 0
        fi
        kill -0 "$sim_pid" 2>/dev/null || return 1
    done
    return 1
}

start_simulator() {
    mkfifo "$work/sim.out"
    # Opened read-write so neither side blocks in open() if the other fails.
    exec 3<>"$work/sim.out"
    TULM_HOME="$work/tulm" "$build/olva-app-sim" >"$work/sim.out" 2>"$work/sim.log" &
    sim_pid=$!
}

# Shows one agent run: its command line, its output and its exit status.
run_agent() {
    local out="$work/agent-$((++agent_runs)).out"
    echo "\$ $*"
    "$@" 2>&1 | tee "$out"
    echo "[exit status ${PIPESTATUS[0]}]"
    echo
}

check_trace() {
    local trace
    trace=$(sed -n 's/^.*Profile trace dumped to : *//p' "$work"/agent-*.out | tail -n 1)
    if [[ -z $trace || ! -f $trace ]]; then
        echo "No collected .cpuprofile was reported."
        return
    fi
    echo "Collected CPU profile: $trace ($(wc -c <"$trace") bytes)"
    if command -v python3 >/dev/null; then
        if python3 -m json.tool "$trace" >/dev/null; then
            echo "It is valid JSON."
        else
            echo "It is NOT valid JSON."
        fi
    fi
}

start_simulator
if ! app_pid=$(wait_ready); then
    echo "demo: the simulator did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
fi
echo "Simulated app running as pid $app_pid"
echo

export TULM_HOME="$work/tulm"
case $build in
    /*) export PATH="$build/tulm-bin:$PATH" ;;
    *) export PATH="$PWD/$build/tulm-bin:$PATH" ;;
esac

run_agent "$build/YultService" -P "$app_pid" -C -S -V
# Let the app run for a moment so the profile covers some time.
sleep 1
run_agent "$build/YultService" -P "$app_pid" -C -O -V
run_agent "$build/YultService" -P "$app_pid" -M -J

check_trace
echo
echo "Simulator log:"
cat "$work/sim.log"
