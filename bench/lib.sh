# Shared by the benchmark scripts (sourced): packages, the server build, the workload site,
# starting and stopping servers on loopback ports, timing helpers.
# Everything is built below $WORK (default build-bench/ in the repository).
set -euo pipefail

BENCH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH")
WORK=${BENCH_WORK:-$REPO/build-bench}
USER_NAME=bench
USER_PASS=bench-pass
AUTH="Authorization: Basic $(printf '%s:%s' "$USER_NAME" "$USER_PASS" | base64)"
mkdir -p "$WORK"

# ------------------------------------------------------------------ packages

need_packages() {  # debian package...
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get -o DPkg::Lock::Timeout=300 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    "${missing[@]}" >&2
}

need_packages build-essential cmake ninja-build pkg-config libsqlite3-0 libsqlite3-dev \
  nettle-dev sqlite3 curl iproute2 perl

# ------------------------------------------------------------------ the server

# Builds the server of a source tree as it ships (RelWithDebInfo, -O2) into a build folder.
build_server() {  # source-dir build-dir
  local out
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=OFF >/dev/null
  if ! out=$(cmake --build "$2" --target norvane -j4 2>&1); then
    echo "$out" >&2
    return 1
  fi
}

# The server of this repository; sets NORVANE_BIN.
build_norvane() {
  build_server "$REPO" "$WORK/norvane"
  NORVANE_BIN=$WORK/norvane/norvane
}

# BEFORE=<commit or executable>: a second build measured beside this one in every round by the
# scripts that support it (pages, csv_upload, large_page); sets BEFORE_BIN ("" without BEFORE).
# A commit is exported with git archive and built like the server above.
prepare_before() {
  BEFORE_BIN=
  [ -n "${BEFORE:-}" ] || return 0
  if [ -f "$BEFORE" ] && [ -x "$BEFORE" ]; then
    BEFORE_BIN=$(cd "$(dirname "$BEFORE")" && pwd)/$(basename "$BEFORE")
    return 0
  fi
  local src=$WORK/before-src
  rm -rf "$src"
  mkdir -p "$src"
  git -C "$REPO" archive "$BEFORE" | tar -x -C "$src"
  build_server "$src" "$WORK/before"
  BEFORE_BIN=$WORK/before/norvane
}

# Debian's engine library, wherever the multiarch folder is.
engine_library() {  # libsqlite3.so.0 | libsqlcipher.so.0
  local lib
  lib=$(ldconfig -p | awk -v n="$1" '$1 == n { print $NF; exit }')
  [ -n "$lib" ] || lib=$(ls /usr/lib/*/"$1" /lib/*/"$1" 2>/dev/null | head -n 1)
  [ -n "$lib" ] || { echo "no $1 on this machine" >&2; return 1; }
  echo "$lib"
}

# ------------------------------------------------------------------ processes and ports

PIDS=()
stop_all() {
  local p
  for p in "${PIDS[@]+"${PIDS[@]}"}"; do stop_server "$p"; done
}
trap stop_all EXIT
trap 'exit 130' INT TERM

stop_server() {  # pid
  local p=$1 keep=() q i
  kill "$p" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
  for q in "${PIDS[@]}"; do [ "$q" = "$p" ] || keep+=("$q"); done
  PIDS=("${keep[@]+"${keep[@]}"}")
}

listening() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }

# The first port from BENCH_PORT (default 18400) that nothing listens on. Servers run one
# at a time, so a stopped server's port is taken again.
free_port() {
  local p=${BENCH_PORT:-18400}
  while listening "$p"; do
    p=$((p + 1))
    [ "$p" -lt $((${BENCH_PORT:-18400} + 500)) ] || { echo "no free port" >&2; return 1; }
  done
  echo "$p"
}

# Waits until pid listens on port; fails when the process ends first or after 20 s. Watches
# the socket table instead of connecting: a connection that sends nothing would hold the
# server's only thread.
wait_port() {  # pid port
  local i
  for ((i = 0; i < 400; i++)); do
    kill -0 "$1" 2>/dev/null || { echo "server $1 ended before listening on $2" >&2; return 1; }
    listening "$2" && return 0
    sleep 0.05
  done
  echo "server $1 not listening on $2 after 20 s" >&2
  return 1
}

