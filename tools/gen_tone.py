#!/usr/bin/python3
"""Writes resource/sin_1KHz_441 (.S embedding a .bin): data0, the 1 kHz test
tone of the status screen, 5 s of mono 16-bit samples at 44100 Hz.

Sample n is round(65534 * sin(2 pi * 1000 n / 44100)) wrapped to 16 bits by
two's complement. The amplitude is twice the 16-bit range on purpose: the
wrap-around turns the sine into a loud buzz rich in harmonics that is easy
to hear through the small speaker and on headphones.

1000 / 44100 = 10 / 441, so the tone repeats every 441 samples and only 441
sine values are needed. Each is checked to lie well away from a rounding
boundary, so a last-bit difference between maths libraries cannot change a
sample.

Usage (from the repository root): /usr/bin/python3 tools/gen_tone.py [--out DIR]
"""

import math

import numpy as np

import assetgen

RATE = 44100
SAMPLES = 220500  # 5.000 s, 5000 whole cycles
AMPLITUDE = 65534
PERIOD = 441  # samples per 10 cycles


def one_period():
    values = []
    for k in range(PERIOD):
        x = AMPLITUDE * math.sin(2.0 * math.pi * k / PERIOD)
        if abs(abs(x - math.floor(x)) - 0.5) < 1e-6:
            assetgen.fail("sample phase %d/%d is too close to a rounding boundary" % (k, PERIOD))
        # Python's round() breaks ties to even, but there are no ties (above).
        v = int(round(x))
        values.append((v + 32768) % 65536 - 32768)
    return values


def main():
    args = assetgen.parse_args(__doc__.splitlines()[0])
    period = one_period()
    # 1000 n / 44100 cycles = (10 n mod 441) / 441 of a cycle.
    n = np.arange(SAMPLES, dtype=np.int64)
    samples = np.array(period, dtype=np.int64)[(10 * n) % PERIOD].astype("<i2")
    about = [
        "1 kHz tone, 5 s: %d mono signed 16-bit little-endian samples at %d Hz." % (SAMPLES, RATE),
        "Sample n = round(65534 sin(2 pi 1000 n / 44100)) wrapped to 16 bits.",
    ]
    assetgen.write_blob(
        args.out, "sin_1KHz_441", "data0", samples.tobytes(), __file__, about, little_endian=True
    )


if __name__ == "__main__":
    main()
