#!/usr/bin/env bash
# Garbage from the server: N random and mutated frames (lengths 0, 1-2, 4096
# and above, unknown ids, truncated, mutated and random-valued messages) sent
# by the simulator on the logged-in link of the real program, with a marked
# KEEP_ALIVE after every 20 frames that must come back answered (the program
# still reads the stream in step). A length of 0 ends the link; the program
# must come back by itself. Afterwards one whole practice call (offer, answer,
# voice, captions from the stenography simulator, release, CALL_REPORT) must
# work and its report match what the service counted. Prints the figures.
#   garbage.sh <build folder> [N [SEED]]   (N default 10000, SEED default 1)
set -euo pipefail
build="${1:?build folder}"
frames="${2:-10000}"
seed="${3:-1}"
name=garbage
source "$(dirname "$0")/common.sh"

make_short_passage 3
pick_ports
start_svcsim --practice --practice-dir "$work/short" --practice-interval 2 --practice-offer 8 \
  --practice-tail 0.5 --practice-out "$work/results" --ka-period 1000 --key 7 \
  --garbage "$frames" --garbage-seed "$seed"
start_display_and_sound
console_log=1
start_agent_and_join

t0=$(now_ms)
waitfor $(( 120 + frames / 20 )) grep -q "svcsim: garbage: \(done\|FAILED\)" "$work/svcsim.log" ||
  { alive || fail "the program ended during the garbage"; fail "the garbage did not finish"; }
secs=$(( ($(now_ms) - t0) / 1000 ))
alive || fail "the program ended during the garbage"
summary="$(grep "svcsim: garbage: \(done\|FAILED\)" "$work/svcsim.log")"
grep -q "svcsim: garbage: done" "$work/svcsim.log" || { grep "svcsim: garbage:" "$work/svcsim.log" | tail -n 5; fail "$summary"; }

# A whole call afterwards, captioned by the stenography simulator.
waitfor 30 seen "call 1: voice started" || fail "no call after the garbage (or its voice did not start)"
"$build/tools/stenosim/stenosim" --port 3321 --format plain --text "$short_text" --chunk 6 --pace 150 \
  --wait 300 >>"$work/stenosim.log" 2>&1 || fail "the stenography simulator failed"
waitfor 30 seen "practice call 1:" || fail "the call after the garbage did not end with a summary"
waitfor 10 seen "CALL_REPORT:" || fail "no CALL_REPORT after the call"
report="$(grep -m1 "CALL_REPORT:" "$work/svcsim.log")"
read -r sent acked svc_bytes svc_acked < <(echo "$report" | sed -E \
  's/.*: ([0-9]+) caption bytes sent, ([0-9]+) acknowledged, .*the service: ([0-9]+) caption bytes in ([0-9]+) DATA acknowledged.*/\1 \2 \3 \4/')
alive || fail "the program ended"

logins=$(grep -c "RX LOGIN " "$work/trace.log" || true)
log="$work/console.log"
count() { grep -c -- "$1" "$log" || true; }
echo "$name: $summary" | sed 's/svcsim: garbage: //'
echo "$name: $frames frames in $secs s; $((logins - 1)) reconnections in all (logins: $logins)"
echo "$name: program log lines: $(wc -l <"$log") in all; \"CAPA] FATAL\" $(count 'CAPA] FATAL'),"\
     "\"Wrong MsgID\" $(count 'Wrong MsgID'), \"-recv\" closes $(count 'Socket Error(Closed)-recv'),"\
     "CONTROL ignored $(count 'outside a call: ignored'), DATA_ACK without caption $(count 'with no caption outstanding')"
echo "$name: the call afterwards: $(grep -m1 'practice call 1:' "$work/svcsim.log" | sed 's/^.*practice call 1: //')"
echo "$name: its CALL_REPORT: $sent caption bytes sent, $acked acknowledged; the service: $svc_bytes bytes, $svc_acked DATA acknowledged"
# The DATA_ACKs of the garbage came outside any call: none of them counts.
[ "$sent" = "$svc_bytes" ] && [ "$acked" = "$svc_acked" ] || fail "the CALL_REPORT does not match what the service counted"
[ "$sent" -gt 0 ] || fail "the call carried no captions"
echo "$name: passed"
