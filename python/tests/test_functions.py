"""The pixel functions on arrays, against slow numpy references."""

import numpy as np
import pytest

import imgnorm

SEED = 7


def random_image(rng, h, w, levels=256):
    return rng.integers(0, levels, (h, w), dtype=np.uint8)


def slow_median(image, kx, ky, mask=None, lo=0, hi=255):
    """Neighbourhoods cut to the image, masked pixels left out, lower middle
    value, 128 where none counts."""
    h, w = image.shape
    clamped = np.clip(image, lo, hi)
    out = np.empty_like(image)
    for y in range(h):
        for x in range(w):
            ys, xs = slice(max(0, y - ky // 2), y + ky // 2 + 1), slice(max(0, x - kx // 2), x + kx // 2 + 1)
            values = clamped[ys, xs] if mask is None else clamped[ys, xs][mask[ys, xs] != 0]
            out[y, x] = np.sort(values.ravel())[(values.size - 1) // 2] if values.size else np.clip(128, lo, hi)
    return out


@pytest.mark.parametrize("h, w, kx, ky", [(1, 9, 3, 1), (7, 8, 3, 3), (9, 13, 5, 7), (16, 17, 1, 9)])
def test_median_matches_a_sort_per_pixel_masked_or_not(h, w, kx, ky):
    rng = np.random.default_rng(SEED + h)
    image = random_image(rng, h + 3, w + 4)[2:2 + h, 1:1 + w]  # a strided view
    mask = rng.random((h, w)) < 0.4
    np.testing.assert_array_equal(imgnorm.median(image, (kx, ky)), slow_median(image, kx, ky))
    np.testing.assert_array_equal(imgnorm.median(image, (kx, ky), mask), slow_median(image, kx, ky, mask))
    np.testing.assert_array_equal(imgnorm.median(image, (kx, ky), value_range=(40, 200)),
                                  slow_median(image, kx, ky, lo=40, hi=200))


def test_histogram_and_thresholds_match_numpy():
    rng = np.random.default_rng(SEED)
    image = random_image(rng, 33, 47)
    mask = rng.random((40, 40)) < 0.5  # smaller: counts the overlap only
    np.testing.assert_array_equal(imgnorm.histogram(image), np.bincount(image.ravel(), minlength=256))
    np.testing.assert_array_equal(imgnorm.histogram(image, mask),
                                  np.bincount(image[:, :40][mask[:33]], minlength=256))
    two_modes = np.where(rng.random((32, 32)) < 0.3, rng.integers(20, 60, (32, 32)),
                         rng.integers(150, 220, (32, 32))).astype(np.uint8)

    def within_variance(t):
        low, high = two_modes[two_modes < t].astype(float), two_modes[two_modes >= t].astype(float)
        return low.size * low.var() + high.size * high.var() if low.size and high.size else np.inf

    best = min(range(1, 256), key=within_variance)
    np.testing.assert_array_equal(imgnorm.threshold(two_modes), np.where(two_modes >= best, 255, 0))
    np.testing.assert_array_equal(imgnorm.threshold(image, 100, mask),
                                  np.where((image[:, :40] >= 100) & mask[:33], 255, 0))
    for level, m in [(256, None), (-1, None), (None, mask)]:
        with pytest.raises(imgnorm.BadParams):
            imgnorm.threshold(image, level, m)


def test_clamped_difference_matches_numpy_over_the_overlap():
    rng = np.random.default_rng(SEED)
    a, b = random_image(rng, 20, 30), random_image(rng, 25, 18)
    for r in (0, 40, 127):
        expected = np.clip(a[:20, :18].astype(int) - b[:20, :18], -r, r) + 128
        np.testing.assert_array_equal(imgnorm.clamped_difference(a, b, r), expected)
    with pytest.raises(imgnorm.BadParams):
        imgnorm.clamped_difference(a, b, 128)


@pytest.mark.parametrize("kernel, step, shape", [((0, 0), (1, 1), (21, 37)), ((5, 3), (1, 1), (21, 37)),
                                                 ((3, 3), (4, 2), (11, 10)), ((0, 0), (2, 2), (11, 19))])
def test_gaussian_sample_keeps_constants_and_sub_samples_to_ceil_size(kernel, step, shape):
    image = np.full((21, 37), 93, np.uint8)
    out = imgnorm.gaussian_sample(image, kernel, subsample=step)
    assert out.shape == shape and (out == 93).all()
    assert (imgnorm.gaussian_sample(image, kernel, subsample=step, gain=2.0) == 186).all()


def test_image_files_round_trip_and_refuse_what_they_cannot_hold(tmp_path):
    image = random_image(np.random.default_rng(SEED), 13, 17)
    for name in ("a.png", "b.pgm"):
        imgnorm.imwrite(tmp_path / name, image[:, 1:])
        np.testing.assert_array_equal(imgnorm.imread(tmp_path / name), image[:, 1:])
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    for call in (lambda: imgnorm.imread(tmp_path / "bad.png"), lambda: imgnorm.imread(tmp_path / "none.png"),
                 lambda: imgnorm.imwrite(tmp_path / "c.jpg", image)):
        with pytest.raises(imgnorm.FileError):
            call()
