#!/usr/bin/env bash
# Makes the test and sample media with ffmpeg and mkvmerge into OUTDIR (default: build/media).
# Every clip is synthetic (a test pattern with a frame counter) and short, so this takes seconds.
#
#   es576i_open.m2v     720x576 25 fps interlaced, top field first, open GOPs of 12 (IBBP), 150 frames
#   ts576i.ts           the same in a 188-byte TS, video PID 0x1E1, with an MP2 audio PID 0x1E2
#   m2ts576i.m2ts       the same in a 192-byte M2TS (BDAV)
#   es1080p_closed.m2v  1920x1080 25 fps progressive, closed GOPs of 15, 60 frames
#   es480i_bff.m2v      720x480 30000/1001 interlaced, bottom field first, open GOPs, 90 frames
#   cut_open.m2v        es576i_open.m2v cut to begin at its second GOP (an open GOP whose leading
#                       B pictures lack their reference)
#   mkv576i.mkv         mkvmerge from es576i_open.m2v
#   mkv576i_ts.mkv      mkvmerge from ts576i.ts (video and audio)
#   mkv576i_nocues.mkv  mkvmerge --no-cues from es576i_open.m2v
#   ffmpeg576i.mkv      ffmpeg's Matroska muxer from es576i_open.m2v
#   mkv_audio_first.mkv audio track first, then the MPEG-2 video
#   mkv_no_mpeg2.mkv    audio only (no MPEG-2 video)
set -euo pipefail
out=${1:-build/media}
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
sample_rate=48000

if [ ! -s es576i_open.m2v ]; then
  ff -f lavfi -i testsrc=size=720x576:rate=25 -frames:v 150 -vf setfield=tff \
    -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k \
    es576i_open.m2v.tmp.m2v
  mv es576i_open.m2v.tmp.m2v es576i_open.m2v
fi
if [ ! -s audio.wav ]; then
  ff -f lavfi -i sine=frequency=440:sample_rate=$sample_rate -t 6 audio.tmp.wav && mv audio.tmp.wav audio.wav
fi
if [ ! -s ts576i.ts ]; then
  ff -fflags +genpts -r 25 -i es576i_open.m2v -i audio.wav -map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 128k \
    -streamid 0:0x1E1 -streamid 1:0x1E2 -f mpegts ts576i.tmp.ts && mv ts576i.tmp.ts ts576i.ts
fi
if [ ! -s m2ts576i.m2ts ]; then
  ff -fflags +genpts -r 25 -i es576i_open.m2v -i audio.wav -map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 128k \
    -streamid 0:0x1011 -streamid 1:0x1100 -muxrate 12M -mpegts_m2ts_mode 1 -f mpegts \
    m2ts576i.tmp.m2ts && mv m2ts576i.tmp.m2ts m2ts576i.m2ts
fi
if [ ! -s es1080p_closed.m2v ]; then
  ff -f lavfi -i testsrc=size=1920x1080:rate=25 -frames:v 60 \
    -c:v mpeg2video -g 15 -bf 2 -flags +cgop -sc_threshold 1000000000 -b:v 15M -maxrate 20M -bufsize 9781k \
    es1080p_closed.tmp.m2v && mv es1080p_closed.tmp.m2v es1080p_closed.m2v
fi
if [ ! -s es480i_bff.m2v ]; then
  ff -f lavfi -i testsrc=size=720x480:rate=30000/1001 -frames:v 90 -vf setfield=bff \
    -c:v mpeg2video -g 15 -bf 2 -flags +ilme+ildct -top 0 -b:v 5M -maxrate 8M -bufsize 1835k \
    es480i_bff.tmp.m2v && mv es480i_bff.tmp.m2v es480i_bff.m2v
fi
if [ ! -s cut_open.m2v ]; then
  # Byte offset of the second sequence header (00 00 01 B3).
  second=$(LC_ALL=C grep -obUaP '\x00\x00\x01\xb3' es576i_open.m2v | sed -n 2p | cut -d: -f1)
  tail -c +"$((second + 1))" es576i_open.m2v >cut_open.tmp.m2v && mv cut_open.tmp.m2v cut_open.m2v
fi
if command -v mkvmerge >/dev/null; then
  mkv() { local o=$1; shift; mkvmerge -q -o "$o.tmp.mkv" "$@" >/dev/null || [ $? -eq 1 ]; mv "$o.tmp.mkv" "$o"; }
  [ -s mkv576i.mkv ] || mkv mkv576i.mkv es576i_open.m2v
  [ -s mkv576i_ts.mkv ] || mkv mkv576i_ts.mkv ts576i.ts
  [ -s mkv576i_nocues.mkv ] || mkv mkv576i_nocues.mkv --no-cues es576i_open.m2v
  if [ ! -s audio.mp2 ]; then ff -i audio.wav -c:a mp2 -b:a 128k audio.tmp.mp2 && mv audio.tmp.mp2 audio.mp2; fi
  [ -s mkv_audio_first.mkv ] || mkv mkv_audio_first.mkv audio.mp2 es576i_open.m2v
  [ -s mkv_no_mpeg2.mkv ] || mkv mkv_no_mpeg2.mkv audio.mp2
fi
if [ ! -s ffmpeg576i.mkv ]; then
  ff -fflags +genpts -r 25 -i es576i_open.m2v -c:v copy -f matroska ffmpeg576i.tmp.mkv && mv ffmpeg576i.tmp.mkv ffmpeg576i.mkv
fi
