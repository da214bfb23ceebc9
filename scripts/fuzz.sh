#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-16, address and undefined-behaviour sanitizers) in build-fuzz and
# runs each for SECONDS (default 60) on a copy of its seed corpus under fuzz/corpus/<target>.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      targets: datafile document unzip keyvalue restore engineobject
#                                              (default all)
#
# Prints, per target, the executions, the seconds and the crashes; exits 1 when any target crashed. A
# crashing input is kept as build-fuzz/findings/<target>/crash-* until the next run of that target.
# FUZZ_BUILD_DIR overrides the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
((${#targets[@]})) || targets=(datafile document unzip keyvalue restore engineobject)

build="${FUZZ_BUILD_DIR:-build-fuzz}"
command -v clang++-16 >/dev/null || { echo "fuzz: clang++-16 is missing (scripts/setup.sh installs it)" >&2; exit 2; }
# -O1 with line tables: quick to build on two cores, and the sanitizers' reports still name the lines.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
  -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_C_COMPILER=clang-16 -DVELA_FUZZ=ON -DVELA_WERROR=OFF -DBUILD_TESTING=OFF -DVELA_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Leaks count as findings; a crash stops the target and leaves its input behind.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/fuzz-$target.log"
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  echo "fuzz: $target for ${seconds}s"
  start=$(date +%s)
  status=0
  "$build/fuzz/fuzz_$target" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len=65536 -timeout=25 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  elapsed=$(($(date +%s) - start))
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  crashes=$(find "$findings" -type f | wc -l)
  if ((status != 0)); then
    failed=1
    ((crashes > 0)) || crashes=1
    grep -m 5 -E 'ERROR: |runtime error|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
  fi
  summary+=("$(printf '%-10s %12s executions %6s s %4s crashes' "$target" "${runs:-?}" "$elapsed" "$crashes")")
done

echo "fuzz: summary"
printf '  %s\n' "${summary[@]}"
exit "$failed"
