#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test: the plain build, the same tests
# under AddressSanitizer/UndefinedBehaviorSanitizer, and the fuzzers for a bounded time. The
# optimised build that users run (Release, -O3) is built too, and a plain cmake without
# GoogleTest. Warnings are errors here, except in that plain cmake, which is a user's.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh test

jobs=$(nproc)
fuzz_seconds=${NORVANE_FUZZ_SECONDS:-30}
summary=()

run_suite() {  # name, build dir, cmake options...
  local name=$1 dir=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DNORVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  local log="$dir/ctest.log" rc=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$log" || rc=$?
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)")
  return $rc
}

status=0
# The Release build is only built: its code is the plain build's at another optimisation level.
cmake -S . -B build-release -G Ninja -DNORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$jobs" || status=1
# A machine with the build packages alone: a plain cmake in a fresh folder, GoogleTest hidden,
# must say in one line that the tests are off and build the server.
bare_ok=0
rm -rf build-bare && mkdir build-bare
if cmake -S . -B build-bare -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >build-bare/build.log &&
   grep -q '^-- Tests are off: GoogleTest ' build-bare/build.log &&
   cmake --build build-bare -j "$jobs" >>build-bare/build.log && [ -x build-bare/norvane ] &&
   ctest --test-dir build-bare -N | grep -q '^Total Tests: 0$'; then
  bare_ok=1
else
  cat build-bare/build.log
  status=1
fi
summary+=("without GoogleTest: $([ $bare_ok = 1 ] && echo 'configured and built' || echo FAILED)")
run_suite plain build -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
run_suite sanitizers build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON || status=1
run_suite fuzz build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_FUZZ=ON \
  -DNORVANE_FUZZ_SECONDS="$fuzz_seconds" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ || status=1
# The demo application in headless Chromium; it keeps its count in build-browser/browser.log.
bash tests/browser/run.sh || status=1
summary+=("$(tail -n 1 build-browser/browser.log 2>/dev/null || echo 'browser: did not finish')")

echo
printf '%s\n' "${summary[@]}"
passed=0 failed=0
for d in build build-asan build-fuzz; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$d/ctest.log" 2>/dev/null | tail -n 1 || true)
  [ -n "$line" ] || continue
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
line=$(tail -n 1 build-browser/browser.log 2>/dev/null || true)
if [[ $line =~ ^browser:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
  passed=$((passed + BASH_REMATCH[1]))
  failed=$((failed + BASH_REMATCH[2]))
else
  failed=$((failed + 1))  # the browser test did not get to its count
fi
passed=$((passed + bare_ok))
failed=$((failed + 1 - bare_ok))
echo "$passed passed, $failed failed"
exit $status
