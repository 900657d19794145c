#!/usr/bin/env bash
# A CSV file of 2,000 lines posted to a definition whose per-record script inserts one row:
# the uploaded file becomes the last posted field, so every line opens, commits and closes
# on its own. Yardstick: the sqlite3 shell running the same 2,000 separate
# BEGIN/INSERT/COMMIT on a database in the same folder. ROUNDS=n (default 3).
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-3}
lines=2000
build_norvane
site=$WORK/sites/csv
make_site "$site" - <<'EOF'
INSERT INTO SQL VALUES ('csvload', '', './csv.db', '', '',
  'INSERT INTO uploads(id, code, name) VALUES (''「列:1」'', ''「列:2」'', ''「列:3」'');',
  'SELECT count(*) AS n FROM uploads;');
EOF
schema="CREATE TABLE uploads(id INTEGER PRIMARY KEY, code TEXT, name TEXT);"
awk -v n=$lines 'BEGIN { for (i = 1; i <= n; i++) printf "%d,C%05d,品目%d\n", i, i, i }' \
  >"$site/lines.csv"
awk -F, '{ printf "BEGIN;\nINSERT INTO uploads(id, code, name) VALUES (%s, %s, %s);\nCOMMIT;\n",
  $1, "'\''" $2 "'\''", "'\''" $3 "'\''" }' "$site/lines.csv" >"$site/shell.sql"

port=$(free_port)
start_norvane "$site" "$port"
norvane=() shell=()
for ((r = 1; r <= rounds; r++)); do
  rm -f "$site/csv.db" "$site/shell.db"
  sqlite3 "$site/csv.db" "$schema"
  sqlite3 "$site/shell.db" "$schema"
  t=$(curl -s -o /dev/null -w '%{time_total}' -H "$AUTH" -F SQL=csvload -F HTML=list \
    -F "CSVファイル=@$site/lines.csv;type=text/csv" "http://127.0.0.1:$port/")
  n=$(sqlite3 "$site/csv.db" "SELECT count(*) FROM uploads;")
  [ "$n" = $lines ] || { echo "Norvane stored $n rows, not $lines" >&2; exit 1; }
  start_ns=$(now_ns)
  sqlite3 "$site/shell.db" <"$site/shell.sql"
  s=$(seconds_since "$start_ns")
  echo "round $r: Norvane $t s, sqlite3 shell $s s" >&2
  norvane+=("$t") shell+=("$s")
done
n=$(median "${norvane[@]}") s=$(median "${shell[@]}")
echo
echo "Machine: $(machine). $rounds rounds, medians."
echo
echo "| $lines CSV lines, one transaction each | Norvane | sqlite3 shell | ratio |"
echo "|---|---|---|---|"
printf '| total s | %.3f | %.3f | %s |\n' "$n" "$s" "$(ratio "$n" "$s")"
printf '| ms per line | %s | %s | |\n' "$(awk -v t="$n" -v n=$lines 'BEGIN { printf "%.2f", t * 1000 / n }')" \
  "$(awk -v t="$s" -v n=$lines 'BEGIN { printf "%.2f", t * 1000 / n }')"
