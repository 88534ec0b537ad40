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
cmake --preset mingw-x64 -Wno-dev >/dev/null
cmake --build --preset mingw-x64 --target vxflash vxsim_all >/dev/null
dir=build/vxflash
mkdir -p "$dir"
cp build/mingw-x64/bin/vxflash.exe build/mingw-x64/bin/ftd2xx.dll build/mingw-x64/bin/VXUSB.dll \
  build/mingw-x64/bin/vxsim.dll "$dir/"
export VXSIM_SCENARIO=${VXSIM_SCENARIO:-$root/tools/demo-scenario.txt}
ensure_wine_prefix >&2
[ $# -gt 0 ] || set -- flash --all --expect 3 --timeout 60 --json
if [ -n "${DISPLAY:-}" ]; then
  exec wine "$dir/vxflash.exe" "$@"
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" wine "$dir/vxflash.exe" "$@"
