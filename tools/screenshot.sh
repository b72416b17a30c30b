#!/bin/bash
# Draws the panel under a private Xvfb and saves a screenshot of its window.
#   tools/screenshot.sh [OUTPUT.png] [SWITCHES...]   default docs/panel.png
#   ZEMBRAX_WINE_DPI=144 tools/screenshot.sh docs/panel-150.png -A   at 150 % scale
# Needs a build (tools/test.sh or tools/run.sh made one) and ImageMagick. At a
# scale other than 100 % the panel runs in a prefix of that scale
# (cmake/wine-run.sh), on a larger screen.
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/panel.png}
shift || true
command -v import >/dev/null || apt-get install -y -q imagemagick >/dev/null
[ -f build/zembrax-panel.exe ] || { echo "screenshot: build the panel first (tools/test.sh)" >&2; exit 1; }

n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
screen=1024x768x24
[ -n "${ZEMBRAX_WINE_DPI:-}" ] && screen=2048x1536x24
Xvfb ":$n" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
sleep 1
export DISPLAY=":$n"

run_dir=${SCREENSHOT_DIR:-build}
DISPLAY=":$n" bash tools/wine-session.sh build bash -c '
    cmake/wine-run.sh "$0"/zembrax-panel.exe "$@" &
    sleep "${SCREENSHOT_DELAY:-6}"
    import -window root /tmp/zembrax-screen.png
    kill %1 2>/dev/null
' "$run_dir" "$@"
# The dialog is centred on the screen; cut it out (with its caption).
convert /tmp/zembrax-screen.png -trim +repage "$out"
echo "screenshot: $out"
