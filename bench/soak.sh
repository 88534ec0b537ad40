#!/usr/bin/env bash
# The fault soak: builds it natively with AddressSanitizer and UBSan
# (optimised) and runs it: at least FLASHES whole flashes (1000 by default) of
# simulated devices with faults drawn from SEED (a new one when not given; the
# program prints it). Exit status 0 only when every goal figure is 0; a crash
# of the soak itself is reported as such.
#   bench/soak.sh [FLASHES] [SEED]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}" || exit 1
count=${1:-1000}
seed_args=()
[ -n "${2:-}" ] && seed_args=(--seed "$2")

cmake -S . -B build/soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_SANITIZE=ON -DVX_BUILD_TESTS=OFF \
  -Wno-dev >/dev/null && cmake --build build/soak --target vx_soak_bench >/dev/null || { echo "soak build failed"; exit 1; }

# A sanitizer's finding ends the program with status 99, a signal with 128 + its number.
ASAN_OPTIONS=exitcode=99 UBSAN_OPTIONS=exitcode=99:print_stacktrace=1 \
  build/soak/bin/vx_soak_bench --flashes "$count" "${seed_args[@]}"
status=$?
case $status in
  0) echo "soak: passed" ;;
  1) echo "soak: FAILED: a goal figure is not 0 (see the lines marked ***)" ;;
  2) echo "soak: FAILED: it could not start" ;;
  3) echo "soak: FAILED: a flash never ended (hang); the soak stopped" ;;
  99) echo "soak: FAILED: CRASH: the sanitizers found a memory or undefined-behaviour error in the soak" ;;
  *) if [ $status -gt 128 ]; then
       echo "soak: FAILED: CRASH: the soak process died of signal $((status - 128))"
     else
       echo "soak: FAILED: exit status $status"
     fi ;;
esac
exit $status
