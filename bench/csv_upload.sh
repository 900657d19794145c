#!/usr/bin/env bash
# A CSV file of 2,000 lines posted to a definition whose per-record script inserts one row:
# the uploaded file becomes the last posted field, so every line opens, commits and closes
# on its own. Yardstick: the sqlite3 shell running the same 2,000 separate
# BEGIN/INSERT/COMMIT on a database in the same folder. ROUNDS=n (default 3); BEFORE=<commit or
# executable> times that build too, in the same rounds.
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-3}
lines=2000
build_norvane
prepare_before
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
before_port=
if [ -n "$BEFORE_BIN" ]; then
  before_port=$(free_port)
  start_norvane "$site" "$before_port" "$BEFORE_BIN"
fi

upload() {  # port: seconds for the whole upload, after checking every line arrived
  local t n
  rm -f "$site/csv.db"
  sqlite3 "$site/csv.db" "$schema"
  t=$(curl -s -o /dev/null -w '%{time_total}' -H "$AUTH" -F SQL=csvload -F HTML=list \
    -F "CSVファイル=@$site/lines.csv;type=text/csv" "http://127.0.0.1:$1/")
  n=$(sqlite3 "$site/csv.db" "SELECT count(*) FROM uploads;")
  [ "$n" = $lines ] || { echo "the server on $1 stored $n rows, not $lines" >&2; exit 1; }
  echo "$t"
}

norvane=() shell=() before=()
for ((r = 1; r <= rounds; r++)); do
  t=$(upload "$port")
  rm -f "$site/shell.db"
  sqlite3 "$site/shell.db" "$schema"
  start_ns=$(now_ns)
  sqlite3 "$site/shell.db" <"$site/shell.sql"
  s=$(seconds_since "$start_ns")
  o=-
  if [ -n "$before_port" ]; then
    o=$(upload "$before_port")
    before+=("$o")
  fi
  echo "round $r: Norvane $t s, sqlite3 shell $s s, before $o s" >&2
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
if [ -n "$BEFORE_BIN" ]; then
  o=$(median "${before[@]}")
  printf '| before (BEFORE=%s), total s | %.3f | %.3f | %s |\n' "$BEFORE" "$o" "$s" "$(ratio "$o" "$s")"
fi
