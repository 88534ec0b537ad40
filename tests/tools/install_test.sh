#!/usr/bin/env bash
# The package and Wine decisions of tools/lib.sh against stand-ins for
# apt-get, apt-cache, dpkg, dpkg-query and the Wine loaders, which play an
# archive whose 32-bit security index fails to download and a kernel that
# cannot run 32-bit programs. Nothing on the real system is touched.
#   install_test.sh TOOLS_DIR
set -u
tools=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

gst=libgstreamer-plugins-base1.0-0
main_version=1.22.0-3+deb12u6
security_version=1.22.0-3+deb12u7
index_error='E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?'

bin=$work/bin state=$work/state prefs=$work/prefs
mkdir -p "$bin"

# apt-get: "update" fails as often as $state/update-failures says ("always":
# every time); "install" of wine32:i386 follows $state/wine32: ok, fallback
# (only with the security archive pinned down and gst pinned to the main
# archive's version, amd64 and i386, with --allow-downgrades), deep (the
# same, but the first failure does not name gst) or broken.
cat > "$bin/apt-get" <<EOF
#!/usr/bin/env bash
state=$state prefs=$prefs
gst=$gst main_version=$main_version
index_error='$index_error'
EOF
cat >> "$bin/apt-get" <<'EOF'
echo "apt-get $*" >> "$state/calls"
if [ "$1" = update ]; then
  left=$(cat "$state/update-failures")
  [ "$left" = 0 ] && exit 0
  [ "$left" = always ] || echo $((left - 1)) > "$state/update-failures"
  echo "$index_error [IP: 151.101.2.132 80]"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
