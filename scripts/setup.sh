#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and make its sample media.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev
  ffmpeg libavcodec-dev libavformat-dev libavfilter-dev libavutil-dev libswscale-dev
  mkvtoolnix mjpegtools
  clang libclang-rt-14-dev
  autoconf automake libtool libzimg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "${missing[@]}"
fi

# The VapourSynth core (a test host, like ffmpeg: never part of the product), built once from
# ../shared/hosts into a cache outside the checkout. The build finds it through pkg-config:
# scripts/test.sh sets PKG_CONFIG_PATH to "$cache/prefix/lib/pkgconfig".
bash "$(dirname "$0")/build-vapoursynth.sh"
