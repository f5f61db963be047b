#!/usr/bin/env bash
# Makes the media of the Windows programs' tests (test_tools_win32.exe) with Linux ffmpeg into
# OUTDIR, with the references: for each clip <clip>.md5, one MD5 of the Y, U and V planes per
# frame of ffmpeg's sequential decode, and for the interlaced clip <clip>.bwdif.md5, the same
# after ffmpeg's bwdif filter sending one picture per field (what the server's deinterlacing does).
#
#   es576i_open.m2v     720x576 25 fps interlaced, top field first, open GOPs of 12, 150 frames
#   ts576i.ts           the same in a 188-byte TS, video PID 0x1E1, with an MP2 audio PID 0x1E2
#   es1080p_closed.m2v  1920x1080 25 fps progressive, closed GOPs of 15, 60 frames
# Usage: tests/win32/make-media.sh OUTDIR
set -euo pipefail
out=${1:?usage: tests/win32/make-media.sh OUTDIR}
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }

[ -s es576i_open.m2v ] || ff -f lavfi -i testsrc=size=720x576:rate=25 -frames:v 150 \
  -vf setfield=tff -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M \
  -bufsize 1835k -f mpeg2video es576i_open.m2v
[ -s audio.wav ] || ff -f lavfi -i sine=frequency=440:sample_rate=48000 -t 6 audio.wav
[ -s ts576i.ts ] || ff -fflags +genpts -r 25 -i es576i_open.m2v -i audio.wav -map 0:v -map 1:a \
  -c:v copy -c:a mp2 -b:a 128k -streamid 0:0x1E1 -streamid 1:0x1E2 -f mpegts ts576i.ts
[ -s es1080p_closed.m2v ] || ff -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 60 \
  -c:v mpeg2video -g 15 -bf 2 -flags +cgop -sc_threshold 1000000000 -b:v 15M -maxrate 20M \
  -bufsize 9781k -f mpeg2video es1080p_closed.m2v

# The first video stream only: a transport stream's audio would add its own lines.
md5s() {
  local input=$1 result=$2
  shift 2
  ffmpeg -nostdin -v error -threads 1 -i "$input" -map 0:v:0 "$@" -f framemd5 -pix_fmt yuv420p - |
    awk '!/^#/ { print $NF }' >"$result.tmp"
  mv "$result.tmp" "$result"
}
for clip in es576i_open.m2v ts576i.ts es1080p_closed.m2v; do
  [ -s "$clip.md5" ] || md5s "$clip" "$clip.md5"
done
[ -s es576i_open.m2v.bwdif.md5 ] || md5s es576i_open.m2v es576i_open.m2v.bwdif.md5 \
  -vf bwdif=mode=send_field:parity=auto:deint=all
echo "media for the Windows tests in $out"
