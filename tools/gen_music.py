#!/usr/bin/python3
"""Writes resource/game_audio (.S embedding a .bin): g_data0, the music clip
of the image screen, 7.1 s of mono 16-bit samples at 44100 Hz.

A short piece in D minor of the kind a game plays in its menus: loud phrases
of short, strong bass notes 0.3 s apart (a plucked bass over a kick-like
thump, almost all of its energy below 200 Hz) alternate with quiet passages
at about a sixth of the level held on a D (D4 and D5, 293.66 Hz and
587.33 Hz). The phrase pattern repeats every 1.2 s, with a longer loud
stretch from 3.8 s to 5.4 s. The clip starts with 148 samples of silence and
stops in the last quiet passage without a fade, so that it loops with a
click-free start. Negative and positive peaks are scaled separately to
exactly -30737 and +29070.

Everything is computed from fixed tables in float64 with element-wise numpy
operations in a fixed order, no random numbers. Before rounding to 16 bits
the generator checks that no sample lies within 1e-8 of a rounding boundary,
so the last-bit differences that maths libraries may show between machines
cannot change the output.

Usage (from the repository root): /usr/bin/python3 tools/gen_music.py [--out DIR]
"""

import numpy as np

import assetgen

RATE = 44100
SAMPLES = 313110  # 7.100 s
LEAD_SILENCE = 148
PEAK_NEG, PEAK_POS = -30737, 29070

D4, D5 = 293.66, 587.33

# Loud phrases: (start s, bass notes in Hz, one every NOTE_STEP). Times are
# counted from the end of the lead silence.
NOTE_STEP = 0.3
A1, C2, D2, E2, F2, G2 = 55.0, 65.41, 73.42, 82.41, 87.31, 98.0
PHRASES = [
    (0.0, [D2, D2, F2]),
    (1.2, [D2, D2, C2]),
    (2.4, [D2, F2, G2]),
    (3.8, [A1, C2, D2, D2, F2, E2]),  # the long stretch, to 5.4 s
    (5.9, [D2, D2, A1]),
]
PHRASE_TAIL = 0.15  # the held D returns this long after the last note
QUIET_LEVEL = 1.0 / 6.0  # of the loud phrases' peak


def ramp(t, start, length):
    """0 before start, rising linearly to 1 over length seconds."""
    return np.clip((t - start) / length, 0.0, 1.0)


def bass_note(t, onset, freq):
    """One strong bass note: a plucked tone (fundamental, 2nd and 3rd
    harmonic) over a short thump whose pitch falls from 150 Hz to 45 Hz."""
    u = t - onset
    on = u >= 0.0
    u = np.where(on, u, 0.0)
    attack = 1.0 - np.exp(-(u + 1.0 / RATE) / 0.002)
    pluck = attack * np.exp(-u / 0.11) * (
        np.sin(2.0 * np.pi * freq * u + 0.6)
        + 0.45 * np.sin(4.0 * np.pi * freq * u + 0.3)
        + 0.12 * np.sin(6.0 * np.pi * freq * u)
    )
    # Phase of a sweep whose frequency falls exponentially from 150 to 45 Hz.
    tau = 0.03
    phase = 2.0 * np.pi * (45.0 * u + (150.0 - 45.0) * tau * (1.0 - np.exp(-u / tau)))
    thump = attack * np.exp(-u / 0.06) * np.sin(phase + 0.9)
    note = 0.75 * pluck + 0.6 * thump
    return np.where(on, note, 0.0)


def compose():
    t = np.arange(SAMPLES - LEAD_SILENCE, dtype=np.float64) / RATE
    loud = np.zeros_like(t)
    # Envelope of the sustained D: full in the quiet passages, ducked to a
    # faint pad under the bass phrases.
    pad_env = np.ones_like(t)
    for start, notes in PHRASES:
        for i, freq in enumerate(notes):
            onset = start + i * NOTE_STEP
            # The first note of a phrase hits a little harder.
            accent = 1.0 if i == 0 else 0.85
            loud += accent * bass_note(t, onset, freq)
        end = start + (len(notes) - 1) * NOTE_STEP + PHRASE_TAIL
        duck = ramp(t, start - 0.01, 0.01) * (1.0 - ramp(t, end - 0.05, 0.05))
        pad_env = pad_env * (1.0 - 0.85 * duck)
    # A slow swell on the held D keeps it from sounding like a test tone.
    swell = 1.0 + 0.15 * np.sin(2.0 * np.pi * 1.6 * t)
    pad = pad_env * swell * (np.sin(2.0 * np.pi * D4 * t + 0.4) + 0.5 * np.sin(2.0 * np.pi * D5 * t))
    loud_peak = np.max(np.abs(loud))
    pad_peak = np.max(np.abs(pad))
    signal = loud + pad * (QUIET_LEVEL * loud_peak / pad_peak)
    return signal


def main():
    args = assetgen.parse_args(__doc__.splitlines()[0])
    signal = compose()
    lo, hi = np.min(signal), np.max(signal)
    scaled = np.where(signal < 0.0, signal * (PEAK_NEG / lo), signal * (PEAK_POS / hi))
    frac = scaled - np.floor(scaled)
    close = np.flatnonzero(np.abs(frac - 0.5) < 1e-8)
    if close.size:
        assetgen.fail("sample %d is too close to a rounding boundary" % (close[0] + LEAD_SILENCE))
    samples = np.zeros(SAMPLES, dtype=np.int64)
    samples[LEAD_SILENCE:] = np.floor(scaled + 0.5).astype(np.int64)
    if samples.min() != PEAK_NEG or samples.max() != PEAK_POS:
        assetgen.fail("peaks %d / %d" % (samples.min(), samples.max()))
    if samples[LEAD_SILENCE] == 0:
        assetgen.fail("the music must start right after the lead silence")
    about = [
        "Music, 7.1 s: %d mono signed 16-bit little-endian samples at %d Hz." % (SAMPLES, RATE),
        "Loud bass phrases alternating with quiet passages on a held D;",
        "%d samples of silence first, peaks %d / +%d." % (LEAD_SILENCE, PEAK_NEG, PEAK_POS),
    ]
    assetgen.write_blob(
        args.out,
        "game_audio",
        "g_data0",
        samples.astype("<i2").tobytes(),
        __file__,
        about,
        little_endian=True,
    )


if __name__ == "__main__":
    main()
