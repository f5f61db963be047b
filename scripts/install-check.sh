#!/usr/bin/env bash
# A user's build and install, checked: configures a build without tests and benchmarks (so it needs
# neither GoogleTest nor the ffmpeg command), builds it, installs it into a temporary prefix, moves
# the build folder away, and runs the installed `mpgsource` on sample media copied to a folder of
# their own: it must find the plugin and the server from its installed location, and its frame
# hashes must equal ffmpeg's decode of the same frames.
# Usage: scripts/install-check.sh MEDIA_DIR [BUILD_DIR [CMAKE_OPTION...]]
#   MEDIA_DIR holds es576i_open.m2v and ts576i.ts (a test build's media folder); BUILD_DIR defaults
#   to build-user.
set -euo pipefail
cd "$(dirname "$0")/.."
media=$(cd "$1" && pwd)
dir=${2:-build-user}
shift $(($# < 2 ? $# : 2))
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMPG_BUILD_TESTS=OFF -DMPG_BUILD_BENCH=OFF \
  "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/mpg-install.XXXXXX")
away="$dir.moved-away"
cleanup() {
  [ -d "$away" ] && mv "$away" "$dir"
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
cmake --install "$dir" --prefix "$prefix" >/dev/null
for f in bin/mpgsource bin/mpgsource-server bin/mpgsource-index lib/avisynth/VantuDecodeNV.so; do
  [ -f "$prefix/$f" ] || { echo "install-check: $f was not installed" >&2; exit 1; }
done
mv "$dir" "$away"

videos=$work/videos
mkdir "$videos"
cp "$media/es576i_open.m2v" "$media/ts576i.ts" "$videos/"
# A server of its own, apart from any other on this machine.
export MPGSOURCE_IPC_NAMESPACE="mpg-install-check-$$"
frames="0-3,40,20"
for clip in es576i_open.m2v ts576i.ts; do
  "$prefix/bin/mpgsource-index" "$videos/$clip" "$videos/$clip.vnt" >/dev/null
  "$prefix/bin/mpgsource" hash "$videos/$clip.vnt" --frames "$frames" >"$work/got" 2>"$work/err" ||
    { cat "$work/err" >&2; exit 1; }
  # ffmpeg's sequential decode, one "<n> <md5>" line per frame, in the order asked for.
  ffmpeg -v error -i "$videos/$clip" -map 0:v:0 -f framemd5 -pix_fmt yuv420p - |
    awk -F', *' '!/^#/ { print n++ " " $6 }' >"$work/all"
  : >"$work/want"
  for n in 0 1 2 3 40 20; do grep "^$n " "$work/all" >>"$work/want"; done
  if ! diff -u "$work/want" "$work/got"; then
    echo "install-check: the installed mpgsource served other frames than ffmpeg for $clip" >&2
    exit 1
  fi
done
echo "install check passed ($prefix)"
