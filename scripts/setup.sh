#!/usr/bin/env bash
# Installs every Debian package VelaBackup builds, tests and benchmarks with. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libpugixml-dev libzip-dev zlib1g-dev libdeflate-dev
  sqlite3
  libpq-dev postgresql
  unzip zip time bc
  bash-completion groff-base
  clang-16 libclang-rt-16-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
