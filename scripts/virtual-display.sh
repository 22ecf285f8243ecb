# A virtual display for scripts that run the real program. Sourced, not run.
#   virtual_display_start GEOMETRY DIR
# starts Xvfb on a display number that Xvfb picks and locks itself (so two
# runs starting at the same moment never share one), waits until it takes
# clients, exports DISPLAY and sets virtual_display_pid (the caller stops it).
# Returns 1 if no display came up within 10 s.
# A virtual display has no desktop session and so no session bus. Unless one
# is given, DBUS_SESSION_BUS_ADDRESS says there is none: otherwise the
# program's D-Bus library forks a copy of it to start a bus for this display,
# and in the AddressSanitizer build that copy of a many-threaded process can
# hang in the allocator before it runs the helper, with the window never
# opening while the library waits for it.
virtual_display_start() {
  local geometry="$1" file="$2/xvfb.display" n=""
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  virtual_display_pid=$!
  for _ in $(seq 1 100); do
    n="$(grep -x '[0-9][0-9]*' "$file" 2>/dev/null | head -n 1 || true)"
    [ -n "$n" ] && break
    kill -0 "$virtual_display_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  [ -n "$n" ] || return 1
  export DISPLAY=":$n"
  export DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS:-disabled:}"
  for _ in $(seq 1 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
