#!/usr/bin/env bash
# System calls per request, by call, from `strace -f -c` on the running server: (a) the 20-row
# page and (c) the 64 KiB static file, N requests each (default 200) after 20 that warm the
# caches up, one request per connection (curl). Norvane, nginx with one worker for the static
# file and, with BEFORE=<commit or executable>, that build too. Prints one Markdown table per
# load.
source "$(dirname "$0")/lib.sh"
need_packages strace nginx-light
n=${N:-200}
build_norvane
prepare_before
site=$WORK/sites/syscalls
make_site "$site"
sleep 2  # files older than the file system's time step, as a running site's are

declare -A path=([a]="/?SQL=items20&HTML=list" [c]="/images/static64k.bin")
declare -A counts
labels=()

# Traces n requests of load l against the server process traced (default PID);
# counts[label.l.call] per request.
trace() {  # label load port [traced-pid]
  local label=$1 l=$2 port=$3 traced=${4:-$PID} out=$WORK/strace-$1-$2.txt sp i
  for ((i = 0; i < 20; i++)); do curl -s -o /dev/null -H "$AUTH" "http://127.0.0.1:$port${path[$l]}"; done
  strace -f -c -o "$out" -p "$traced" 2>/dev/null &
  sp=$!
  sleep 1
  for ((i = 0; i < n; i++)); do curl -s -o /dev/null -H "$AUTH" "http://127.0.0.1:$port${path[$l]}"; done
  sleep 0.5
  kill -INT "$sp"
  wait "$sp" 2>/dev/null || true
  while read -r call calls; do
    counts[$label.$l.$call]=$calls
    counts[calls.$l]+=" $call"
  done < <(awk '$4 ~ /^[0-9]+$/ && $NF != "total" { print $NF, $4 }' "$out")
}

measure_norvane() {  # label [executable]
  local port
  port=$(free_port)
  rm -f "$site/log.txt"
  start_norvane "$site" "$port" "${2:-$NORVANE_BIN}"
  trace "$1" a "$port"
  trace "$1" c "$port"
  stop_server "$PID"
  labels+=("$1")
}

[ -z "$BEFORE_BIN" ] || measure_norvane before "$BEFORE_BIN"
measure_norvane norvane
port=$(free_port)
start_nginx "$site" "$port"
trace nginx c "$port" "$(pgrep -P "$PID" | head -n 1)"  # the worker, not the master
stop_server "$PID"

echo
echo "Machine: $(machine). $n requests a load, strace -f -c."
for l in a c; do
  cols=("${labels[@]}")
  [ "$l" = a ] || cols+=(nginx)
  echo
  echo "Load ($l) ${path[$l]}, system calls per request:"
  echo
  printf '| call |'; printf ' %s |' "${cols[@]}"; echo
  printf '|---|'; printf -- '---|%.0s' "${cols[@]}"; echo
  for call in $(tr ' ' '\n' <<<"${counts[calls.$l]}" | sort -u); do
    [ -n "$call" ] || continue
    printf '| %s |' "$call"
    for s in "${cols[@]}"; do
      awk -v c="${counts[$s.$l.$call]:-0}" -v n="$n" 'BEGIN { printf " %.1f |", c / n }'
    done
    echo
  done
  printf '| **all** |'
  for s in "${cols[@]}"; do
    total=0
    for call in $(tr ' ' '\n' <<<"${counts[calls.$l]}" | sort -u); do
      total=$((total + ${counts[$s.$l.$call]:-0}))
    done
    awk -v c="$total" -v n="$n" 'BEGIN { printf " **%.1f** |", c / n }'
  done
  echo
done
