#!/usr/bin/env bash
# Makes the test and sample media with ffmpeg and mkvmerge into OUTDIR (default: build/media).
# Every clip is synthetic (a test pattern with a frame counter) and short, so this takes seconds.
# Streams of a second, independent encoder come from mjpegtools' mpeg2enc (fed YUV4MPEG2 by ffmpeg).
#
#   es576i_open.m2v     720x576 25 fps interlaced, top field first, open GOPs of 12 (IBBP), 150 frames
#   ts576i.ts           the same in a 188-byte TS, video PID 0x1E1, with an MP2 audio PID 0x1E2
#   m2ts576i.m2ts       the same in a 192-byte M2TS (BDAV)
#   es1080p_closed.m2v  1920x1080 25 fps progressive, closed GOPs of 15, 60 frames
#   es480i_bff.m2v      720x480 30000/1001 interlaced, bottom field first, open GOPs, 90 frames
#   colour.m2v          720x576 25 fps interlaced, colour description bt470bg / smpte240m / fcc,
#                       30 frames
#   cut_open.m2v        es576i_open.m2v cut to begin at its second GOP (an open GOP whose leading
#                       B pictures lack their reference)
#   mkv576i.mkv         mkvmerge from es576i_open.m2v
#   mkv576i_ts.mkv      mkvmerge from ts576i.ts (video and audio)
#   mkv576i_nocues.mkv  mkvmerge --no-cues from es576i_open.m2v
#   ffmpeg576i.mkv      ffmpeg's Matroska muxer from es576i_open.m2v
#   mkv_audio_first.mkv audio track first, then the MPEG-2 video
#   mkv_no_mpeg2.mkv    audio only (no MPEG-2 video)
#   es422i.m2v          720x576 25 fps 4:2:2 (422P profile) interlaced, top field first, open GOPs,
#                       60 frames; the hue turns with every field, so the two fields' chroma differ
#   ts422i_1080.ts      1920x1080 25 fps 4:2:2 interlaced, top field first, 30 frames, in a TS
#   es422p.m2v          1280x720 25 fps 4:2:2 progressive, closed GOPs, 40 frames
#   mkv422i.mkv         mkvmerge from es422i.m2v
#   two_programs.ts     two programs: es576i_open.m2v (PID 0x100) and es480i_bff.m2v (PID 0x200)
#   With mpeg2enc:
#   sizechange.m2v      sizechange_a.m2v (ffmpeg, 720x576 interlaced, 16:9, BT.709 colour, 60 frames)
#                       then sizechange_b.m2v (mpeg2enc 720x480 progressive, 48 frames, then
#                       ffmpeg 720x480 interlaced, 30 frames), all at 25 fps
#   pulldown32.m2v      mpeg2enc: 120 film frames at 24000/1001 with 3:2 pulldown flags (coded
#                       30000/1001), a sequence header per GOP
#   pulldown_mixed.m2v  mpeg2enc film with pulldown (48), ffmpeg 480i video at 30000/1001 (60),
#                       mpeg2enc film again (48)
#   oneseq.m2v          mpeg2enc 720x576 25 fps, 90 frames, GOPs of at most 12 and one sequence
#                       header for all of them
#   matrixchange.m2v    format_a.m2v, then mpeg2enc 720x576 4:3 with its own quantiser matrices
#                       (-K tmpgenc), 36 frames
#   Program streams (VOB, MPG), by ffmpeg:
#   vob576i.vob         es576i_open.m2v with AC-3 and LPCM audio (private stream 1), -f vob
#   dvd480i_bff.vob     es480i_bff.m2v with AC-3, -f dvd (with navigation packs, private stream 2)
#   mpeg576i.mpg        es576i_open.m2v with MP2 audio, -f mpeg (MPEG-1 pack and PES headers)
#   cut_open.vob        cut_open.m2v with AC-3, -f vob: starts at an open GOP
#   With mpeg2enc and mplex:
#   mplex_bff_pulldown.vob  mpeg2enc 720x480 interlaced bottom field first film (72 frames) with
#                       3:2 pulldown flags and a sequence header per GOP, AC-3, mplex -f 8 (DVD)
#   Sequence changes of one size (ffmpeg), each the joined parts named:
#   aspectchange.m2v    format_a.m2v (720x576 25 fps 4:3, 36 frames) then format_wide.m2v (16:9, 36)
#   ratechange.m2v      format_a.m2v then format_ntsc.m2v (4:3 at 30000/1001, 36)
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
if [ ! -s colour.m2v ]; then
  # Three different colour description codes (primaries 5, transfer 7, matrix 4), so that a reader
  # that mixes them up is caught.
  ff -f lavfi -i testsrc=size=720x576:rate=25 -frames:v 30 -vf setfield=tff \
    -color_primaries bt470bg -color_trc smpte240m -colorspace fcc \
    -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k \
    colour.tmp.m2v && mv colour.tmp.m2v colour.m2v
