#!/usr/bin/env bash
# Peak resident memory (VmHWM) of the server for one large request, each on a fresh start.
# Large bodies of one field (a 191 MiB form body posted to the 20-row page as one URL-encoded
# field, one multipart text field, one multipart file) and bodies of many small pieces:
# millions of tiny URL-encoded fields (with and without credentials), hundreds of thousands of
# tiny multipart parts, a CSV file and a TAB block of millions of one-byte lines whose rows a
# per-record INSERT stores, and the worst shapes the field limits allow.
# BEFORE=<commit or executable> measures that build on every request too, but the body of tiny
# fields up to the body limit: an earlier build needed many GiB for it.
source "$(dirname "$0")/lib.sh"
build_norvane
prepare_before
site=$WORK/sites/memory
make_site "$site" - <<'SQL'
INSERT INTO SQL VALUES ('tabsink', '', './sink.db', '', '',
  'INSERT INTO sink VALUES (''「列:1」'', ''「列:2」'', ''「列:3」'', ''「列:4」'');',
  'SELECT count(*) AS n FROM sink;');
SQL
mib=$((1024 * 1024))
data=$WORK/memory-bodies
mkdir -p "$data"
form=$data/form-191m.txt
file=$data/file-191m.bin
block=$data/tab-1m.txt
prefix="SQL=items20&HTML=list&big="
if [ ! -f "$form" ]; then
  { printf '%s' "$prefix"; head -c $((191 * mib - ${#prefix})) /dev/zero | tr '\0' a; } >"$form"
fi
[ -f "$file" ] || head -c $((191 * mib)) /dev/zero | tr '\0' b >"$file"
[ -f "$block" ] || awk 'BEGIN { pad = sprintf("%39s", ""); gsub(/ /, "x", pad)
  for (i = 1; i <= 1000000; i++) printf "%07d\tC%07d\t品目%07d\t%s\n", i, i, i, pad }' >"$block"

# Bodies of many small pieces, written once (perl: fast, and exact to the byte).
tiny16=$data/tiny-fields-16m.txt     # "a&a&…": 8.4 million fields
tiny256=$data/tiny-fields-256m.txt   # the same up to the body limit
distinct=$data/distinct-fields-1m.txt  # 1,000,000 distinct names, the most taken
parts=$data/tiny-parts-16m.bin       # 390,000 multipart parts of one byte
nameless=$data/nameless-parts-1m.bin  # 1,000,000 parts without headers, the most taken
files=$data/tiny-files-10k.bin       # 10,000 one-byte files, the most taken
csvfile=$data/csv-2m-lines.bin       # a CSV file of 2,000,000 one-byte lines
tablines=$data/tab-8m-lines.txt      # a TAB block of 8,000,000 one-byte lines, URL-encoded
[ -f "$tiny16" ] || perl -e 'print "SQL=items20&HTML=list&", "a&" x (8 * 1024 * 1024 - 11)' >"$tiny16"
[ -f "$tiny256" ] || perl -e 'print "SQL=items20&HTML=list&", "a&" x (128 * 1024 * 1024 - 11)' >"$tiny256"
[ -f "$distinct" ] || perl -e 'print "SQL=items20&HTML=list"; printf "&%x=", $_ for 1 .. 999998' >"$distinct"
[ -f "$parts" ] || perl -e 'print "--B\r\nContent-Disposition: form-data; name=\"SQL\"\r\n\r\nitems20";
  print "\r\n--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx" for 1 .. 390000;
  print "\r\n--B--\r\n"' >"$parts"
[ -f "$nameless" ] || perl -e 'print "--B\r\nContent-Disposition: form-data; name=\"SQL\"\r\n\r\nitems20";
  print "\r\n--B\r\n\r\n" for 1 .. 999999; print "\r\n--B--\r\n"' >"$nameless"
[ -f "$files" ] || perl -e 'print "--B\r\nContent-Disposition: form-data; name=\"SQL\"\r\n\r\nitems20";
  print "\r\n--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f\"\r\n\r\nx" for 1 .. 10000;
  print "\r\n--B--\r\n"' >"$files"
# The posted "CSV列" part comes last in the body, so it is the first field: the file's lines
# take its place and its rows share one transaction (as the TAB block's do).
[ -f "$csvfile" ] || perl -e 'print "--B\r\nContent-Disposition: form-data; name=\"SQL\"\r\n\r\ntabsink";
  print "\r\n--B\r\nContent-Disposition: form-data; name=\"CSVファイル\"; filename=\"x.csv\"\r\n\r\n";
  print "a\n" x 2000000;
  print "\r\n--B\r\nContent-Disposition: form-data; name=\"CSV列\"\r\n\r\n\r\n--B--\r\n"' >"$csvfile"
[ -f "$tablines" ] || perl -e 'print "TAB%E5%88%97=", "a%0A" x 8000000, "&SQL=tabsink"' >"$tablines"

hwm() { awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }
rows=()
# One request on a fresh start of one build: prints "status seconds VmHWM-MiB".
peak_of() {  # executable curl-arguments...
  local exe=$1 port t h
  shift
  port=$(free_port)
  start_norvane "$site" "$port" "$exe"
  t=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' "$@" "http://127.0.0.1:$port/")
  h=$(hwm "$PID")
  stop_server "$PID"
  echo "$t $h"
}
measure() {  # label body-file-or-0 curl-arguments...
  local label=$1 bytes=0 after before="" a b
  [ "$2" = 0 ] || bytes=$(stat -c %s "$2")
  shift 2
  rm -f "$site/sink.db"
  sqlite3 "$site/sink.db" "CREATE TABLE sink(id TEXT, code TEXT, name TEXT, note TEXT);"
  after=$(peak_of "$NORVANE_BIN" "$@")
  echo "$label: after: answer ${after%% *}, $(cut -d' ' -f2 <<<"$after") s, VmHWM ${after##* } MiB" >&2
  # A shape the earlier build cannot hold (tens of times the body) is measured after only.
  if [ -n "$BEFORE_BIN" ] && [ -z "${AFTER_ONLY:-}" ]; then
    rm -f "$site/sink.db"
    sqlite3 "$site/sink.db" "CREATE TABLE sink(id TEXT, code TEXT, name TEXT, note TEXT);"
    before=$(peak_of "$BEFORE_BIN" "$@")
    echo "$label: before: answer ${before%% *}, $(cut -d' ' -f2 <<<"$before") s, VmHWM ${before##* } MiB" >&2
  fi
  read -r a_code a_s a_h <<<"$after"
  b_code=- b_s=- b_h=-
  [ -z "$before" ] || read -r b_code b_s b_h <<<"$before"
  rows+=("$(awk -v l="$label" -v b="$bytes" -v ac="$a_code" -v as="$a_s" -v ah="$a_h" \
    -v bc="$b_code" -v bs="$b_s" -v bh="$b_h" 'BEGIN {
    lim = b ? sprintf("%.0f", 2 * b / 1048576 + 64) : "–"
    printf "| %s | %.1f | %s | %s | %s | %s | %s | %s | %s |", l, b / 1048576, lim,
      bc, bh, bc == "-" ? "-" : sprintf("%.2f", bs), ac, ah, sprintf("%.2f", as) }')")
}
form_type='Content-Type: application/x-www-form-urlencoded'
multipart_type='Content-Type: multipart/form-data; boundary=B'

measure "20-row page, no body (baseline)" 0 -H "$AUTH" -G -d SQL=items20 -d HTML=list
measure "191 MiB URL-encoded form, one field" "$form" -H "$AUTH" -H "$form_type" \
  --data-binary "@$form"
measure "191 MiB multipart text field" "$file" -H "$AUTH" -F SQL=items20 -F HTML=list \
  -F "big=<$file"
measure "191 MiB multipart file" "$file" -H "$AUTH" -F SQL=items20 -F HTML=list -F "big=@$file"
measure "68 MiB TAB block, 1,000,000 rows" "$block" -H "$AUTH" -F SQL=tabsink -F HTML=list \
  -F "TAB列=<$block"
measure "URL-encoded a&a&…, 8.4 million fields" "$tiny16" -H "$AUTH" -H "$form_type" \
  --data-binary "@$tiny16"
measure "the same without credentials" "$tiny16" -H "$form_type" --data-binary "@$tiny16"
measure "multipart, 390,000 tiny parts" "$parts" -H "$AUTH" -H "$multipart_type" \
  --data-binary "@$parts"
measure "CSV file of 2,000,000 one-byte lines, rows stored" "$csvfile" -H "$AUTH" \
  -H "$multipart_type" --data-binary "@$csvfile"
measure "TAB block of 8,000,000 one-byte lines, rows stored" "$tablines" -H "$AUTH" \
  -H "$form_type" --data-binary "@$tablines"
AFTER_ONLY=1 measure "URL-encoded a&a&… up to the body limit" "$tiny256" -H "$AUTH" -H "$form_type" \
  --data-binary "@$tiny256"
measure "1,000,000 distinct tiny field names (the most taken)" "$distinct" -H "$AUTH" \
  -H "$form_type" --data-binary "@$distinct"
measure "1,000,000 multipart parts without headers (the most taken)" "$nameless" -H "$AUTH" \
  -H "$multipart_type" --data-binary "@$nameless"
measure "10,000 one-byte files (the most taken)" "$files" -H "$AUTH" -H "$multipart_type" \
  --data-binary "@$files"
echo
echo "Machine: $(machine)."
echo
echo "Limit: twice the body and 64 MiB. Status, VmHWM (MiB) and seconds of each build."
echo
echo "| request | body MiB | limit MiB | before | VmHWM | s | after | VmHWM | s |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
