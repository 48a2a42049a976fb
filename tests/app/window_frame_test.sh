#!/usr/bin/env bash
# window_frame_test.sh LUMIVANE DESKTOP_FILE
# Under a window manager that reports its frame, the main window's outer frame is 795 x 636 at
# 350, 122 and the client area is what remains. The window carries its icon (16 to 256 pixels)
# and the window class that the menu entry's StartupWMClass names, so that task bars match the
# two. Runs on a virtual X server with openbox.
set -euo pipefail
program=$1
desktop=$2
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
  [ "$outer" = "350,122 795x636" ] && [ "$((left + right + top + bottom))" -gt 0 ] && break
done
[ "${outer:-}" = "350,122 795x636" ] || {
  echo "FAIL: outer frame ${outer:-unknown}, frame extents ${extents:-none}" >&2
  exit 1
}

# WM_CLASS(STRING) = "instance", "class"
class=$(xprop -name Lumivane WM_CLASS | sed -n 's/.*= "[^"]*", "\([^"]*\)"$/\1/p')
wanted=$(sed -n 's/^StartupWMClass=//p' "$desktop")
if [ -z "$wanted" ] || [ "$class" != "$wanted" ]; then
  echo "FAIL: window class '$class', the menu entry's StartupWMClass '$wanted'" >&2
  exit 1
fi
# xprop draws each icon of _NET_WM_ICON under a line "Icon (W x H):".
sizes=$(xprop -name Lumivane _NET_WM_ICON | sed -n 's/.*Icon (\([0-9]*\) x \([0-9]*\)):.*/\1x\2/p' |
  tr '\n' ' ')
# Qt leaves out the 256-pixel one, which would not fit one X request beside the others.
[ "$sizes" = "16x16 22x22 24x24 32x32 48x48 64x64 128x128 " ] || {
  echo "FAIL: window icon sizes '${sizes:-none}'" >&2
  exit 1
}
echo "OK: client ${w}x${h}, frame $extents, outer $outer, class $class, icon $sizes"
