#!/usr/bin/env bash
# Packs the Windows release into one zip: the 32- and 64-bit plugin DLLs (and the 64-bit VapourSynth
# plugin where it was built), the 64-bit decoding server, indexer and command-line host, and the
# Windows README (scripts/windows/README.txt, with Windows line ends). Build them first:
#   bash scripts/build-windows.sh build-win32              # 32-bit DLL
#   bash scripts/build-windows.sh build-win64 x86_64       # 64-bit DLL
#   bash scripts/build-windows-tools.sh build-win64-tools  # server, indexer, command-line host
# Usage: scripts/package-windows.sh [win32 folder] [win64 folder] [tools folder] [output zip]
# Result: build-package/mpgsource-windows-<version>.zip (version: git describe, else the date),
# programs and DLLs stripped, and beside it mpgsource-windows-<version>-symbols.zip with their
# symbols.
set -euo pipefail
cd "$(dirname "$0")/.."
win32=${1:-build-win32}
win64=${2:-build-win64}
tools=${3:-build-win64-tools}
version=$(git describe --always --dirty 2>/dev/null || date +%Y%m%d)
zip=${4:-build-package/mpgsource-windows-$version.zip}

files=("$win32/VantuDecodeNV.dll" "$win64/VantuDecodeNV.dll" "$tools/mpgsource-server.exe"
  "$tools/mpgsource-index.exe" "$tools/mpgsource.exe")
for f in "${files[@]}"; do
  if [ ! -s "$f" ]; then
    echo "missing $f: build it first (see the top of $0)" >&2
    exit 1
  fi
done
command -v zip >/dev/null || {
  echo "zip not found (bash scripts/setup-windows.sh installs it)" >&2
  exit 1
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/MPGSource
mkdir -p "$root/x86" "$root/x64"
cp "$win32/VantuDecodeNV.dll" "$root/x86/"
cp "$win64/VantuDecodeNV.dll" "$tools/mpgsource-server.exe" "$tools/mpgsource-index.exe" \
  "$tools/mpgsource.exe" "$root/x64/"
# The VapourSynth plugin (64-bit VapourSynth only), where the 64-bit build made it.
if [ -s "$win64/mpgsource_vs.dll" ]; then
  cp "$win64/mpgsource_vs.dll" "$root/x64/"
else
  echo "note: no $win64/mpgsource_vs.dll (no VapourSynth SDK at build time): left out of the zip" >&2
fi
# Without symbols: they are more than half of each program. The symbols go into a zip of their
# own, each file's beside a link that debuggers (gdb, WinDbg with DWARF) follow.
symbols=$stage/MPGSource-symbols
mkdir -p "$symbols/x86" "$symbols/x64"
for f in "$root"/x86/* "$root"/x64/*; do
  arch=$(basename "$(dirname "$f")")
  prefix=x86_64-w64-mingw32-
  [ "$arch" = x86 ] && prefix=i686-w64-mingw32-
  debug=$symbols/$arch/$(basename "$f").debug
  "${prefix}objcopy" --only-keep-debug "$f" "$debug"
  "${prefix}strip" --strip-all "$f"
  (cd "$symbols/$arch" && "${prefix}objcopy" --add-gnu-debuglink="$(basename "$debug")" "$f")
done
# Stripping keeps the plugin's entry point.
for dll in "$root"/x86/VantuDecodeNV.dll "$root"/x64/VantuDecodeNV.dll; do
  exports=$(x86_64-w64-mingw32-objdump -p "$dll")
  grep -q '\] AvisynthPluginInit2$' <<<"$exports" || {
    echo "$dll lost its export AvisynthPluginInit2" >&2
    exit 1
  }
done
if [ -s "$root/x64/mpgsource_vs.dll" ]; then
  exports=$(x86_64-w64-mingw32-objdump -p "$root/x64/mpgsource_vs.dll")
  grep -q '\] VapourSynthPluginInit2$' <<<"$exports" || {
    echo "mpgsource_vs.dll lost its export VapourSynthPluginInit2" >&2
    exit 1
  }
fi
sed 's/$/\r/' scripts/windows/README.txt >"$root/README.txt"

mkdir -p "$(dirname "$zip")"
zip_abs=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
rm -f "$zip_abs"
(cd "$stage" && zip -q -r -X "$zip_abs" MPGSource)
rm -f "${zip_abs%.zip}-symbols.zip"
(cd "$stage" && zip -q -r -X "${zip_abs%.zip}-symbols.zip" MPGSource-symbols)
echo "packed $zip ($(stat -c %s "$zip_abs") bytes) and its symbols, ${zip%.zip}-symbols.zip"
