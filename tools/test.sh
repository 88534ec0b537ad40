#!/usr/bin/env bash
# Builds every preset, runs the static analysis and every test: natively (and
# the concurrency tests under ThreadSanitizer), under Wine for both Windows
# builds, and every fuzz target for a bounded time. Installs what is missing.
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

# ThreadSanitizer (gcc 12) cannot place its shadow memory when the kernel
# randomises mmap addresses with more than 28 bits (newer kernels' default);
# without address randomisation it can. 28 bits or fewer need nothing.
tsan_run() {
  if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
    setarch "$(uname -m)" -R "$@"
  else
    "$@"
  fi
}

for preset in linux tsan mingw-x64 mingw-x86 fuzz; do
  step cmake --preset "$preset" -Wno-dev >/dev/null || true
  if [ "$preset" = tsan ]; then
    step tsan_run cmake --build --preset "$preset"
  else
    step cmake --build --preset "$preset"
  fi
done
if [ $status -ne 0 ]; then
  echo "Build failed"
  [ -z "$x86_not_run" ] || x86_not_run_line "$x86_not_run"
  exit 1
fi

step tools/layers.sh
step tools/analyse.sh

step ctest --preset linux
# The worker threads, discovery, flashing and the window's device list again,
# for data races.
step tsan_run ctest --preset tsan

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

# Every fuzz target for VX_FUZZ_SECONDS (default 20) from its seed corpus in
# tests/fuzz/corpus/<target>, copied so that what the run adds stays out of the
# repository. The fuzzer's progress goes to a file; its final figures (or the
# crash and the input that caused it) are shown.
fuzz_targets=(firmware_image answers identification settings scenario)
fuzz() {
  local target=$1 corpus log=build/fuzz/fuzz_$1.log rc=0
  corpus=$(mktemp -d)
  cp tests/fuzz/corpus/"$target"/* "$corpus"/
  [ "$target" != firmware_image ] || head -c 64 build/linux/firmware/default.eraw > "$corpus/default-head.eraw"
  if build/fuzz/tests/fuzz/fuzz_"$target" -max_total_time="${VX_FUZZ_SECONDS:-20}" -max_len=4096 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/"$target"- "$corpus" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log"
  else
    tail -n 60 "$log"
    rc=1
  fi
  rm -rf "$corpus"
  return $rc
}
for target in "${fuzz_targets[@]}"; do
  step fuzz "$target"
done

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
