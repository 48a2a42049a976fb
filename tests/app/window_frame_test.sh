#!/usr/bin/env bash
# window_frame_test.sh LUMIVANE
# Under a window manager that reports its frame, the main window's outer frame is 795 x 636 at
# 350, 122 and the client area is what remains. Runs on a virtual X server with openbox.
set -euo pipefail
program=$1
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 3>"$scratch/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$scratch/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
QT_QPA_PLATFORM=xcb "$program" >/dev/null 2>&1 &
pids+=($!)

# Client geometry and frame extents once the window manager has framed the window and the
# program has fitted its size.
for _ in $(seq 100); do
  sleep 0.1
  extents=$(xprop -name Lumivane _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' || true)
  [ -n "$extents" ] || continue
  info=$(xwininfo -name Lumivane 2>/dev/null) || continue
  x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  w=$(sed -n 's/.*Width: *//p' <<<"$info")
  h=$(sed -n 's/.*Height: *//p' <<<"$info")
  IFS=', ' read -r left right top bottom <<<"$extents"
  outer="$((x - left)),$((y - top)) $((w + left + right))x$((h + top + bottom))"
  [ "$outer" = "350,122 795x636" ] && [ "$((left + right + top + bottom))" -gt 0 ] && {
    echo "OK: client ${w}x${h}, frame $extents, outer $outer"
    exit 0
  }
done
echo "FAIL: outer frame ${outer:-unknown}, frame extents ${extents:-none}" >&2
exit 1
