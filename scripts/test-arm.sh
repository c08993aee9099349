#!/bin/bash
# Cross-builds the release agent for ARM (static, stripped; build-release-<arch>) and runs the
# native end-to-end tests against it under qemu-user (the tests stay native; only the agent is
# ARM): a quick look at the agent, not a device's kernel. What release.sh and CI run for ARM is
# test-device-vm.sh, on Debian's ARM kernel.
#   test-arm.sh [arm64|armhf] [ctest arguments...]
# The native tests come from build-asan (built here if missing); YULT_NATIVE_BUILD names another.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
arch=${1:-arm64}
shift || true
case $arch in
    arm64 | armhf) ;;
    *) die "usage: $0 [arm64|armhf] [ctest arguments...]" ;;
esac

deps --cross
release_build "$arch"
file "$(release_agent "$arch")"
release_e2e "$arch" "$@"
