# Shared by the developer scripts: package installation and the Wine setup.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the Debian packages that are missing. Needs root or sudo.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_packages=(cmake g++ ninja-build googletest python3)
windows_packages=(mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386 xvfb xauth)
fuzz_packages=(clang libclang-rt-14-dev)
screenshot_packages=(imagemagick)

export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# The Wine loader for a Windows program: 64-bit programs go straight to
# wine64, so that they run where the 32-bit loader cannot start (a kernel
# without 32-bit support); everything else to the usual wine.
wine_loader_for() {
  local machine=""
  if [ -f "$1" ]; then
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$pe" ] && machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  fi
  if [ "$machine" = "8664" ] && [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  else
    echo wine
  fi
}

# Creates the Wine prefix once, from this one process, with the crash dialog
# off so that a crashing program ends instead of waiting for a click.
ensure_wine_prefix() {
  if [ -f "$WINEPREFIX/.vx-ready" ]; then return 0; fi
  echo "Creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot --init >/dev/null 2>&1
  wineserver -w
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vx-ready"
}

# Builds the updater of a cross preset and puts it into a directory of its own
# next to the simulated driver libraries; VXSIM_SCENARIO names the devices
# they present (tools/demo-scenario.txt unless set).
stage_updater() {
  local preset=$1 dir=$2 build=build/$1
  cmake --preset "$preset" -Wno-dev >/dev/null
  cmake --build --preset "$preset" --target vxfwloader vxsim_all >/dev/null
  mkdir -p "$dir"
  cp "$build/app/vxfwloader.exe" "$build/bin/ftd2xx.dll" "$build/bin/VXUSB.dll" "$build/bin/vxsim.dll" "$dir/"
  export VXSIM_SCENARIO=${VXSIM_SCENARIO:-$root/tools/demo-scenario.txt}
}
