#!/usr/bin/env bash
# K whole practice calls in one run of the real program: offer, Answer
# pressed on the ring, voice both ways, captions typed by the stenography
# simulator, release. Checks that resident memory after the first calls grows
# by less than 1 MB, that threads and open files come back to their starting
# counts, and that every CALL_REPORT's counters match what the service saw.
# Prints the figures.
#   soak.sh <build folder> [K]   (K default 200)
set -euo pipefail
build="${1:?build folder}"
calls="${2:-200}"
name=soak
source "$(dirname "$0")/common.sh"

# Two seconds of voice and the next offer 0.2 s after each call keep a call
# near 4 s, so that 200 calls take under 15 minutes.
make_short_passage 2
pick_ports
auto_answer=0
start_svcsim --practice --practice-dir "$work/short" --practice-interval 0.2 --practice-offer 8 \
  --practice-tail 0.3 --practice-out "$work/results" --ka-period 1000
start_display_and_sound
start_agent_and_join

# Memory is compared from the end of this call on (the first calls fill the
# program's caches and pools).
base_call=$(( calls >= 40 ? 20 : 1 ))
t0=$(date +%s)
for n in $(seq 1 "$calls"); do
  alive || fail "the program ended before call $n"
  waitfor 30 seen "call $n offered" || fail "call $n was not offered"
  # The focus reaches Answer with the first bring-to-front after the ring
  # has enabled it (every 500 ms); a press that came too early is repeated.
  sleep 0.6
  for _ in 1 2 3 4 5; do
    press_answer
    waitfor 1 seen "call $n answered" && break
  done
  waitfor 30 seen "call $n: voice started" || fail "call $n: the voice did not start"
  "$build/tools/stenosim/stenosim" --port 3321 --format plain --text "$short_text" --chunk 6 --pace 150 \
    --wait 300 >>"$work/stenosim.log" 2>&1 &
  steno=$!
  waitfor 30 seen "practice call $n:" || fail "call $n did not end with a summary"
  wait "$steno" 2>/dev/null || true
  if [ "$n" = 1 ]; then
    sleep 0.3
    start_threads=$(threads); start_fds=$(fds)
  fi
  if [ "$n" = "$base_call" ]; then base_rss=$(rss_kb); fi
done
secs=$(( $(date +%s) - t0 ))
end_rss=$(rss_kb)

# Every call's report against what the service counted: caption bytes and
# acknowledgements exactly; voice frames received at most those sent, and no
# more than 10 fewer (those the jitter buffer dropped).
reports=$(seen_count "CALL_REPORT:")
bad=$(grep "CALL_REPORT:" "$work/svcsim.log" | sed -E \
  's/.*: ([0-9]+) caption bytes sent, ([0-9]+) acknowledged, ([0-9]+) voice frames received; the service: ([0-9]+) caption bytes in ([0-9]+) DATA acknowledged, ([0-9]+) voice frames sent/\1 \2 \3 \4 \5 \6/' |
  awk '$1 != $4 || $2 != $5 || $3 > $6 || $3 < $6 - 10' | wc -l)
voice_short=$(grep "CALL_REPORT:" "$work/svcsim.log" | sed -E \
  's/.* ([0-9]+) voice frames received; .* ([0-9]+) voice frames sent/\1 \2/' | awk '{s += $2 - $1} END {print s + 0}')
bytes=$(grep "CALL_REPORT:" "$work/svcsim.log" | sed -E 's/.*the service: ([0-9]+) caption bytes.*/\1/' | awk '{s += $1} END {print s + 0}')
captioned=$(grep "CALL_REPORT:" "$work/svcsim.log" | sed -E 's/.*the service: ([0-9]+) caption bytes.*/\1/' | awk '$1 > 0' | wc -l)

# Threads and open files, sampled while idle between calls.
ok=0
for _ in $(seq 1 200); do
  if [ "$(threads)" = "$start_threads" ] && [ "$(fds)" = "$start_fds" ]; then ok=1; break; fi
  echo "$(threads) $(fds) $(ls -l /proc/$agent/fd | tail -n +2 | awk '{print $NF}' | sed 's/[0-9]*]/]/' | sort | uniq -c | tr '\n' ' ')" >>"$work/counts.log"
  sleep 0.1
done
end_threads=$(threads); end_fds=$(fds)
alive || fail "the program ended"

growth=$(( end_rss - base_rss ))
echo "$name: $calls calls in $secs s; $reports CALL_REPORTs, $captioned with captions, $bytes caption bytes in all"
echo "$name: voice frames the service sent that the program did not count as received: $voice_short in all"
echo "$name: resident memory after call $base_call: $base_rss kB; at the end: $end_rss kB (growth $growth kB)"
echo "$name: threads $end_threads (start $start_threads), open files $end_fds (start $start_fds)"
[ "$reports" -ge "$calls" ] || fail "$reports CALL_REPORTs for $calls calls"
[ "$bad" = 0 ] || { grep "CALL_REPORT:" "$work/svcsim.log" | head -n 5; fail "$bad CALL_REPORTs do not match what the service counted"; }
[ "$captioned" -ge 1 ] || fail "no call carried captions"
# AddressSanitizer keeps freed memory in quarantine: resident memory says
# nothing about leaks there (its leak checker does).
if grep -q '^QUILLON_SANITIZE:STRING=asan' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$name: memory growth not judged in the AddressSanitizer build"
else
  [ "$growth" -lt 1024 ] || fail "resident memory grew by $growth kB"
fi
[ "$ok" = 1 ] || fail "threads or open files did not return to the starting counts"
echo "$name: passed"
