#!/usr/bin/env bash
# ab -n 10000 -c 200 against the 20-row page: completed and failed requests, the longest
# request, and how ab ended (it gives up at the first connection reset). RUNS=n runs
# (default 3), each bounded by a 150 s timeout.
source "$(dirname "$0")/lib.sh"
runs=${RUNS:-3}
need_packages apache2-utils
build_norvane
site=$WORK/sites/ab
make_site "$site"
port=$(free_port)
start_norvane "$site" "$port"
url="http://127.0.0.1:$port/?SQL=items20&HTML=list"
check_ok "$url"
rows=()
for ((r = 1; r <= runs; r++)); do
  rc=0
  out=$(timeout 150 ab -n 10000 -c 200 -H "$AUTH" "$url" 2>&1) || rc=$?
  rows+=("$(echo "$out" | awk -v rc=$rc -v run=$r '
    /^Complete requests:/ { done = $3 }
    /^Total of .* requests completed/ { done = $3 }
    /^Failed requests:/ { failed = $3 }
    /^Non-2xx responses:/ { bad = $3 }
    /^Total:/ { max = $NF }
    /apr_/ { abort = $0 }
    END {
      printf "| %d | %s | %s | %s | %s | %s |", run, done == "" ? "-" : done,
        failed == "" ? "-" : failed, bad == "" ? 0 : bad, max == "" ? "-" : max,
        abort != "" ? abort : (rc == 124 ? "timed out after 150 s" : (rc ? "exit " rc : "normally"))
    }')")
  echo "${rows[-1]}" >&2
done
echo
echo "Machine: $(machine)."
echo
echo "| run | completed | failed | non-2xx | max ms | ab ended |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
