#!/bin/bash
# Installs with apt-get only the Debian packages that are missing, so a second run is quick
# and needs no network.
#   install-deps.sh [--cross] [--fuzz] [--valgrind] [--lint]
#     (none)      build and test: g++, cmake, googletest, asio, python3, flock
#     --cross     arm64 and armhf cross compilers and qemu-user
#     --fuzz      clang-14 with its libFuzzer and sanitizer runtimes, llvm-symbolizer
#     --valgrind  valgrind
#     --lint      clang-format and shellcheck
set -euo pipefail

packages=(g++ cmake make libgtest-dev libasio-dev python3 util-linux file binutils)
for option in "$@"; do
    case $option in
        --cross) packages+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user) ;;
        --fuzz) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
        --valgrind) packages+=(valgrind) ;;
        --lint) packages+=(clang-format shellcheck) ;;
        *) echo "usage: $0 [--cross] [--fuzz] [--valgrind] [--lint]" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
