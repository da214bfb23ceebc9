#!/usr/bin/env bash
# Refreshes the vendored SQLite3 Multiple Ciphers amalgamation from the npm package that ships it, and
# prints the sha256 figures README.md records. Usage: third_party/sqlite3mc/refresh.sh [VERSION]
# Check the new figures, the SQLite and SQLite3 Multiple Ciphers versions and the changelogs, update
# README.md, build and run every test before committing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
package="better-sqlite3-multiple-ciphers"
version="${1:-13.0.3}"
files=(sqlite3.c sqlite3.h)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tarball="$work/$package-$version.tgz"
tar -xzf "$tarball" -C "$work" "${files[@]/#/package/deps/sqlite3/}"
for file in "${files[@]}"; do
  cp "$work/package/deps/sqlite3/$file" "$here/$file"
done

echo "package: $package@$version"
echo "tarball: $(sha256sum "$tarball" | cut -d' ' -f1)  $(basename "$tarball")"
(cd "$here" && sha256sum "${files[@]}")
grep -m1 '^#define SQLITE_VERSION ' "$here/sqlite3.c"
grep -m1 '^#define SQLITE3MC_VERSION_STRING' "$here/sqlite3.c"
