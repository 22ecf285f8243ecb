#!/usr/bin/env bash
# Starts a private PulseAudio daemon with a silent 8 kHz speaker and
# microphone, for machines without sound hardware (build machines, the
# unattended demo), and points ALSA's default device at it.
#   eval "$(bash scripts/virtual-audio.sh start [DIR])"   # exports the environment
#   bash scripts/virtual-audio.sh stop DIR
set -euo pipefail
cmd="${1:-start}"
dir="${2:-}"
case "$cmd" in
start)
  [ -n "$dir" ] || dir="$(mktemp -d /tmp/quillon-audio.XXXXXX)"
  mkdir -p "$dir/run"; chmod 700 "$dir" "$dir/run"
  cat >"$dir/virtual.pa" <<PA
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-null-sink sink_name=spk rate=8000 channels=1 format=s16le norewinds=1 sink_properties=device.description=VirtualSpeaker
load-module module-null-sink sink_name=micfeed rate=8000 channels=1 format=s16le norewinds=1 sink_properties=device.description=VirtualMicrophone
set-default-sink spk
set-default-source micfeed.monitor
PA
  cat >"$dir/asound.conf" <<'ALSA'
pcm.!default { type pulse }
ctl.!default { type pulse }
ALSA
  export PULSE_SERVER="unix:$dir/native" XDG_RUNTIME_DIR="$dir/run"
  pulseaudio -n -F "$dir/virtual.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --realtime=no --high-priority=no --log-target="file:$dir/pulse.log" >/dev/null 2>&1 &
  echo $! >"$dir/pulse.pid"
  for _ in $(seq 1 150); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl info >/dev/null 2>&1 || { echo "virtual-audio: pulseaudio did not start (see $dir/pulse.log)" >&2; exit 1; }
  echo "export PULSE_SERVER='unix:$dir/native' XDG_RUNTIME_DIR='$dir/run' ALSA_CONFIG_PATH='$dir/asound.conf' QUILLON_VIRTUAL_AUDIO='$dir'"
  ;;
stop)
  [ -n "$dir" ] || dir="${QUILLON_VIRTUAL_AUDIO:-}"
  [ -n "$dir" ] && [ -f "$dir/pulse.pid" ] && kill "$(cat "$dir/pulse.pid")" 2>/dev/null || true
  ;;
*) echo "usage: virtual-audio.sh start [DIR] | stop DIR" >&2; exit 2 ;;
esac
