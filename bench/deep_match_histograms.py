#!/usr/bin/python3
"""Histogram matching of a 16-bit image to a 16-bit reference: imgnorm's
eMatchHistogram (through the command-line tool) against scikit-image's
exposure.match_histograms, by the 1-Wasserstein distance between the
result's value distribution and the reference's (in gray levels; lower is
closer). scikit-image returns floats: they are scored as they are and
rounded to 16 bits, as a 16-bit image would store them.

Run (after building the release preset):
    /usr/bin/python3 bench/deep_match_histograms.py build/release/apps/imgnorm
"""
import os
import subprocess
import sys
import tempfile

import cv2
import numpy as np
from scipy.stats import wasserstein_distance
from skimage.exposure import match_histograms


def scene(n, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n].astype(np.float64)
    t = 0.5 + 0.25 * np.sin(x * 0.02 + seed) * np.cos(y * 0.017) + 0.15 * np.sin((x + y) * 0.05)
    return np.clip(t + rng.normal(0.0, 0.03, (n, n)), 0.0, 1.0)


def w1_levels(a, b):
    """1-Wasserstein distance of two 16-bit images' value distributions."""
    ca = np.cumsum(np.bincount(a.ravel(), minlength=65536)) / a.size
    cb = np.cumsum(np.bincount(b.ravel(), minlength=65536)) / b.size
    return float(np.abs(ca - cb).sum())


def main():
    cli = sys.argv[1] if len(sys.argv) > 1 else "build/release/apps/imgnorm"
    n = 1024
    reference = np.clip(scene(n, 1) ** 1.5 * 65535, 0, 65535).astype(np.uint16)
    # Another scene under other light: a gamma, a gain and an offset.
    image = np.clip((scene(n, 2) ** 0.7) * 40000 + 9000, 0, 65535).astype(np.uint16)
    with tempfile.TemporaryDirectory() as d:
        ref_path, img_path, out_path = (os.path.join(d, f) for f in ("ref.png", "img.png", "out.png"))
        cv2.imwrite(ref_path, reference)
        cv2.imwrite(img_path, image)
        subprocess.run([cli, "run", "--reference", ref_path, "--method", "histogram", "-o", out_path,
                        "--no-progress", img_path], check=True, stdout=subprocess.DEVNULL)
        ours = cv2.imread(out_path, cv2.IMREAD_UNCHANGED)
    assert ours.dtype == np.uint16 and ours.shape == image.shape
    theirs = match_histograms(image, reference)
    theirs16 = np.clip(np.rint(theirs), 0, 65535).astype(np.uint16)
    print(f"image {n} x {n}, 16-bit; 1-Wasserstein distance to the reference's values, in gray levels")
    print(f"  unmatched image:                   {w1_levels(image, reference):10.3f}")
    print(f"  imgnorm eMatchHistogram:           {w1_levels(ours, reference):10.3f}")
    print(f"  skimage match_histograms, rounded: {w1_levels(theirs16, reference):10.3f}")
    print(f"  skimage match_histograms, float:   "
          f"{wasserstein_distance(theirs.ravel(), reference.ravel().astype(np.float64)):10.3f}")


if __name__ == "__main__":
    main()
