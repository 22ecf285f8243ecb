#!/usr/bin/env bash
# What the real program costs while it waits: logged in, joined, after one
# call and before the next, for S seconds. Prints the CPU used (% of one core, from /proc/<pid>/stat) and the
# voluntary context switches per second (wake-ups) of all its threads, and the
# threads that wake most. A measurement, not a pass/fail test: the exit status
# is 0 when the figures were taken; above 0.5 % or 50 wake-ups a second it
# says so.
#   idle_cost.sh <build folder> [S]   (S default 60)
set -euo pipefail
build="${1:?build folder}"
secs="${2:-60}"
name=idle_cost
source "$(dirname "$0")/common.sh"

make_short_passage 3
pick_ports
# The practice service offers one short call 3 s after the JOIN and the
# next one only a day later: the measurement starts once that call is over,
# so it also shows that the voice path goes quiet after a call.
start_svcsim --practice --practice-dir "$work/short" --practice-interval 86400 \
  --practice-out "$work/results" --ka-period 1000
start_display_and_sound
start_agent_and_join
waitfor 30 grep -q "RX RELEASE_COMPLETE" "$work/trace.log" || fail "the first call did not end"
sleep 2

hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$agent/stat"; }
# "<tid> <name> <voluntary switches>" for every thread.
thread_switches() {
  for t in /proc/"$agent"/task/*; do
    printf '%s %s %s\n' "${t##*/}" "$(tr ' ' '_' <"$t/comm")" \
      "$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status")"
  done 2>/dev/null | sort -n
}
c0=$(cpu_ticks); t0=$(date +%s%N); thread_switches >"$work/sw0"
sleep "$secs"
c1=$(cpu_ticks); t1=$(date +%s%N); thread_switches >"$work/sw1"
alive || fail "the program ended"

ms=$(( (t1 - t0) / 1000000 ))
cpu=$(awk -v c=$((c1 - c0)) -v hz="$hz" -v ms="$ms" 'BEGIN {printf "%.2f", c * 100000 / hz / ms}')
join "$work/sw0" "$work/sw1" | awk -v ms="$ms" '{d = $5 - $3; printf "%.1f %s %s\n", d * 1000 / ms, $1, $2}' \
  | sort -rn >"$work/rates"
total=$(awk '{s += $1} END {printf "%.1f", s}' "$work/rates")
echo "$name: $((ms / 1000)) s logged in, joined, between calls: CPU $cpu % of one core, $total wake-ups a second (voluntary context switches of all $(wc -l <"$work/rates") threads)"
echo "$name: the threads that wake most (per second, thread id, name):"
head -n 6 "$work/rates" | sed "s/^/$name:   /"
over=$(awk -v c="$cpu" -v w="$total" 'BEGIN {print (c > 0.5 || w > 50) ? 1 : 0}')
[ "$over" = 0 ] && echo "$name: within 0.5 % and 50 wake-ups a second" ||
  echo "$name: ABOVE 0.5 % or 50 wake-ups a second"
