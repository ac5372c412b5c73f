#!/usr/bin/env bash
# Generates the playback test clips with the ffmpeg CLI and seals them with
# our own container writer. Usage: make_media.sh VCZ OUTDIR [MAKE_BITMAPSUBS]
# (the bitmap-subtitle clips only with the last, which draws their bitmaps).
# OUTDIR/plain holds the sources, OUTDIR/sealed the containers and
# OUTDIR/keys.jsonl one line of key material per container.
set -euo pipefail
vcz="$1"
out="$2"
make_bitmapsubs="${3:-}"
plain="$out/plain"
sealed="$out/sealed"
rm -rf "$out"
mkdir -p "$plain" "$sealed"

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
video() { echo "testsrc2=size=$1:rate=$2"; }
tone() { echo "sine=frequency=440:sample_rate=$1,aformat=channel_layouts=$2"; }

# 2 s, 25 fps (frame times are whole multiples of 40 ms), a key frame every
# second, no B-frames; AAC stereo 48 kHz 440 Hz.
ff -f lavfi -i "$(video 320x240 25)" -f lavfi -i "$(tone 48000 stereo)" -t 2 \
   -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -shortest "$plain/av.mp4"
# The same picture as MPEG-TS: its demuxer keeps reporting a failed read.
ff -i "$plain/av.mp4" -c copy "$plain/av_ts.ts"
# B-frames: the decoder holds pictures back for reordering.
ff -f lavfi -i "$(video 320x240 25)" -t 2 -c:v libx264 -preset medium -bf 3 \
   -pix_fmt yuv420p "$plain/bframes.mp4"
ff -f lavfi -i "$(tone 22050 mono)" -t 1 -c:a aac "$plain/audio_mono.m4a"
ff -f lavfi -i "$(video 320x240 25)" -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
   "$plain/video_only.mp4"
ff -f lavfi -i "$(video 160x120 25)" -f lavfi -i "$(tone 48000 5.1)" -t 1 \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac "$plain/surround.mkv"
ff -f lavfi -i "$(video 320x240 25)" -f lavfi -i "$(video 160x120 25)" -t 1 \
   -map 0:v -map 1:v -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$plain/two_video.mkv"
# testsrc (unlike testsrc2) and 4:4:4 keep the odd width.
ff -f lavfi -i "testsrc=size=853x480:rate=25" -t 0.4 -c:v libx264 -preset ultrafast -pix_fmt yuv444p \
   "$plain/odd_size.mp4"
# Frame size changes mid-stream: 1280x720 then 640x360.
ff -f lavfi -i "$(video 1280x720 25)" -t 0.4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
   "$out/part1.ts"
ff -f lavfi -i "$(video 640x360 25)" -t 0.4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
   "$out/part2.ts"
ff -i "concat:$out/part1.ts|$out/part2.ts" -c copy "$plain/size_change.ts"
rm -f "$out/part1.ts" "$out/part2.ts"
# A video track whose codec nobody knows, next to audio that decodes.
ff -f lavfi -i "$(video 160x120 25)" -f lavfi -i "$(tone 48000 stereo)" -t 1 \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac "$out/unknown.mkv"
LC_ALL=C perl -0777 -pe 's{V_MPEG4/ISO/AVC}{V_XVEILCAST_ZZZ}g' "$out/unknown.mkv" \
    > "$plain/unknown_video.mkv"
rm -f "$out/unknown.mkv"
# A recorder's TS: its timestamps start a minute (and a muxing delay) in.
ff -f lavfi -i "$(video 320x240 25)" -f lavfi -i "$(tone 48000 stereo)" -t 2 \
   -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -output_ts_offset 60 \
   "$plain/ts_offset.ts"
# Music with its cover: an MJPEG still marked as attached picture.
ff -f lavfi -i "$(tone 44100 stereo)" -f lavfi -i "testsrc=size=64x64:rate=1" -t 2 \
   -map 0:a -map 1:v -frames:v 1 -c:a libmp3lame -c:v mjpeg -disposition:v attached_pic \
   -id3v2_version 3 "$plain/cover_art.mp3"
# A 16:9 PAL DVD picture: 720x576 stored, samples 64:45 wide.
ff -f lavfi -i "$(video 720x576 25)" -t 0.4 -vf setsar=64/45 -c:v libx264 -preset ultrafast \
   -pix_fmt yuv420p "$plain/anamorphic.mp4"
# A phone video: stored 320x240, left half white, a rotation in the track
# header (the CLI writes it only when copying).
ff -f lavfi -i "color=c=black:size=320x240:rate=25" -t 0.4 \
   -vf "drawbox=x=0:y=0:w=160:h=240:color=white:t=fill" -c:v libx264 -preset ultrafast \
   -pix_fmt yuv420p "$out/upright.mp4"
ff -i "$out/upright.mp4" -c copy -metadata:s:v:0 rotate=90 "$plain/rotated.mp4"
rm -f "$out/upright.mp4"
# A TV recording: two fields of different instants woven into each picture.
ff -f lavfi -i "$(video 320x240 50)" -t 1 -vf "tinterlace=mode=merge,setfield=tff" \
   -c:v libx264 -preset ultrafast -flags +ildct+ilme -pix_fmt yuv420p "$plain/interlaced.mp4"
# B-frames, large enough that a read can fail half-way through.
ff -f lavfi -i "$(video 640x360 25)" -t 3 -c:v libx264 -preset medium -bf 3 -pix_fmt yuv420p \
   "$out/bframes_big.mp4"