# Starts the server (NORVANE_BIN, or the given build) in site as norvane：PORT (the port is read
# from the file name); sets PID.
start_norvane() {  # site port [executable]
  local site=$1 port=$2 exe="norvane：$2"
  cp "${3:-$NORVANE_BIN}" "$site/$exe"
  (cd "$site" && exec "./$exe") >"$site/norvane-$port.out" 2>&1 &
  PID=$!
  PIDS+=("$PID")
  wait_port "$PID" "$port"
}

# ------------------------------------------------------------------ the reference peer

# A private copy of the peer with its dependencies (the shared folder is read-only).
prepare_peer() {
  command -v node >/dev/null && command -v npm >/dev/null || need_packages nodejs npm
  PEER=$WORK/peer
  mkdir -p "$PEER"
  local src=$REPO/../shared/bench-peer f
  [ -d "$src" ] || src=/work/shared/bench-peer
  for f in package.json package-lock.json server.js; do
    cmp -s "$src/$f" "$PEER/$f" || { cp "$src/$f" "$PEER/$f" && chmod u+w "$PEER/$f"; }
  done
  if [ ! -f "$PEER/node_modules/better-sqlite3/build/Release/better_sqlite3.node" ]; then
    (cd "$PEER" && npm install --no-audit --no-fund >&2)
  fi
}

start_peer() {  # site port [--keep-open]
  local site=$1 port=$2
  shift 2
  node --openssl-legacy-provider "$PEER/server.js" --site "$site" --port "$port" "$@" \
    >"$site/peer-$port.out" 2>&1 &
  PID=$!
  PIDS+=("$PID")
  wait_port "$PID" "$port"
}

# ------------------------------------------------------------------ nginx

start_nginx() {  # site port
  need_packages nginx-light
  local site=$1 port=$2 dir=$WORK/nginx
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<EOF
user $(id -un);
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  sendfile on;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $site;
    location /images/ { }
  }
}
EOF
  nginx -c "$dir/nginx.conf" -p "$dir" 2>>"$dir/error.log" &
  PID=$!
  PIDS+=("$PID")
  wait_port "$PID" "$port"
}

# ------------------------------------------------------------------ the workload site

