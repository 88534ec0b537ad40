#!/usr/bin/env bash
# Sixteen devices flashed at once against one alone, in the main window with
# file logging on: builds the batch benchmark natively (optimised, no
# sanitizers; the headless window) and for both Windows builds, and runs it on
# Linux and under Wine in the real window (and Xvfb when there is no
# display); the x86 program only where 32-bit Wine runs. Prints figures; the
# exit status only says whether every run could be made and every flash left
# the image in its device.
#   bench/batch.sh [ROUNDS] [DEVICES]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" || exit 1
rounds=${1:-3}
devices=${2:-16}
status=0

cmake -S . -B build/bench-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF -Wno-dev >/dev/null &&
  cmake --build build/bench-linux --target vx_batch_bench >/dev/null || { echo "native build failed"; exit 1; }
for preset in mingw-x64 mingw-x86; do
  { cmake --preset "$preset" -Wno-dev >/dev/null && cmake --build --preset "$preset" --target vx_batch_bench >/dev/null; } ||
    { echo "build of $preset failed"; exit 1; }
done
presets=(mingw-x64)
if ensure_wine32; then presets+=(mingw-x86); else x86_problem=$wine32_problem; fi

echo "=== Linux (native, headless window)"
build/bench-linux/bin/vx_batch_bench "$rounds" "$devices" || status=1
ensure_wine_prefix || exit 1
run() {
  if [ -n "${DISPLAY:-}" ]; then "$@"; else xvfb-run -a -s "-screen 0 1280x1024x24" "$@"; fi
}
for preset in "${presets[@]}"; do
  echo "=== Wine, $preset (real window)"
  run tools/wine-exec.sh "build/$preset/bin/vx_batch_bench.exe" "$rounds" "$devices" 2>/dev/null || status=1
done
[ -z "${x86_problem:-}" ] || echo "=== Wine, mingw-x86: not run: $x86_problem"
exit $status
