"""Writes scikit-image's gray test photographs as PNG files into a folder.

Usage: /usr/bin/python3 bench/export_gray_photos.py OUT_DIR
(Debian's python3-skimage ships the images; nothing is downloaded.)
"""
import os
import sys

import skimage.data
import skimage.io

NAMES = ["camera", "moon", "coins", "page", "brick", "grass", "gravel"]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: export_gray_photos.py OUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in NAMES:
        image = getattr(skimage.data, name)()
        skimage.io.imsave(os.path.join(out, name + ".png"), image, check_contrast=False)


if __name__ == "__main__":
    main()
