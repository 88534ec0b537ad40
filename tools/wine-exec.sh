#!/usr/bin/env bash
# Runs a Windows program of the cross builds under Wine (the tests' emulator).
# The prefix must exist already: tools/test.sh makes it once before the tests.
#
# A test program (one given --gtest_ options) passes only when it shows that
# it ran: Wine, a missing DLL or the program itself can end it with status 0
# before a single test has run, so the program writes GoogleTest's report and
# the report must name at least one test, every one of them run and passed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
if [ ! -f "$WINEPREFIX/.vx-ready" ]; then
  echo "wine-exec: no Wine prefix at $WINEPREFIX; run tools/test.sh first" >&2
  exit 125
fi
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c" ]; then
  echo "wine-exec: the Wine prefix $WINEPREFIX is broken (no system.reg or drive_c); remove its .vx-ready mark and run tools/test.sh to make it again" >&2
  exit 125
fi
if [ "$(pe_machine "$1")" = 8664 ] && [ ! -x "$vx_wine64_loader" ]; then
  echo "wine-exec: cannot run $1: the 64-bit Wine loader $vx_wine64_loader is missing or cannot be executed (package wine64)" >&2
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
if [ -z "${DISPLAY:-}" ]; then
  echo "wine-exec: no X display (DISPLAY is not set): a program that opens windows fails (run it under xvfb-run)" >&2
fi

gtest=""
for arg in "${@:2}"; do
  case $arg in
    --gtest_list_tests*) gtest=""; break ;;
    --gtest_*) gtest=1 ;;
  esac
done
if [ -z "$gtest" ]; then
  exec "$loader" "$@"
fi

report_dir=$(mktemp -d)
trap 'rm -rf "$report_dir"' EXIT
report=$report_dir/report.xml
# Drive Z: of the prefix is the root of the file system.
rc=0
"$loader" "$@" "--gtest_output=xml:Z:$report" || rc=$?
if [ "$rc" -eq 126 ] || [ "$rc" -eq 127 ]; then
  echo "wine-exec: cannot execute the Wine loader $loader (status $rc)" >&2
  exit "$rc"
fi
[ "$rc" -eq 0 ] || exit "$rc"
if [ ! -s "$report" ]; then
  echo "wine-exec: $1 ended with status 0 but ran no tests (it wrote no test report)" >&2
  exit 1
fi
# The totals of the report's root element.
total() {
  sed -n 's/.*<testsuites[^>]* '"$1"'="\([0-9]*\)".*/\1/p' "$report" | head -n 1
}
tests=$(total tests) failures=$(total failures) errors=$(total errors) disabled=$(total disabled)
skipped=$(grep -c 'result="skipped"' "$report")
if [ -z "$tests" ] || [ "$tests" -eq 0 ]; then
  echo "wine-exec: $1 ran no tests (its report names ${tests:-no} tests)" >&2
  exit 1
fi
if [ "${failures:-1}" -ne 0 ] || [ "${errors:-1}" -ne 0 ]; then
  echo "wine-exec: $1 reports ${failures:-?} failed and ${errors:-?} broken tests, yet ended with status 0" >&2
  exit 1
fi
if [ "$skipped" -ne 0 ] || [ "${disabled:-0}" -ne 0 ]; then
  echo "wine-exec: $1 skipped $skipped and disabled ${disabled:-0} of its $tests tests" >&2
  exit 1
fi
