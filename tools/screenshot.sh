#!/usr/bin/env bash
# Takes a PNG screenshot of the updater's main window under Xvfb and Wine.
#   tools/screenshot.sh [output.png] [preset] [seconds] [dpi]
# Defaults: docs/main-window.png, mingw-x64, 6 s after the start, 96 dpi
# (100 %; 144 is 150 %: then in a copy of the Wine prefix at that scale). The updater
# runs next to the simulated driver libraries (both present, so no message box
# covers the window). Without a window manager the picture is the client area.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
output=${1:-docs/main-window.png}
preset=${2:-mingw-x64}
seconds=${3:-6}
dpi=${4:-96}
ensure_packages "${build_packages[@]}" "${windows_packages[@]}"
ensure_wine32_for_preset "$preset"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
stage_updater "$preset" "$stage"
ensure_wine_prefix
loader=$(wine_loader_for "$stage/vxfwloader.exe")
[ "$loader" = wine ] || export WINELOADER=$loader
if [ "$dpi" != 96 ]; then
  scaled_wine_prefix "$WINEPREFIX" "$stage/prefix"
  export WINEPREFIX=$stage/prefix
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$stage"' EXIT
  set_wine_dpi "$loader" "$dpi"
  # Its Wine server ends before the updater starts on the X display.
  wineserver -w
fi
mkdir -p "$(dirname "$output")"

# A black root window, so that -trim cuts the picture down to the window.
xvfb-run -a -s "-screen 0 1600x1200x24 -br" bash -c '
  "$3" "$1/vxfwloader.exe" &
  pid=$!
  sleep "$2"
  import -window root "$1/root.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
' _ "$stage" "$seconds" "$loader" 2>/dev/null
convert "$stage/root.png" -trim +repage "$output"
identify "$output"
