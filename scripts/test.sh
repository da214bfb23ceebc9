#!/usr/bin/env bash
# Sets up, builds from scratch and runs every test: installs the packages, starts the PostgreSQL test
# cluster, runs the tests on a Release build, makes the Debian packages of that build, unpacks them into a
# scratch root and runs the host and programs built against the library from there (scripts/consumer.sh),
# runs the tests again on a build with the address and undefined-behaviour sanitizers (VELA_SANITIZE=0 skips
# that pass), and stops the cluster. Both builds treat compiler warnings as errors. Then each fuzz target
# runs for VELA_FUZZ_SECONDS (20) on its seeds under the same sanitizers (scripts/fuzz.sh; VELA_FUZZ=0 skips
# it); a crash fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export BUILD_DIR="${BUILD_DIR:-build-test}"
rm -rf "$BUILD_DIR"
BUILD_TYPE=Release scripts/build.sh -DVELA_WERROR=ON
eval "$(scripts/pg_cluster.sh start)"
trap 'scripts/pg_cluster.sh stop' EXIT
export VELA_TEST_PG=1
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
# The packages of the same build, unpacked and used as their users would.
scripts/consumer.sh "$BUILD_DIR"

if [ "${VELA_SANITIZE:-1}" = "1" ]; then
  sanitized="$BUILD_DIR-sanitize"
  rm -rf "$sanitized"
  flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
  cmake -S . -B "$sanitized" -DCMAKE_BUILD_TYPE=Debug -DVELA_BUILD_BENCH=OFF -DVELA_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  cmake --build "$sanitized" -j "$(nproc)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir "$sanitized" --output-on-failure -j "$(nproc)"
fi

if [ "${VELA_FUZZ:-1}" = "1" ]; then
  rm -rf "$BUILD_DIR-fuzz"
  FUZZ_BUILD_DIR="$BUILD_DIR-fuzz" scripts/fuzz.sh "${VELA_FUZZ_SECONDS:-20}"
fi
