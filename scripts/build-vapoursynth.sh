#!/usr/bin/env bash
# Builds the VapourSynth core (no Python, no vspipe) from ../shared/hosts once, into
# ${XDG_CACHE_HOME:-$HOME/.cache}/mpgsource/<tarball name>/prefix, and prints that prefix.
# The tests of the VapourSynth plugin drive this core through its C API.
set -euo pipefail
cd "$(dirname "$0")/.."
tarball=$(ls ../shared/hosts/vapoursynth-*.tar.xz 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
  echo "no VapourSynth source in ../shared/hosts: the VapourSynth plugin's tests will not be built" >&2
  exit 0
fi
name=$(basename "$tarball" .tar.xz)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/mpgsource/$name
if [ ! -f "$cache/prefix/lib/pkgconfig/vapoursynth.pc" ]; then
  rm -rf "$cache/src"
  mkdir -p "$cache/src"
  tar -xJf "$tarball" -C "$cache/src"
  (
    cd "$cache/src/$name"
    ./autogen.sh >/dev/null
    ./configure -q --prefix="$cache/prefix" --disable-vsscript --disable-vspipe \
      --disable-python-module >/dev/null
    make -j"$(nproc)" >/dev/null
    make install >/dev/null
  )
  rm -rf "$cache/src"
fi
echo "$cache/prefix"
