#!/usr/bin/env bash
# Binary checks of a Windows build against the MSVC-built host's interface, for 32-bit (i686) or
# 64-bit (x86_64) Windows:
#  1. our declarations compile with the host's struct sizes and offsets for that data model
#     (static_asserts in avs/avisynth_msvc.h and in the probe);
#  2. the vtables of the script environment and of a clip have the host's slots in the host's
#     order; on 32-bit Windows also each stdcall slot popping the host's byte count (the @N of its
#     symbol), the variadic slots cdecl and the destructor slots thiscall (they pop the flags
#     word); 64-bit Windows has one calling convention;
#  3. with a DLL given: it exports the undecorated "AvisynthPluginInit2" and imports from system
#     DLLs only.
# Usage: check-abi.sh <source dir> <work dir> [plugin.dll]   (MPG_ABI_ARCH=i686 or x86_64)
set -euo pipefail
src=$1
work=$2
dll=${3:-}
arch=${MPG_ABI_ARCH:-i686}
case "$arch" in
  i686) word=.long symbol=__ ;;
  x86_64) word=.quad symbol=_ ;;
  *)
    echo "unknown MPG_ABI_ARCH $arch" >&2
    exit 2
    ;;
esac
cxx=${MPG_ABI_CXX:-$arch-w64-mingw32-g++-win32}
objdump=${MPG_ABI_OBJDUMP:-$arch-w64-mingw32-objdump}
mkdir -p "$work"
asm=$work/slot_probe.s
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -I"$src" -S "$src/tests/win32/abi/slot_probe.cpp" -o "$asm"

failures=0
fail() {
  echo "ABI check failed: $*" >&2
  failures=$((failures + 1))
}

# The slots of vtable $1 as "name@N" (or "name" for an undecorated symbol), host slots only.
slots() {
  awk -v label="$1:" -v word="$word" '$1 == label {f = 1; next} f && $1 == word {print $2; next} f {exit}' "$asm" |
    tail -n +3 | sed -E 's/^_?_ZN[0-9]+[A-Za-z]+[0-9]+([A-Za-z]+)E[^@]*(@[0-9]+)?$/\1\2/'
}

expect_slots() {
  local table=$1
  local expected=$2
  local actual
  # 64-bit Windows decorates no names.
  [ "$arch" = x86_64 ] && expected=$(sed 's/@[0-9]*$//' <<<"$expected")
  actual=$(slots "$table" | head -n "$(echo "$expected" | wc -l)")
  if [ "$actual" != "$expected" ]; then
    fail "$table slots differ from the host's:"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
  fi
}

expect_slots ${symbol}ZTV12SlotProbeEnv "HostDestroy
HostGetCPUFlags@4
HostSaveString@12
HostSprintf
HostVSprintf@12
HostThrowError
HostAddFunction@20
HostFunctionExists@8
HostInvoke@24
HostGetVar@12
HostSetVar@12
HostSetGlobalVar@12
HostPushContext@8
HostPopContext@4
HostNewVideoFrame@16
HostMakeWritable@8
HostBitBlt@28
HostAtExit@12
HostCheckVersion@8
HostSubframe@28
HostSetMemoryMax@8
HostSetWorkingDir@8"

expect_slots ${symbol}ZTV13SlotProbeClip "HostGetVersion@4
HostGetFrame@16
HostGetParity@8
HostGetAudio@28
HostSetCacheHints@12
HostGetVideoInfo@4
HostDestroy"

# The destructor slots are thiscall: `this` in ECX, and the callee pops the flags word.
if [ "$arch" = i686 ]; then
  for fn in __ZN12SlotProbeEnv11HostDestroyEj __ZN5IClip11HostDestroyEj; do
    body=$(awk -v label="$fn:" '$1 == label {f = 1; next} f && /^LFE/ {exit} f' "$asm")
    if ! grep -qE 'ret[[:space:]]+\$4' <<<"$body"; then
      fail "$fn does not pop its flags argument (not thiscall)"
    fi
  done
fi

if [ -n "$dll" ]; then
  dump=$("$objdump" -p "$dll")
  if ! grep -qE '^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+(\+base\[[[:space:]]*[0-9]+\][[:space:]]+[0-9a-f]+[[:space:]]+)?AvisynthPluginInit2$' <<<"$dump"; then
    fail "$dll does not export the undecorated AvisynthPluginInit2"
    grep -A20 'Export Address Table' <<<"$dump" >&2 || true
  fi
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u)
  allowed='^(kernel32|msvcrt|user32|advapi32|winmm|shlwapi|shell32|gdi32|ole32|ws2_32|api-ms-win-crt-[a-z0-9-]+)\.dll$'
  while read -r name; do
    [ -z "$name" ] && continue
    grep -qE "$allowed" <<<"$name" || fail "$dll needs $name, which is not a system DLL"
  done <<<"$imports"
  echo "$(basename "$dll") imports: $(echo $imports)"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "ABI checks passed ($arch)"
