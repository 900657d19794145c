#!/usr/bin/env bash
# Page and static-file throughput: Norvane against the reference peer (definition database
# opened per lookup, and --keep-open) and, for the static file, nginx with one worker and
# keep-alive off. One request per connection, wrk -t2 -c8 -d5s. The servers take turns within
# each round (the first server rotates), each started afresh with an empty log.txt for every
# load. Prints the medians over the rounds and the ratios as Markdown. ROUNDS=n (default 5);
# BEFORE=<commit or executable> adds that build of the server to every round.
source "$(dirname "$0")/lib.sh"
rounds=${ROUNDS:-5}
need_packages wrk nginx-light
build_norvane
prepare_before
prepare_peer
site=$WORK/sites/pages
make_site "$site"

loads=(a b c)
declare -A path=([a]="/?SQL=items20&HTML=list" [b]="/?SQL=items1000&HTML=list"
                 [c]="/images/static64k.bin")
servers=(norvane peer keep nginx)
[ -z "$BEFORE_BIN" ] || servers+=(before)
declare -A rps errs bad

start() {  # server port
  rm -f "$site/log.txt"
  case $1 in
    norvane) start_norvane "$site" "$2" ;;
    before) start_norvane "$site" "$2" "$BEFORE_BIN" ;;
    peer) start_peer "$site" "$2" ;;
    keep) start_peer "$site" "$2" --keep-open ;;
    nginx) start_nginx "$site" "$2" ;;
  esac
}

for ((r = 0; r < rounds; r++)); do
  for ((k = 0; k < ${#servers[@]}; k++)); do
    s=${servers[(k + r) % ${#servers[@]}]}
    for l in "${loads[@]}"; do
      [ "$s" != nginx ] || [ "$l" = c ] || continue
      port=$(free_port)
      start "$s" "$port"
      check_ok "http://127.0.0.1:$port${path[$l]}"
      read -r v e b < <(wrk_run "http://127.0.0.1:$port${path[$l]}")
      stop_server "$PID"
      echo "round $((r + 1)) $s ($l): $v req/s, $e socket errors, $b non-2xx" >&2
      rps[$s.$l]+=" $v"
      errs[$s.$l]=$((${errs[$s.$l]:-0} + e))
      bad[$s.$l]=$((${bad[$s.$l]:-0} + b))
    done
  done
done

med() { median ${rps[$1]:-} | awk '$1 != "-" { printf "%.0f", $1; next } { print }'; }
echo
echo "Machine: $(machine). $rounds rounds, medians in req/s."
echo
echo "| load | Norvane | peer | ratio | peer --keep-open | ratio | nginx, 1 worker | ratio |"
echo "|---|---|---|---|---|---|---|---|"
declare -A label=([a]="(a) 20-row page" [b]="(b) 1,000-row page" [c]="(c) 64 KiB static file")
for l in "${loads[@]}"; do
  n=$(med norvane.$l) p=$(med peer.$l) q=$(med keep.$l) x=-
  [ "$l" = c ] && x=$(med nginx.c)
  printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "${label[$l]}" "$n" "$p" \
    "$(ratio "$n" "$p")" "$q" "$(ratio "$n" "$q")" "$x" "$(ratio "$n" "$x")"
done
if [ -n "$BEFORE_BIN" ]; then
  echo
  echo "The same rounds with the build BEFORE=$BEFORE:"
  echo
  echo "| load | Norvane | before | speed-up | before / peer | before / peer --keep-open |"
  echo "|---|---|---|---|---|---|"
  for l in "${loads[@]}"; do
    n=$(med norvane.$l) o=$(med before.$l)
    printf '| %s | %s | %s | %s | %s | %s |\n' "${label[$l]}" "$n" "$o" "$(ratio "$n" "$o")" \
      "$(ratio "$o" "$(med peer.$l)")" "$(ratio "$o" "$(med keep.$l)")"
  done
fi
echo
echo "Socket errors and non-2xx answers reported by wrk, summed over the rounds:"
echo
declare -A title=([norvane]=Norvane [peer]=peer [keep]="peer --keep-open" [nginx]=nginx
                  [before]=before)
row="| load |" rule="|---|"
for s in "${servers[@]}"; do row+=" ${title[$s]} |" rule+="---|"; done
echo "$row"
echo "$rule"
for l in "${loads[@]}"; do
  row="| ${label[$l]} |"
  for s in "${servers[@]}"; do
    if [ -n "${errs[$s.$l]:-}" ]; then row+=" ${errs[$s.$l]} / ${bad[$s.$l]} |"; else row+=" – |"; fi
  done
  echo "$row"
done
