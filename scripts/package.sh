#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB), checks it with lintian (errors
# fail), installs it with apt-get and runs the installed programs once.
#   scripts/package.sh [--no-install]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
for p in lintian dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null; }
done
dir="$(bash "$top/scripts/build.sh" | tail -n 1)"
cd "$dir"
rm -f quillon-agent_*_amd64.deb
cpack -G DEB >cpack.log 2>&1 || { tail -n 20 cpack.log >&2; exit 1; }
deb="$(ls quillon-agent_*_amd64.deb)"
echo "package: $dir/$deb"
lint="$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)"
[ -n "$lint" ] && echo "$lint"
if echo "$lint" | grep -q '^E:'; then echo "package: lintian reports errors" >&2; exit 1; fi
[ "${1:-}" = "--no-install" ] && exit 0
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
/usr/bin/QuillonAgent --version
# The whole help is read: a reader that stops after one line would end
# svcsim with a broken pipe.
/usr/bin/svcsim --help | sed -n 1p
test -f /usr/share/quillon-agent/sounds/RingVol3.wav
test -f /usr/share/applications/quillon-agent.desktop
echo "package: installed and started"
