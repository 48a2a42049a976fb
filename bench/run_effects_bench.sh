#!/bin/sh
# Times our effects and their nearest OpenCV equivalents in the same run and prints the ratios.
# usage: bench/run_effects_bench.sh [REPETITIONS]   (builds build-bench/ when needed)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="${LUMIVANE_BENCH_BUILD:-$root/build-bench}"
repetitions="${1:-7}"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DLUMIVANE_BENCH=ON -DLUMIVANE_TESTS=OFF >/dev/null
fi
ninja -C "$build" -j2 lumivane-effects-bench >/dev/null

# The system's python3 carries python3-opencv; another python3 first on the PATH may not.
python=python3
if ! "$python" -c "import cv2" 2>/dev/null; then python=/usr/bin/python3; fi

ours=$(mktemp)
theirs=$(mktemp)
trap 'rm -f "$ours" "$theirs"' EXIT
"$python" "$here/opencv_bench.py" "$repetitions" >"$theirs"
"$build/bench/lumivane-effects-bench" "$repetitions" >"$ours"

"$python" - "$ours" "$theirs" <<'PY'
import sys

def read(path):
    return {name: float(ms) for name, ms in (line.split() for line in open(path) if line.strip())}

ours, theirs = read(sys.argv[1]), read(sys.argv[2])
plain = theirs["plain-pass"]
print(f"6000 x 4000, 24 bits; median ms; OpenCV single-threaded; plain pass {plain:.2f} ms")
print(f"{'effect':<16}{'ours':>9}{'OpenCV':>9}{'ours/OpenCV':>13}{'ours/plain':>12}")
for name, ms in ours.items():
    peer = theirs.get(name)
    ratio = f"{ms / peer:.2f}" if peer else "-"
    peer_text = f"{peer:.2f}" if peer else "-"
    print(f"{name:<16}{ms:>9.2f}{peer_text:>9}{ratio:>13}{ms / plain:>12.2f}")
PY
