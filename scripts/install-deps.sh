#!/bin/bash
# Installs with apt-get only the Debian packages that are missing, so a second run is quick
# and needs no network.
#   install-deps.sh [--cross] [--vm] [--fuzz] [--valgrind] [--lint]
#     (none)      build and test: g++, cmake, googletest, asio, python3, flock
#     --cross     arm64 and armhf cross compilers and qemu-user
#     --vm        qemu-system-arm, cpio and googletest for arm64 and armhf (dpkg gets both
#                 architectures: the device VM's packages come from them)
#     --fuzz      clang-14 with its libFuzzer and sanitizer runtimes, llvm-symbolizer
#     --valgrind  valgrind
#     --lint      clang-format and shellcheck
set -euo pipefail

packages=(g++ cmake make libgtest-dev libasio-dev python3 util-linux file binutils)
for option in "$@"; do
    case $option in
        --cross) packages+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user) ;;
        --vm) packages+=(qemu-system-arm cpio libgtest-dev:arm64 libgtest-dev:armhf) ;;
        --fuzz) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
        --valgrind) packages+=(valgrind) ;;
        --lint) packages+=(clang-format shellcheck) ;;
        *) echo "usage: $0 [--cross] [--vm] [--fuzz] [--valgrind] [--lint]" >&2; exit 2 ;;
    esac
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
for architecture in $(printf '%s\n' "${packages[@]}" | sed -n 's/.*://p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$architecture" || "${sudo[@]}" dpkg --add-architecture "$architecture"
done

missing=()
for package in "${packages[@]}"; do
    # A package without an architecture is the machine's own (or for all), not another's copy.
    if ! dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$package" 2>/dev/null |
        grep -Eqx "(${package#*:}|$(dpkg --print-architecture)|all) installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
