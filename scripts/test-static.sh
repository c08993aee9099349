#!/bin/bash
# Builds the fully static x86_64 release agent (build-release-x86_64, YULT_STATIC), shows what
# it is and how big, and runs the native end-to-end tests against it, stripped as it ships.
# release.sh runs it and packs the staged agent only when it passes.
#   test-static.sh [ctest arguments...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$(release_dir x86_64)
agent=$(release_agent x86_64)

deps
rm -f "$dir/YultService" # always link, so that the linker's warnings show
release_build x86_64
# glibc warns when a static program calls what needs its shared parts at run time (NSS, iconv).
grep -i 'warning' "$dir/build.log" || echo "no linker warnings"
file "$agent"
{ ldd "$agent" 2>&1 || true; } | sed 's/^/ldd: /'
ls -l "$dir/YultService" "$agent"
size "$dir/YultService" "$agent"

release_e2e x86_64 "$@"
