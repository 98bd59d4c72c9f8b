#!/usr/bin/python3
"""Writes the four key-test prompt images: resource/down_img, left_img,
up_img and start_img (.S embedding a .bin each).

Each is the full 240 x 180 window in one background colour with seven discs
of diameter 20 laid out like the gamepad: a cross of four on the left, three
on the right (no left-hand disc). All discs are black except the one of the
key the operator is asked to press. Pixels are 4 bytes: blue, green, red,
alpha (always 0xFF).

The disc edges are anti-aliased by counting 16 x 16 sub-samples per pixel
with integer arithmetic, so the result is the same bit for bit everywhere.

Usage (from the repository root): /usr/bin/python3 tools/gen_prompts.py [--out DIR]
"""

import numpy as np

import assetgen

WIDTH, HEIGHT = 240, 180
DIAMETER = 20
SUB = 16  # sub-samples per pixel along each axis

# Top-left corner (column, row) of the square each disc is inscribed in.
DISCS = {
    "left_top": (40, 60),
    "left_left": (20, 80),
    "left_right": (60, 80),
    "left_bottom": (40, 100),
    "right_top": (180, 60),
    "right_right": (200, 80),
    "right_bottom": (180, 100),
}

WHITE, RED, GREEN, BLUE, BLACK = (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 0, 0)

# source name, array name, key, background, marked disc, marked colour
PROMPTS = [
    ("down_img", "sample_img_down", "DOWN", RED, "left_bottom", WHITE),
    ("left_img", "sample_img_left", "LEFT", GREEN, "left_left", RED),
    ("up_img", "sample_img_up", "UP", BLUE, "left_top", GREEN),
    ("start_img", "sample_img_start", "START", WHITE, "right_top", BLUE),
]


def disc_coverage():
    """Sub-samples (0 to SUB*SUB) of each pixel of a DIAMETER x DIAMETER
    square that fall inside the inscribed disc.

    Coordinates are in units of 1/(2*SUB) pixel so that sub-sample centres
    are odd and the disc centre even: no sample lies exactly on the circle.
    """
    scale = 2 * SUB
    centre = DIAMETER * scale // 2
    radius_sq = centre * centre
    # Centres of all sub-sample columns across the square.
    pos = np.arange(DIAMETER * SUB, dtype=np.int64) * 2 + 1 - centre
    inside = (pos[np.newaxis, :] ** 2 + pos[:, np.newaxis] ** 2) < radius_sq
    return inside.reshape(DIAMETER, SUB, DIAMETER, SUB).sum(axis=(1, 3), dtype=np.int64)


def prompt_image(background, marked, marked_colour):
    rgb = np.empty((HEIGHT, WIDTH, 3), dtype=np.int64)
    rgb[:, :] = background
    cover = disc_coverage()[:, :, np.newaxis]
    full = SUB * SUB
    bg = np.array(background, dtype=np.int64)
    for name, (x0, y0) in DISCS.items():
        fg = np.array(marked_colour if name == marked else BLACK, dtype=np.int64)
        # Rounded blend of disc colour over background by covered fraction.
        rgb[y0 : y0 + DIAMETER, x0 : x0 + DIAMETER] = (
            bg * (full - cover) + fg * cover + full // 2
        ) // full
    bgra = np.empty((HEIGHT, WIDTH, 4), dtype=np.uint8)
    bgra[:, :, 0] = rgb[:, :, 2]
    bgra[:, :, 1] = rgb[:, :, 1]
    bgra[:, :, 2] = rgb[:, :, 0]
    bgra[:, :, 3] = 0xFF
    return bgra.tobytes()


def main():
    args = assetgen.parse_args(__doc__.splitlines()[0])
    for source, symbol, key, background, marked, colour in PROMPTS:
        data = prompt_image(background, marked, colour)
        assert len(data) == WIDTH * HEIGHT * 4
        about = [
            "Key test prompt for %s: 240 x 180, bytes blue, green, red, alpha." % key,
            "Background (r, g, b) = %s; seven discs of diameter 20, black except" % (background,),
            "the %s disc in %s." % (marked.replace("_", " group, "), colour),
        ]
        assetgen.write_blob(args.out, source, symbol, data, __file__, about)


if __name__ == "__main__":
    main()
