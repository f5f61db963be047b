#!/usr/bin/env bash
# Cuts fuzz seeds from the test media (scripts/make-media.sh): short heads and middle pieces of
# the elementary streams, transport streams and Matroska files, each with the option bytes its
# target reads first. Usage: make-seeds.sh MEDIA_DIR OUT_DIR
set -euo pipefail
media=$1
out=$2
mkdir -p "$out"/es_units "$out"/ts_units "$out"/ps_units "$out"/matroska

# seed OUT OPTION_BYTES(printf escapes) FILE OFFSET LENGTH
seed() {
  local target=$1 options=$2 file=$3 offset=$4 length=$5
  [ -s "$media/$file" ] || return 0
  {
    printf "$options"
    dd if="$media/$file" iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
  } >"$target.tmp"
  mv "$target.tmp" "$target"
}

# Elementary streams: two bytes choose the reposition point.
seed "$out/es_units/es576i-head.bin" '\000\000' es576i_open.m2v 0 49152
seed "$out/es_units/es576i-middle.bin" '\004\001' es576i_open.m2v 300000 32768
seed "$out/es_units/es1080p-head.bin" '\000\020' es1080p_closed.m2v 0 40960
seed "$out/es_units/es480i-head.bin" '\000\000' es480i_bff.m2v 0 32768
seed "$out/es_units/cut-open-head.bin" '\000\000' cut_open.m2v 0 32768

# Transport streams: packet size (0: 188, 2: 192), the video PID, a packet and an offset in it.
seed "$out/ts_units/ts576i-head.bin" '\000\001\341\004\014' ts576i.ts 0 56400
seed "$out/ts_units/ts576i-middle.bin" '\000\001\341\002\100' ts576i.ts 400003 37600
seed "$out/ts_units/ts576i-audio-pid.bin" '\000\001\342\000\000' ts576i.ts 0 18800
seed "$out/ts_units/m2ts576i-head.bin" '\002\020\021\003\020' m2ts576i.m2ts 0 57600

# Program streams: the video stream id, where the first file ends and a reposition, in 8-byte
# steps.
seed "$out/ps_units/vob576i-head.bin" '\000\020\000\004\000' vob576i.vob 0 65536
seed "$out/ps_units/dvd480i-middle.bin" '\000\002\001\000\200' dvd480i_bff.vob 100003 49152
seed "$out/ps_units/mpeg576i-head.bin" '\000\000\377\000\000' mpeg576i.mpg 0 49152

# Matroska: heads of the files (a truncated file must open as far as its data goes).
seed "$out/matroska/mkv576i-head.bin" '' mkv576i.mkv 0 65536
seed "$out/matroska/mkv576i-ts-head.bin" '' mkv576i_ts.mkv 0 65536
seed "$out/matroska/mkv576i-nocues-head.bin" '' mkv576i_nocues.mkv 0 49152
seed "$out/matroska/ffmpeg576i-head.bin" '' ffmpeg576i.mkv 0 49152
seed "$out/matroska/audio-first-head.bin" '' mkv_audio_first.mkv 0 49152
seed "$out/matroska/no-mpeg2-head.bin" '' mkv_no_mpeg2.mkv 0 32768
