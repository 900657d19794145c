#!/usr/bin/env bash
# One display page of 100,000 rows (the whole item-shaped table, template list) against
# `sqlite3 -json` writing the same rows. Both outputs go to /dev/null. ROUNDS=n (default 9).
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-9}
rows=100000
build_norvane
site=$WORK/sites/large
make_site "$site" - <<'SQL'
INSERT INTO SQL VALUES ('items100k', '', './large.db', '', '', '', 'SELECT * FROM big;');
SQL
items_sql big $rows | sqlite3 -bail "$site/large.db"

port=$(free_port)
start_norvane "$site" "$port"
url="http://127.0.0.1:$port/?SQL=items100k&HTML=list"
bytes=$(curl -s -H "$AUTH" "$url" | wc -c)
norvane=() shell=()
for ((r = 1; r <= rounds; r++)); do
  t=$(curl -s -o /dev/null -w '%{time_total}' -H "$AUTH" "$url")
  start_ns=$(now_ns)
  sqlite3 -json "$site/large.db" "SELECT * FROM big;" >/dev/null
  s=$(seconds_since "$start_ns")
  echo "round $r: Norvane $t s, sqlite3 -json $s s" >&2
  norvane+=("$t") shell+=("$s")
done
n=$(median "${norvane[@]}") s=$(median "${shell[@]}")
echo
echo "Machine: $(machine). $rounds rounds, medians; page $bytes bytes."
echo
echo "| $rows rows | Norvane page | sqlite3 -json | ratio |"
echo "|---|---|---|---|"
printf '| s | %.3f | %.3f | %s |\n' "$n" "$s" "$(ratio "$n" "$s")"
