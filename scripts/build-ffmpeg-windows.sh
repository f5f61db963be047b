#!/usr/bin/env bash
# Builds the FFmpeg libraries that the decoding server needs (libavcodec, libavfilter, libswscale,
# libavutil) for 64-bit Windows with MinGW-w64, from Debian's own FFmpeg source package, static and
# with only what the server uses: the MPEG-2 video decoder and the bwdif and scale filters (buffer
# and buffersink are always built). The source version is the one of the installed Linux FFmpeg
# libraries when Debian still serves it, so that the Windows server decodes with the same code as
# the ffmpeg that makes the tests' reference hashes; otherwise the suite's current one.
#
# The result is cached per source version and per version of this script (its configuration): a
# second run with both unchanged only prints the folder. Everything lives under the cache folder
# (default $MPG_FFMPEG_CACHE, else build-ffmpeg-win64): the unpacked source and the build tree
# while building, then only the installed prefix <cache>/<version>-<script>/ (include/, lib/,
# lib/pkgconfig/).
#
# Usage: scripts/build-ffmpeg-windows.sh [cache folder]
# Prints the prefix on its last line.
set -euo pipefail
script_id=$(sha1sum "$0" | cut -c1-8)
cd "$(dirname "$0")/.."
cache=${1:-${MPG_FFMPEG_CACHE:-build-ffmpeg-win64}}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
host=x86_64-w64-mingw32

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
apt_get() { $SUDO apt-get -o DPkg::Lock::Timeout=900 "$@"; }

# Source entries for the suites that the binary entries name, so that `apt-get source` finds the
# package Debian built its own FFmpeg from. Debian 12 keeps its entries in deb822 files.
ensure_source_entries() {
  if apt-get source --print-uris ffmpeg >/dev/null 2>&1; then
    return 0
  fi
  local list=/etc/apt/sources.list.d/mpgsource-deb-src.sources
  echo "adding source entries to $list" >&2
  local tmp
  tmp=$(mktemp)
  local f
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
    [ -f "$f" ] || continue
    [ "$f" = "$list" ] && continue
    case "$f" in
      *.sources)
        # Every deb822 stanza for the Debian archive, repeated with Types: deb-src.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /URIs:[^\n]*debian/ && /Types:[^\n]*deb/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
          "$f" >>"$tmp"
        ;;
      *)
        sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$tmp.list"
        ;;
    esac
  done
  if [ -s "$tmp" ]; then
    $SUDO install -m 644 "$tmp" "$list"
  fi
  if [ -s "$tmp.list" ]; then
    $SUDO install -m 644 "$tmp.list" /etc/apt/sources.list.d/mpgsource-deb-src.list
  fi
  rm -f "$tmp" "$tmp.list"
  apt_get update -q >&2
}

# nasm: FFmpeg's x86 SIMD, as in Debian's own build (the same decoding code paths as Linux ffmpeg).
if ! command -v nasm >/dev/null; then
  apt_get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt_get install -y -q --no-install-recommends nasm dpkg-dev >&2
fi
command -v dpkg-source >/dev/null || DEBIAN_FRONTEND=noninteractive apt_get install -y -q \
  --no-install-recommends dpkg-dev >&2

ensure_source_entries

# Which version: the installed libavcodec's, when the archive still has its source.
installed=$(dpkg-query -W -f='${source:Version}' libavcodec-dev 2>/dev/null || true)
wanted=ffmpeg
if [ -n "$installed" ] && apt-get source --print-uris "ffmpeg=$installed" >/dev/null 2>&1; then
  wanted="ffmpeg=$installed"
fi
dsc=$(apt-get source --print-uris "$wanted" | grep -o "'[^']*\.dsc'" | tr -d "'" | head -n 1)
version=$(basename "$dsc" .dsc)
version=${version#ffmpeg_}
version=${version//%3a/:}
version=${version//%2b/+}
if [ -z "$version" ]; then
  echo "cannot tell which ffmpeg source version Debian serves" >&2
  exit 1
fi
# The folder name holds the version without the epoch (no colon in Windows-friendly paths) and
# this script's identity, so that a changed configuration is built afresh.
key=${version#*:}-$script_id
prefix=$cache/$key
if [ -f "$prefix/.complete" ]; then
  echo "ffmpeg $version for $host: cached" >&2
  echo "$prefix"
  exit 0
fi

start=$(date +%s)
work=$cache/work-$key
rm -rf "$work" "$prefix"
mkdir -p "$work"
(cd "$work" && apt-get source -q --download-only "$wanted" >&2 &&
  dpkg-source -x --no-check ./*.dsc src >&2)

# Only what the server uses. --disable-autodetect keeps out every external library that the build
# machine happens to have; w32threads gives frame threading without a pthreads DLL.
mkdir -p "$work/build"
(cd "$work/build" && ../src/configure \
  --prefix="$prefix" \
  --enable-cross-compile --cross-prefix="$host-" --target-os=mingw32 --arch=x86_64 \
  --cc="$host-gcc-win32" --cxx="$host-g++-win32" \
  --pkg-config=false \
  --enable-static --disable-shared --disable-programs --disable-doc --disable-debug \
  --disable-autodetect --enable-w32threads --disable-network \
  --disable-everything \
  --disable-avdevice --disable-avformat --disable-swresample --disable-postproc \
  --enable-avcodec --enable-avfilter --enable-swscale --enable-avutil \
  --enable-decoder=mpeg2video --enable-filter=bwdif,scale \
  >"$work/configure.log" 2>&1) || {
  tail -n 30 "$work/configure.log" >&2
  echo "ffmpeg configure failed: $work/configure.log" >&2
  exit 1
}
jobs=${MPG_JOBS:-$(nproc)}
make -C "$work/build" -j "$jobs" >"$work/make.log" 2>&1 || {
  tail -n 30 "$work/make.log" >&2
  echo "ffmpeg build failed: $work/make.log" >&2
  exit 1
}
make -C "$work/build" install >>"$work/make.log" 2>&1
echo "$version" >"$prefix/VERSION"
touch "$prefix/.complete"
# The source and objects are not needed again, nor the builds of other versions.
rm -rf "$work"
find "$cache" -mindepth 1 -maxdepth 1 ! -name "$key" -exec rm -rf {} +
echo "ffmpeg $version for $host built in $(($(date +%s) - start)) s" >&2
echo "$prefix"