ff -i "$out/bframes_big.mp4" -c copy "$plain/bframes_big.mkv"
rm -f "$out/bframes_big.mp4"
# Neither picture nor sound: only subtitles.
printf '1\n00:00:00,000 --> 00:00:01,000\nhello\n' > "$out/subs.srt"
ff -i "$out/subs.srt" "$plain/subtitles_only.mkv"
rm -f "$out/subs.srt"
# A lecture as merchants sell them: two sound tracks (440 Hz English, 880 Hz
# Chinese marked default), Chinese subtitles, three named chapters.
printf '1\n00:00:00,200 --> 00:00:01,000\n你好\n' > "$out/course.srt"
printf ';FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=800\ntitle=开场\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=800\nEND=1500\ntitle=第一节\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=2000\ntitle=Summary\n' > "$out/course.meta"
ff -f lavfi -i "$(video 320x240 25)" -f lavfi -i "$(tone 48000 stereo)" \
   -f lavfi -i "sine=frequency=880:sample_rate=48000" -i "$out/course.srt" -i "$out/course.meta" \
   -t 2 -map 0:v -map 1:a -map 2:a -map 3:s -map_chapters 4 \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -c:s srt \
   -metadata:s:a:0 language=eng -metadata:s:a:1 language=chi -metadata:s:a:1 title=普通话 \
   -metadata:s:s:0 language=chi -metadata:s:s:0 title=中文 \
   -disposition:a:0 0 -disposition:a:1 default -disposition:s:0 0 "$plain/course.mkv"
rm -f "$out/course.srt" "$out/course.meta"
# Text subtitles as MP4 and WebM carry them: mov_text and WebVTT, each one
# line from 0.5 to 1.5 s. MP4 enables its only subtitle track: a default.
printf '1\n00:00:00,500 --> 00:00:01,500\nmov_text line\n' > "$out/line.srt"
ff -f lavfi -i "$(video 320x240 25)" -i "$out/line.srt" -t 2 -map 0:v -map 1:s \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s mov_text "$plain/subs_mov_text.mp4"
printf 'WEBVTT\n\n00:00:00.500 --> 00:00:01.500\nwebvtt line\n' > "$out/line.vtt"
ff -f lavfi -i "$(video 320x240 25)" -i "$out/line.vtt" -t 2 -map 0:v -map 1:s \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s webvtt "$plain/subs_webvtt.mkv"
rm -f "$out/line.srt" "$out/line.vtt"
# Bitmap subtitles, a red box from 0.6 to 2 s and a green one from 3 to 4 s
# on a 720x576 canvas over a smaller picture, a key frame every second: DVD
# in Matroska with clusters as short as a film's (so a seek lands after a
# box's packet), DVB in MPEG-TS with its pages ended by empty ones.
if [[ -n "$make_bitmapsubs" ]]; then
  "$make_bitmapsubs" "$out/dvd.mkv" dvd
  ff -f lavfi -i "color=c=black:size=320x240:rate=25" -i "$out/dvd.mkv" -t 5 -map 0:v -map 1:s \
     -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:s copy -cluster_time_limit 300 \
     "$plain/subs_dvd.mkv"
  "$make_bitmapsubs" "$out/dvb.ts" dvb
  ff -f lavfi -i "color=c=black:size=320x240:rate=25" -i "$out/dvb.ts" -t 5 -map 0:v -map 1:s \
     -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:s copy "$plain/subs_dvb.ts"
  rm -f "$out/dvd.mkv" "$out/dvb.ts"
fi
# Not a media file at all, and an empty payload.
head -c 4096 /dev/urandom > "$plain/noise.bin"
: > "$plain/empty.bin"

# Lip sync: 12 s whose every whole second k flashes one picture white over
# the left (k + 1) / 26 of its width and beeps at 1000 + 200 k Hz for 40 ms,
# so each flash and beep tells its second (tests/support/SoundProbe.h); a
# key frame every 2 s, as in files a viewer drags through.
ff -f lavfi -i "color=c=black:size=320x180:rate=25,format=yuv420p,geq=lum='if(lt(mod(T\,1)\,0.04)\,if(lt(X\,W*(floor(T)+1)/26)\,255\,128)\,16)':cb=128:cr=128" \
   -f lavfi -i "aevalsrc='if(lt(mod(t\,1)\,0.04)\,0.5*sin(2*PI*(1000+200*floor(t))*t)\,0)':s=48000:c=stereo" \
   -t 12 -c:v libx264 -preset veryfast -g 50 -keyint_min 50 -sc_threshold 0 -pix_fmt yuv420p \
   -c:a aac -b:a 128k "$plain/flash_beep.mp4"
# The same with a dubbed second sound track whose beeps tell second k + 12,
# so a test hears which track plays and where.
ff -i "$plain/flash_beep.mp4" \
   -f lavfi -i "aevalsrc='if(lt(mod(t\,1)\,0.04)\,0.5*sin(2*PI*(1000+200*(floor(t)+12))*t)\,0)':s=48000:c=stereo" \
   -t 12 -map 0:v -map 0:a -map 1:a -c:v copy -c:a:0 copy -c:a:1 aac -b:a:1 128k \
   -disposition:a:0 default -disposition:a:1 0 "$plain/flash_beep_dub.mkv"
"$vcz" seal "$plain"/* -o "$sealed" > "$out/keys.jsonl"
