#!/usr/bin/env bash
# A server that stops reading: in a call, while the stenography simulator
# streams captions into the real program far faster than any stenographer,
# the simulator stops reading the link (a small receive buffer, so that its
# window fills at once) for S seconds, then reads what the program wrote
# after the stop and closes the link if the program has not given up first.
# Meanwhile the window is pinged as a window manager does (_NET_WM_PING)
# every 100 ms: it must keep answering within a second. The link must come
# back by itself (one LOGIN, joined again) and the next call work. Prints the
# figures: when the window filled, the bytes written after the stop, the
# program's first failed write if any, the reconnection, the window's answers.
# (On Linux the program's send buffer grows to megabytes: at caption rates
# its writes do not block within a call, and the stop is noticed when the
# service closes the link.)
#   stop_reading.sh <build folder> [S]   (S default 20)
#   environment: words (default 400000) words streamed, tail_s (default 0.5)
#   seconds of call after the passage
set -euo pipefail
build="${1:?build folder}"
stall="${2:-20}"
name=stop_reading
source "$(dirname "$0")/common.sh"

# The longest time the window may take to answer a ping.
answer_bound_ms=1000

[ -x "$build/tools/xwmping/xwmping" ] || fail "xwmping was not built (X11 headers missing?)"
make_short_passage 14
pick_ports
start_svcsim --practice --practice-dir "$work/short" --practice-interval 2 --practice-offer 8 \
  --practice-tail "${tail_s:-0.5}" --practice-out "$work/results" --ka-period 1000 --rcvbuf 4096 --stop-reading "$stall"
start_display_and_sound
console_log=1
start_agent_and_join

waitfor 30 seen "call 1: voice started" || fail "the first call did not start"
"$build/tools/xwmping/xwmping" "$main_window" -i 100 -d $(( (stall + 40) * 1000 )) -t 10000 >"$work/ping.log" 2>&1 &
ping_pid=$!
pids+=($ping_pid)
# Far faster than any stenographer: pieces of 200 bytes every millisecond.
"$build/tools/stenosim/stenosim" --port 3321 --format plain --generate "${words:-400000}" --chunk 200 --pace 1 \
  --wait 100 >>"$work/stenosim.log" 2>&1 &
steno=$!
pids+=($steno)
waitfor 10 grep -q "RX DATA" "$work/trace.log" || fail "no captions reached the service"
sleep 0.5
conn=$(trace_conn)
t_stop=$(now_ms)
kill -s RTMIN "$svcsim_pid"
waitfor 5 seen "connection $conn: stopped reading" || fail "the simulator did not stop reading"
# Calls counted from here: the next one to start has to run on the new link.
before=$(seen_count "voice started")

# The program's first failed write, as its log says it.
t_fail=""
for _ in $(seq 1 $(( (stall + 5) * 10 ))); do
  if grep -q "Socket Error(Closed)-send" "$work/console.log"; then t_fail=$(now_ms); break; fi
  alive || fail "the program ended"
  sleep 0.1
done
waitfor $(( stall + 10 )) grep -q "connection $conn: \(read after the stop\|the client kept the link\)" "$work/svcsim.log" ||
  fail "the simulator's stop did not end"
next=$((conn + 1))
waitfor 15 grep -q "^\[$next .*RX CA_SVC_STATE.*inService=1" "$work/trace.log" ||
  fail "the program did not come back and join again on connection $next"
alive || fail "the program ended"
wait "$steno" 2>/dev/null || true

# The next call works.
waitfor 40 bash -c "[ \$(grep -c 'voice started' '$work/svcsim.log') -gt $before ]" || fail "no call after the link came back"
callno=$(grep "voice started" "$work/svcsim.log" | tail -n 1 | sed -n 's/.*call \([0-9]*\): voice started.*/\1/p')
"$build/tools/stenosim/stenosim" --port 3321 --format plain --text "$short_text" --chunk 6 --pace 100 \
  --wait 300 >>"$work/stenosim.log" 2>&1 || true
waitfor 40 seen "practice call $callno:" || fail "the call after the link came back did not end with a summary"
kill "$ping_pid" 2>/dev/null || true
wait "$ping_pid" 2>/dev/null || true

logins=$(grep -c "^\[$next .*RX LOGIN " "$work/trace.log" || true)
stop_ms=$(sed -n "s/.*connection $conn: stopped reading at \([0-9]*\) ms.*/\1/p" "$work/svcsim.log")
login_ms=$(grep -m1 "^\[$next .*RX LOGIN " "$work/trace.log" | sed -n 's/^\[[0-9]* \([0-9]*\)\].*/\1/p')
filled="$(grep -m1 "connection $conn: .* bytes waiting unread" "$work/svcsim.log" | sed 's/^svcsim: connection [0-9]*: //')"
ended="$(grep -m1 "connection $conn: the client \(ended\|connected again\|kept\)" "$work/svcsim.log" | sed 's/^svcsim: connection [0-9]*: //')"
after="$(grep -m1 "connection $conn: read after the stop" "$work/svcsim.log" | sed 's/^svcsim: connection [0-9]*: //' || true)"
pings=$(grep -c . "$work/ping.log" || true)
none=$(grep -c " none$" "$work/ping.log" || true)
longest=$(awk '$2 != "none" && $2 > m {m = $2} END {print m + 0}' "$work/ping.log")
slow=$(awk -v b="$answer_bound_ms" '$2 != "none" && $2 > b' "$work/ping.log" | wc -l)
echo "$name: stopped reading $stall s in a call with captions streaming (receive buffer 4096 bytes)"
echo "$name: $filled"
echo "$name: ${after:-nothing read after the stop}"
echo "$name: the program's caption warnings (more DATA sent than acknowledged in a second): $(grep -c "^ERR -- Tx:" "$work/console.log" || true)"
if [ -n "$t_fail" ]; then
  echo "$name: the program's first failed write: $((t_fail - t_stop)) ms after the stop (±100 ms); $ended"
else
  echo "$name: the program logged no failed write; $ended"
fi
closed_ms=$(sed -n "s/.*connection $conn: closed at \([0-9]*\) ms.*/\1/p" "$work/svcsim.log")
echo "$name: the simulator closed the link $((closed_ms - stop_ms)) ms after the stop; LOGIN on the next connection $((login_ms - closed_ms)) ms after the close; $logins LOGIN(s) on it"
echo "$name: the window: $pings pings every 100 ms, $none unanswered, longest answer $longest ms, $slow above $answer_bound_ms ms"
echo "$name: the call after: $(grep -m1 "practice call $callno:" "$work/svcsim.log" | sed "s/^.*practice call $callno: //")"
[ "$logins" = 1 ] || fail "$logins LOGINs on connection $next"
[ "$none" = 0 ] && [ "$slow" = 0 ] || fail "the window did not answer within $answer_bound_ms ms ($none unanswered, longest $longest ms)"
echo "$name: passed"
