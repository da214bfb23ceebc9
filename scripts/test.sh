#!/usr/bin/env bash
# Sets up, builds from scratch and runs every test: installs the packages, starts the PostgreSQL test
# cluster, runs CTest, stops the cluster.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export BUILD_DIR="${BUILD_DIR:-build-test}"
rm -rf "$BUILD_DIR"
scripts/build.sh
eval "$(scripts/pg_cluster.sh start)"
trap 'scripts/pg_cluster.sh stop' EXIT
export VELA_TEST_PG=1
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
