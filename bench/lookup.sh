#!/usr/bin/env bash
# Times one definition lookup (open, query, close) on a definition database with 1,000
# definitions, with each engine library. Prints a Markdown table of medians.
source "$(dirname "$0")/lib.sh"
need_packages libsqlcipher0
dir=$WORK/lookup
# The project's own build type (-O2), the one the server ships with.
cmake -S "$REPO" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_BENCH=ON \
  -DNORVANE_TESTS=OFF >/dev/null
if ! out=$(cmake --build "$dir" --target bench_lookup 2>&1); then
  echo "$out" >&2
  exit 1
fi
"$dir/bench_lookup" "$(engine_library libsqlite3.so.0)" "$(engine_library libsqlcipher.so.0)"
