#!/usr/bin/env bash
# Takes a PNG screenshot of the updater's main window under Xvfb and Wine.
#   tools/screenshot.sh [output.png] [preset]
# Defaults: docs/main-window.png, mingw-x64. The updater runs with stand-in
# driver libraries that list no devices, so no message box covers the window.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
output=${1:-docs/main-window.png}
preset=${2:-mingw-x64}
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" "${screenshot_packages[@]}"
cmake --preset "$preset" -Wno-dev >/dev/null
cmake --build --preset "$preset" --target vxfwloader fixture_ftd2xx fixture_vxusb >/dev/null
ensure_wine_prefix

build=build/$preset
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build/app/vxfwloader.exe" "$stage/"
cp "$build/tests/fixtures/fixture_ftd2xx.dll" "$stage/ftd2xx.dll"
cp "$build/tests/fixtures/fixture_vxusb.dll" "$stage/VXUSB.dll"
mkdir -p "$(dirname "$output")"

# A black root window, so that -trim cuts the picture down to the window.
xvfb-run -a -s "-screen 0 1024x768x24 -br" bash -c '
  wine "$1/vxfwloader.exe" &
  pid=$!
  sleep "${VX_SCREENSHOT_DELAY:-6}"
  import -window root "$1/root.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
' _ "$stage"
convert "$stage/root.png" -trim +repage "$output"
identify "$output"
