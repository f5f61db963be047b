#!/usr/bin/env bash
# Installs the Debian packages for the Windows builds: the MinGW-w64 cross compilers for 32- and
# 64-bit Windows, wine64 to run the 64-bit test programs, nasm and dpkg-dev to build FFmpeg for
# Windows from Debian's source package (scripts/build-ffmpeg-windows.sh), ffmpeg to make the test
# media and their references, and zip for the Windows package (scripts/package-windows.sh).
set -euo pipefail
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 nasm dpkg-dev ffmpeg zip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -q \
    --no-install-recommends "${missing[@]}"
fi