fi
if [ ! -s cut_open.m2v ]; then
  # Byte offset of the second sequence header (00 00 01 B3).
  second=$(LC_ALL=C grep -obUaP '\x00\x00\x01\xb3' es576i_open.m2v | sed -n 2p | cut -d: -f1)
  tail -c +"$((second + 1))" es576i_open.m2v >cut_open.tmp.m2v && mv cut_open.tmp.m2v cut_open.m2v
fi
[ -s audio.ac3 ] || { ff -i audio.wav -c:a ac3 -b:a 192k audio.tmp.ac3 && mv audio.tmp.ac3 audio.ac3; }
# ps SOURCE OUT FORMAT [audio options]: SOURCE with audio.wav in a program stream.
ps() {
  local source=$1 o=$2 format=$3
  shift 3
  [ -s "$o" ] && return
  ff -fflags +genpts -i "$source" -i audio.wav "$@" -c:v copy -shortest -f "$format" "$o.tmp" &&
    mv "$o.tmp" "$o"
}
ps es576i_open.m2v vob576i.vob vob -map 0:v -map 1:a -map 1:a -c:a:0 ac3 -c:a:1 pcm_dvd
ps es480i_bff.m2v dvd480i_bff.vob dvd -map 0:v -map 1:a -c:a ac3
ps es576i_open.m2v mpeg576i.mpg mpeg -map 0:v -map 1:a -c:a mp2
ps cut_open.m2v cut_open.vob vob -map 0:v -map 1:a -c:a ac3
if command -v mpeg2enc >/dev/null && command -v mplex >/dev/null && [ ! -s mplex_bff_pulldown.vob ]; then
  ff -f lavfi -i testsrc=size=720x480:rate=24000/1001 -frames:v 72 -pix_fmt yuv420p \
    -vf setfield=bff -f yuv4mpegpipe - |
    mpeg2enc -v 0 -f 3 -b 6000 -I 1 -p -z b -s -g 6 -G 12 -o bff_pulldown.m2v
  mplex -v 0 -f 8 -o mplex_bff_pulldown.tmp.vob bff_pulldown.m2v audio.ac3
  mv mplex_bff_pulldown.tmp.vob mplex_bff_pulldown.vob
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
if [ ! -s two_programs.ts ]; then
  ff -fflags +genpts -r 25 -i es576i_open.m2v -fflags +genpts -r 30000/1001 -i es480i_bff.m2v \
    -map 0:v -map 1:v -c copy -streamid 0:0x100 -streamid 1:0x200 \
    -program program_num=1:title=first:st=0 -program program_num=2:title=second:st=1 \
    -f mpegts two_programs.tmp.ts && mv two_programs.tmp.ts two_programs.ts
fi
if [ ! -s ratechange.m2v ]; then
  part() {
    ff -f lavfi -i "$1=size=720x576:rate=$2" -frames:v 36 -vf setfield=tff -aspect "$3" \
      -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k "$4"
  }
  part testsrc 25 4:3 format_a.m2v
  part testsrc2 25 16:9 format_wide.m2v
  part testsrc2 30000/1001 4:3 format_ntsc.m2v
  cat format_a.m2v format_wide.m2v >aspectchange.tmp.m2v && mv aspectchange.tmp.m2v aspectchange.m2v
  cat format_a.m2v format_ntsc.m2v >ratechange.tmp.m2v && mv ratechange.tmp.m2v ratechange.m2v
