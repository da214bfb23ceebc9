#!/usr/bin/env bash
# Configures and builds VelaBackup in ./build (or $BUILD_DIR), as $BUILD_TYPE (default RelWithDebInfo);
# further arguments go to the configure step (for example -DVELA_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