shift
echo "preferences: $(cat "$prefs"/* 2>/dev/null | tr '\n' ' ')" >> "$state/calls"
args=" $* " packages=()
for a in "$@"; do [[ $a == -* ]] || packages+=("$a"); done
if [[ $args == *" wine32:i386 "* ]]; then
  mode=$(cat "$state/wine32")
  installable=0
  case $mode in
    ok) installable=1 ;;
    fallback | deep)
      if cat "$prefs"/* 2>/dev/null | grep -q '^Pin: release l=Debian-Security$' &&
         cat "$prefs"/* 2>/dev/null | grep -q '^Pin-Priority: 100$' &&
         [[ $args == *" --allow-downgrades "* && $args == *" $gst:i386=$main_version "* && $args == *" $gst=$main_version "* ]]; then
        installable=1
      fi ;;
  esac
  if [ $installable -eq 0 ]; then
    # "deep": the first failure names only libwine, not what holds it back.
    gst_line=" libwine:i386 : Depends: $gst:i386 (>= 1.0.0) but it is not going to be installed"
    [ "$mode" = deep ] && ! ls "$prefs"/* >/dev/null 2>&1 && gst_line=""
    cat <<MSG
Some packages could not be installed. This may mean that you have
requested an impossible situation or if you are using the unstable
distribution that some required packages have not yet been created
or been moved out of Incoming.
The following packages have unmet dependencies:
$gst_line
 wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
MSG
    exit 100
  fi
fi
for p in "${packages[@]}"; do
  name=${p%%=*} version=1.0
  [[ $p == *=* ]] && version=${p#*=}
  [[ $name == *:* ]] || name=$name:amd64
  echo "$name $version" >> "$state/installed"
done
EOF

# dpkg-query -W -f=FORMAT NAME: from $state/installed ("name:arch version").
cat > "$bin/dpkg-query" <<EOF
#!/usr/bin/env bash
state=$state
EOF
cat >> "$bin/dpkg-query" <<'EOF'
fmt='${Status}' name=""
for a in "$@"; do
  case $a in -W) ;; -f=*) fmt=${a#-f=} ;; *) name=$a ;; esac
done
[[ $name == *:* ]] || name=$name:amd64
version=$(awk -v n="$name" '$1 == n { v = $2 } END { print v }' "$state/installed")
if [ -z "$version" ]; then echo "dpkg-query: no packages found matching $name" >&2; exit 1; fi
out=${fmt//'${Status}'/install ok installed}
printf '%s' "${out//'${Version}'/$version}"
EOF

cat > "$bin/dpkg" <<EOF
#!/usr/bin/env bash
state=$state
echo "dpkg \$*" >> "\$state/calls"
case \$1 in
  --print-foreign-architectures) cat "\$state/foreign" ;;
  --add-architecture) echo "\$2" >> "\$state/foreign" ;;
esac
EOF

# apt-cache madison NAME: from $state/madison ("name|version|source").
cat > "$bin/apt-cache" <<EOF
#!/usr/bin/env bash
state=$state
[ "\$1" = madison ] || exit 1
awk -F'|' -v n="\$2" '\$1 == n { printf "%32s | %s | %s\n", \$1, \$2, \$3 }' "\$state/madison"
EOF

printf '#!/bin/sh\nexec "$@"\n' > "$bin/sudo"
# Wine stand-ins record how they were started.
for w in wine wine64 wineserver; do
  cat > "$bin/$w" <<EOF
#!/usr/bin/env bash
echo "$w WINELOADER=\${WINELOADER:-} \$*" >> "$state/calls"
[ "\${1:-}" = wineboot ] && mkdir -p "\$WINEPREFIX" && touch "\$WINEPREFIX/system.reg"
exit 0
EOF
done
printf '#!/bin/sh\necho wine-8.0\n' > "$bin/wine32-runs"
# An ELF file for no machine this kernel knows: "Exec format error", as a
# 32-bit program gives on a kernel without 32-bit support.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\357\276\001\000\000\000' > "$bin/wine32-foreign"
chmod +x "$bin"/*

# machine UPDATE_FAILURES WINE32_MODE: a fresh machine with the amd64 packages
# of the security archive installed, no i386 architecture and no wine32.
machine() {
  rm -rf "$state" "$prefs"
  mkdir -p "$state" "$prefs"
  echo "$1" > "$state/update-failures"
  echo "$2" > "$state/wine32"
  : > "$state/foreign"
  : > "$state/calls"
  printf '%s\n' "$gst:amd64 $security_version" "libwine:amd64 8.0~repack-4" > "$state/installed"
  printf '%s\n' "$gst|$security_version|http://deb.debian.org/debian-security bookworm-security/main amd64 Packages" \
    "$gst|$main_version|http://deb.debian.org/debian bookworm/main amd64 Packages" \
    "libwine|8.0~repack-4|http://deb.debian.org/debian-security bookworm-security/main amd64 Packages" \
    "libwine|8.0~repack-4|http://deb.debian.org/debian bookworm/main amd64 Packages" > "$state/madison"
}

# run LOADER32 COMMANDS: runs the commands with tools/lib.sh loaded and the
# stand-ins first on PATH; their output lands in $out.
run() {
  out=$(PATH="$bin:$PATH" VX_APT_PREFERENCES_DIR="$prefs" VX_APT_RETRY_PAUSE=0 \
    VX_WINE32_LOADER="$1" VX_WINE64_LOADER="$bin/wine64" WINEPREFIX="${prefix:-$work/prefix}" \
    bash -c 'source "$0/lib.sh"; eval "$1"' "$tools" "$2" 2>&1)
}
calls() { grep -c -- "$1" "$state/calls"; }
installed() { grep -q "^$1 " "$state/installed"; }
no_preferences_left() { [ -z "$(ls -A "$prefs")" ] || fail "$1: preferences file left behind: $(ls "$prefs")"; }

# apt-get update: retried when it fails; an index that keeps failing does
# not stop the install, not even in a script that stops at the first error.
machine 2 ok
run "$bin/wine32-runs" 'ensure_packages xvfb xauth; echo "rc=$?"'
grep -q '^rc=0$' <<<"$out" || fail "update failing twice: $out"
[ "$(calls 'apt-get update')" = 3 ] || fail "update failing twice: $(calls 'apt-get update') updates, expected 3"
installed xvfb:amd64 && installed xauth:amd64 || fail "update failing twice: nothing installed"
machine always ok
run "$bin/wine32-runs" 'set -e; ensure_packages xvfb; echo "rc=$?"'
grep -q '^rc=0$' <<<"$out" && installed xvfb:amd64 || fail "update always failing stopped the install: $out"
[ "$(calls 'apt-get update')" = 3 ] || fail "update always failing: $(calls 'apt-get update') updates, expected 3"
machine 0 ok
echo "xvfb:amd64 2:21.1.7-3" >> "$state/installed"
run "$bin/wine32-runs" 'ensure_packages xvfb; echo "rc=$?"'
[ "$(calls 'apt-get')" = 0 ] || fail "installed packages still ran apt-get: $(cat "$state/calls")"

# wine32:i386 with the i386 security index missing: the plain install fails,
# the fallback pins the security archive down and gst (whose amd64 build is
# only the security archive's) to the main archive's version; libwine (whose
# version both archives have) is left alone.
machine always fallback
run "$bin/wine32-runs" 'ensure_wine32; echo "rc=$? problem=[$wine32_problem]"'
grep -q '^rc=0 problem=\[\]$' <<<"$out" || fail "fallback: $out"
installed wine32:i386 || fail "fallback: wine32 not installed"
grep -q '^dpkg --add-architecture i386$' "$state/calls" || fail "fallback: i386 architecture not added"
first=$(grep -A1 '^apt-get install' "$state/calls" | sed -n 2p)
[ "$first" = "preferences: " ] || fail "fallback: the first try already had preferences: $first"
last=$(grep '^apt-get install' "$state/calls" | tail -n 1)
for want in --allow-downgrades "$gst:i386=$main_version" "$gst=$main_version"; do
  [[ " $last " == *" $want "* ]] || fail "fallback: last install lacks $want: $last"
done
[[ $last == *libwine*=* ]] && fail "fallback: libwine pinned: $last"
grep -q 'Pin: release l=Debian-Security Pin-Priority: 100' "$state/calls" || fail "fallback: security archive not pinned to 100"
no_preferences_left fallback
# A package the first failure does not name is pinned once a later one does.
machine always deep
run "$bin/wine32-runs" 'ensure_wine32; echo "rc=$?"'
grep -q '^rc=0$' <<<"$out" && installed wine32:i386 || fail "deep: wine32 not installed: $out"
no_preferences_left deep

# wine32:i386 that does not install even so: the reason names the package
# and the archive's error.
machine always broken
run "$bin/wine32-runs" 'ensure_wine32; echo "rc=$?"; x86_not_run_line "$wine32_problem"'
grep -q '^rc=1$' <<<"$out" || fail "broken: ensure_wine32 succeeded: $out"
line=$(tail -n 1 <<<"$out")
for want in "NOT RUN" "wine32:i386" "$index_error" "held broken packages"; do
  grep -qF -- "$want" <<<"$line" || fail "broken: the NOT RUN line lacks '$want': $line"
done
grep -q -- '--allow-downgrades' "$state/calls" || fail "broken: the fallback was not tried"
no_preferences_left broken

# wine32 installed: whether its loader runs decides, without apt.
for loader in runs foreign missing; do
  machine 0 ok
  echo "wine32:i386 8.0~repack-4" >> "$state/installed"
  run "$bin/wine32-$loader" 'ensure_wine32; echo "rc=$?"; x86_not_run_line "$wine32_problem"'
  [ "$(calls 'apt-get')" = 0 ] || fail "loader $loader: apt-get ran"
  line=$(tail -n 1 <<<"$out")
  case $loader in
    runs) grep -q '^rc=0$' <<<"$out" || fail "loader runs: $out" ;;
    foreign)
      grep -q '^rc=1$' <<<"$out" || fail "loader foreign: ensure_wine32 succeeded"
      grep -q "kernel does not run 32-bit programs" <<<"$line" && grep -q "Exec format error" <<<"$line" ||
        fail "loader foreign: the NOT RUN line does not name the kernel: $line" ;;
    missing)
      grep -q '^rc=1$' <<<"$out" || fail "loader missing: ensure_wine32 succeeded"
      grep -q "wine32:i386 is not installed" <<<"$line" || fail "loader missing: $line" ;;
  esac
done

# A 32-bit test program under wine-exec.sh fails, and says why, where the
# 32-bit loader cannot run; it never reaches wine.
machine 0 ok
mkdir -p "$work/ready/drive_c" && echo x86 > "$work/ready/.vx-ready" && touch "$work/ready/system.reg"
{ head -c 60 /dev/zero; printf '\100\000\000\000PE\000\000\114\001'; head -c 32 /dev/zero; } > "$work/prog32.exe"
rc=0
err=$(PATH="$bin:$PATH" WINEPREFIX="$work/ready" VX_WINE32_LOADER="$bin/wine32-foreign" \
  "$tools/wine-exec.sh" "$work/prog32.exe" 2>&1) || rc=$?
[ "$rc" = 125 ] && grep -q "Exec format error" <<<"$err" || fail "wine-exec of a 32-bit program: rc $rc: $err"
[ "$(calls '^wine ')" = 0 ] || fail "wine-exec started wine for a 32-bit program"

# A test program under wine-exec.sh passes only when its report shows that it
# ran tests and all of them passed. The stand-in loader plays the program by
# $state/gtest: "pass", "none" (status 0, no report), "zero" (a report of no
# tests), "skip" (one of three skipped), "quiet-failure" (a failed test, yet
# status 0) or "fail" (a failed test, status 1).
cat > "$bin/wine64-gtest" <<EOF
#!/usr/bin/env bash
state=$state
EOF
cat >> "$bin/wine64-gtest" <<'EOF'
echo "wine64-gtest $*" >> "$state/calls"
report=""
for a in "$@"; do [[ $a == --gtest_output=xml:Z:* ]] && report=${a#--gtest_output=xml:Z:}; done
case $(cat "$state/gtest") in
  none) exit 0 ;;
  zero) tests=0 failures=0 skipped=0 status=0 ;;
  pass) tests=3 failures=0 skipped=0 status=0 ;;
  skip) tests=3 failures=0 skipped=1 status=0 ;;
  quiet-failure) tests=3 failures=1 skipped=0 status=0 ;;
  fail) tests=3 failures=1 skipped=0 status=1 ;;
esac
[ -n "$report" ] || exit 3
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<testsuites tests=\"$tests\" failures=\"$failures\" disabled=\"0\" errors=\"0\" time=\"0.1\" name=\"AllTests\">"
  for ((i = 0; i < tests; i++)); do
    result=completed
    [ "$i" -lt "$skipped" ] && result=skipped
    echo "    <testcase name=\"T$i\" status=\"run\" result=\"$result\" time=\"0\" classname=\"S\" />"
  done
  echo '</testsuites>'
} > "$report"
exit "$status"
EOF
chmod +x "$bin/wine64-gtest"
{ head -c 60 /dev/zero; printf '\100\000\000\000PE\000\000\144\206'; head -c 32 /dev/zero; } > "$work/prog64.exe"
# wine_exec [ENV ARGUMENT...]: wine-exec.sh on the 64-bit program as ctest
# starts a test program; its status in $rc, what it said in $err.
wine_exec() {
  rc=0
  err=$(env PATH="$bin:$PATH" WINEPREFIX="$work/ready" VX_WINE64_LOADER="$bin/wine64-gtest" DISPLAY=:99 env "$@" \
    "$tools/wine-exec.sh" "$work/prog64.exe" --gtest_brief=1 2>&1) || rc=$?
}
for mode in pass none zero skip quiet-failure fail; do
  machine 0 ok
  echo "$mode" > "$state/gtest"
  wine_exec
  case $mode in
    pass) [ "$rc" = 0 ] || fail "gtest $mode: rc $rc: $err" ;;
    none) [ "$rc" = 1 ] && grep -q "ran no tests" <<<"$err" || fail "gtest $mode: rc $rc: $err" ;;
    zero) [ "$rc" = 1 ] && grep -q "names 0 tests" <<<"$err" || fail "gtest $mode: rc $rc: $err" ;;
    skip) [ "$rc" = 1 ] && grep -q "skipped 1 and disabled 0 of its 3 tests" <<<"$err" || fail "gtest $mode: rc $rc: $err" ;;
    quiet-failure) [ "$rc" = 1 ] && grep -q "1 failed" <<<"$err" || fail "gtest $mode: rc $rc: $err" ;;
    fail) [ "$rc" = 1 ] || fail "gtest $mode: rc $rc: $err" ;;
  esac
  grep -q "^wine64-gtest .*prog64.exe --gtest_brief=1 --gtest_output=xml:Z:/" "$state/calls" ||
    fail "gtest $mode: not started with a report: $(cat "$state/calls")"
done
# The program's own listing needs no report.
machine 0 ok
echo none > "$state/gtest"
rc=0
err=$(PATH="$bin:$PATH" WINEPREFIX="$work/ready" VX_WINE64_LOADER="$bin/wine64-gtest" \
  "$tools/wine-exec.sh" "$work/prog64.exe" --gtest_list_tests 2>&1) || rc=$?
[ "$rc" = 0 ] || fail "gtest listing: rc $rc: $err"
# No display: said, and the program still runs (one that opens windows fails
# by itself).
machine 0 ok
echo pass > "$state/gtest"
wine_exec -u DISPLAY
[ "$rc" = 0 ] && grep -q "no X display" <<<"$err" || fail "no display: rc $rc: $err"
# No 64-bit loader, a broken prefix, no prefix: the test fails at once and
# says why; Wine is never started.
machine 0 ok
wine_exec VX_WINE64_LOADER="$work/no-such-wine64"
[ "$rc" = 125 ] && grep -q "64-bit Wine loader .* is missing or cannot be executed" <<<"$err" ||
  fail "no wine64: rc $rc: $err"
mkdir -p "$work/broken" && echo x64 > "$work/broken/.vx-ready"
wine_exec WINEPREFIX="$work/broken"
[ "$rc" = 125 ] && grep -q "is broken" <<<"$err" || fail "broken prefix: rc $rc: $err"
wine_exec WINEPREFIX="$work/no-prefix"
[ "$rc" = 125 ] && grep -q "no Wine prefix" <<<"$err" || fail "missing prefix: rc $rc: $err"
[ "$(calls wine64-gtest)" = 0 ] || fail "Wine started for a program that cannot run: $(cat "$state/calls")"

# The Wine prefix: made by the 64-bit loader where 32-bit programs cannot run,
# made again (not deleted) once they can, and left alone when marked ready.
machine 0 ok
prefix=$work/callers-prefix
run "$bin/wine32-foreign" 'ensure_wine_prefix; echo "rc=$?"'
grep -q '^rc=0$' <<<"$out" || fail "x64 prefix: $out"
grep -q "^wine64 WINELOADER=$bin/wine64 wineboot --init" "$state/calls" || fail "x64 prefix: not booted by wine64: $(cat "$state/calls")"
grep -q "^wine64 WINELOADER=$bin/wine64 reg add HKCU.Software.Wine.WineDbg /v ShowCrashDialog /t REG_DWORD /d 0" "$state/calls" ||
  fail "x64 prefix: crash dialog not turned off by wine64"
[ "$(calls '^wine ')" = 0 ] || fail "x64 prefix: the 32-bit wine was used"
[ "$(cat "$prefix/.vx-ready" 2>/dev/null)" = x64 ] || fail "x64 prefix: not marked x64"
touch "$prefix/keep"
: > "$state/calls"
run "$bin/wine32-runs" 'ensure_wine_prefix'
grep -q '^wine WINELOADER= wineboot --init' "$state/calls" || fail "x64 prefix not made again once 32-bit Wine runs"
[ -f "$prefix/keep" ] || fail "the caller's prefix was deleted"
[ "$(cat "$prefix/.vx-ready" 2>/dev/null)" = x86 ] || fail "x86 prefix: not marked x86"
: > "$state/calls"
run "$bin/wine32-foreign" 'ensure_wine_prefix'
[ "$(calls wine)" = 0 ] || fail "a prefix marked ready was made again: $(cat "$state/calls")"
unset prefix

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "install tests passed"
