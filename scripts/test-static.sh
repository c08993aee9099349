#!/bin/bash
# Builds the fully static agent (build-static, YULT_STATIC), shows what it is and how big,
# and runs the native end-to-end tests against it.
#   test-static.sh [ctest arguments...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$ROOT/build-static

deps
step "static agent in $dir"
configure "$dir" -DBUILD_TESTING=OFF -DYULT_STATIC=ON -DCMAKE_BUILD_TYPE=Release
agent=$dir/YultService
rm -f "$agent" # always link, so that the linker's warnings show
build "$dir" YultService >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
# glibc warns when a static program calls what needs its shared parts at run time (NSS, iconv).
grep -i 'warning' "$dir/build.log" || echo "no linker warnings"
file "$agent"
{ ldd "$agent" 2>&1 || true; } | sed 's/^/ldd: /'
strip -o "$agent.stripped" "$agent"
ls -l "$agent" "$agent.stripped"
size "$agent" "$agent.stripped"

e2e_against "$agent" "" -- "$@"
