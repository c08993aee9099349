#!/bin/bash
# Sets up a fresh machine (missing Debian packages), builds everything and runs the tests.
#   run-tests.sh          the hardening checks, then the whole suite (CI runs this)
#   run-tests.sh --quick  the whole suite only
# The hardening checks: the house style (format, shellcheck), the suite under ASan+UBSan, a
# short fuzz smoke, and a release dry run (release.sh --dry-run): the end-to-end tests against
# each release agent (static, stripped: x86_64 natively through test-release.sh; arm64 and armhf
# cross-built, with the tests, and run on Debian's kernel for each in a VM through
# test-device-vm.sh), then its archives packed and checked.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

if [ "${1:-}" != --quick ]; then
    "$ROOT/scripts/check-style.sh"
    "$ROOT/scripts/test-sanitized.sh"
    "$ROOT/scripts/fuzz-smoke.sh"
    "$ROOT/scripts/release.sh" --dry-run
fi

step "the test suite"
deps
configure "$ROOT/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
build "$ROOT/build"
locked ctest --test-dir "$ROOT/build" --output-on-failure -j "$JOBS"
