# Shared by the fault runs: the real QuillonAgent on a virtual display, the
# practice service of svcsim on a free system-type port, the private sound
# devices, and readings of the program from /proc. Sourced, not run.
#   needs: build (build folder), name (shown in messages)
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$top/scripts/virtual-display.sh"
work="$(mktemp -d "/tmp/quillon-$name.XXXXXX")"
pids=()
agent=""
svcsim_pid=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "${QUILLON_VIRTUAL_AUDIO:-}" ] && bash "$top/scripts/virtual-audio.sh" stop "$QUILLON_VIRTUAL_AUDIO" || true
  [ "${keep_work:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "$name: FAILED: $*"
  if [ -n "$agent" ]; then
    if alive; then
      echo "--- the program (pid $agent) still runs; its child processes:"
      ps -o pid,stat,etime,args --ppid "$agent" 2>/dev/null || true
    else
      echo "--- the program has ended"
    fi
  fi
  echo "--- program output"; tail -n 20 "$work/agent.log" 2>/dev/null || true
  echo "--- simulator"; tail -n 15 "$work/svcsim.log" 2>/dev/null || true
  keep_work=1; echo "$name: logs in $work"; exit 1
}
waitfor() {  # waitfor SECONDS COMMAND...: polls until the command succeeds
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq 1 "$limit"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }  # not the monotonic clock; for durations only
seen() { grep -q -- "$1" "$work/svcsim.log"; }
seen_count() { grep -c -- "$1" "$work/svcsim.log" || true; }

threads() { ls "/proc/$agent/task" | wc -l; }
fds() { ls "/proc/$agent/fd" | wc -l; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$agent/status"; }
alive() { kill -0 "$agent" 2>/dev/null; }

# A short practice recording: the first seconds of the shortest one, with the
# words spoken in them, so that a call takes a few seconds.
make_short_passage() {  # make_short_passage SECONDS -> $work/short/short.wav
  local secs="$1" dir="$build/tools/svcsim/practice" src
  src="$(ls "$dir"/*.wav 2>/dev/null | head -n 1)"
  [ -n "$src" ] || fail "no practice recordings in $dir (is espeak-ng installed?)"
  mkdir -p "$work/short"
  sox -q "$src" "$work/short/short.wav" trim 0 "$secs" || fail "sox could not cut $src"
  local words="${src%.wav}.words"
  if [ -f "$words" ]; then
    awk -v lim="$(( secs * 1000 ))" '$1 ~ /^[0-9]+$/ && $1 < lim' "$words" >"$work/short/short.words"
    [ -s "$work/short/short.words" ] || rm -f "$work/short/short.words"
  fi
  if [ ! -f "$work/short/short.words" ]; then
    head -c 40 "${src%.wav}.txt" >"$work/short/short.txt"
  fi
  short_text="$( [ -f "$work/short/short.words" ] && awk '{print $2}' "$work/short/short.words" | tr '\n' ' ' || cat "$work/short/short.txt")"
}

# Ports: a system type whose server port is free, and the console's 7599
# (only one program can hold it).
pick_ports() {
  for _ in $(seq 1 50); do
    systype=$(( 300 + RANDOM % 5000 )); port=$(( (33210 + 5 * systype) % 65536 ))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  waitfor 120 bash -c '! (exec 3<>/dev/tcp/127.0.0.1/7599)' || fail "port 7599 stays taken by another program"
}

start_svcsim() {  # start_svcsim ARGS...: the service simulator on $port, timed trace
  "$build/tools/svcsim/svcsim" --port "$port" --trace "$work/trace.log" --trace-times "$@" \
    >"$work/svcsim.log" 2>&1 &
  svcsim_pid=$!
  pids+=($svcsim_pid)
  waitfor 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" || fail "the simulator did not listen"
}

start_display_and_sound() {
  virtual_display_start 1280x800x24 "$work" || fail "Xvfb did not start"
  pids+=($virtual_display_pid)
  eval "$(bash "$top/scripts/virtual-audio.sh" start "$work/audio")"
}

# The program with AutoAnsForTst=1 (auto_answer=0 leaves answering to the
# Answer button) and hand typing until stenography connects; logged in
# through the dialog and joined with the JOIN button.
start_agent_and_join() {
  mkdir -p "$work/cfg"
  printf '[Settings]\nSystemType=%d\nUseStenoSW=0\nAutoAnsForTst=%d\nCaptionerType=0\n' "$systype" \
    "${auto_answer:-1}" >"$work/agent.ini"
  XDG_CONFIG_HOME="$work/cfg" POS_DEBUG_DIR="$work" QT_QPA_PLATFORM=xcb \
    "$build/winapps/agent/QuillonAgent" --config "$work/agent.ini" >"$work/agent.log" 2>&1 &
  agent=$!
  pids+=($agent)
  waitfor 30 xdotool search --onlyvisible --name "Quillon Agent" || fail "the login dialog did not open"
  [ "${console_log:-0}" = 1 ] && start_console_log
  local win main
  win="$(xdotool search --onlyvisible --name "Quillon Agent" | head -n 1)"
  xdotool windowfocus --sync "$win" 2>/dev/null || true
  sleep 0.3
  xdotool type --delay 20 "agent7"; xdotool key Tab
  xdotool type --delay 20 "secret1"; xdotool key Return
  waitfor 20 xdotool search --onlyvisible --name "Quillon Agent #" || fail "the program did not log in"
  main="$(xdotool search --onlyvisible --name "Quillon Agent #" | head -n 1)"
  main_window="$main"
  sleep 1
  xdotool windowfocus --sync "$main" 2>/dev/null || true
  xdotool key Tab space
  waitfor 10 grep -q "CA_SVC_STATE.*inService=1" "$work/trace.log" || fail "JOIN did not reach the service"
}

# Answers a ringing call as the agent does: the ring brings the window to the
# front with the focus on Answer, and the space bar presses it.
press_answer() {
  xdotool windowfocus --sync "$main_window" 2>/dev/null || true
  xdotool key space
}

# The last trace line's connection number.
trace_conn() { tail -n 1 "$work/trace.log" | sed -n 's/^\[\([0-9]*\) .*/\1/p'; }

# The program's log as its remote console client sees it (task lines reach
# only a connected console): $work/console.log, from now until it ends.
start_console_log() {
  waitfor 30 bash -c 'exec 3<>/dev/tcp/127.0.0.1/7599' || fail "the console on 7599 does not answer"
  bash -c 'exec 3<>/dev/tcp/127.0.0.1/7599 && exec cat <&3' >"$work/console.log" 2>/dev/null &
  pids+=($!)
}