fi
# 4:2:2: fields made from consecutive 50 fps pictures whose hue turns, so each field has its own
# colour.
fields422="hue=H=2*PI*t*3,tinterlace=mode=interleave_top,setfield=tff"
enc422="-c:v mpeg2video -pix_fmt yuv422p -profile:v 0 -g 12 -bf 2"
if [ ! -s es422i.m2v ]; then
  ff -f lavfi -i "testsrc2=size=720x576:rate=50,$fields422" -frames:v 60 $enc422 \
    -flags +ilme+ildct -top 1 -b:v 15M es422i.tmp.m2v && mv es422i.tmp.m2v es422i.m2v
fi
if [ ! -s ts422i_1080.ts ]; then
  ff -f lavfi -i "testsrc2=size=1920x1080:rate=50,$fields422" -frames:v 30 $enc422 \
    -flags +ilme+ildct -top 1 -b:v 40M -streamid 0:0x100 -f mpegts ts422i_1080.tmp.ts
  mv ts422i_1080.tmp.ts ts422i_1080.ts
fi
if [ ! -s es422p.m2v ]; then
  ff -f lavfi -i "testsrc2=size=1280x720:rate=25,hue=H=2*PI*t" -frames:v 40 $enc422 \
    -flags +cgop -sc_threshold 1000000000 -b:v 20M es422p.tmp.m2v && mv es422p.tmp.m2v es422p.m2v
fi
if command -v mkvmerge >/dev/null && [ ! -s mkv422i.mkv ]; then
  mkvmerge -q -o mkv422i.tmp.mkv es422i.m2v >/dev/null || [ $? -eq 1 ]
  mv mkv422i.tmp.mkv mkv422i.mkv
fi
if command -v mpeg2enc >/dev/null; then
  # mpeg2enc W H RATE FRAMES OUT [mpeg2enc options]: a test pattern through mjpegtools' encoder.
  mpeg2() {
    local w=$1 h=$2 rate=$3 frames=$4 o=$5
    shift 5
    ff -f lavfi -i testsrc=size=${w}x${h}:rate=$rate -frames:v "$frames" -pix_fmt yuv420p \
      -f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 -b 6000 "$@" -o "$o.tmp.m2v"
    mv "$o.tmp.m2v" "$o"
  }
  if [ ! -s sizechange.m2v ]; then
    ff -f lavfi -i testsrc=size=720x576:rate=25 -frames:v 60 -vf setfield=tff -aspect 16:9 \
      -color_primaries bt709 -color_trc bt709 -colorspace bt709 \
      -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k \
      sizechange_a.m2v
    mpeg2 720 480 25 48 sizechange_b1.m2v -I 0 -s
    ff -f lavfi -i testsrc=size=720x480:rate=25 -frames:v 30 -vf setfield=tff \
      -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k \
      sizechange_b2.m2v
    cat sizechange_b1.m2v sizechange_b2.m2v >sizechange_b.m2v
    cat sizechange_a.m2v sizechange_b.m2v >sizechange.tmp.m2v && mv sizechange.tmp.m2v sizechange.m2v
  fi
  [ -s pulldown32.m2v ] || mpeg2 720 480 24000/1001 120 pulldown32.m2v -I 0 -p -s -n n
  if [ ! -s pulldown_mixed.m2v ]; then
    mpeg2 720 480 24000/1001 48 pulldown_film.m2v -I 0 -p -s -n n
    ff -f lavfi -i testsrc=size=720x480:rate=30000/1001 -frames:v 60 -vf setfield=tff \
      -c:v mpeg2video -g 15 -bf 2 -flags +ilme+ildct -top 1 -b:v 5M -maxrate 8M -bufsize 1835k \
      pulldown_video.m2v
    cat pulldown_film.m2v pulldown_video.m2v pulldown_film.m2v >pulldown_mixed.tmp.m2v
    mv pulldown_mixed.tmp.m2v pulldown_mixed.m2v
  fi
  [ -s oneseq.m2v ] || mpeg2 720 576 25 90 oneseq.m2v -I 0 -g 6 -G 12
  if [ ! -s matrixchange.m2v ]; then
    mpeg2 720 576 25 36 format_matrix.m2v -a 2 -K tmpgenc
    cat format_a.m2v format_matrix.m2v >matrixchange.tmp.m2v && mv matrixchange.tmp.m2v matrixchange.m2v
  fi
fi
