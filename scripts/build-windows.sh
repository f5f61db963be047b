#!/usr/bin/env bash
# Builds the plugin for AviSynth hosts on Windows, VantuDecodeNV.dll, with MinGW-w64, and checks
# it against the host's binary interface (struct layouts, vtable slots and calling conventions,
# the undecorated export, system DLLs only). i686 (the default) is for 32-bit AviSynth 2.5 hosts,
# x86_64 for 64-bit hosts (AviSynth+ x64 loads 2.5 plugins by the same entry point). The Windows
# test programs are compiled too (they run only in the 64-bit build, under wine64: see
# .ci/windows.sh).
# Usage: scripts/build-windows.sh [build folder, default build-win32] [i686|x86_64]
# Result: <build folder>/VantuDecodeNV.dll (and mpgsource_vs.dll for VapourSynth in the 64-bit
# build, where the VapourSynth SDK's headers are cached)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win32}
arch=${2:-i686}
case "$arch" in
  i686 | x86_64) ;;
  *)
    echo "usage: scripts/build-windows.sh [build folder] [i686|x86_64]" >&2
    exit 2
    ;;
esac
jobs=$(nproc)
# The 64-bit build also makes the VapourSynth plugin, mpgsource_vs.dll, where the VapourSynth SDK's
# headers are at hand (the core that scripts/setup.sh builds once; the plugin needs only them).
targets=(VantuDecodeNV test_platform_win32 win32_test_server test_link_win32)
vs_pc=${XDG_CACHE_HOME:-$HOME/.cache}/mpgsource/vapoursynth-R65/prefix/lib/pkgconfig
if [ "$arch" = x86_64 ] && [ -f "$vs_pc/vapoursynth.pc" ]; then
  export PKG_CONFIG_PATH="$vs_pc"
  targets+=(mpgsource_vs)
else
  unset PKG_CONFIG_PATH
fi
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DMPG_BUILD_TOOLS=OFF -DMPG_BUILD_TESTS=OFF \
  -DMPG_BUILD_WIN32_TESTS=ON >/dev/null
cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
MPG_ABI_ARCH=$arch bash tests/win32/check-abi.sh "$PWD" "$dir/abi" "$dir/VantuDecodeNV.dll"
echo "built $dir/VantuDecodeNV.dll ($arch)"
if [ -f "$dir/mpgsource_vs.dll" ]; then
  # System DLLs only, and the entry point VapourSynth looks for.
  objdump=${arch}-w64-mingw32-objdump
  headers=$($objdump -p "$dir/mpgsource_vs.dll")
  for dll in $(awk '/DLL Name:/ {print $3}' <<<"$headers"); do
    case "${dll^^}" in
      KERNEL32.DLL | MSVCRT.DLL | SHLWAPI.DLL | WINMM.DLL | USER32.DLL | ADVAPI32.DLL) ;;
      *)
        echo "mpgsource_vs.dll imports $dll, not a system DLL" >&2
        exit 1
        ;;
    esac
  done
  grep -q ' VapourSynthPluginInit2$' <<<"$headers" || {
    echo "mpgsource_vs.dll does not export VapourSynthPluginInit2" >&2
    exit 1
  }
  echo "built $dir/mpgsource_vs.dll ($arch, VapourSynth)"
fi
