#!/usr/bin/env bash
# Main-job demo: profile a simulated OlvaScript app end to end with YultService.
# Run after building into build/ (BUILD_DIR overrides, relative to the
# repository root).
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
build=${BUILD_DIR:-build}
work=$(mktemp -d "${TMPDIR:-/tmp}/yult-demo.XXXXXX")
sim_pids=()
sim_logs=()
sim_options=()
sim_pid=
agent_runs=0

cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 10 s for the ready line of simulator $1 on descriptor $2 and
# prints its pid; gives up early if the simulator dies.
wait_ready() {
    local line deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)); do
        if read -r -t 1 line <&"$2" && [[ $line =~ ^olva-app-sim:\ pid\ ([0-9]+)\ ready$ ]]; then
            echo "${BASH_REMATCH[1]}"
            return 0
        fi
        kill -0 "$1" 2>/dev/null || return 1
    done
    return 1
}

# Starts a simulator with the given options and sets sim_pid once it is
# ready; exits the demo if it does not start.
start_simulator() {
    local n=${#sim_pids[@]} fd pid
    local out="$work/sim-$n.out" log="$work/sim-$n.log"
    mkfifo "$out"
    # Opened read-write so neither side blocks in open() if the other fails,
    # and kept open so the simulator never writes into a pipe nobody reads.
    exec {fd}<>"$out"
    TULM_HOME="$work/tulm" "$build/olva-app-sim" "$@" >"$out" 2>"$log" &
    pid=$!
    sim_pids+=("$pid")
    sim_logs+=("$log")
    sim_options+=("${*:-default options}")
    if ! sim_pid=$(wait_ready "$pid" "$fd"); then
        echo "demo: the simulator ($*) did not start:" >&2
        cat "$log" >&2
        exit 1
    fi
    echo "Simulated app${*:+ ($*)} running as pid $sim_pid"
    echo
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

export TULM_HOME="$work/tulm"
case $build in
    /*) export PATH="$build/tulm-bin:$PATH" ;;
    *) export PATH="$PWD/$build/tulm-bin:$PATH" ;;
esac

start_simulator
run_agent "$build/YultService" -P "$sim_pid" -C -S -V
# Let the app run for a moment so the profile covers some time.
sleep 1
run_agent "$build/YultService" -P "$sim_pid" -C -O -V
run_agent "$build/YultService" -P "$sim_pid" -M -J
check_trace
echo

# The other ways an application may take the signal; each must be served.
for mode in "handler" "sigwaitinfo" "sigtimedwait --busy"; do
    # shellcheck disable=SC2086 # the mode may carry an extra option
    start_simulator --signal $mode
    run_agent "$build/YultService" -P "$sim_pid" -C -S
done

for i in "${!sim_logs[@]}"; do
    echo "Simulator log (pid ${sim_pids[i]}, ${sim_options[i]}):"
    cat "${sim_logs[i]}"
    echo
done
