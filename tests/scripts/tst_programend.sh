#!/usr/bin/env bash
# Which endings of the program the end-to-end runs take as sound: the one
# known abort of the distribution's audio engine after main() returned, and
# nothing that merely looks like it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
source "$root/scripts/lib/session.sh"

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
pulse="Assertion 'm->io_events_please_scan == 0' failed at ../src/pulse/mainloop.c:518, function cleanup_io_events(). Aborting."
failures=0

# expect WANT STATUS LOG-TEXT NAME
expect() {
  printf '%s' "$3" >"$log"
  local got=refused
  if program_ended_well "$2" "$log" 2>/dev/null; then got=taken; fi
  if [[ "$got" != "$1" ]]; then
    echo "FAIL: $4: $got, expected $1" >&2
    failures=$((failures + 1))
  fi
}

expect taken 0 "" "a clean exit"
expect taken 0 "[ass] Using font provider fontconfig"$'\n' "a clean exit with output"
expect taken 134 "[ass] Using font provider fontconfig"$'\n'"$pulse"$'\n' "the audio engine's abort, last"
expect refused 134 "$pulse"$'\n'"something after it"$'\n' "the abort followed by more output"
expect refused 134 "Assertion 'q->length == 0' failed at pulsecore/queue.c:63, function pa_queue_free(). Aborting."$'\n' "another libpulse assertion"
expect refused 134 "ASSERT: \"m_sink\" in file player/AudioRenderer.cpp, line 80"$'\n' "an assertion of the program's own"
expect refused 139 "$pulse"$'\n' "a segmentation fault after the same line"
expect refused 1 "$pulse"$'\n' "an error status after the same line"
expect refused 124 "" "the run's time limit"

if ((failures > 0)); then
  exit 1
fi
echo "program endings: all cases as expected"
