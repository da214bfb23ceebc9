#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds two programs against it that embed the library the
# way a user's would, with find_package(VelaBackup) and with pkg-config, then runs both: each backs a
# small file database up and restores it. Usage: scripts/consumer.sh [BUILD_DIR] (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/velabackup"
"$work/prefix/bin/velabackup" --version

cmake -S tests/consumer -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
mkdir "$work/run-cmake"
(cd "$work/run-cmake" && "$work/cmake-build/consumer")
echo "consumer: find_package(VelaBackup) build saved and restored"

PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name velabackup.pc)")"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/consumer-pc" tests/consumer/main.cpp $(pkg-config --cflags --libs velabackup)
mkdir "$work/run-pc"
(cd "$work/run-pc" && "$work/consumer-pc")
echo "consumer: pkg-config build saved and restored"

# The example of the README, as a user would copy it.
sed -n '/^## Using the library/,/^## /p' README.md | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >"$work/readme.cpp"
grep -q "int main" "$work/readme.cpp"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/readme" "$work/readme.cpp" $(pkg-config --cflags --libs velabackup)
mkdir "$work/run-readme"
(cd "$work/run-readme" && "$work/readme" && test -s shop.vbk && test -s copy.db)
echo "consumer: the README's example saved and restored"

# The installed host finds the shipped catalogues beside it.
"$work/prefix/bin/velabackup" sample -c "$work/run-pc/sample.db" --rows 10 >/dev/null
"$work/prefix/bin/velabackup" save -c "$work/run-pc/sample.db" -f "$work/run-pc/sample.vbk" --language de \
  --events jsonl | grep -q "Sicherung abgeschlossen"
echo "consumer: the installed host speaks German"
