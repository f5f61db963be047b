#!/usr/bin/env bash
# Builds the 64-bit Windows programs with MinGW-w64: the decoding server mpgsource-server.exe, the
# indexer mpgsource-index.exe and the command-line host mpgsource.exe, over the FFmpeg libraries
# that scripts/build-ffmpeg-windows.sh builds (once per FFmpeg version), and the test program
# that runs them under wine64 (see .ci/windows.sh). The plugin DLL comes from
# scripts/build-windows.sh; these programs use the posix thread model of MinGW-w64
# (cmake/toolchain-mingw-x86_64-posix.cmake).
# Usage: scripts/build-windows-tools.sh [build folder, default build-win64-tools]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win64-tools}
ffmpeg=$(bash scripts/build-ffmpeg-windows.sh | tail -n 1)
jobs=$(nproc)
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64-posix.cmake \
  -DCMAKE_BUILD_TYPE=Release -DMPG_BUILD_TOOLS=ON -DMPG_BUILD_TESTS=OFF -DMPG_BUILD_BENCH=OFF \
  -DMPG_BUILD_WIN32_TESTS=ON -DMPG_FFMPEG_PREFIX="$ffmpeg" >/dev/null
cmake --build "$dir" -j "$jobs" --target mpgsource-server mpgsource-index mpgsource test_tools_win32
echo "built $dir/mpgsource-server.exe, mpgsource-index.exe, mpgsource.exe (x86_64)"
