#!/usr/bin/env bash
# Starts the updater (x64 build) under Wine, with its embedded firmware image,
# next to the simulated driver libraries and the devices of
# tools/demo-scenario.txt: on the user's display when there is one; otherwise
# under Xvfb for a while, leaving a screenshot in build/run/main-window.png.
#   tools/run.sh [preset] [seconds under Xvfb]    (defaults: mingw-x64, 15)
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
preset=${1:-mingw-x64}
if [ -z "${DISPLAY:-}" ]; then
  echo "No display: running the updater under Xvfb for ${2:-15} s."
  exec tools/screenshot.sh build/run/main-window.png "$preset" "${2:-15}"
fi
ensure_packages "${build_packages[@]}" "${windows_packages[@]}"
ensure_wine32_for_preset "$preset"
stage_updater "$preset" build/run
ensure_wine_prefix
loader=$(wine_loader_for build/run/vxfwloader.exe)
[ "$loader" = wine ] || export WINELOADER=$loader
echo "Starting build/run/vxfwloader.exe on $DISPLAY; close its window to end."
exec "$loader" build/run/vxfwloader.exe
