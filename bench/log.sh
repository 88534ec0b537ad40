#!/usr/bin/env bash
# Builds the log benchmark for both Windows builds and runs it in the real
# window under Wine (and Xvfb when there is no display). Prints figures.
#   bench/log.sh [LINES] [LINES BETWEEN MESSAGE-LOOP VISITS]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" "${windows_packages[@]}" || exit 1
status=0
for preset in mingw-x64 mingw-x86; do
  { cmake --preset "$preset" -Wno-dev >/dev/null && cmake --build --preset "$preset" --target vx_log_bench >/dev/null; } ||
    { echo "build of $preset failed"; exit 1; }
done
ensure_wine_prefix
run() {
  if [ -n "${DISPLAY:-}" ]; then "$@"; else xvfb-run -a -s "-screen 0 1280x1024x24" "$@"; fi
}
for preset in mingw-x64 mingw-x86; do
  echo "=== Wine, $preset"
  run tools/wine-exec.sh "build/$preset/bench/vx_log_bench.exe" "${1:-100000}" "${2:-10}" 2>/dev/null || status=1
done
wineserver -k 2>/dev/null || true
exit $status
