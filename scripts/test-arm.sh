#!/bin/bash
# Cross-builds a static agent for ARM and runs the native end-to-end tests against it under
# qemu-user (the tests stay native; only the agent is ARM).
#   test-arm.sh [arm64|armhf] [ctest arguments...]
# The native tests come from build-asan (built here if missing); YULT_NATIVE_BUILD names another.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
arch=${1:-arm64}
shift || true
case $arch in
    arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
    *) die "usage: $0 [arm64|armhf] [ctest arguments...]" ;;
esac
dir=$ROOT/build-$arch

deps --cross
step "cross-build the agent in $dir"
configure "$dir" --toolchain "$ROOT/cmake/toolchains/$triple.cmake" -DBUILD_TESTING=OFF -DYULT_STATIC=ON
build "$dir" YultService
file "$dir/YultService"

# The host objcopy cannot read an ARM program file; the version-section test calls `objcopy`.
mkdir -p "$dir/host-bin"
ln -sf "/usr/bin/$triple-objcopy" "$dir/host-bin/objcopy"
PATH=$dir/host-bin:$PATH e2e_against "$dir/YultService" "$qemu -L /usr/$triple" -- "$@"
