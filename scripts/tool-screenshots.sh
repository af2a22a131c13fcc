#!/usr/bin/env bash
# Screenshots of zel-config in a real X server: starts Xvfb on a free display and saves the PNGs
# under BUILD_DIR/screenshots. usage: tool-screenshots.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
command -v Xvfb >/dev/null || { echo "skipped: Xvfb is not installed (apt-get install xvfb)"; exit 77; }
out="$build/screenshots"
mkdir -p "$out"
display=
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display"; exit 1; }
Xvfb "$display" -screen 0 1600x1100x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/tests/tool/ToolScreenshots" "$out"
ls -l "$out"/*.png
