# Helpers shared by scripts/run and the end-to-end test: the sample clip,
# the reference server with the demo accounts, a private X display and the
# ways of driving the program on it as a user would. Sourced; the caller has
# set -euo pipefail, root and build.
#
# Every wait is bounded and waits for something observable (a window, a
# picture on the screen, a line in a log, a process ending), never for a
# fixed time.

lib="$root/scripts/lib"
current_step="starting"
step() {
  current_step="$1"
  echo "-- $1"
}
# Names the step that failed, once; the caller's exit status stays
# non-zero. Callers set -E, so a failure inside a helper reaches it too.
step_failed() {
  # A helper failing inside $(...) is reported by the caller's own failure.
  if ((BASH_SUBSHELL == 0)) && [[ -z "${step_reported:-}" ]]; then
    step_reported=1
    echo "FAILED at step: $current_step" >&2
  fi
}

# Seconds any single wait may take on a busy machine.
wait_limit="${VEILCAST_WAIT_LIMIT:-60}"

# make_sample DIR: a clip whose picture is known (red, green and blue
# stripes, top to bottom), with sound, sealed with vcz. Leaves DIR/sample.vcz
# and the seal line in DIR/sample.seal.json.
make_sample() {
  local dir="$1"
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i rgbtestsrc=size=640x360:rate=30 \
    -f lavfi -i "sine=frequency=440:sample_rate=48000,aformat=channel_layouts=stereo" \
    -t 30 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest "$dir/sample.mp4"
  "$build/tools/vcz/vcz" seal --force "$dir/sample.mp4" -o "$dir" >"$dir/sample.seal.json"
}

# make_second DIR: another clip, told apart from the sample at a glance:
# yellow for its first half, magenta for its second, with a higher tone.
# Leaves DIR/second.vcz and DIR/second.seal.json.
make_second() {
  local dir="$1"
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i color=c=yellow:size=640x360:rate=30:duration=10 \
    -f lavfi -i color=c=magenta:size=640x360:rate=30:duration=10 \
    -f lavfi -i "sine=frequency=880:sample_rate=48000:duration=20,aformat=channel_layouts=stereo" \
    -filter_complex "[0:v][1:v]concat=n=2:v=1:a=0[v]" -map "[v]" -map 2:a \
    -c:v libx264 -preset ultrafast -g 30 -pix_fmt yuv420p -c:a aac "$dir/second.mp4"
  "$build/tools/vcz/vcz" seal --force "$dir/second.mp4" -o "$dir" >"$dir/second.seal.json"
}

# start_server DATA_DIR LOG [SEAL_FILE...]: the reference server on a free
# loopback port with the demo merchant, merchant account and viewer, the keys
# of the seal files (the sample's when none is named) registered and granted
# to the viewer. Sets server_pid, server_url and viewer_id.
start_server() {
  local data="$1" log="$2" port seals=() file
  shift 2
  for file in "${@:-$(dirname "$log")/sample.seal.json}"; do
    seals+=("$(head -n 1 "$file")")
  done
  # A log left by an earlier run would be read before the new server writes.
  rm -f "$log"
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$root/server/demo.sh" --build-dir "$build" --data-dir "$data" --port "$port" --hold \
    "${seals[@]}" >"$log" 2>&1 &
  server_pid=$!
  local deadline=$((SECONDS + wait_limit))
  until grep -q "server keeps running" "$log" 2>/dev/null; do
    if ! kill -0 "$server_pid" 2>/dev/null || ((SECONDS > deadline)); then
      cat "$log" >&2
      server_pid=""
      return 1
    fi
    sleep 0.1
  done
  server_url="http://127.0.0.1:$port"
  viewer_id="$(sed -n 's/.*"userId"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' "$log" | head -n 1)"
  [[ -n "$viewer_id" ]]
}

