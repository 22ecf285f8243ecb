#!/usr/bin/env bash
# Installs whatever Debian packages the build, the tests and the tools need.
# Quick and quiet when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake g++ pkgconf clang make ccache
  libgtest-dev googletest libgmock-dev libbenchmark-dev
  libortp-dev libbcg729-dev portaudio19-dev libsndfile1-dev libasound2-dev
  qt6-base-dev libgl-dev
  libasound2-plugins alsa-utils pulseaudio pulseaudio-utils sox
  espeak-ng libespeak-ng-dev
  xvfb xauth xdotool imagemagick libreadline-dev libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
