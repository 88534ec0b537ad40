#!/usr/bin/env bash
# How long one whole flash takes: builds the flash benchmark natively
# (optimised, no sanitizers) and for both Windows builds, and runs it on Linux
# and under Wine; the x86 program only where 32-bit Wine runs. Prints figures;
# the exit status only says whether every run could be made and every flash
# left the image in the device.
#   bench/flash.sh [FLASHES]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" || exit 1
count=${1:-5}
status=0

cmake -S . -B build/bench-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF -Wno-dev >/dev/null &&
  cmake --build build/bench-linux --target vx_flash_bench >/dev/null || { echo "native build failed"; exit 1; }
for preset in mingw-x64 mingw-x86; do
  { cmake --preset "$preset" -Wno-dev >/dev/null && cmake --build --preset "$preset" --target vx_flash_bench >/dev/null; } ||
    { echo "build of $preset failed"; exit 1; }
done
presets=(mingw-x64)
if ensure_wine32; then presets+=(mingw-x86); else x86_problem=$wine32_problem; fi

echo "=== Linux (native)"
build/bench-linux/bin/vx_flash_bench "$count" || status=1
ensure_wine_prefix || exit 1
for preset in "${presets[@]}"; do
  echo "=== Wine, $preset"
  tools/wine-exec.sh "build/$preset/bin/vx_flash_bench.exe" "$count" 2>/dev/null || status=1
done
[ -z "${x86_problem:-}" ] || echo "=== Wine, mingw-x86: not run: $x86_problem"
exit $status
