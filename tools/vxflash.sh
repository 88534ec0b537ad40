#!/usr/bin/env bash
# Runs the console flasher (x64 build) under Wine next to the simulated driver
# libraries and the devices of tools/demo-scenario.txt (VXSIM_SCENARIO for
# others), with the arguments given; without any, it flashes the embedded
# image into every device once all three demo devices are there, printing
# JSON lines. Under Xvfb when there is no display: Wine delivers the
# device-change notification only to a desktop.
#   tools/vxflash.sh [vxflash arguments]
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" >&2
dir=build/vxflash
stage_updater mingw-x64 "$dir" vxflash
ensure_wine_prefix >&2
[ $# -gt 0 ] || set -- flash --all --expect 3 --timeout 60 --json
# The loader that runs the program here, as tools/run.sh picks it: plain
# wine may be the 32-bit loader, which some kernels cannot start.
loader=$(wine_loader_for "$dir/vxflash.exe")
[ "$loader" = wine ] || export WINELOADER=$loader
if [ -n "${DISPLAY:-}" ]; then
  exec "$loader" "$dir/vxflash.exe" "$@"
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$loader" "$dir/vxflash.exe" "$@"
