#!/usr/bin/env bash
# Several clips in one script of a real AviSynth+ (../shared/hosts/, built once and cached outside
# the checkout): `a ++ b`, `Interleave(a, b)` and a clip made, dropped and made again, every frame
# compared with ffmpeg's decode of its file.
# Usage: scripts/test-avsplus.sh [build folder, default build]  (after the build has made its media)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
tarball=$(ls ../shared/hosts/avisynthplus-*.tar.xz | head -n 1)
name=$(basename "$tarball" .tar.xz)
cache=${AVSPLUS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mpgsource/$name}
if [ ! -f "$cache/build/avs_core/libavisynth.so" ]; then
  mkdir -p "$cache"
  tar -xJf "$tarball" -C "$cache"
  cmake -S "$cache/$name" -B "$cache/build" -DCMAKE_BUILD_TYPE=Release -DENABLE_PLUGINS=OFF >/dev/null
  cmake --build "$cache/build" -j2 >/dev/null
fi
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
g++ -std=c++17 -O1 -o "$work/avsplus_frames" tests/avsplus/avsplus_frames.cpp \
  -I"$cache/$name/avs_core/include" -L"$cache/build/avs_core" -lavisynth -ldl \
  $(pkg-config --cflags --libs libavutil) -Wl,-rpath,"$cache/build/avs_core"

export MPGSOURCE_IPC_NAMESPACE=avsplus$$
# Three connections: the script variables a and b keep two clips alive (a new a is made before the
# old one is released), and the clip made, dropped and made again needs the third both times.
"$build/mpgsource-server" --clients 3 >/dev/null &
server=$!
sleep 1
for f in ts576i.ts cut_open.m2v; do
  "$build/mpgsource" index "$build/media/$f" -o "$work/$f.vnt" >/dev/null
  ffmpeg -nostdin -v error -i "$build/media/$f" -map 0:v:0 -f framemd5 -pix_fmt yuv420p - |
    grep -v '^#' | awk '{print $NF}' >"$work/$f.md5"
  "$build/mpgsource" info "$work/$f.vnt" --json | python3 -c \
    'import json,sys; print(json.load(sys.stdin)["frames"])' >"$work/$f.frames"
done
a="MPGSource(\"$work/ts576i.ts.vnt\")"
b="MPGSource(\"$work/cut_open.m2v.vnt\")"
"$work/avsplus_frames" "$build/VantuDecodeNV.so" \
  "a = $a
b = $b
a ++ b" \
  "a = $a
b = $b
Interleave(a, Trim(b, 20, 0))" \
  "$a" \
  "$a" >"$work/served"
python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
def clip(f):
    ref = open(f"{work}/{f}.md5").read().split()
    frames = int(open(f"{work}/{f}.frames").read())
    shift = frames - len(ref)
    return [ref[max(n, shift) - shift] for n in range(frames)]
a, b = clip("ts576i.ts"), clip("cut_open.m2v")
bt = b[20:]
want = {0: a + b, 1: [x for k in range(max(len(a), len(bt)))
                      for x in (a[min(k, len(a) - 1)], bt[min(k, len(bt) - 1)])], 2: a, 3: a}
got = {}
for line in open(f"{work}/served"):
    s, n, md5 = line.split()
    got.setdefault(int(s), []).append(md5)
names = ["a ++ b", "Interleave(a, b)", "a made", "a made again"]
bad = 0
for s, frames in want.items():
    served = got.get(s, [])
    # Interleave ends with the longer clip's last frame: the shorter clip's last turn may be left out.
    missing = len(frames) - len(served)
    allowed = 1 if s == 1 else 0
    wrong = sum(1 for x, y in zip(served, frames) if x != y)
    wrong += 0 if 0 <= missing <= allowed else abs(missing)
    print(f"{names[s]}: {len(served)} frames, {wrong} differ from ffmpeg")
    bad += wrong
sys.exit(1 if bad else 0)
PY
