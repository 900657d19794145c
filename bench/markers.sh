#!/usr/bin/env bash
# One line of N request markers 「f」 (query field f=Q), expanded on the HTML side (a template
# of that one line) and on the SQL side (a display script SELECT '「f」...' AS v, rendered by
# a template that shows the value). Prints the time of one page and how many markers were
# expanded, for N from 0 to 100,000.
# ROUNDS=n timings per figure (default 3); each page may take at most 120 s.
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-3}
sizes=(0 12500 25000 50000 100000)
build_norvane
site=$WORK/sites/markers
line() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "「f」" }'; }
{
  echo "INSERT INTO HTML VALUES ('value', '＠データ＠');"
  for n in "${sizes[@]}"; do
    echo "INSERT INTO HTML VALUES ('m$n', '$(line "$n")');"
    echo "INSERT INTO SQL VALUES ('m$n', '', './data.db', '', '', '', 'SELECT ''$(line "$n")'' AS v;');"
  done
} | make_site "$site" -
port=$(free_port)
start_norvane "$site" "$port"
rows=()
declare -A ms expanded
for n in "${sizes[@]}"; do
  for side in html sql; do
    if [ $side = html ]; then q="SQL=items20&HTML=m$n"; else q="SQL=m$n&HTML=value"; fi
    url="http://127.0.0.1:$port/?$q&f=Q"
    got=$(curl -s --max-time 120 -H "$AUTH" "$url" | tr -cd Q | wc -c)
    times=()
    for ((r = 0; r < rounds; r++)); do
      times+=("$(curl -s -o /dev/null --max-time 120 -w '%{time_total}' -H "$AUTH" "$url")")
    done
    t=$(median "${times[@]}")
    echo "$side side, $n markers: $t s, $got expanded" >&2
    ms[$side]=$(awk -v t="$t" 'BEGIN { printf "%.1f", t * 1000 }') expanded[$side]=$got
  done
  rows+=("| $n | ${ms[html]} | ${expanded[html]} | ${ms[sql]} | ${expanded[sql]} |")
done
echo
echo "Machine: $(machine). Median of $rounds pages per figure; times include the page's own work."
echo
echo "| markers on the line | HTML side ms | expanded | SQL side ms | expanded |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
