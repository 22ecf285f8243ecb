#!/usr/bin/env bash
# The real QuillonAgent on a virtual display against the service simulator:
# a person types the login into the dialog, the program logs in, and its
# remote console answers as node "QLAG99" with the agent task's commands.
#   program_e2e.sh <build folder>
set -euo pipefail
build="$1"
top="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d /tmp/qa-e2e.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${QUILLON_VIRTUAL_AUDIO:-}" ] && bash "$top/scripts/virtual-audio.sh" stop "$QUILLON_VIRTUAL_AUDIO"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- program output"; tail -n 30 "$work/agent.log" || true;
         echo "--- simulator"; tail -n 10 "$work/svcsim.log" || true; exit 1; }
waitfor() {  # waitfor SECONDS COMMAND...: polls until the command succeeds
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq 1 "$limit"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# The program's remote console needs port 7599: another program holding it
# (a desk program someone left running) would end ours at start.
waitfor 60 bash -c '! (exec 3<>/dev/tcp/127.0.0.1/7599)' || fail "port 7599 stays taken by another program"

# A free system type: its server port must be free.
for _ in $(seq 1 50); do
  systype=$(( 300 + RANDOM % 5000 )); port=$(( (33210 + 5 * systype) % 65536 ))
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
done
# The settings come from a file of their own (--config); the per-user store
# is left alone.
mkdir -p "$work/cfg"
printf '[Settings]\nSystemType=%d\nUseStenoSW=0\n' "$systype" >"$work/agent.ini"

"$build/tools/svcsim/svcsim" --port "$port" --ka-period 500 --message "Welcome" >"$work/svcsim.log" 2>&1 &
pids+=($!)
waitfor 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" || fail "simulator did not listen"

# A display of our own.
source "$top/scripts/virtual-display.sh"
virtual_display_start 1280x800x24 "$work" || fail "Xvfb did not start"
pids+=($virtual_display_pid)
eval "$(bash "$top/scripts/virtual-audio.sh" start "$work/audio")"

XDG_CONFIG_HOME="$work/cfg" POS_DEBUG_DIR="$work" QT_QPA_PLATFORM=xcb \
  "$build/winapps/agent/QuillonAgent" --config "$work/agent.ini" >"$work/agent.log" 2>&1 &
agent=$!
pids+=($agent)

# The login dialog: typed into as a person would.
waitfor 20 xdotool search --onlyvisible --name "Quillon Agent" || fail "no login dialog"
win="$(xdotool search --onlyvisible --name "Quillon Agent" | head -n 1)"
xdotool windowfocus --sync "$win" 2>/dev/null || true
sleep 0.3
xdotool type --delay 20 "agent7"
xdotool key Tab
xdotool type --delay 20 "secret1"
xdotool key Return

waitfor 15 grep -q "RX LOGIN" "$work/svcsim.log" || fail "LOGIN did not reach the simulator"
waitfor 15 grep -q "RX KEEP_ALIVE_ACK" "$work/svcsim.log" || fail "no keep-alive answered"

# The remote console of the running program.
out="$(printf 'capcHelp\n' | timeout 20 "$build/tools/poscon/poscon" -b -t 5000 2>&1 || true)"
echo "$out" | grep -q "QLAG99" || { echo "$out"; fail "the console did not answer as QLAG99"; }
echo "$out" | grep -q "capcHelp" || { echo "$out"; fail "the agent task's commands are missing"; }
kill -0 "$agent" || fail "the program ended"
[ ! -e "$work/cfg/Quillon/QuillonAgent.ini" ] || fail "the per-user store was written despite --config"
grep -q '^mainVertPos\|^\[Initialization\]' "$work/agent.ini" 2>/dev/null || true
echo "program_e2e: login through the dialog, keep-alives answered, console node QLAG99"
echo "1 passed, 0 failed"
