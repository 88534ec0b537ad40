# Shared by the developer scripts: package installation and the Wine setup.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Package installation. The system's package tools (apt-get, apt-cache,
# dpkg, dpkg-query) are looked up on PATH, and the places below can be set
# from outside, so that tests/tools/install_test.sh can put stand-ins there.
vx_apt_update_tries=${VX_APT_UPDATE_TRIES:-3}
vx_apt_retry_pause=${VX_APT_RETRY_PAUSE:-10}
vx_apt_preferences_dir=${VX_APT_PREFERENCES_DIR:-/etc/apt/preferences.d}
vx_wine32_loader=${VX_WINE32_LOADER:-/usr/lib/wine/wine}
vx_wine64_loader=${VX_WINE64_LOADER:-/usr/lib/wine/wine64}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The lines of an apt output that say what went wrong, joined on one line.
apt_errors() {
  local lines
  lines=$(grep -E '^(E|W): ' <<<"$1" | grep -v 'Some index files failed to download' | head -n 3)
  [ -n "$lines" ] || lines=$(grep -E '^E: ' <<<"$1" | head -n 3)
  [ -n "$lines" ] || lines=$(grep -v '^[[:space:]]*$' <<<"$1" | tail -n 1)
  printf '%s' "$lines" | tr '\n' ' ' | sed 's/ $//'
}

# Reads the package indexes once per script, retrying a failed update. When
# some index still fails, its error stays in apt_update_errors and the install
# goes on with the indexes that were read.
apt_update_errors=""
apt_updated=""
apt_update() {
  [ -z "$apt_updated" ] || return 0
  local try out rc
  for ((try = 1; try <= vx_apt_update_tries; try++)); do
    rc=0
    out=$(as_root apt-get update -qq 2>&1) || rc=$?
    [ -z "$out" ] || printf '%s\n' "$out"
    if [ "$rc" -eq 0 ]; then
      apt_update_errors=""
      apt_updated=1
      return 0
    fi
    apt_update_errors=$(apt_errors "$out")
    if [ "$try" -lt "$vx_apt_update_tries" ]; then
      echo "apt-get update failed (attempt $try of $vx_apt_update_tries); again in $vx_apt_retry_pause s"
      sleep "$vx_apt_retry_pause"
    fi
  done
  echo "apt-get update still fails; installing from the indexes that were read"
  apt_updated=1
}

# apt_install [OPTION...] PACKAGE...: shows apt's output and keeps it in
# apt_install_output.
apt_install() {
  local log rc
  log=$(mktemp)
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  apt_install_output=$(cat "$log")
  rm -f "$log"
  return "$rc"
}

# Why the last install failed: apt's errors, and the update's if it had any.
install_failure() {
  local why
  why=$(apt_errors "$apt_install_output")
  [ -z "$apt_update_errors" ] || why="$why; apt-get update: $apt_update_errors"
  printf '%s' "$why"
}

# Installs the Debian packages that are missing. Needs root or sudo.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    package_installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -ne 0 ] || return 0
  echo "Installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      as_root dpkg --add-architecture i386
      apt_updated=""
    fi
  fi
  apt_update
  if ! apt_install "${missing[@]}"; then
    echo "Could not install ${missing[*]}: $(install_failure)"
    return 1
  fi
}

build_packages=(cmake g++ ninja-build googletest python3)
# What the x64 program and its tests need under Wine; nothing 32-bit.
# ImageMagick draws the programs' icon in the build and takes screenshots.
windows_packages=(mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb xauth imagemagick)
wine32_package=wine32:i386
fuzz_packages=(clang libclang-rt-14-dev)
# tools/analyse.sh: clang-tidy finds its MinGW headers through the cross compiler.
analyse_packages=(clang-tidy clang cppcheck python3)

# The i386 packages that an apt failure names as unmet dependencies.
unmet_i386_packages() {
  grep -oE 'Depends: [^ ]+:i386' <<<"$1" | sed 's/^[A-Za-z-]*Depends: //; s/:i386$//' | sort -u
}

