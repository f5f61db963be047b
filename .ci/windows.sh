#!/usr/bin/env bash
# CI for Windows: the 32-bit plugin DLL with its binary checks, then the 64-bit build of the
# plugin DLL with its binary checks and of the platform layer, test host and test server, whose
# tests run under wine64 (32-bit programs cannot run on these machines); then the 64-bit decoding
# server, indexer and command-line host over FFmpeg built from Debian's source package (once per
# version, cached in build-ffmpeg-win64), tested under wine64 with the 64-bit plugin DLL against
# ffmpeg's decode of media made here; and the Windows zip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-windows.sh
bash scripts/build-windows.sh build-win32

dir=build-win64
bash scripts/build-windows.sh "$dir" x86_64
tools=build-win64-tools
bash scripts/build-windows-tools.sh "$tools"
# The programs find the plugin DLL beside themselves, as in the zip.
cp "$dir/VantuDecodeNV.dll" "$tools/"
bash tests/win32/make-media.sh "$tools/media"

wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
  echo "wine64 not found" >&2
  exit 1
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
# The first start makes the prefix; its messages are not the tests' business.
timeout 300 "$wine" cmd /c exit >/dev/null 2>&1 || true
for test in test_platform_win32 test_link_win32; do
  echo "== $test (wine64) =="
  (cd "$dir" && timeout 600 "$wine" "$test.exe")
done
echo "== test_tools_win32 (wine64) =="
# wine maps the Unix root to drive Z:.
media=$(cd "$tools/media" && pwd)
(cd "$tools" && MPG_TOOLS_MEDIA="Z:${media//\//\\}" timeout 900 "$wine" test_tools_win32.exe)
bash scripts/package-windows.sh build-win32 "$dir" "$tools"
# The unpacked zip's own (stripped) programs and plugin index and serve frames as ffmpeg decodes.
echo "== the zip's programs (wine64) =="
zip=$(ls -t build-package/mpgsource-windows-*.zip | grep -v -- -symbols | head -n 1)
unpacked=$(mktemp -d)
trap 'cleanup; rm -rf "$unpacked"' EXIT
python3 -m zipfile -e "$zip" "$unpacked"
winmedia="Z:${media//\//\\}"
# mpgsource-index.exe is a launcher of mpgsource.exe beside it.
timeout 300 "$wine" "$unpacked/MPGSource/x64/mpgsource-index.exe" "$winmedia\\es576i_open.m2v" \
  "$winmedia\\zip.vnt" --quiet --force
timeout 300 "$wine" "$unpacked/MPGSource/x64/mpgsource.exe" hash "$winmedia\\zip.vnt" \
  --frames 0-24 | tr -d '\r' | awk '{ print $2 }' >"$unpacked/hashes"
head -n 25 "$tools/media/es576i_open.m2v.md5" | diff - "$unpacked/hashes"
echo "windows checks passed"
