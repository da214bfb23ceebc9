#!/usr/bin/env bash
# Makes the two Debian packages of a build (cpack), checks what each holds and says, unpacks them into a
# scratch root with `dpkg-deb -x` and uses them from there as their users would: runs the host (sample, save,
# restore, verify, German from the shipped catalogues) and builds two programs against libvelabackup-dev,
# with find_package(VelaBackup) and with pkg-config, in a project that sets no C++ standard; the README's
# example is one of them, and each runs twice in a row. Reuses the build: nothing is compiled again but the
# programs. Usage: scripts/consumer.sh [BUILD_DIR] (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$(pwd)"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
started=$SECONDS
failures=0
fail() {
  echo "consumer: $*" >&2
  failures=$((failures + 1))
}

(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
host_deb="$(echo "$work"/packages/velabackup_*.deb)"
dev_deb="$(echo "$work"/packages/libvelabackup-dev_*.deb)"
if [ ! -f "$host_deb" ] || [ ! -f "$dev_deb" ]; then
  echo "consumer: the packages were not made" >&2
  ls "$work/packages"
  exit 1
fi

# What each package says of itself, and what it holds.
field() { dpkg-deb -f "$1" "$2"; }
[[ "$(field "$host_deb" Recommends)" == *postgresql-client* ]] ||
  fail "velabackup does not recommend postgresql-client"
for library in libpq5 libzip4 libstdc++6; do
  [[ "$(field "$host_deb" Depends)" == *"$library"* ]] || fail "velabackup does not depend on $library"
done
for package in libzip-dev libpugixml-dev libdeflate-dev zlib1g-dev libpq-dev; do
  [[ "$(field "$dev_deb" Depends)" == *"$package"* ]] || fail "libvelabackup-dev does not depend on $package"
done
for deb in "$host_deb" "$dev_deb"; do
  # A summary of one line, then an extended description of indented lines no wider than 80 columns.
  description="$(field "$deb" Description)"
  [ "$(wc -l <<<"$description")" -ge 3 ] || fail "$(basename "$deb"): no extended description"
  [ "$(sed -n '2s/^ //p' <<<"$description")" != "$(head -n 1 <<<"$description")" ] ||
    fail "$(basename "$deb"): the summary is repeated as the description's first line"
  [ "$(awk 'length > 80' <<<"$description" | wc -l)" -eq 0 ] ||
    fail "$(basename "$deb"): description lines wider than 80"
  echo "consumer: $(field "$deb" Package) $(field "$deb" Version)," \
    "installed size $(field "$deb" Installed-Size) KiB, package $(($(stat -c %s "$deb") / 1024)) KiB"
done
holds() { dpkg-deb -c "$1" | awk '{print $NF}' | sed 's|^\./|/|'; }
host_files="$(holds "$host_deb")"
dev_files="$(holds "$dev_deb")"
for file in /usr/bin/velabackup /usr/share/velabackup/lang/de.ini /usr/share/man/man1/velabackup.1.gz \
  /usr/share/bash-completion/completions/velabackup /usr/share/doc/velabackup/copyright \
  /usr/share/doc/velabackup/changelog.gz; do
  grep -qxF "$file" <<<"$host_files" || fail "velabackup lacks $file"
done
for file in /usr/lib/libvelabackup.a /usr/lib/velabackup/libsqlite3mc.a /usr/include/velabackup/CBackup.h \
  /usr/lib/cmake/VelaBackup/VelaBackupConfig.cmake /usr/lib/pkgconfig/velabackup.pc \
  /usr/share/doc/libvelabackup-dev/copyright /usr/share/doc/libvelabackup-dev/changelog.gz; do
  grep -qxF "$file" <<<"$dev_files" || fail "libvelabackup-dev lacks $file"
done
grep -qE '\.a$|\.h$' <<<"$host_files" && fail "velabackup holds the library's files"
grep -q '/bin/' <<<"$dev_files" && fail "libvelabackup-dev holds a program"

root="$work/root"
dpkg-deb -x "$host_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$root/usr/share/doc/velabackup/copyright" || fail "the copyright file is not in Debian's format"
readelf -S "$root/usr/bin/velabackup" | grep -E '\.symtab|\.debug_' >/dev/null && fail "the host is not stripped"
for archive in "$root"/usr/lib/libvelabackup.a "$root"/usr/lib/velabackup/*.a; do
  readelf -S "$archive" | grep '\.debug_' >/dev/null && fail "$(basename "$archive") keeps its debug information"
done
zcat "$root/usr/share/man/man1/velabackup.1.gz" | grep -xF '.SH "EXIT STATUS"' >/dev/null ||
  fail "the packaged man page is not the one written by hand"

# The host, from the unpacked root: its catalogues are found from its own place.
host="$root/usr/bin/velabackup"
"$host" --version
mkdir "$work/run-host"
(
  cd "$work/run-host" &&
    "$host" sample -c sample.db --rows 100 >/dev/null &&
    "$host" save -c sample.db -f sample.vbk --language de --events jsonl | grep "Sicherung abgeschlossen" >/dev/null &&
    "$host" restore -c copy.db -f sample.vbk --quiet &&
    "$host" verify -f sample.vbk --quiet >/dev/null &&
    "$host" inspect -f sample.vbk | grep -i "table" >/dev/null
) || fail "the unpacked host could not sample, save (in German), restore, verify and inspect"
echo "consumer: the unpacked host saved (in German), restored and verified"

# The README's example, as a user would copy it.
sed -n '/^## Using the library/,/^## /p' README.md | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >"$work/readme.cpp"
grep -q "int main" "$work/readme.cpp" || { echo "consumer: no example in README.md" >&2; exit 1; }

# Runs a program twice in a fresh folder: the second run finds the files of the first.
run_twice() {
  local program="$1" folder
  folder="$work/run-$(basename "$1")"
  mkdir "$folder"
  for run in 1 2; do
    (cd "$folder" && "$program") || { fail "$(basename "$program") failed on run $run"; return; }
  done
  [[ -s "$folder/shop.vbk" && -s "$folder/copy.db" ]] || fail "$(basename "$program") left no backup or copy"
}

cmake -S "$source_dir/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DVELA_README_EXAMPLE="$work/readme.cpp" >/dev/null
cmake --build "$work/cmake-build" -j "$(nproc)" >/dev/null
run_twice "$work/cmake-build/consumer"
run_twice "$work/cmake-build/readme"
echo "consumer: find_package(VelaBackup) builds of the program and the README's example ran twice"

# pkg-config, with the compiler's own default standard: the Cflags bring C++20.
export PKG_CONFIG_PATH="$root/usr/lib/pkgconfig"
mkdir "$work/pc"
# shellcheck disable=SC2046
c++ -o "$work/pc/consumer-pc" tests/consumer/main.cpp $(pkg-config --cflags --libs velabackup)
# shellcheck disable=SC2046
c++ -o "$work/pc/readme-pc" "$work/readme.cpp" $(pkg-config --cflags --libs velabackup)
run_twice "$work/pc/consumer-pc"
run_twice "$work/pc/readme-pc"
echo "consumer: pkg-config builds of the program and the README's example ran twice"

echo "consumer: packages made, unpacked and used in $((SECONDS - started)) s"
exit $((failures > 0))
