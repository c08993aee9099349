#!/bin/bash
# Builds everything with ASan+UBSan (build-asan) and runs the whole test suite; any sanitizer
# report, in a test or in an agent that a test started, fails the run.
#   test-sanitized.sh [ctest arguments...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"

deps
step "configure and build $ASAN_DIR"
configure_asan
build "$ASAN_DIR"

step "ctest under ASan+UBSan"
sanitize_into "$ASAN_DIR/sanitizer-reports"
status=0
locked ctest --test-dir "$ASAN_DIR" --output-on-failure -j "$JOBS" "$@" || status=$?
no_sanitizer_reports "$ASAN_DIR/sanitizer-reports" || status=1
exit $status
