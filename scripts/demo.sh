#!/usr/bin/env bash
# Sets up, builds and runs the main job on the embedded default (a file database).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build="${BUILD_DIR:-build}"
"$build/velabackup" --help
