#!/usr/bin/env bash
# Builds the block-exchange benchmark natively (optimised, no sanitizers) and
# for both Windows builds, and runs it on Linux and under Wine. Prints figures;
# the exit status only says whether every run could be made.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" || exit 1
count=${1:-300}
status=0

cmake -S . -B build/bench-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF -Wno-dev >/dev/null &&
  cmake --build build/bench-linux --target vx_block_bench >/dev/null || status=1
for preset in mingw-x64 mingw-x86; do
  { cmake --preset "$preset" -Wno-dev >/dev/null && cmake --build --preset "$preset" --target vx_block_bench >/dev/null; } ||
    status=1
done
[ $status -eq 0 ] || { echo "benchmark build failed"; exit 1; }

echo "=== Linux (native)"
build/bench-linux/bin/vx_block_bench "$count" || status=1
ensure_wine_prefix
for preset in mingw-x64 mingw-x86; do
  echo "=== Wine, $preset"
  tools/wine-exec.sh "build/$preset/bin/vx_block_bench.exe" "$count" || status=1
done
wineserver -k 2>/dev/null || true
exit $status
