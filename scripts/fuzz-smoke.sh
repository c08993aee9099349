#!/bin/bash
# Builds the metadata parsers' libFuzzer target (build-fuzz, clang-14) and the sanitized agent
# (build-asan), runs the libFuzzer target, then the process fuzzer against the agent; any finding
# fails the run.
#   fuzz-smoke.sh [libFuzzer seconds, default 15] [process fuzzer seconds, default 30]
# The corpus grows in build-fuzz/corpus/metadata; crashes land in build-fuzz/artifacts and
# process fuzzer findings in build-fuzz/process-findings. FUZZ_SEED fixes the process fuzzer's seed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
per_target=${1:-15}
process_seconds=${2:-30}
fuzz_dir=$ROOT/build-fuzz

deps --fuzz
step "configure and build $fuzz_dir and the agent in $ASAN_DIR"
# Warnings are held to -Werror by the GCC builds; clang here only fuzzes.
configure "$fuzz_dir" -DYULT_FUZZ=ON -DBUILD_TESTING=OFF -DYULT_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14
build "$fuzz_dir" fuzz_metadata
configure_asan
build "$ASAN_DIR" YultService

status=0
mkdir -p "$fuzz_dir/artifacts"
step "libFuzzer metadata for $per_target s"
mkdir -p "$fuzz_dir/corpus/metadata"
log=$fuzz_dir/metadata.log
if ! "$fuzz_dir/fuzz_metadata" -max_total_time="$per_target" -print_final_stats=1 -dict="$ROOT/fuzz/metadata.dict" \
    -artifact_prefix="$fuzz_dir/artifacts/metadata-" "$fuzz_dir/corpus/metadata" "$ROOT/fuzz/corpus/metadata" \
    >"$log" 2>&1; then
    status=1
    tail -n 60 "$log"
fi
grep '^stat::number_of_executed_units' "$log" || true

step "process fuzzer for $process_seconds s"
locked python3 "$ROOT/fuzz/process_fuzz.py" --agent "$ASAN_DIR/YultService" --time-budget "$process_seconds" \
    --seed "${FUZZ_SEED:-$(date +%s)}" --findings "$fuzz_dir/process-findings" || status=1
exit $status
