#!/usr/bin/env bash
# Cost of one page request (20-row page, one client at a time: wrk -t1 -c1 -d5s) with an
# empty request log beside one of 1,000,000 lines in log.txt, which the server loads at
# start-up. The two take turns; each run starts afresh from its log. ROUNDS=n (default 3).
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-3}
need_packages wrk
build_norvane
site=$WORK/sites/log
make_site "$site"
big=$WORK/log-1m.txt
[ -f "$big" ] || awk 'BEGIN { for (i = 0; i < 500000; i++) {
  s = sprintf("2024-01-01 %02d:%02d:%02d %03d", i / 3600 % 24, i / 60 % 60, i % 60, i % 1000)
  printf "----START---- %sms IPAddress:127.0.0.1 User:bench(事務) SQL:items20\r\n", s
  printf "==== END ==== %sms IPAddress:127.0.0.1 User:bench(事務) HTML:list\r\n", s } }' >"$big"
url_path="/?SQL=items20&HTML=list"
declare -A ms
for ((r = 1; r <= rounds; r++)); do
  for log in empty 1m; do
    rm -f "$site/log.txt"
    [ $log = empty ] || cp "$big" "$site/log.txt"
    port=$(free_port)
    start_norvane "$site" "$port"
    check_ok "http://127.0.0.1:$port$url_path"
    read -r v e b < <(wrk_run "http://127.0.0.1:$port$url_path" -t1 -c1)
    stop_server "$PID"
    m=$(awk -v v="$v" 'BEGIN { printf "%.3f", 1000 / v }')
    echo "round $r, $log log: $v req/s, $m ms a request" >&2
    ms[$log]+=" $m"
  done
done
e=$(median ${ms[empty]}) f=$(median ${ms[1m]})
echo
echo "Machine: $(machine). $rounds rounds, medians; log.txt of 1,000,000 lines is $(du -m "$big" | cut -f1) MB."
echo
echo "| log.txt at start | ms per request | ratio |"
echo "|---|---|---|"
printf '| empty | %s | 1.00 |\n| 1,000,000 lines | %s | %s |\n' "$e" "$f" "$(ratio "$f" "$e")"
