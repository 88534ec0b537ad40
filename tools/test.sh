#!/usr/bin/env bash
# Builds every preset, runs the static analysis and every test: natively, under Wine for both
# Windows builds, and the fuzzer for a bounded time. Installs what is missing.
# Exits non-zero when anything fails or cannot start. Where 32-bit Wine cannot
# be installed or cannot run, everything else runs and the last line of the
# output says that the x86 Windows tests were not run, and why.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

ensure_packages "${build_packages[@]}" "${windows_packages[@]}" "${fuzz_packages[@]}" "${analyse_packages[@]}" || exit 1
# Apart from the rest, so that a broken 32-bit index stops nothing else.
x86_not_run=""
ensure_wine32 || x86_not_run=$wine32_problem

status=0
step() {
  echo
  echo "=== $*"
  "$@" || { echo "*** failed: $*"; status=1; }
}

for preset in linux mingw-x64 mingw-x86 fuzz; do
  step cmake --preset "$preset" -Wno-dev >/dev/null || true
  step cmake --build --preset "$preset"
done
if [ $status -ne 0 ]; then
  echo "Build failed"
  [ -z "$x86_not_run" ] || x86_not_run_line "$x86_not_run"
  exit 1
fi

step tools/analyse.sh

step ctest --preset linux

step ensure_wine_prefix
# One X server for every Windows test program.
step xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  rc=0
  ctest --preset mingw-x64 || rc=1
  if [ -z "$1" ]; then
    ctest --preset mingw-x86 || rc=1
  else
    echo "Not running the mingw-x86 tests: $1"
  fi
  exit $rc' _ "$x86_not_run"
wineserver -k 2>/dev/null || true

fuzz_corpus=$(mktemp -d)
printf '\x14\x00\x00\x00\x11\x15\x08\x00VXCR-1.9\xff\xff\xff\xff' > "$fuzz_corpus/small.eraw"
head -c 64 build/linux/firmware/default.eraw > "$fuzz_corpus/default-head.eraw"
# The fuzzer's progress goes to a file; its final figures (or the crash) are shown.
fuzz() {
  local log=build/fuzz/fuzz_firmware_image.log
  if build/fuzz/tests/fuzz/fuzz_firmware_image -max_total_time="${VX_FUZZ_SECONDS:-20}" -max_len=4096 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/ "$fuzz_corpus" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log"
  else
    tail -n 60 "$log"
    return 1
  fi
}
step fuzz
rm -rf "$fuzz_corpus"

echo
if [ $status -ne 0 ]; then
  echo "SOME TESTS FAILED"
elif [ -n "$x86_not_run" ]; then
  echo "All tests that ran passed"
else
  echo "All tests passed"
fi
[ -z "$x86_not_run" ] || x86_not_run_line "$x86_not_run"
exit $status
