#!/usr/bin/env bash
# The image tool on good and bad input: messages, exit codes, and a pack that
# gives back what went in.
set -u
tool=$1
default_image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect EXIT_CODE PATTERN -- command...: runs it, checks the exit code and
# that stdout+stderr contain the pattern.
expect() {
  local code=$1 pattern=$2
  shift 3
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  [ "$rc" -eq "$code" ] || fail "$* exited $rc, expected $code: $out"
  grep -qF -- "$pattern" <<<"$out" || fail "$* printed no '$pattern': $out"
}

# The built default image.
expect 0 'accepted:        yes' -- "$tool" info "$default_image"
expect 0 'stored 0x6019, computed 0x6019 over 37 bytes (match)' -- "$tool" info "$default_image"
expect 0 '"18.03.2014 11:01:30" -> 18-03-2014 11:01:30' -- "$tool" info "$default_image"
expect 0 'payload:         131072 bytes from offset 37' -- "$tool" info "$default_image"

# Pack, then show: the same version, time and payload.
"$tool" random --seed 7 --size 1000 --output "$work/p.bin" || fail "random failed"
[ "$(stat -c %s "$work/p.bin")" = 1000 ] || fail "random wrote the wrong size"
"$tool" random --seed 7 --size 1000 --output "$work/p2.bin"
cmp -s "$work/p.bin" "$work/p2.bin" || fail "random is not deterministic"
"$tool" random --seed 8 --size 1000 --output "$work/p3.bin"
cmp -s "$work/p.bin" "$work/p3.bin" && fail "random ignores its seed"
expect 0 'version VXCR-2.3test' -- "$tool" pack --payload "$work/p.bin" --version "VXCR-2.3 test" \
  --build-time "01.02.2015 03:04:05" --output "$work/a.eraw"
expect 0 'accepted:        yes' -- "$tool" info "$work/a.eraw"
expect 0 '"VXCR-2.3 test" -> VXCR-2.3test' -- "$tool" info "$work/a.eraw"
expect 0 '-> 01-02-2015 03:04:05' -- "$tool" info "$work/a.eraw"
size=$(stat -c %s "$work/a.eraw")
tail -c 1000 "$work/a.eraw" | cmp -s - "$work/p.bin" || fail "payload not kept byte for byte"
[ "$size" = $((8 + 13 + 2 + 19 + 1000)) ] || fail "packed size $size"
expect 0 'payload 1000 bytes' -- "$tool" pack --payload "$work/p.bin" --version VXCR-1.9 --output "$work/b.eraw"
expect 0 'build-time flag: clear' -- "$tool" info "$work/b.eraw"

# Bad input: a message and a non-zero exit, never a crash.
expect 2 'cannot open' -- "$tool" info "$work/missing.eraw"
expect 2 'cannot open' -- "$tool" pack --payload "$work/missing.bin" --version VXCR-1.9 --output "$work/x"
expect 2 'not of the form' -- "$tool" pack --payload "$work/p.bin" --version VXCR1.9 --output "$work/x"
expect 2 'not a valid' -- "$tool" pack --payload "$work/p.bin" --version VXCR-1.9 --build-time "31.02.2014 10:00:00" --output "$work/x"
expect 2 'needs --payload' -- "$tool" pack --version VXCR-1.9
expect 2 'unknown option' -- "$tool" pack --colour red
expect 2 'unknown command' -- "$tool" frobnicate
expect 2 'no command' -- "$tool"
head -c $((2097152 + 1)) /dev/zero > "$work/big.bin"
expect 2 'above the limit' -- "$tool" pack --payload "$work/big.bin" --version VXCR-1.9 --output "$work/x"
head -c 2097152 /dev/zero > "$work/max.bin"
expect 0 'payload 2097152 bytes' -- "$tool" pack --payload "$work/max.bin" --version VXCR-1.9 --output "$work/max.eraw"

head -c 3 "$work/a.eraw" > "$work/t3.eraw"
expect 1 'accepted:        no: Не верный размер файла прошивки' -- "$tool" info "$work/t3.eraw"
expect 1 'shorter than the 4-byte size word' -- "$tool" info "$work/t3.eraw"
head -c 30 "$work/a.eraw" > "$work/t30.eraw"
expect 1 'Не верный размер файла прошивки' -- "$tool" info "$work/t30.eraw"
expect 1 'differs from the file' -- "$tool" info "$work/t30.eraw"
: > "$work/empty.eraw"
expect 1 'Не верный размер файла прошивки' -- "$tool" info "$work/empty.eraw"
{ cat "$work/b.eraw"; printf 'x'; } > "$work/long.eraw"
expect 1 'Не верный размер файла прошивки' -- "$tool" info "$work/long.eraw"
cp "$work/b.eraw" "$work/sum.eraw"
printf '\x00\x00' | dd of="$work/sum.eraw" bs=1 seek=4 conv=notrunc status=none
expect 1 'accepted:        no: Ошибка контрольной суммы файла прошивки' -- "$tool" info "$work/sum.eraw"
expect 1 'MISMATCH' -- "$tool" info "$work/sum.eraw"

# A payload above the limit inside an image made by hand.
python3 - "$work/huge.eraw" <<'PY'
import struct, sys
name = b"VXCR-1.9"
payload = bytes(2097153)
total = 8 + len(name) + len(payload)
img = bytearray(struct.pack("<IHH", total, 0, len(name)) + name + payload)
s = 0
n = total & 0xFFFF
for i in range(0, n - 1, 2):
    s += img[i] | img[i + 1] << 8
if n % 2:
    s += img[n - 1]
while s > 0xFFFF:
    s = (s & 0xFFFF) + (s >> 16)
img[4:6] = struct.pack("<H", s)
open(sys.argv[1], "wb").write(img)
PY
expect 1 'accepted:        no: Слишком большой размер блока прошивки' -- "$tool" info "$work/huge.eraw"

if [ "$failures" -ne 0 ]; then
  echo "$failures image tool checks failed"
  exit 1
fi
echo "image tool: all checks passed"
