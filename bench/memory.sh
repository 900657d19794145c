#!/usr/bin/env bash
# Peak resident memory (VmHWM) of the server for one large request, each on a fresh start:
# a 191 MiB form body (one URL-encoded field, one multipart text field, one multipart file)
# posted to the 20-row page, and a 68 MiB TAB block of 1,000,000 lines whose rows a per-record
# INSERT stores.
source "$(dirname "$0")/lib.sh"
build_norvane
site=$WORK/sites/memory
make_site "$site" - <<'SQL'
INSERT INTO SQL VALUES ('tabsink', '', './sink.db', '', '',
  'INSERT INTO sink VALUES (''「列:1」'', ''「列:2」'', ''「列:3」'', ''「列:4」'');',
  'SELECT count(*) AS n FROM sink;');
SQL
mib=$((1024 * 1024))
form=$WORK/form-191m.txt
file=$WORK/file-191m.bin
block=$WORK/tab-1m.txt
prefix="SQL=items20&HTML=list&big="
if [ ! -f "$form" ]; then
  { printf '%s' "$prefix"; head -c $((191 * mib - ${#prefix})) /dev/zero | tr '\0' a; } >"$form"
fi
[ -f "$file" ] || head -c $((191 * mib)) /dev/zero | tr '\0' b >"$file"
[ -f "$block" ] || awk 'BEGIN { pad = sprintf("%39s", ""); gsub(/ /, "x", pad)
  for (i = 1; i <= 1000000; i++) printf "%07d\tC%07d\t品目%07d\t%s\n", i, i, i, pad }' >"$block"

hwm() { awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }
rows=()
measure() {  # label bytes curl-arguments...
  local label=$1 bytes=$2 port t h
  shift 2
  port=$(free_port)
  start_norvane "$site" "$port"
  t=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' -H "$AUTH" "$@" "http://127.0.0.1:$port/")
  h=$(hwm "$PID")
  stop_server "$PID"
  echo "$label: answer ${t% *}, ${t#* } s, VmHWM $h MiB" >&2
  rows+=("$(awk -v l="$label" -v b="$bytes" -v c="${t% *}" -v h="$h" -v s="${t#* }" 'BEGIN {
    printf "| %s | %.1f | %s | %s | %s | %.2f |", l, b / 1048576, c, h,
      b ? sprintf("%.1f", h * 1048576 / b) : "–", s }')")
}
measure "20-row page, no body (baseline)" 0 -G -d SQL=items20 -d HTML=list
measure "191 MiB URL-encoded form" "$(stat -c %s "$form")" \
  -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "@$form"
measure "191 MiB multipart text field" "$(stat -c %s "$file")" -F SQL=items20 -F HTML=list \
  -F "big=<$file"
measure "191 MiB multipart file" "$(stat -c %s "$file")" -F SQL=items20 -F HTML=list \
  -F "big=@$file"
rm -f "$site/sink.db"
sqlite3 "$site/sink.db" "CREATE TABLE sink(id TEXT, code TEXT, name TEXT, note TEXT);"
# Multipart fields are listed in reverse order: TAB列, last in the body, is the first field,
# so its rows share one transaction.
measure "68 MiB TAB block, 1,000,000 rows" "$(stat -c %s "$block")" -F SQL=tabsink \
  -F HTML=list -F "TAB列=<$block"
echo "rows stored from the TAB block: $(sqlite3 "$site/sink.db" "SELECT count(*) FROM sink;")" >&2
echo
echo "Machine: $(machine)."
echo
echo "| request | body MiB | status | VmHWM MiB | VmHWM / body | s |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
