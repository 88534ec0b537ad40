#!/usr/bin/env bash
# Runs a Windows program of the cross builds under Wine (the tests' emulator).
# The prefix must exist already: tools/test.sh makes it once before the tests.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
if [ ! -f "$WINEPREFIX/.vx-ready" ]; then
  echo "wine-exec: no Wine prefix at $WINEPREFIX; run tools/test.sh first" >&2
  exit 125
fi
loader=$(wine_loader_for "$1")
if [ "$loader" = wine ]; then
  # A 32-bit program: it fails here, and says why, when 32-bit Wine cannot run.
  if ! probe_wine32; then
    echo "wine-exec: cannot run $1: $wine32_problem" >&2
    exit 125
  fi
else
  export WINELOADER=$loader
fi
exec "$loader" "$@"
