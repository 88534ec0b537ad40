#!/usr/bin/env bash
# Prints a crash report's call stack with the function and the source line of
# every frame in the updater (or another of our programs), read from the
# program's debug file (<program>.debug beside it in the build).
#
#   tools/symbolize.sh report.txt [directory of the program and its .debug]
#
# Without a directory, build/mingw-x64/app or build/mingw-x86/app, as the
# report's "Программа:" line names the build. The build must be the one the
# report came from (the report names its commit).
set -u
report=${1:-}
if [ -z "$report" ] || [ ! -f "$report" ]; then
  echo "usage: tools/symbolize.sh report.txt [directory of the program]" >&2
  exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
text=$(iconv -f CP1251 -t UTF-8 "$report") || { echo "symbolize: $report is not a Windows-1251 report" >&2; exit 2; }
if grep -q '^Программа: .*x86' <<<"$text"; then arch=x86 prefix=i686-w64-mingw32; else arch=x64 prefix=x86_64-w64-mingw32; fi
dir=${2:-$root/build/mingw-$arch/app}
addr2line=$prefix-addr2line
objdump=$prefix-objdump
command -v "$addr2line" >/dev/null || { echo "symbolize: $addr2line is missing (package binutils-mingw-w64)" >&2; exit 2; }

grep -m1 '^Программа: ' <<<"$text"
# The image base of each module once, from its debug file.
declare -A base file
lookup() {
  local module=$1 candidate
  [ -n "${file[$module]+x}" ] && return
  file[$module]=""
  for candidate in "$dir/$module.debug" "$dir/$module"; do
    if [ -f "$candidate" ]; then
      file[$module]=$candidate
      base[$module]=$("$objdump" -p "$candidate" | awk '/^ImageBase/ {print $2; exit}')
      return
    fi
  done
}
in_stack=0
while IFS= read -r line; do
  line=${line%$'\r'}
  case $line in
    "== Стек вызовов =="*) in_stack=1; echo "$line"; continue ;;
    "== "*) [ $in_stack = 1 ] && break ;;
  esac
  [ $in_stack = 1 ] || continue
  if [[ $line =~ ([A-Za-z0-9_.-]+\.(exe|EXE))\+0x([0-9a-fA-F]+) ]]; then
    module=${BASH_REMATCH[1]} offset=${BASH_REMATCH[3]}
    lookup "$module"
    if [ -n "${file[$module]}" ]; then
      # Past the first frame an address is where the call returns to: one
      # byte back lies in the call itself.
      back=1
      [[ $line =~ ^\ *#0\  ]] && back=0
      address=$(printf '0x%x' $((0x${base[$module]} + 0x$offset - back)))
      where=$("$addr2line" -f -C -p -e "${file[$module]}" "$address")
      echo "$line  ->  $where"
      continue
    fi
    echo "$line  (no $module or $module.debug in $dir)"
    continue
  fi
  echo "$line"
done <<<"$text"
