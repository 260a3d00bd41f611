"""Shared images for the package's tests: a textured golden image, a mask,
and run-time images under the drifts the methods correct."""

import numpy as np
import pytest

SEED = 20240611


@pytest.fixture(scope="session")
def scene():
    rng = np.random.default_rng(SEED)
    h, w = 96, 128
    y, x = np.mgrid[0:h, 0:w]
    golden = (60 + 40 * np.sin(x / 7.0) * np.cos(y / 11.0) + rng.integers(0, 30, (h, w))).astype(np.uint8)
    golden[30:50, 40:90] = 200  # a label
    mask = np.ones((h, w), np.uint8)
    mask[30:50, 40:90] = 0
    ramp = np.clip(golden * 0.8 + x * 0.4 + 10, 0, 255).astype(np.uint8)
    drift = np.clip(golden * 1.2 - 15, 0, 255).astype(np.uint8)
    return {"golden": golden, "mask": mask, "images": [ramp, drift]}


@pytest.fixture(scope="session")
def trained(scene):
    import imgnorm

    tool = imgnorm.Normalizer(scene["golden"], scene["mask"], neighborhood=(15, 11), granularity=(2, 3),
                              tails=(0.05, 0.95))
    tool.train()
    return tool
