#!/usr/bin/env python3
"""Reads a screenshot the way a person would look at it.

  screen.py stripes FILE
      exit 0 when the sample clip's picture is on the screen: its red, green
      and blue stripes each cover a good part of it, red above green above
      blue. A watermark over the picture covers too little to matter.
  screen.py find FILE RRGGBB X0 Y0 X1 Y1
      prints "X Y", the centre of the pixels of that colour inside the box,
      or exits 1 when there are none.
  screen.py differ FILE1 FILE2 X0 Y0 X1 Y1
      exit 0 when the two screenshots differ inside the box (a text that
      changed, a picture that moved), 1 when they are the same there.
"""
import subprocess
import sys

# Colours after the clip's trip through 4:2:0 video and back stay this close.
TOLERANCE = 60
# Every fourth pixel each way: plenty for areas, fast enough to poll.
STEP = 4
# Share of the screen each stripe must cover. The stripes run from dark to
# full colour, so only their brighter half matches; in the player page that
# is about 3.5 % of the screen each. 2 % leaves room for the watermark and
# the control bar over the picture, and no other screen comes near it.
MIN_STRIPE_SHARE = 0.02


def load(path):
    ppm = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-f", "image2pipe", "-c:v", "ppm", "-"],
        check=True, capture_output=True).stdout
    magic, dims, _maxval, data = ppm.split(b"\n", 3)
    if magic != b"P6":
        raise SystemExit("screen.py: not a picture: " + path)
    width, height = (int(v) for v in dims.split())
    return width, height, data


def near(data, offset, rgb):
    return all(abs(data[offset + i] - rgb[i]) <= TOLERANCE for i in range(3))


def stripes(path):
    width, height, data = load(path)
    colours = {"red": (255, 0, 0), "green": (0, 255, 0), "blue": (0, 0, 255)}
    counts = {name: 0 for name in colours}
    rows = {name: 0 for name in colours}
    samples = 0
    for y in range(0, height, STEP):
        for x in range(0, width, STEP):
            samples += 1
            offset = (y * width + x) * 3
            for name, rgb in colours.items():
                if near(data, offset, rgb):
                    counts[name] += 1
                    rows[name] += y
                    break
    shares = {name: counts[name] / samples for name in colours}
    print(" ".join("%s %.3f" % (name, shares[name]) for name in colours))
    if any(share < MIN_STRIPE_SHARE for share in shares.values()):
        return 1
    mean = {name: rows[name] / counts[name] for name in colours}
    return 0 if mean["red"] < mean["green"] < mean["blue"] else 1


def find(path, colour, x0, y0, x1, y1):
    width, height, data = load(path)
    rgb = tuple(int(colour[i:i + 2], 16) for i in (0, 2, 4))
    xs = ys = n = 0
    for y in range(max(0, y0), min(height, y1)):
        for x in range(max(0, x0), min(width, x1)):
            if near(data, (y * width + x) * 3, rgb):
                xs += x
                ys += y
                n += 1
    if n == 0:
        return 1
    print("%d %d" % (xs // n, ys // n))
    return 0


def differ(path1, path2, x0, y0, x1, y1):
    width, height, a = load(path1)
    width2, height2, b = load(path2)
    if (width, height) != (width2, height2):
        return 0
    changed = 0
    for y in range(max(0, y0), min(height, y1)):
        row = y * width * 3
        for x in range(max(0, x0), min(width, x1)):
            o = row + x * 3
            if any(abs(a[o + i] - b[o + i]) > TOLERANCE for i in range(3)):
                changed += 1
    print("%d pixels differ" % changed)
    return 0 if changed > 0 else 1


def main(argv):
    if len(argv) == 3 and argv[1] == "stripes":
        return stripes(argv[2])
    if len(argv) == 8 and argv[1] == "find":
        return find(argv[2], argv[3], *(int(v) for v in argv[4:8]))
    if len(argv) == 8 and argv[1] == "differ":
        return differ(argv[2], argv[3], *(int(v) for v in argv[4:8]))
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
