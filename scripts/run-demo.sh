#!/bin/bash
# Sets up a fresh machine (missing Debian packages), builds the agent and the simulated
# application, and runs the agent's three jobs against it end to end.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

deps
configure "$ROOT/build" -DCMAKE_BUILD_TYPE=Release
build "$ROOT/build" YultService olva-app-sim
locked "$ROOT/tools/demo.sh"
