#!/usr/bin/python3
# Times Pillow's BICUBIC resampling on the same premultiplied pixels as the
# image-core benchmark: argv = raw RGBa file, width, height, small width,
# small height, large width, large height, repetitions. Prints the median
# CPU milliseconds (as the benchmark measures its own) as
# "shrink_ms=<ms> enlarge_ms=<ms>".
import sys
import time
from PIL import Image

path, w, h, sw, sh, lw, lh, reps = sys.argv[1], *map(int, sys.argv[2:8]), int(sys.argv[8])
with open(path, "rb") as f:
    big = Image.frombytes("RGBa", (w, h), f.read())
small = big.resize((sw, sh), Image.BICUBIC)


def median_ms(fn):
    times = []
    for _ in range(reps):
        t0 = time.thread_time()
        fn()
        times.append((time.thread_time() - t0) * 1000.0)
    times.sort()
    return times[len(times) // 2]


shrink = median_ms(lambda: big.resize((sw, sh), Image.BICUBIC))
enlarge = median_ms(lambda: small.resize((lw, lh), Image.BICUBIC))
print(f"shrink_ms={shrink:.3f} enlarge_ms={enlarge:.3f}")
