#!/usr/bin/env bash
# Writes the fuzz targets' starting corpora into OUT/<target>/: valid inputs
# of each kind, made fresh by every build so no corpus is kept in the tree.
#   make_seeds.sh OUT
set -euo pipefail
out="$1"
rm -rf "$out"
mkdir -p "$out"
cd "$out"

# --- container headers: one valid, one with a size, near misses
mkdir container_header
hdr() { printf 'VCZ1'; printf '%b' "$1"; }
iv='\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f'
id='\xf0\xe1\xd2\xc3\xb4\xa5\x96\x87\x78\x69\x5a\x4b\x3c\x2d\x1e\x0f'
zero12='\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
hdr "$iv$id\x00\x00\x00\x00$zero12" >container_header/empty
hdr "$iv$id\x10\x27\x00\x00${zero12}payload" >container_header/with_payload
hdr "$iv$id\xff\xff\xff\xff$zero12" >container_header/large
hdr "$iv$id\x00\x00" >container_header/short
{ printf 'vcz1'; printf '%b' "$iv$id\x00\x00\x00\x00$zero12"; } >container_header/lower_magic

# --- plain media for the decrypting playback: tiny clips of several kinds
mkdir decrypting_playback
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
video=(-f lavfi -i "testsrc=size=32x24:rate=10:duration=0.4")
sound=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.4")
ff "${video[@]}" "${sound[@]}" -c:v mpeg2video -c:a mp2 -b:a 32k -f mpegts decrypting_playback/clip.ts
ff "${video[@]}" "${sound[@]}" -c:v libx264 -preset ultrafast -bf 2 -c:a aac -b:a 16k \
  -movflags +faststart decrypting_playback/clip.mp4
ff "${video[@]}" "${sound[@]}" -c:v mjpeg -q:v 20 -c:a pcm_s16le decrypting_playback/clip.mkv
ff "${video[@]}" -c:v flv decrypting_playback/clip.flv
ff "${sound[@]}" -c:a pcm_s16le decrypting_playback/sound.wav
ff -f lavfi -i "testsrc=size=32x24:rate=10:duration=0.4" -vf "setfield=tff" \
  -c:v mpeg2video -flags +ilme+ildct decrypting_playback/interlaced.m2v

# --- server answers: envelopes as the server writes them
mkdir server_answer
printf '%s' '{"success":true,"data":{"key":"ERERERERERERERERERERERERERERERERERERERERERE=","iv":"IiIiIiIiIiIiIiIiIiIiIg=="}}' >server_answer/key
printf '%s' '{"success":true,"data":{"key":"c2hvcnQ=","iv":""}}' >server_answer/short_key
printf '%s' '{"success":false,"code":"TOKEN_EXPIRED","message":"登录已过期"}' >server_answer/expired
printf '%s' '{"success":false,"code":"DEVICE_LIMIT","message":""}' >server_answer/device_limit
printf '%s' '{"success":false,"code":"NO_PERMISSION","message":"无权观看"}' >server_answer/refused
printf '%s' '{"success":true,"data":{"userId":"u-1","username":"viewer","displayName":"V","role":"viewer","token":"abc","tokenExpiry":"2027-01-01T00:00:00.123456Z","accountExpiry":"2027-06-01T00:00:00Z","merchantId":null}}' >server_answer/login
printf '%s' '{"success":"true","data":{}}' >server_answer/text_true

# --- settings files with playlists (every path must exist on any machine)
mkdir settings_playlist
cat >settings_playlist/two_entries <<'INI'
[auth]
token=abc
rememberPassword=true

[playlist]
default\items\1\fileId=11111111-2222-3333-4444-555555555555
default\items\1\filePath=/etc/passwd
default\items\1\title=First
default\items\1\durationMs=60000
default\items\1\lastPositionMs=1500
default\items\1\lastPlayedAt=2026-03-04T05:06:07.890Z
default\items\1\hasPermission=true
default\items\2\fileId=
default\items\2\filePath=/bin/sh
default\items\2\title=\x4e2d\x6587
default\items\2\hasPermission=false
default\items\size=2
fuzz\items\1\filePath=/etc/hostname
fuzz\items\size=1
INI
cat >settings_playlist/missing_file <<'INI'
[playlist]
default\items\1\filePath=/nonexistent/clip.vcz
default\items\size=1
INI
cat >settings_playlist/general <<'INI'
[General]
playlist\fuzz\items\1\filePath=/etc/passwd
playlist\fuzz\items\1\durationMs=@ByteArray(12)
playlist\fuzz\items\size=1
INI

# --- encoder logs: a real one, and progress lines cut short
mkdir transcode_log
{
  printf '\x07'
  ffmpeg -nostdin -hide_banner -i decrypting_playback/clip.ts -c:v mpeg2video -stats \
    -f null - 2>&1 || true
} >transcode_log/real_run
printf '\x01  Duration: 00:01:30.50, start: 0.000000, bitrate: 1000 kb/s\nframe=  10 fps=0.0 q=2.0 size=N/A time=00:00:45.25 bitrate=N/A speed=90x\r' >transcode_log/half
printf '\x20Duration: 01:00:00.00\r\ntime=00:30:00.000000\rtime=00:59:59.99\n' >transcode_log/fractions

# --- server requests: route byte, Authorization line, body
mkdir server_request
req() { printf '%b' "$1"; printf '%s\n' "$2"; printf '%s' "$3"; }
req '\x00' '' '{"username":"viewer","password":"secret-1","deviceId":"00112233445566778899AABBCCDDEEFF","deviceName":"PC"}' >server_request/login
req '\x00' '' '{"username":"viewer","password":"wrong","deviceId":"ffeeddccbbaa99887766554433221100","deviceName":"Other"}' >server_request/login_wrong
req '\x01' 'Bearer viewer-token-0123456789' '' >server_request/me
req '\x02' 'Bearer viewer-token-0123456789' '' >server_request/logout
req '\x03' 'Bearer viewer-token-0123456789' '{"keyId":"11111111-2222-3333-4444-555555555555","fileId":"f-1","deviceId":"00112233445566778899aabbccddeeff","deviceName":"PC"}' >server_request/video_key
req '\x03' 'bearer viewer-token-0123456789' '{"keyId":"11111111222233334444555555555555","deviceId":"00112233445566778899aabbccddeeff"}' >server_request/video_key_undashed
req '\x04' 'Bearer merchant-token-0123456789' '{"keyId":"66666666-7777-8888-9999-000000000000","key":"ERERERERERERERERERERERERERERERERERERERERERE=","iv":"IiIiIiIiIiIiIiIiIiIiIg==","title":"新片","sourceFileName":"clip.mp4","fileSize":1234}' >server_request/register_key
req '\x04' 'Bearer viewer-token-0123456789' '{"keyId":"66666666-7777-8888-9999-000000000000"}' >server_request/register_as_viewer
