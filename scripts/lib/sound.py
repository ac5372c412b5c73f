#!/usr/bin/env python3
"""Listens to a recording the way a person would.

  sound.py loud FILE
      exit 0 when the recording holds the tone: its loudest 100 ms are above
      -40 dBFS.
  sound.py silent FILE
      exit 0 when no 100 ms of it rise above -60 dBFS.

FILE is raw signed 16-bit little-endian mono at 8 kHz, as record_sound in
session.sh makes it. Prints the level of the loudest 100 ms in dBFS.
"""
import math
import struct
import sys

RATE = 8000
WINDOW = RATE // 10
# The demo clip's tone is a sine at -18 dBFS, played at 80 % volume: far
# above the first line. A muted or paused sink writes exact zeros, far below
# the second.
LOUD_DBFS = -40.0
SILENT_DBFS = -60.0


def loudest(path):
    with open(path, "rb") as f:
        raw = f.read()
    samples = struct.unpack("<%dh" % (len(raw) // 2), raw[: len(raw) // 2 * 2])
    if len(samples) < WINDOW:
        raise SystemExit("sound.py: %s holds less than 100 ms" % path)
    best = 0.0
    for start in range(0, len(samples) - WINDOW + 1, WINDOW):
        window = samples[start : start + WINDOW]
        best = max(best, math.sqrt(sum(s * s for s in window) / WINDOW))
    return 20 * math.log10(best / 32768) if best > 0 else -120.0


def main(argv):
    if len(argv) == 3 and argv[1] in ("loud", "silent"):
        level = loudest(argv[2])
        print("%.1f dBFS" % level)
        if argv[1] == "loud":
            return 0 if level > LOUD_DBFS else 1
        return 0 if level < SILENT_DBFS else 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
