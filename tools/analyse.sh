#!/usr/bin/env bash
# Static analysis of our own code: clang-tidy (checks in .clang-tidy) and
# cppcheck (suppressions in tools/cppcheck-suppressions.txt), each over the
# native code paths and the Windows ones. Prints every finding and exits
# non-zero when there is any, or when an analyser cannot run.
#
#   clang-tidy  the linux preset's compile database: the product code, the
#               simulator, the image tool and the benchmarks; the mingw-x64
#               preset's database, parsed for x86_64-w64-mingw32 against the
#               cross compiler's headers: platform/, gui/win32/, app/ and every
#               source that has Windows branches of its own or through a
#               header of ours. The test programs are left to cppcheck: their
#               GoogleTest parses would double the time of the run.
#   cppcheck    every source and header of ours, tests included, once as the
#               posix build (_WIN32 undefined) and once as the Windows one.
#
# VX_ANALYSE_JOBS sets the number of parallel clang-tidy runs (default: the
# number of processors); VX_ANALYSE_ONLY=clang-tidy or cppcheck runs one of
# the two.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

ensure_packages "${build_packages[@]}" "${windows_packages[@]}" "${analyse_packages[@]}" || exit 1

jobs=${VX_ANALYSE_JOBS:-$(nproc)}
only=${VX_ANALYSE_ONLY:-}
case $only in
  "" | clang-tidy | cppcheck) ;;
  *) echo "VX_ANALYSE_ONLY is clang-tidy or cppcheck, not \"$only\""; exit 2 ;;
esac
tidy_count=0
cppcheck_count=0
out=build/analyse
rm -rf "$out/tidy"
mkdir -p "$out/tidy" "$out/cppcheck-posix" "$out/cppcheck-windows"
status=0
started=$SECONDS

run_clang_tidy() {
  # The compile databases come from configuring the two presets.
  for preset in linux mingw-x64; do
    if ! cmake --preset "$preset" -Wno-dev >"$out/configure-$preset.log" 2>&1; then
      cat "$out/configure-$preset.log"
      echo "*** cmake --preset $preset failed"
      exit 1
    fi
  done
  python3 tools/analyse_db.py build/linux/compile_commands.json "$out/linux" "$root" \
    --skip tests >"$out/linux.files" || exit 1
  python3 tools/analyse_db.py build/mingw-x64/compile_commands.json "$out/mingw-x64" "$root" \
    --mingw x86_64-w64-mingw32 --only-windows --skip tests >"$out/mingw-x64.files" || exit 1

  # One clang-tidy run per database and source, in parallel; each writes its
  # own file, so that the findings do not interleave.
  echo "clang-tidy: $(wc -l <"$out/linux.files") native and $(wc -l <"$out/mingw-x64.files") Windows sources, $jobs at a time"
  {
    sort -u "$out/linux.files" | sed "s|^|linux |"
    sort -u "$out/mingw-x64.files" | sed "s|^|mingw-x64 |"
  } | VX_ROOT=$root VX_OUT=$out xargs -P "$jobs" -L 1 sh -c '
    name=$(printf "%s" "$2" | sed "s|^$VX_ROOT/||; s|/|_|g")
    clang-tidy -p "$VX_OUT/$1" --quiet "$2" >"$VX_OUT/tidy/$1.$name.log" 2>&1
    echo $? >"$VX_OUT/tidy/$1.$name.rc"' _

  # A finding in a header shows once per source that includes it: each is
  # printed once, with the lines clang-tidy shows under it.
  tidy_report=$out/clang-tidy.txt
  python3 - "$out/tidy" "$root" >"$tidy_report" <<'EOF'
import glob, os, re, sys
tidy_dir, root = sys.argv[1], sys.argv[2] + "/"
finding = re.compile(r"^(/[^:]+:\d+:\d+: (warning|error): .*)$")
seen = {}
for log in sorted(glob.glob(os.path.join(tidy_dir, "*.log"))):
    rc = open(log[:-4] + ".rc").read().strip()
    lines = open(log, encoding="utf-8", errors="replace").read().splitlines()
    current = None
    for line in lines:
        m = finding.match(line)
        if m:
            current = m.group(1).replace(root, "")
            seen.setdefault(current, [])
            continue
        if current is None:
            continue
        if re.match(r"^\d+ (warnings?|errors?) generated|^Suppressed \d+|^Use -header-filter", line):
            current = None
        elif not seen[current] or len(seen[current]) < 3:
            seen[current].append(line)
    if rc != "0" and not any(finding.match(l) for l in lines):
        seen["%s: clang-tidy failed (status %s): %s" % (os.path.basename(log), rc,
             " | ".join(lines[-3:]))] = []
for head, body in seen.items():
    print(head)
    for line in body:
        print(line)
EOF
  tidy_count=$(grep -cE '^[^ ].*(: (warning|error): |clang-tidy failed)' "$tidy_report" || true)
  cat "$tidy_report"
  echo "clang-tidy: $tidy_count finding(s)"
  [ "$tidy_count" -eq 0 ] || status=1

}

run_cppcheck() {
  # cppcheck: the whole tree of ours, both configurations. Unmatched inline
  # suppressions are not reported, since each configuration sees only its own
  # branch of the code.
  own_dirs=(app bench console crash discovery firmware flashing gui link platform records session sim tests tools ui)
  cppcheck_common=(--quiet --std=c++20 --language=c++ --enable=warning,style,performance,portability
    --inline-suppr --suppressions-list=tools/cppcheck-suppressions.txt --error-exitcode=1
    -j "$jobs" -I . -I tests/support --library=googletest
    -DVX_DEFAULT_IMAGE_PATH='"image"' -DVX_FIXTURE_DIR='"fixtures"'
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]')
  cppcheck_count=0
  for config in posix windows; do
    if [ "$config" = posix ]; then
      args=(--library=posix -U_WIN32)
    else
      args=(--library=windows -D_WIN32 -D_WIN64)
    fi
    report=$out/cppcheck-$config.txt
    cppcheck "${cppcheck_common[@]}" "${args[@]}" --cppcheck-build-dir="$out/cppcheck-$config" \
      "${own_dirs[@]}" >"$report" 2>&1
    rc=$?
    cat "$report"
    n=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: ' "$report" || true)
    if [ "$rc" -ne 0 ] && [ "$n" -eq 0 ]; then
      echo "*** cppcheck ($config) failed with status $rc"
      n=1
    fi
    echo "cppcheck ($config): $n finding(s)"
    cppcheck_count=$((cppcheck_count + n))
  done
  [ "$cppcheck_count" -eq 0 ] || status=1

}

[ "$only" = cppcheck ] || run_clang_tidy
[ "$only" = clang-tidy ] || run_cppcheck

echo
echo "Static analysis: $tidy_count clang-tidy and $cppcheck_count cppcheck finding(s) in $((SECONDS - started)) s"
exit $status