# The definition database of the page workload (see ../shared/bench-peer/README.md).
site_sql() {
  cat <<'EOF'
CREATE TABLE SQL (名称 TEXT PRIMARY KEY, 実行権限 TEXT, データベース TEXT, 暗号化 TEXT,
  入力開始時のSQL文等 TEXT, 入力一件分のSQL文等 TEXT, 表示用のSQL文等 TEXT);
CREATE TABLE HTML (名称 TEXT PRIMARY KEY, 内容 TEXT);
CREATE TABLE メニュー (所属 TEXT, 親 INTEGER, 子 INTEGER, 孫 INTEGER, 名称 TEXT, URL TEXT);
INSERT INTO SQL VALUES ('items20', '', './data.db', '', '', '', 'SELECT * FROM items LIMIT 20;');
INSERT INTO SQL VALUES ('items1000', '', './data.db', '', '', '',
  'SELECT * FROM items LIMIT 1000;');
INSERT INTO HTML VALUES ('list', '<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>＠HTML＠</title></head>
<body><p>＠所属＠ / ＠SQL＠</p>
<nav><script>var menu=[＠メニュー＠];</script></nav>
<script>var rows=[＠データ＠];</script>
</body></html>');
INSERT INTO HTML VALUES ('一覧表', '<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>＠HTML＠</title></head>
<body><script>var rows=[＠データ＠];</script></body></html>');
INSERT INTO HTML VALUES ('SQL不明', '<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><p>＠SQL＠: no such definition</p></body></html>');
INSERT INTO HTML VALUES ('メニュー', '<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>menu</title></head>
<body><p>＠所属＠</p><script>var menu=[＠メニュー＠];</script></body></html>');
INSERT INTO メニュー VALUES ('事務', 1, 1, 1, '品目一覧', '/?SQL=items20&HTML=list');
INSERT INTO メニュー VALUES ('事務', 1, 2, 1, '品目一覧(全件)', '/?SQL=items1000&HTML=list');
INSERT INTO メニュー VALUES ('事務', 2, 1, 1, '画像', '/images/static64k.bin');
INSERT INTO メニュー VALUES ('Web管理者', 1, 1, 1, '品目一覧', '/?SQL=items20&HTML=list');
EOF
}

# Rows of the item table shape: id i, code C%05d, name 品目i, qty (i*37)%1000, note 'note i%97'.
items_sql() {  # table rows
  cat <<EOF
CREATE TABLE $1(id INTEGER PRIMARY KEY, code TEXT, name TEXT, qty INTEGER, note TEXT);
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < $2)
INSERT INTO $1 SELECT i, printf('C%05d', i), '品目' || i, (i * 37) % 1000, 'note ' || (i % 97)
FROM c;
EOF
}

# Lays out the workload site in a new folder and registers the user: the server's own set-up
# route stores the password under this machine's host phrase, then the role becomes 事務.
# Extra SQL for ZURazo.db may come on stdin (with make_site DIR -).
make_site() {  # dir [-]
  local site=$1 port pid
  rm -rf "$site"
  mkdir -p "$site/images"
  { site_sql; if [ "${2:-}" = - ]; then cat; fi; } | sqlite3 -bail "$site/ZURazo_Init.db"
  items_sql items 10000 | sqlite3 -bail "$site/data.db"
  perl -e 'print map { chr(($_ * 131 + 7) & 0xFF) } 0 .. 65535' >"$site/images/static64k.bin"
  ln -s "$(engine_library libsqlite3.so.0)" "$site/libsqlite3.so.0"
  port=$(free_port)
  start_norvane "$site" "$port"
  pid=$PID
  curl -s -o /dev/null --data-urlencode "管理者名=$USER_NAME" \
    --data-urlencode "パスワード=$USER_PASS" "http://127.0.0.1:$port/"
  stop_server "$pid"
  rm -f "$site/ZURazo_Init.db" "$site/log.txt" "$site"/norvane*
  [ -f "$site/ZURazo.db" ] || { echo "set-up made no ZURazo.db" >&2; return 1; }
  sqlite3 "$site/ZURazo.db" "UPDATE 利用者情報 SET 所属 = '事務' WHERE 名前 = '$USER_NAME';"
  [ "$(sqlite3 "$site/ZURazo.db" "SELECT count(*) FROM 利用者情報 WHERE 所属 = '事務';")" = 1 ] ||
    { echo "set-up did not register $USER_NAME" >&2; return 1; }
}

# Fails unless url answers 200 with the user's credentials.
check_ok() {  # url
  local code
  code=$(curl -s -o /dev/null -w '%{http_code}' -H "$AUTH" "$1" || true)
  [ "$code" = 200 ] || { echo "$1 answered $code, not 200" >&2; return 1; }
}

# ------------------------------------------------------------------ figures

median() {  # numbers... (prints the middle one, the mean of the two middle ones when even)
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

now_ns() { date +%s%N; }
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

machine() {
  local cpu
  cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
  echo "$cpu, $(nproc) cores, $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r);" \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) when the figures were printed"
}

# One wrk load, one request per connection; prints "req/s socket-errors non-2xx", the socket
# errors summed over connect, read, write and timeout.
wrk_run() {  # url [wrk options...]
  local url=$1 out
  shift
  out=$(wrk -t2 -c8 -d5s "$@" -H 'Connection: close' -H "$AUTH" "$url")
  echo "$out" | awk '
    /^Requests\/sec:/ { rps = $2 }
    /Socket errors:/ { gsub(/,/, ""); errs = $4 + $6 + $8 + $10 }
    /Non-2xx or 3xx responses:/ { bad = $NF }
    END { printf "%s %d %d\n", rps, errs, bad }'
}
