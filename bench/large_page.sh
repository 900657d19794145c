#!/usr/bin/env bash
# One display page of 100,000 rows (the whole item-shaped table, template list) against
# `sqlite3 -json` writing the same rows. Both outputs go to /dev/null. ROUNDS=n (default 9);
# BEFORE=<commit or executable> times that build too, in the same rounds.
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-9}
rows=100000
build_norvane
prepare_before
site=$WORK/sites/large
make_site "$site" - <<'SQL'
INSERT INTO SQL VALUES ('items100k', '', './large.db', '', '', '', 'SELECT * FROM big;');
SQL
items_sql big $rows | sqlite3 -bail "$site/large.db"

port=$(free_port)
start_norvane "$site" "$port"
url="http://127.0.0.1:$port/?SQL=items100k&HTML=list"
bytes=$(curl -s -H "$AUTH" "$url" | wc -c)
before_url=
if [ -n "$BEFORE_BIN" ]; then
  before_port=$(free_port)
  start_norvane "$site" "$before_port" "$BEFORE_BIN"
  before_url="http://127.0.0.1:$before_port/?SQL=items100k&HTML=list"
  [ "$(curl -s -H "$AUTH" "$before_url" | wc -c)" = "$bytes" ] ||
    echo "the build BEFORE=$BEFORE sends another page" >&2
fi
norvane=() shell=() before=()
for ((r = 1; r <= rounds; r++)); do
  t=$(curl -s -o /dev/null -w '%{time_total}' -H "$AUTH" "$url")
  start_ns=$(now_ns)
  sqlite3 -json "$site/large.db" "SELECT * FROM big;" >/dev/null
  s=$(seconds_since "$start_ns")
  o=-
  if [ -n "$before_url" ]; then
    o=$(curl -s -o /dev/null -w '%{time_total}' -H "$AUTH" "$before_url")
    before+=("$o")
  fi
  echo "round $r: Norvane $t s, sqlite3 -json $s s, before $o s" >&2
  norvane+=("$t") shell+=("$s")
done
n=$(median "${norvane[@]}") s=$(median "${shell[@]}")
echo
echo "Machine: $(machine). $rounds rounds, medians; page $bytes bytes."
echo
echo "| $rows rows | Norvane page | sqlite3 -json | ratio |"
echo "|---|---|---|---|"
printf '| s | %.3f | %.3f | %s |\n' "$n" "$s" "$(ratio "$n" "$s")"
if [ -n "$BEFORE_BIN" ]; then
  o=$(median "${before[@]}")
  printf '| before (BEFORE=%s), s | %.3f | %.3f | %s |\n' "$BEFORE" "$o" "$s" "$(ratio "$o" "$s")"
fi
