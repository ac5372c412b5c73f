#!/usr/bin/env bash
# Makes (once) the 10 s 1920x1080 60 fps H.264 + AAC benchmark clip and its
# sealed container. Usage: make_clip.sh VCZ DIR
set -euo pipefail
vcz="$1"
dir="$2"
if [[ -s "$dir/keys.jsonl" && -s "$dir/plain/clip1080p60.mp4" ]]; then
  exit 0
fi
mkdir -p "$dir/plain" "$dir/sealed"
ffmpeg -hide_banner -loglevel error -nostdin -y \
  -f lavfi -i "testsrc2=size=1920x1080:rate=60" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000,aformat=channel_layouts=stereo" \
  -t 10 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -shortest \
  "$dir/plain/clip1080p60.mp4"
"$vcz" seal "$dir/plain/clip1080p60.mp4" -o "$dir/sealed" > "$dir/keys.jsonl"
