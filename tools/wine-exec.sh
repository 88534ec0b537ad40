#!/usr/bin/env bash
# Runs a Windows program of the cross builds under Wine (the tests' emulator).
# The prefix must exist already: tools/test.sh makes it once before the tests.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
if [ ! -f "$WINEPREFIX/.vx-ready" ]; then
  echo "wine-exec: no Wine prefix at $WINEPREFIX; run tools/test.sh first" >&2
  exit 125
fi
loader=$(wine_loader_for "$1")
[ "$loader" = wine ] || export WINELOADER=$loader
exec "$loader" "$@"
