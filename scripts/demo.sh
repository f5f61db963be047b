#!/usr/bin/env bash
# The main job on the built-in sample: builds everything, makes a sample MPEG-2 stream with ffmpeg,
# indexes it, serves every frame through the plugin (a decoding server is started on demand) into
# demo-output/sample.y4m, checks a shuffled sample of frames against the sequential ones and against
# ffmpeg's own decode, and prints a summary.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
out=demo-output
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target mpgsource mpgsource-server VantuDecodeNV
mkdir -p "$out"
bash scripts/make-media.sh "$out/media" >/dev/null
sample="$out/media/es576i_open.m2v"
cli="$build/mpgsource"

"$cli" index "$sample" -o "$out/sample.vnt"
echo "loaded project: $out/sample.vnt"
"$cli" info "$out/sample.vnt"
"$cli" pipe "$out/sample.vnt" -o "$out/sample.y4m"
"$cli" hash "$out/sample.vnt" >"$out/sequential.md5"
frames=$(wc -l <"$out/sequential.md5")
list=$(seq 0 $((frames - 1)) | shuf --random-source=<(yes) | head -n 40 | paste -sd, -)
"$cli" hash "$out/sample.vnt" --frames "$list" >"$out/shuffled.md5"
ffmpeg -nostdin -v error -i "$sample" -map 0:v:0 -f framemd5 -pix_fmt yuv420p - |
  awk -F', *' '!/^#/ {print n++, $6}' >"$out/ffmpeg.md5"
# Lines of the second file whose frame's MD5 differs from the first file's.
differing() { awk 'NR == FNR {md5[$1] = $2; next} !($1 in md5) || md5[$1] != $2' "$1" "$2" | wc -l; }
wrong_shuffled=$(differing "$out/sequential.md5" "$out/shuffled.md5")
wrong_ffmpeg=$(differing "$out/ffmpeg.md5" "$out/sequential.md5")
echo
echo "== summary =="
echo "frames served:               $frames (written to $out/sample.y4m)"
echo "shuffled requests checked:   40, differing from sequential: $wrong_shuffled"
echo "frames differing from ffmpeg's own decode: $wrong_ffmpeg"
[ "$wrong_shuffled" -eq 0 ] && [ "$wrong_ffmpeg" -eq 0 ]
