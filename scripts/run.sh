#!/usr/bin/env bash
# Installs what is missing, builds, and runs the desk program.
# When the configured server is this machine and nothing answers on its port,
# the bundled service simulator is started for the run; on a machine without
# sound devices a private virtual speaker and microphone are used.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
dir="$(bash "$top/scripts/build.sh" | tail -n 1)"
prog="$dir/winapps/agent/QuillonAgent"
[ -x "$prog" ] || { echo "run: the desk program was not built (see $dir/build.log)" >&2; exit 1; }

# The unattended demo: one whole practice call, scored.
if [ "${1:-}" = "--demo" ]; then
  exec bash "$top/scripts/demo.sh" "$dir"
fi

# Options meant for the program itself (--help, --version) need nothing else.
for arg in "$@"; do
  case "$arg" in -h|--help|-v|--version) exec "$prog" "$@" ;; esac
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display (DISPLAY or WAYLAND_DISPLAY): start it from a desktop session," >&2
  echo "     or try the unattended demo: bash scripts/run.sh --demo" >&2
  exit 1
fi

# The settings file the program reads (QSettings, user scope).
ini="${XDG_CONFIG_HOME:-$HOME/.config}/Quillon/QuillonAgent.ini"
setting() {  # setting KEY DEFAULT: a value of the [Settings] section
  local v=""
  [ -f "$ini" ] && v="$(awk -F= -v k="$1" '
    /^\[/ { sec = $0; next }
    sec == "[Settings]" && $1 == k { sub(/^[^=]*=/, ""); print; exit }' "$ini")"
  echo "${v:-$2}"
}
locale="$(setting Locale 0)"
case "$locale" in 1) host="$(setting IPSVR2 localhost)" ;; *) host="$(setting IPSVR1 localhost)" ;; esac
systype="$(setting SystemType 0)"
case "$systype" in ''|*[!0-9-]*) systype=0 ;; esac
port=$(( ((33210 + 5 * systype) % 65536 + 65536) % 65536 ))

cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "${audio_dir:-}" ] && bash "$top/scripts/virtual-audio.sh" stop "$audio_dir" || true
}
trap cleanup EXIT INT TERM

# A dotted address is replaced by the default host name at start, so only
# host names matter here.
case "$host" in
  localhost|127.0.0.1|"$(hostname)")
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      sim_log="${XDG_RUNTIME_DIR:-/tmp}/quillon-svcsim.log"
      sim_args=(--port "$port")
      if "$dir/tools/svcsim/svcsim" --help 2>&1 | grep -q -- '--practice'; then
        sim_args+=(--practice)
      fi
      "$dir/tools/svcsim/svcsim" "${sim_args[@]}" >"$sim_log" 2>&1 &
      sim_pid=$!
      echo "run: nothing answers on localhost:$port; started the bundled service simulator (log: $sim_log)"
      for _ in $(seq 1 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
      done
    fi
    ;;
esac

# Sound: a running sound server or ALSA playback devices; otherwise virtual ones.
if ! pactl info >/dev/null 2>&1 && ! ls /dev/snd/pcmC*p >/dev/null 2>&1; then
  audio_dir="$(mktemp -d /tmp/quillon-audio.XXXXXX)"
  eval "$(bash "$top/scripts/virtual-audio.sh" start "$audio_dir")"
  echo "run: no sound device found; using a silent virtual speaker and microphone"
fi

status=0
"$prog" "$@" || status=$?
exit "$status"
