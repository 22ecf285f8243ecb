#!/usr/bin/env bash
# A stenography program that keeps reconnecting: while the real program is
# captioning a call, N connections within T ms (about half send one to three
# tagged pieces before closing; every fifth is replaced by the next while
# still open), then a normal stream. Every piece must reach the service in a
# DATA exactly once (or be counted as discarded), the service's caption bytes
# must be the bytes written, and the call's CALL_REPORT must say the same.
# Prints the figures.
#   steno_storm.sh <build folder> [N [T]]   (N default 100, T default 10000)
set -euo pipefail
build="${1:?build folder}"
conns="${2:-100}"
storm_ms="${3:-10000}"
name=steno_storm
source "$(dirname "$0")/common.sh"

make_short_passage 14
pick_ports
# The call lasts the passage and a long tail: the storm and the stream after
# it fall inside it.
start_svcsim --practice --practice-dir "$work/short" --practice-interval 2 --practice-offer 8 \
  --practice-tail $(( storm_ms / 1000 + 8 )) --practice-out "$work/results" --ka-period 1000
start_display_and_sound
console_log=1
start_agent_and_join

waitfor 30 seen "call 1: voice started" || fail "the call did not start"
# Captioning is on once a first piece comes through.
"$build/tools/stenosim/stenosim" --port 3321 --format plain --text "<START> " --wait 100 \
  >>"$work/stenosim.log" 2>&1 || fail "the stenography simulator could not connect"
waitfor 10 grep -q 'RX DATA data="<START> "' "$work/trace.log" || fail "the first piece did not reach the service"

t0=$(now_ms)
"$build/tools/stenosim/stenosim" --port 3321 --storm "$conns" --storm-ms "$storm_ms" --storm-seed "${seed:-1}" \
  --storm-log "$work/pieces.txt" >>"$work/stenosim.log" 2>&1 || fail "the storm failed: $(tail -n 1 "$work/stenosim.log")"
storm_took=$(( $(now_ms) - t0 ))
"$build/tools/stenosim/stenosim" --port 3321 --format plain --text "$short_text <END>" --chunk 6 --pace 50 \
  --wait 300 >>"$work/stenosim.log" 2>&1 || fail "the stream after the storm failed"
waitfor $(( storm_ms / 1000 + 40 )) seen "practice call 1:" || fail "the call did not end with a summary"
waitfor 10 grep -q "RX CALL_REPORT" "$work/trace.log" || fail "no CALL_REPORT"
alive || fail "the program ended"

# What the stenography simulator wrote: the first piece, the storm, the stream.
written=$(sed -n 's/^stenosim: sent \([0-9]*\) bytes$/\1/p' "$work/stenosim.log" | awk '{s += $1} END {print s + 0}')
storm_bytes=$(sed -n 's/.*storm: .*pieces, \([0-9]*\) bytes).*/\1/p' "$work/stenosim.log")
written=$(( written + storm_bytes ))
# What the service received: the DATA of the call, in order.
grep "RX DATA data=" "$work/trace.log" | sed 's/^.*RX DATA data="//; s/"$//' | tr -d '\n' >"$work/captions.txt"
received=$(wc -c <"$work/captions.txt")
missing=0; twice=0; pieces=0
while IFS= read -r piece; do
  pieces=$((pieces + 1))
  n=$(grep -o -F -- "$piece " "$work/captions.txt" | wc -l)
  if [ "$n" = 0 ]; then missing=$((missing + 1)); echo "missing: $piece" >>"$work/check.log"; fi
  if [ "$n" -gt 1 ]; then twice=$((twice + 1)); echo "$n times: $piece" >>"$work/check.log"; fi
done <"$work/pieces.txt"
report="$(grep -m1 "RX CALL_REPORT" "$work/trace.log")"
rx=$(echo "$report" | sed -n 's/.*rxFromSteno=\([0-9]*\).*/\1/p')
discard=$(echo "$report" | sed -n 's/.*discardFromSteno=\([0-9]*\).*/\1/p')
tx=$(echo "$report" | sed -n 's/.*txToSvr=\([0-9]*\).*/\1/p')
opens=$(grep -c "capcRxCAPC_SOCK_STENO_OPEN_IND" "$work/console.log" || true)
closes=$(grep -c "capcRxCAPC_SOCK_STENO_CLOSE_IND" "$work/console.log" || true)

echo "$name: $(grep 'storm:' "$work/stenosim.log" | sed 's/^stenosim: storm: //'), measured $storm_took ms"
replaced=$(grep -c "replaced stenography connection closed" "$work/console.log" || true)
echo "$name: the program saw $opens stenography connections open and $closes close ($replaced of them closed while a newer one was up)"
echo "$name: written by the stenography simulator: $written bytes; received by the service in DATA: $received bytes"
echo "$name: storm pieces: $pieces, missing $missing, more than once $twice"
echo "$name: CALL_REPORT: rxFromSteno $rx, discardFromSteno $discard, txToSvr $tx"
echo "$name: the call: $(grep -m1 'practice call 1:' "$work/svcsim.log" | sed 's/^.*practice call 1: //')"
[ -s "$work/check.log" ] && head -n 5 "$work/check.log" | sed "s/^/$name:   /"
[ "$twice" = 0 ] || fail "$twice pieces reached the service more than once"
[ "$discard" = 0 ] || fail "$discard pieces were discarded"
[ "$missing" = 0 ] || fail "$missing pieces did not reach the service"
[ "$received" = "$written" ] || fail "the service received $received bytes of the $written written"
[ "$rx" = "$written" ] && [ "$tx" = "$received" ] || fail "the CALL_REPORT does not match what was written and received"
echo "$name: passed"
