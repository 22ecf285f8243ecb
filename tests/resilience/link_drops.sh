#!/usr/bin/env bash
# The server link dropped N times at random moments (idle, ringing, in a call,
# in the middle of a frame) under the real program taking practice calls.
# After each drop: the program reconnects no sooner than 1500 ms later, sends
# exactly one LOGIN on the new connection and joins again (CA_SVC_STATE
# inService=1). At the end its threads and open files are back to where they
# were before the first drop. Prints the figures.
#   link_drops.sh <build folder> [N]   (N default 100)
set -euo pipefail
build="${1:?build folder}"
drops="${2:-100}"
name=link_drops
source "$(dirname "$0")/common.sh"

make_short_passage 3
pick_ports
start_svcsim --practice --practice-dir "$work/short" --practice-interval 2 --practice-offer 8 \
  --practice-tail 0.5 --practice-out "$work/results" --ka-period 1000
start_display_and_sound
start_agent_and_join

# The starting counts: idle after a first whole call (its sound devices and
# voice threads have been made once).
waitfor 60 seen "practice call [0-9]*:" || fail "no practice call ended"
sleep 0.5
start_threads=$(threads); start_fds=$(fds)
echo "$name: start: $start_threads threads, $start_fds open files"

min_gap=999999; max_gap=0; sum_gap=0; midframe=0
declare -A at_state=()
for i in $(seq 1 "$drops"); do
  alive || fail "the program ended before drop $i"
  conn=$(trace_conn)
  # A random moment of the cycle after the rejoin: 2 s idle, the offer, the
  # 3 s call.
  sleep "$(( RANDOM % 7 )).$(( RANDOM % 10 ))"
  last="$(grep 'svcsim: practice:' "$work/svcsim.log" | tail -n 1)"
  case "$last" in
    *"call "[0-9]*" offered"*) state=ringing ;;
    *answered*|*"voice started"*) state=call ;;
    *) state=idle ;;
  esac
  if (( RANDOM % 3 == 0 )); then sig=USR2; midframe=$((midframe + 1)); else sig=USR1; fi
  before=$(seen_count "svcsim: dropped connection")
  kill -"$sig" "$svcsim_pid"
  waitfor 5 bash -c "[ \$(grep -c 'svcsim: dropped connection' '$work/svcsim.log') -gt $before ]" ||
    fail "drop $i: the simulator did not drop the link"
  dropped="$(grep 'svcsim: dropped connection' "$work/svcsim.log" | tail -n 1)"
  dconn=$(echo "$dropped" | sed -n 's/.*connection \([0-9]*\) at.*/\1/p')
  dms=$(echo "$dropped" | sed -n 's/.* at \([0-9]*\) ms.*/\1/p')
  at_state[$state]=$(( ${at_state[$state]:-0} + 1 ))
  next=$((dconn + 1))
  waitfor 10 grep -q "^\[$next .*RX CA_SVC_STATE.*inService=1" "$work/trace.log" ||
    fail "drop $i ($state, connection $dconn): no rejoin on connection $next"
  lms=$(grep -m1 "^\[$next .*RX LOGIN " "$work/trace.log" | sed -n 's/^\[[0-9]* \([0-9]*\)\].*/\1/p')
  [ -n "$lms" ] || fail "drop $i: no LOGIN on connection $next"
  gap=$((lms - dms))
  (( gap >= 1500 )) || fail "drop $i ($state): reconnected after $gap ms, sooner than 1500 ms"
  (( gap <= 1500 + 2000 )) || fail "drop $i ($state): reconnected only after $gap ms"
  (( gap < min_gap )) && min_gap=$gap; (( gap > max_gap )) && max_gap=$gap
  sum_gap=$((sum_gap + gap))
  : "$conn"
done

# Exactly one LOGIN on each connection from the second on.
last_conn=$(trace_conn)
for c in $(seq 2 "$last_conn"); do
  n=$(grep -c "^\[$c .*RX LOGIN " "$work/trace.log" || true)
  [ "$n" = 1 ] || fail "connection $c carried $n LOGINs"
done
conns=$(grep -o '^\[[0-9]*' "$work/trace.log" | sort -u | wc -l)

# Back to the starting counts: sampled while idle between calls.
ok=0
for _ in $(seq 1 150); do
  if [ "$(threads)" = "$start_threads" ] && [ "$(fds)" = "$start_fds" ]; then ok=1; break; fi
  sleep 0.2
done
end_threads=$(threads); end_fds=$(fds)
alive || fail "the program ended"
echo "$name: $drops drops (idle ${at_state[idle]:-0}, ringing ${at_state[ringing]:-0}, in a call ${at_state[call]:-0}; mid-frame $midframe), $conns connections"
echo "$name: reconnection after the drop: min $min_gap ms, mean $((sum_gap / drops)) ms, max $max_gap ms; one LOGIN per connection"
echo "$name: end: $end_threads threads (start $start_threads), $end_fds open files (start $start_fds)"
echo "$name: practice calls completed: $(seen_count 'practice call [0-9]*:')"
[ "$ok" = 1 ] || fail "threads or open files did not return to the starting counts"
echo "$name: passed"
