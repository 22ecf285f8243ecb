#!/usr/bin/env bash
# One whole practice call without a person: the practice service offers a
# call, the desk program answers it by itself, a stenography stand-in types
# the passage at a stenographer's pace, and the practice score is printed.
# Without a display the program runs on a virtual one and screenshots of each
# stage are saved. Exit status 0 when the call went through; otherwise 1 with
# a one-line reason.
#   scripts/demo.sh <build folder>
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build folder}"
work="$(mktemp -d /tmp/quillon-demo.XXXXXX)"
shots="$work/screenshots"
mkdir -p "$shots"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${QUILLON_VIRTUAL_AUDIO:-}" ] && bash "$top/scripts/virtual-audio.sh" stop "$QUILLON_VIRTUAL_AUDIO" || true
}
trap cleanup EXIT
fail() { echo "demo: FAILED: $*"; echo "demo: logs in $work"; exit 1; }
waitfor() {  # waitfor SECONDS COMMAND...
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq 1 "$limit"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
seen() { grep -q -- "$1" "$work/svcsim.log"; }

# The practice recordings the build made.
practice_dir="$build/tools/svcsim/practice"
ls "$practice_dir"/*.wav >/dev/null 2>&1 || fail "no practice recordings in $practice_dir (is espeak-ng installed?)"
passage="$(basename "$(ls "$practice_dir"/*.wav | head -n 1)" .wav)"

# Free ports: the server port of a system type, and the console's 7599.
for _ in $(seq 1 50); do
  systype=$(( 300 + RANDOM % 5000 )); port=$(( (33210 + 5 * systype) % 65536 ))
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
done
waitfor 30 bash -c '! (exec 3<>/dev/tcp/127.0.0.1/7599)' || fail "port 7599 is taken by another program"

# Settings of the demo: answer offers by itself, hand typing until the
# stenography stand-in connects.
cat >"$work/agent.ini" <<EOF
[Settings]
SystemType=$systype
UseStenoSW=0
AutoAnsForTst=1
CaptionerType=0
EOF

# A display: the person's own, or a virtual one with screenshots.
virtual_display=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  virtual_display=1
  source "$top/scripts/virtual-display.sh"
  virtual_display_start 1280x720x24 "$work" || fail "the virtual display did not start"
  pids+=($virtual_display_pid)
  echo "demo: no display: running on a virtual one; screenshots go to $shots"
fi
shot() {
  [ "$virtual_display" = 1 ] || return 0
  if command -v import >/dev/null 2>&1; then
    import -window root "$shots/$1.png" 2>/dev/null || true
  else
    xwd -root -silent >"$shots/$1.xwd" 2>/dev/null || true
  fi
}

# Sound: always the private virtual devices, so the demo never plays aloud
# over a person's speakers and runs where there is no sound hardware.
eval "$(bash "$top/scripts/virtual-audio.sh" start "$work/audio")"

"$build/tools/svcsim/svcsim" --practice --port "$port" --practice-dir "$practice_dir" \
  --practice-passage "$passage" --practice-interval 2 --practice-out "$work/results" \
  >"$work/svcsim.log" 2>&1 &
pids+=($!)
waitfor 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" || fail "the practice service did not start"

QT_QPA_PLATFORM=xcb POS_DEBUG_DIR="$work" \
  "$build/winapps/agent/QuillonAgent" --config "$work/agent.ini" >"$work/agent.log" 2>&1 &
agent=$!
pids+=($agent)

# Log in as a person would: the login dialog takes the typing.
waitfor 30 xdotool search --onlyvisible --name "Quillon Agent" || fail "the login dialog did not open"
win="$(xdotool search --onlyvisible --name "Quillon Agent" | head -n 1)"
xdotool windowfocus "$win" 2>/dev/null || true
sleep 0.5
xdotool type --delay 30 "demo"
xdotool key Tab
xdotool type --delay 30 "practice"
xdotool key Return
# Logged in: the window's title carries the agent number.
waitfor 20 xdotool search --onlyvisible --name "Quillon Agent #" || fail "the program did not log in"
main="$(xdotool search --onlyvisible --name "Quillon Agent #" | head -n 1)"
sleep 1
xdotool windowfocus "$main" 2>/dev/null || true
xdotool key Tab space
waitfor 10 seen "the agent joined" || fail "JOIN did not reach the service"
echo "demo: logged in and joined; waiting for the practice call"

waitfor 20 seen "call 1 offered" || fail "no call was offered"
sleep 0.5; shot 1-ringing
waitfor 15 seen "call 1 answered" || fail "the program did not answer the call"
waitfor 15 seen "CAP_START sent" || fail "the voice did not start"
sleep 0.5; shot 2-in-service

# The stenography stand-in follows the voice a moment behind it, at about
# 170 words a minute (the speed of the recording).
sleep 1.5
text="$(tr '\n' ' ' <"$practice_dir/$passage.txt" 2>/dev/null || true)"
[ -n "$text" ] || text="$(tr '\n' ' ' <"$top/tools/svcsim/practice/$passage.txt")"
"$build/tools/stenosim/stenosim" --port 3321 --format plain \
  --text "$text" --chunk 5 --pace 300 --wait 60000 >"$work/stenosim.log" 2>&1 &
pids+=($!)
sleep 3; shot 3-captioning

waitfor 120 seen "practice call 1:" || fail "the call did not end with a practice summary"
sleep 1; shot 4-released
kill -0 "$agent" 2>/dev/null || fail "the desk program ended during the call"

echo "demo: $(grep -m1 'practice call 1:' "$work/svcsim.log" | sed 's/^svcsim: practice: //')"
echo "demo: results in $work/results"
[ "$virtual_display" = 1 ] && echo "demo: screenshots: $(ls "$shots" | tr '\n' ' ')in $shots"
echo "demo: the call went through"
exit 0
