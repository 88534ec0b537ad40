#!/usr/bin/env bash
# The window at other display scales: the DisplayScale test of vx_gui_tests
# once per dpi (120, 144 and 192 unless given), in a Wine prefix of its own
# (tools/lib.sh's scaled_wine_prefix) set to it, so that the shared prefix
# and the tests running in it stay at 96 dpi.
#   display_scale_test.sh TESTS.exe [DPI...]
set -eu
# The window at 192 dpi is wider than the 1280 pixels the other tests' X
# server has: a server of its own.
if [ -z "${VX_SCALE_DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  VX_SCALE_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1920x1200x24" bash "$0" "$@"
fi
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/lib.sh"
program=$1
shift
dpis=("$@")
[ ${#dpis[@]} -ne 0 ] || dpis=(120 144 192)
shared=${WINEPREFIX:-$root/build/wine-prefix}
if [ ! -f "$shared/.vx-ready" ]; then
  echo "display_scale_test: no Wine prefix at $shared; run tools/test.sh first" >&2
  exit 125
fi
side=$(mktemp -d)
cleanup() {
  WINEPREFIX=$side wineserver -k 2>/dev/null || true
  rm -rf "$side"
}
trap cleanup EXIT
scaled_wine_prefix "$shared" "$side"
export WINEPREFIX=$side
loader=$(wine_loader_for "$program")
failed=0
for dpi in "${dpis[@]}"; do
  echo "--- $dpi dpi"
  set_wine_dpi "$loader" "$dpi"
  VX_EXPECT_DPI=$dpi "$root/tools/wine-exec.sh" "$program" --gtest_brief=1 --gtest_filter='DisplayScale.*' ||
    failed=1
done
exit "$failed"
