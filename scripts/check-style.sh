#!/bin/bash
# The house style holds: the C and C++ sources as .clang-format lays them out, the shell
# scripts clean under shellcheck (.shellcheckrc). Any drift fails; the output shows where.
#   check-style.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"

deps --lint
step "format and shellcheck"
cd "$ROOT"
mapfile -t sources < <(git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'tests/*.cpp' 'tests/*.h' \
    'bench/*.cpp' 'bench/*.h' 'bench/*.c' 'fuzz/*.cpp')
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t scripts < <(git ls-files '*.sh')
shellcheck "${scripts[@]}"