# stop_process NAME: ends the process whose pid the variable NAME holds, if
# any, waits for it and clears NAME.
stop_process() {
  local pid="${!1:-}"
  if [[ -n "$pid" ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    printf -v "$1" '%s' ""
  fi
}

stop_server() { stop_process server_pid; }

# start_xvfb DIR: a private X display of its own number. Sets DISPLAY and
# xvfb_pid.
start_xvfb() {
  local file="$1/display"
  rm -f "$file"
  Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp >"$file" 2>"$1/xvfb.log" &
  xvfb_pid=$!
  local deadline=$((SECONDS + wait_limit))
  until [[ -s "$file" ]]; do
    if ! kill -0 "$xvfb_pid" 2>/dev/null || ((SECONDS > deadline)); then
      xvfb_pid=""
      return 1
    fi
    sleep 0.05
  done
  export DISPLAY=":$(head -n 1 "$file")"
}

stop_xvfb() { stop_process xvfb_pid; }

# start_pulse DIR: a private sound server whose only sink is a null sink
# ("nullsink"), so what the program plays can be recorded from its monitor.
# Sets pulse_pid and exports PULSE_SERVER.
start_pulse() {
  local dir="$1/pulse"
  mkdir -p "$dir/run"
  # The daemon refuses a runtime folder others can read.
  chmod 700 "$dir/run"
  HOME="$dir" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/config" PULSE_SERVER= \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit \
    --log-level=error "--load=module-native-protocol-unix auth-anonymous=1 socket=$dir/socket" \
    "--load=module-null-sink sink_name=nullsink rate=48000" 2>"$1/pulse.log" &
  pulse_pid=$!
  export PULSE_SERVER="unix:$dir/socket"
  local deadline=$((SECONDS + wait_limit))
  until pactl info >/dev/null 2>&1; do
    if ! kill -0 "$pulse_pid" 2>/dev/null || ((SECONDS > deadline)); then
      cat "$1/pulse.log" >&2
      pulse_pid=""
      return 1
    fi
    sleep 0.1
  done
}

stop_pulse() { stop_process pulse_pid; }

# record_sound FILE SECONDS: what the sink plays for that long, as sound.py
# reads it.
record_sound() {
  timeout "$2" parec -d nullsink.monitor --raw --format=s16le --rate=8000 --channels=1 \
    --latency-msec=20 >"$1" || true
}

# hear loud|silent NAME: records a second at a time until the sink's sound is
# as told (sound.py), for up to five seconds; the last second is kept as
# NAME.raw.
hear() {
  local tries
  for tries in 1 2 3 4 5; do
    record_sound "$2.raw" 1
    if "$lib/sound.py" "$1" "$2.raw"; then
      return 0
    fi
  done
  echo "the sound was not $1" >&2
  return 1
}

# window NAME_REGEX: the id of the first visible window so named, waiting
# for it to appear.
window() {
  timeout "$wait_limit" xdotool search --sync --onlyvisible --name "$1" | head -n 1
}

# geometry WID: sets WX, WY, WW, WH.
geometry() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  WX=$X WY=$Y WW=$WIDTH WH=$HEIGHT
}

# key_until NAME_REGEX KEY: presses KEY until a window so named shows. A key
# that reaches a card before it takes keyboard input is lost; pressing again
# is harmless where it matters here (a login card ignores a second Return
# while its request runs).
key_until() {
  local tries
  for tries in 1 2 3 4 5; do
    xdotool key "$2"
    if timeout 10 xdotool search --sync --onlyvisible --name "$1" >/dev/null; then
      return 0
    fi
  done
  return 1
}

# focus WID: keyboard focus to the window (there is no window manager here
# to give it on showing).
focus() {
  timeout "$wait_limit" xdotool windowfocus --sync "$1"
}

shot() {
  ffmpeg -hide_banner -loglevel error -y -f x11grab -video_size 1280x800 -i "$DISPLAY" \
    -frames:v 1 "$1"
}

# wait_playing FILE: screenshots until the sample's stripes show, the last
# one kept as FILE.
wait_playing() {
  local deadline=$((SECONDS + wait_limit))
  while true; do
    shot "$1"
    if "$lib/screen.py" stripes "$1" >/dev/null; then
      return 0
    fi
    ((SECONDS <= deadline)) || return 1
  done
}

# find_colour FILE RRGGBB X0 Y0 X1 Y1: sets FX, FY to the centre of that
# colour inside the box.
find_colour() {
  local where
  where="$("$lib/screen.py" find "$@")" || return 1
  read -r FX FY <<<"$where"
}

double_click() {
  xdotool mousemove "$1" "$2" click --repeat 2 --delay 80 1
}

click() {
  xdotool mousemove "$1" "$2" click 1
}

# program_ended_well STATUS LOG: whether the program ended soundly. Status 0
# does; so does one abort whose log ends in libpulse's own assertion at
# cleanup_io_events(). That one comes after main() has returned, from the
# distribution's Qt 6.4 audio engine: its teardown disconnects from the
# sound server without the lock of PulseAudio's main loop, whose thread may
# be counting the same events. No call of ours reaches that lock. Everything
# of the program's own is done by then, its settings written at each change.
# It is reported, not hidden; any other ending fails.
program_ended_well() {
  local status=$1 log=$2
  ((status == 0)) && return 0
  if ((status == 134)) && tail -n 1 "$log" |
    grep -q "^Assertion 'm->io_events_please_scan == 0' failed at .*/pulse/mainloop\.c:[0-9]*, function cleanup_io_events()\. Aborting\.$"; then
    echo "note: after the program ended, Qt 6.4's audio engine tore down PulseAudio unlocked and libpulse aborted; the program's own work was done" >&2
    return 0
  fi
  return 1
}

# start_program LOG: the program on the current display against the
# server, in the profile XDG_CONFIG_HOME names. Sets program_pid. The whole
# run is bounded, so a program that never ends cannot hold the caller.
start_program() {
  VEILCAST_SERVER_URL="$server_url" QT_QPA_PLATFORM=xcb \
    timeout "${VEILCAST_RUN_LIMIT:-900}" "$build/app/veilcast" >"$1" 2>&1 &
  program_pid=$!
}
