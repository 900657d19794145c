#!/usr/bin/env bash
# Runs every benchmark in turn and collects the tables in build-bench/results.md (progress
# lines go to the terminal). Takes about eight minutes on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")"
out=${BENCH_WORK:-$(cd .. && pwd)/build-bench}/results.md
mkdir -p "$(dirname "$out")"
: >"$out"
for b in pages csv_upload large_page ab log_size memory markers; do
  echo "## $b" | tee -a "$out"
  start=$(date +%s)
  ./$b.sh | tee -a "$out"
  echo "($b took $(($(date +%s) - start)) s)" | tee -a "$out"
  echo | tee -a "$out"
done
echo "tables in $out"
