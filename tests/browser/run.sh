#!/usr/bin/env bash
# The demo application in a real browser: builds the server, lays the demo out in a temporary
# folder as scripts/demo.sh does, runs the first-run set-up in headless Chromium, restarts the
# server and drives the application. One PASS/FAIL line per check and a closing count (kept in
# build-browser/browser.log); exits non-zero on any failure. The server is always stopped and
# the folder removed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
here=$root/tests/browser
build=build-browser

rm -f "$build/browser.log"  # a run that stops early leaves no count of an older one

bash scripts/install.sh browser
# The driver only; the browser is Debian's.
(cd "$here" && npm install --no-audit --no-fund --loglevel=error >/dev/null)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target norvane -j 4

# From here on the test is bounded: each phase by `timeout`, every wait inside by its own.
demo=$(mktemp -d /tmp/nv_browser_XXXXXX)
server_pid=""
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill "$server_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
trap 'stop_server; rm -rf "$demo"' EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$demo/images" "$demo/menu"
cp -r demo/menu/. "$demo/menu/"
if [ -d demo/images ]; then cp -r demo/images/. "$demo/images/"; fi
sqlite3 -bail "$demo/ZURazo_Init.db" <demo/ZURazo_Init.sql
lib=$(ls /usr/lib/*/libsqlcipher.so.0 2>/dev/null | head -n 1)
[ -n "$lib" ] && ln -sf "$lib" "$demo/libsqlcipher.so.0"
# A port the kernel just handed out is free on loopback; the port is part of the file name.
port=$(node -e "const s = require('net').createServer().listen(0, '127.0.0.1',
  () => { console.log(s.address().port); s.close(); });")
exe="norvane：$port"
cp "$build/norvane" "$demo/$exe"
url="http://127.0.0.1:$port"
log=$demo/checks.log

start_server() {
  (cd "$demo" && exec "./$exe") >>"$demo/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  {
    echo "FAIL: server listens on port $port"
    sed 's/^/      /' "$demo/server.log"
  } | tee -a "$log"
  return 1
}

run_phase() {  # phase, seconds. The driver exits 1 for failed checks, otherwise 0.
  local rc=0
  timeout -k 5 "$2" node "$here/demo_browser_test.mjs" "$1" "$url" "$demo/ZURazo_Init.db" \
    2>&1 | tee -a "$log" || rc=$?
  if [ $rc -gt 1 ]; then echo "FAIL: $1 phase ends within $2 s (exit $rc)" | tee -a "$log"; fi
  return $rc
}

status=0
: >"$log"
if start_server && run_phase setup 30; then
  stop_server
  [ -f "$demo/ZURazo.db" ] || { echo "FAIL: set-up wrote ZURazo.db" | tee -a "$log"; status=1; }
  if [ $status -eq 0 ] && start_server; then run_phase app 60 || status=1; else status=1; fi
else
  status=1
fi
stop_server

passed=$(grep -c '^PASS' "$log" || true)
failed=$(grep -c '^FAIL' "$log" || true)
[ "$failed" -eq 0 ] || status=1
echo "browser: $passed passed, $failed failed" | tee -a "$log"
cp "$log" "$build/browser.log"
exit $status
