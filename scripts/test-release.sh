#!/bin/bash
# Builds the fully static, stripped release agent for ARCH (build-release-<arch>, YULT_STATIC;
# cross-built for ARM with cmake/toolchains/), shows what it is, and runs the native end-to-end
# tests against it as it ships. An ARM agent runs under qemu-user (the tests stay native; only the
# agent is ARM): a quick look at it, not a device's kernel. release.sh runs this for x86_64 and packs
# the staged agent only when it passes; for ARM it and CI run test-device-vm.sh, on Debian's ARM kernel.
#   test-release.sh [x86_64|arm64|armhf] [ctest arguments...]   (x86_64 when no architecture is named)
# The native tests come from build-asan (built here if missing); YULT_NATIVE_BUILD names another.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
arch=x86_64
case ${1:-} in
    x86_64 | arm64 | armhf) arch=$1 && shift ;;
    "" | -*) ;;
    *) die "usage: $0 [x86_64|arm64|armhf] [ctest arguments...]" ;;
esac
dir=$(release_dir "$arch")
agent=$(release_agent "$arch")

if [ "$arch" = x86_64 ]; then
    deps
    rm -f "$dir/YultService" # always link, so that the linker's warnings show
    release_build x86_64
    # glibc warns when a static program calls what needs its shared parts at run time (NSS, iconv).
    grep -i 'warning' "$dir/build.log" || echo "no linker warnings"
    file "$agent"
    { ldd "$agent" 2>&1 || true; } | sed 's/^/ldd: /'
    ls -l "$dir/YultService" "$agent"
    size "$dir/YultService" "$agent"
else
    deps --cross
    release_build "$arch"
    file "$agent"
fi

release_e2e "$arch" "$@"
