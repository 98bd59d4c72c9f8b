#!/usr/bin/python3
"""Writes the two photographs: resource/mp_img (sample_img, the image screen
of the backlight sweep) and resource/color_img (color_img, third screen of
the colour test), each a .S embedding a .bin.

Sources are sample photographs shipped with Debian's python3-skimage, whose
licences are stated in skimage/data/_fetchers.py of that package:
  coffee.png     "No copyright restrictions. CC0 by the photographer (Rachel Michetti)."
  astronaut.png  "No known copyright restrictions, released into the public domain."
Each is cropped to 4:3 around its centre and scaled to 240 x 180 with
Pillow's Lanczos filter; pixels are 4 bytes: blue, green, red, alpha 0xFF.

Usage (from the repository root): /usr/bin/python3 tools/gen_photos.py [--out DIR]
"""

import os

import numpy as np
from PIL import Image

import assetgen

WIDTH, HEIGHT = 240, 180

# source name, array name, file in skimage/data, what it shows, licence
PHOTOS = [
    (
        "mp_img",
        "sample_img",
        "coffee.png",
        "an espresso cup with saucer and spoon on a wooden table",
        "CC0, by the photographer Rachel Michetti",
    ),
    (
        "color_img",
        "color_img",
        "astronaut.png",
        "an astronaut in an orange suit before a flag and a shuttle model",
        "public domain, a NASA photograph",
    ),
]


def skimage_data_dir():
    # The data folder sits beside the package's modules; importing skimage
    # only to find it keeps working if Debian moves the package.
    import skimage

    return os.path.join(os.path.dirname(skimage.__file__), "data")


def photo(path):
    im = Image.open(path).convert("RGB")
    w, h = im.size
    if w * 3 > h * 4:
        cw, ch = h * 4 // 3, h
    else:
        cw, ch = w, w * 3 // 4
    x0, y0 = (w - cw) // 2, (h - ch) // 2
    im = im.crop((x0, y0, x0 + cw, y0 + ch)).resize((WIDTH, HEIGHT), Image.LANCZOS)
    rgb = np.asarray(im, dtype=np.uint8)
    bgra = np.empty((HEIGHT, WIDTH, 4), dtype=np.uint8)
    bgra[:, :, 0:3] = rgb[:, :, ::-1]
    bgra[:, :, 3] = 0xFF
    return bgra.tobytes(), (x0, y0, cw, ch), (w, h)


def main():
    args = assetgen.parse_args(__doc__.splitlines()[0])
    data_dir = skimage_data_dir()
    for source, symbol, name, shows, licence in PHOTOS:
        path = os.path.join(data_dir, name)
        if not os.path.exists(path):
            assetgen.fail("missing " + path + " (Debian package python3-skimage)")
        data, (x0, y0, cw, ch), (w, h) = photo(path)
        about = [
            "Photograph, 240 x 180, bytes blue, green, red, alpha (0xFF):",
            shows + ".",
            "From skimage/data/%s (%d x %d) of Debian's python3-skimage," % (name, w, h),
            licence + " (see skimage/data/_fetchers.py there).",
            "Cropped to %d x %d at (%d, %d), scaled with Pillow's Lanczos filter." % (cw, ch, x0, y0),
        ]
        assetgen.write_blob(args.out, source, symbol, data, __file__, about)


if __name__ == "__main__":
    main()