# The main archive's version of a package whose amd64 build is installed in a
# version that only the security archive has; fails for any other package.
main_version_of_security_only() {
  local installed version table
  installed=$(dpkg-query -W -f='${Status} ${Version}' "$1:amd64" 2>/dev/null) || return 1
  [[ $installed == "install ok installed "* ]] || return 1
  version=${installed##* }
  table=$(apt-cache madison "$1" 2>/dev/null | awk -F'|' -v pkg="$1" '
    { for (i = 1; i <= 3; i++) gsub(/^ +| +$/, "", $i) }
    $1 == pkg { print $2 "|" ($3 ~ /-security/ ? "security" : "main") }')
  grep -qxF "$version|security" <<<"$table" || return 1
  grep -qxF "$version|main" <<<"$table" && return 1
  grep -m1 '|main$' <<<"$table" | cut -d'|' -f1 | grep .
}

# When the 32-bit security index is missing, the i386 builds of packages that
# amd64 has from the security archive cannot match: install wine32 with the
# security archive at priority 100 (a temporary preferences file) and those
# packages, amd64 and i386, at the main archive's version. A package the first
# try does not name may show up in the next failure, so it goes a few rounds.
install_wine32_fallback() {
  local prefs="$vx_apt_preferences_dir/vx-wine32-fallback"
  local old_exit_trap round name version pins=() added ok=1
  echo "wine32:i386 does not install; again with the security archive at priority 100"
  old_exit_trap=$(trap -p EXIT)
  trap 'as_root rm -f "'"$prefs"'"' EXIT
  trap 'as_root rm -f "'"$prefs"'"; exit 130' INT TERM
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' | as_root tee "$prefs" >/dev/null
  for round in 1 2 3; do
    added=0
    for name in $(unmet_i386_packages "$apt_install_output"); do
      printf '%s\n' "${pins[@]}" | grep -q "^$name:i386=" && continue
      version=$(main_version_of_security_only "$name") || continue
      echo "Pinning $name to the main archive's $version (amd64 and i386)"
      pins+=("$name:i386=$version" "$name=$version")
      added=1
    done
    [ "$round" -eq 1 ] || [ "$added" -eq 1 ] || break
    if apt_install --allow-downgrades "$wine32_package" "${pins[@]}"; then ok=0; break; fi
  done
  as_root rm -f "$prefs"
  trap - INT TERM
  if [ -n "$old_exit_trap" ]; then eval "$old_exit_trap"; else trap - EXIT; fi
  return "$ok"
}

# Whether 32-bit Windows programs start here; if not, wine32_problem says why.
probe_wine32() {
  wine32_problem=""
  local out rc=0
  if [ ! -e "$vx_wine32_loader" ]; then
    wine32_problem="$wine32_package is not installed ($vx_wine32_loader is missing)"
    return 1
  fi
  out=$("$vx_wine32_loader" --version 2>&1) || rc=$?
  [ "$rc" -ne 0 ] || return 0
  if [ "$rc" -eq 126 ] || grep -qi 'exec format error' <<<"$out"; then
    wine32_problem="this machine's kernel does not run 32-bit programs ($vx_wine32_loader: Exec format error; a kernel with 32-bit emulation, e.g. booted with ia32_emulation=on, runs them)"
  else
    wine32_problem="the 32-bit Wine loader $vx_wine32_loader does not start: $(apt_errors "$out")"
  fi
  return 1
}

# Installs 32-bit Wine if it can be installed and checks that it runs; when it
# cannot be had, wine32_problem says why and the status is non-zero.
ensure_wine32() {
  wine32_problem=""
  if ! package_installed "$wine32_package"; then
    if ! ensure_packages "$wine32_package" && ! install_wine32_fallback; then
      wine32_problem="$wine32_package could not be installed: $(install_failure)"
      echo "$wine32_problem"
      return 1
    fi
  fi
  probe_wine32
}

# The x64 presets need nothing 32-bit; the x86 ones need 32-bit Wine.
ensure_wine32_for_preset() {
  case $1 in
    *x86*)
      if ! ensure_wine32; then
        echo "Cannot start the x86 updater: $wine32_problem"
        return 1
      fi ;;
  esac
}

# The last line of the test command when the x86 tests could not run.
x86_not_run_line() {
  echo "*** The x86 Windows tests were NOT RUN: $1"
}

export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# The machine field of a Windows program's PE header: 8664 for x64, 014c for
# x86; empty for anything else.
pe_machine() {
  [ -f "$1" ] || return 0
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  if [ -n "$pe" ]; then od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' '; fi
}

# The Wine loader for a Windows program: 64-bit programs go straight to
# wine64, so that they run where the 32-bit loader cannot start (a kernel
# without 32-bit support); everything else to the usual wine.
wine_loader_for() {
  if [ "$(pe_machine "$1")" = "8664" ] && [ -x "$vx_wine64_loader" ]; then
    echo "$vx_wine64_loader"
  else
    echo wine
  fi
}

# Creates the Wine prefix once, from this one process, with the crash dialog
# off so that a crashing program ends instead of waiting for a click. Where
# 32-bit programs cannot start, the 64-bit loader makes it, for the x64
# programs. The mark says which: a prefix made without 32-bit Wine is made
# again once 32-bit Wine runs. A prefix the caller named is never deleted.
ensure_wine_prefix() {
  local mark=$WINEPREFIX/.vx-ready kind=x64 saved_problem=${wine32_problem:-}
  probe_wine32 && kind=x86
  wine32_problem=$saved_problem
  if [ -f "$mark" ] && { [ "$(cat "$mark")" != x64 ] || [ "$kind" = x64 ]; }; then return 0; fi
  echo "Creating the Wine prefix $WINEPREFIX ($kind)"
  if [ "$WINEPREFIX" = "$root/build/wine-prefix" ]; then rm -rf "$WINEPREFIX"; fi
  rm -f "$mark"
  mkdir -p "$(dirname "$WINEPREFIX")"
  local run=(wine)
  [ "$kind" = x86 ] || run=(env WINELOADER="$vx_wine64_loader" "$vx_wine64_loader")
  "${run[@]}" wineboot --init >/dev/null 2>&1 || true
  wineserver -w
  "${run[@]}" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Could not create the Wine prefix $WINEPREFIX"
    return 1
  fi
  echo "$kind" > "$mark"
}

# scaled_wine_prefix SHARED DIR: makes DIR a Wine prefix for runs at another
# display scale (set_wine_dpi): the shared prefix's registry copied, its
# drive C: shared, so that it takes no time to make and the shared one keeps
# its scale. End its Wine server (WINEPREFIX=DIR wineserver -k) before
# removing it.
scaled_wine_prefix() {
  local shared=$1 dir=$2
  mkdir -p "$dir"
  cp -p "$shared"/*.reg "$shared/.update-timestamp" "$shared/.vx-ready" "$dir/"
  cp -a "$shared/dosdevices" "$dir/"
  ln -s "$shared/drive_c" "$dir/drive_c"
}

# set_wine_dpi LOADER DPI: the display scale of WINEPREFIX's programs started
# from now on; Wine reads it at each program's start from the user's desktop
# settings.
set_wine_dpi() {
  "$1" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$2" /f >/dev/null
}

# Builds the updater of a cross preset and puts it into a directory of its own
# next to the simulated driver libraries; VXSIM_SCENARIO names the devices
# they present (tools/demo-scenario.txt unless set).
# stage_updater PRESET DIR [PROGRAM]: builds the program (vxfwloader by
# default, or vxflash) and puts it next to the simulated driver libraries in
# DIR, with the demo devices unless VXSIM_SCENARIO names others.
stage_updater() {
  local preset=$1 dir=$2 program=${3:-vxfwloader} build=build/$1
  cmake --preset "$preset" -Wno-dev >/dev/null
  cmake --build --preset "$preset" --target "$program" vxsim_all >/dev/null
  mkdir -p "$dir"
  local exe=$build/app/$program.exe
  [ -f "$exe" ] || exe=$build/bin/$program.exe
  cp "$exe" "$build/bin/ftd2xx.dll" "$build/bin/VXUSB.dll" "$build/bin/vxsim.dll" "$dir/"
  export VXSIM_SCENARIO=${VXSIM_SCENARIO:-$root/tools/demo-scenario.txt}
}
