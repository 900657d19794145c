#!/usr/bin/env bash
# Times one definition lookup (open, query, close) on a definition database with 1,000
# definitions, with each engine library. Prints a Markdown table of medians.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-bench
# The project's own build type (-O2), the one the server ships with.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_BENCH=ON \
  -DNORVANE_TESTS=OFF >/dev/null
if ! out=$(cmake --build "$dir" --target bench_lookup 2>&1); then
  echo "$out" >&2
  exit 1
fi
lib_dir=$(dirname "$(ldconfig -p | awk '/libsqlite3.so.0 /{print $NF; exit}')")
"$dir/bench_lookup" "$lib_dir/libsqlite3.so.0" \
  "$lib_dir/libsqlcipher.so.0"
