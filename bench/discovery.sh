#!/usr/bin/env bash
# How long a device takes to appear: builds the discovery benchmark natively
# (optimised, no sanitizers) and for both Windows builds, and runs it in the
# headless window on Linux and in the real window under Wine (and Xvfb when
# there is no display). Prints figures; the exit status only says whether
# every run could be made.
#   bench/discovery.sh [ROUNDS]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" || exit 1
rounds=${1:-30}
status=0

cmake -S . -B build/bench-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF -Wno-dev >/dev/null &&
  cmake --build build/bench-linux --target vx_discovery_bench >/dev/null || { echo "native build failed"; exit 1; }
presets=(mingw-x64)
if ensure_wine32; then presets+=(mingw-x86); else x86_problem=$wine32_problem; fi
for preset in "${presets[@]}"; do
  { cmake --preset "$preset" -Wno-dev >/dev/null && cmake --build --preset "$preset" --target vx_discovery_bench >/dev/null; } ||
    { echo "build of $preset failed"; exit 1; }
done

echo "=== Linux (native, headless window)"
build/bench-linux/bin/vx_discovery_bench "$rounds" || status=1
ensure_wine_prefix || exit 1
run() {
  if [ -n "${DISPLAY:-}" ]; then "$@"; else xvfb-run -a -s "-screen 0 1280x1024x24" "$@"; fi
}
for preset in "${presets[@]}"; do
  echo "=== Wine, $preset (real window)"
  run tools/wine-exec.sh "build/$preset/bin/vx_discovery_bench.exe" "$rounds" 2>/dev/null || status=1
done
[ -z "${x86_problem:-}" ] || echo "=== Wine, mingw-x86: not run: $x86_problem"
wineserver -k 2>/dev/null || true
exit $status
