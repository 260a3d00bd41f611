"""The pixel functions on arrays, against slow numpy references."""

import numpy as np
import pytest

import imgnorm

SEED = 7


def random_image(rng, h, w, levels=256):
    return rng.integers(0, levels, (h, w), dtype=np.uint8)


def slow_median(image, kx, ky, mask=None, lo=0, hi=None, depth=8):
    """Neighbourhoods cut to the image, masked pixels left out, lower middle
    value, half the levels where none counts."""
    h, w = image.shape
    hi, empty = (1 << depth) - 1 if hi is None else hi, 1 << (depth - 1)
    clamped = np.clip(image, lo, hi)
    out = np.empty_like(image)
    for y in range(h):
        for x in range(w):
            ys, xs = slice(max(0, y - ky // 2), y + ky // 2 + 1), slice(max(0, x - kx // 2), x + kx // 2 + 1)
            values = clamped[ys, xs] if mask is None else clamped[ys, xs][mask[ys, xs] != 0]
            out[y, x] = np.sort(values.ravel())[(values.size - 1) // 2] if values.size else np.clip(empty, lo, hi)
    return out


@pytest.mark.parametrize("dtype, depth", [(np.uint8, 8), (np.uint16, 12)])
@pytest.mark.parametrize("h, w, kx, ky", [(1, 9, 3, 1), (7, 8, 3, 3), (9, 13, 5, 7), (16, 17, 1, 9)])
def test_median_matches_a_sort_per_pixel_masked_or_not(h, w, kx, ky, dtype, depth):
    rng = np.random.default_rng(SEED + h)
    image = rng.integers(0, 1 << depth, (h + 3, w + 4)).astype(dtype)[2:2 + h, 1:1 + w]  # a strided view
    mask, scale = rng.random((h, w)) < 0.4, 1 << (depth - 8)
    for m, value_range in [(None, None), (mask, None), (None, (40 * scale, 200 * scale))]:
        np.testing.assert_array_equal(imgnorm.median(image, (kx, ky), m, value_range=value_range, depth=depth),
                                      slow_median(image, kx, ky, m, *(value_range or (0, None)), depth))


def slow_otsu(values):
    """The smallest level that minimises the variance within the two classes."""
    def within_variance(t):
        low, high = values[values < t].astype(float), values[values >= t].astype(float)
        return low.size * low.var() + high.size * high.var() if low.size and high.size else np.inf

    return min(range(1, 256), key=within_variance)


def test_histogram_and_thresholds_match_numpy():
    rng = np.random.default_rng(SEED)
    image = random_image(rng, 33, 47)
    mask = rng.random((40, 40)) < 0.5  # smaller: counts the overlap only
    np.testing.assert_array_equal(imgnorm.histogram(image), np.bincount(image.ravel(), minlength=256))
    np.testing.assert_array_equal(imgnorm.histogram(image, mask),
                                  np.bincount(image[:, :40][mask[:33]], minlength=256))
    np.testing.assert_array_equal(imgnorm.threshold(image, 100, mask),
                                  np.where((image[:, :40] >= 100) & mask[:33], 255, 0))
    # Three modes; the mask hides most of the brightest, which moves Otsu's level.
    modes = rng.choice([20, 120, 220], (32, 40), p=[0.2, 0.2, 0.6]) + rng.integers(0, 30, (32, 40))
    modes = modes.astype(np.uint8)
    inside = (modes < 200) | (rng.random(modes.shape) < 0.1)
    assert slow_otsu(modes) != slow_otsu(modes[inside])
    np.testing.assert_array_equal(imgnorm.threshold(modes), np.where(modes >= slow_otsu(modes), 255, 0))
    np.testing.assert_array_equal(imgnorm.threshold(modes[:, 3:], mask=inside[:, 3:]),
                                  np.where(inside[:, 3:] & (modes[:, 3:] >= slow_otsu(modes[:, 3:][inside[:, 3:]])),
                                           255, 0))
    for level in (256, -1):
        with pytest.raises(imgnorm.BadParams):
            imgnorm.threshold(image, level)


def paired_medians(image, reference):
    """Each level of the image to the lower median of the reference values its
    pixels meet when both sorted value lists are stretched to one length."""
    s, r = np.sort(image), np.sort(reference)
    stretched_s, stretched_r = np.repeat(s, r.size), np.repeat(r, s.size)
    table = np.zeros(65536, image.dtype)
    for level in np.unique(s):
        first, end = np.searchsorted(stretched_s, level), np.searchsorted(stretched_s, level, "right")
        table[level] = stretched_r[(first + end - 1) // 2]
    return table


@pytest.mark.parametrize("dtype, depth", [(np.uint8, 8), (np.uint16, 12)])
def test_match_histograms_moves_each_level_least_under_masks_of_either_image(dtype, depth):
    rng = np.random.default_rng(SEED)
    scale = 1 << (depth - 8)
    image = (random_image(rng, 14, 12, levels=40).astype(dtype) * 3 * scale)[:, 1:]  # few levels, ties
    reference = (random_image(rng, 9, 13, levels=50).astype(dtype) * scale + 100)[:, ::-1]  # read through a copy
    mask, reference_mask = rng.random((10, 11)) < 0.6, rng.random((9, 13)) < 0.5
    for m, rm in [(None, None), (mask, None), (None, reference_mask), (mask, reference_mask)]:
        counted = image if m is None else image[:10][m]  # the mask covers the top rows only
        table = paired_medians(counted.ravel(), (reference if rm is None else reference[rm]).ravel())
        matched = imgnorm.match_histograms(image, reference, m, rm, depth=depth)
        assert matched.shape == image.shape and matched.dtype == dtype
        was_counted = np.isin(image, counted)
        np.testing.assert_array_equal(matched[was_counted], table[image[was_counted]])
    with pytest.raises(imgnorm.BadParams):
        imgnorm.match_histograms(image, reference, np.zeros_like(mask), depth=depth)


def test_pixel_functions_on_uint16_arrays_of_a_declared_depth():
    rng = np.random.default_rng(SEED)
    image = rng.integers(0, 4096, (9, 14), dtype=np.uint16)[:, 1:]  # a strided view
    mask = rng.random((9, 13)) < 0.3
    np.testing.assert_array_equal(imgnorm.histogram(image, mask, depth=12), np.bincount(image[mask], minlength=4096))
    assert imgnorm.histogram(image).size == 65536
    too_bright = image.copy()
    too_bright[4, 5] = 4096
    for call, error, text in [(lambda: imgnorm.histogram(too_bright, depth=12), ValueError, "4096.*depth 12"),
                              (lambda: imgnorm.median(image, 3, depth=17), ValueError, "1..16"),
                              (lambda: imgnorm.histogram(image.astype(np.uint8), depth=12), ValueError, "uint16"),
                              (lambda: imgnorm.clamped_difference(image, image.astype(np.uint8)), TypeError, "other"),
                              (lambda: imgnorm.histogram(image.astype(np.int32)), TypeError, "uint8 or uint16")]:
        with pytest.raises(error, match=text):
            call()


@pytest.mark.parametrize("dtype, depth", [(np.uint8, 8), (np.uint16, 12)])
def test_clamped_difference_matches_numpy_over_the_overlap(dtype, depth):
    rng = np.random.default_rng(SEED)
    half = 1 << (depth - 1)
    a, b = (rng.integers(0, 2 * half, shape).astype(dtype) for shape in [(20, 30), (25, 18)])
    for r in (0, 40, half - 1, None):
        limit = half - 1 if r is None else r
        expected = np.clip(a[:20, :18].astype(int) - b[:20, :18], -limit, limit) + half
        np.testing.assert_array_equal(imgnorm.clamped_difference(a, b, r, depth=depth), expected)
    with pytest.raises(imgnorm.BadParams):
        imgnorm.clamped_difference(a, b, half, depth=depth)


@pytest.mark.parametrize("kernel, step, shape", [((0, 0), (1, 1), (21, 37)), ((5, 3), (1, 1), (21, 37)),
                                                 ((3, 3), (4, 2), (11, 10)), ((0, 0), (2, 2), (11, 19))])
def test_gaussian_sample_keeps_constants_and_sub_samples_to_ceil_size(kernel, step, shape):
    for value in (np.uint8(93), np.uint16(3000)):
        image = np.full((21, 37), value)
        out = imgnorm.gaussian_sample(image, kernel, subsample=step)
        assert out.shape == shape and out.dtype == image.dtype and (out == value).all()
        assert (imgnorm.gaussian_sample(image, kernel, subsample=step, gain=2.0) == 2 * value).all()


def png_chunks(path, skip=b""):
    data, chunks, at = path.read_bytes(), [], 8
    while at < len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] != skip:
            chunks.append(data[at + 4:at + 12 + size])
        at += 12 + size
    return chunks


def test_image_files_round_trip_and_refuse_what_they_cannot_hold(tmp_path):
    image = random_image(np.random.default_rng(SEED), 13, 17)
    deep = image.astype(np.uint16) * 16
    for name, array, depth in [("a.png", image[:, 1:], None), ("b.pgm", image[:, 1:], None), ("c.tif", deep, 12),
                               ("d.png", deep[1:], None)]:
        imgnorm.imwrite(tmp_path / name, array, depth=depth)
        back = imgnorm.imread(tmp_path / name)
        assert back.dtype == array.dtype
        np.testing.assert_array_equal(back, array)
    # A 12-bit PNG holds its samples scaled up to 16 bits, the top bits
    # repeated below (4095 -> 65535), as readers without sBIT expect: it is
    # the 16-bit file of the scaled samples plus an sBIT chunk.
    twelve = np.array([[0, 1, 2048, 4095]], np.uint16)
    imgnorm.imwrite(tmp_path / "12.png", twelve, depth=12)
    imgnorm.imwrite(tmp_path / "16.png", twelve << 4 | twelve >> 8)
    assert png_chunks(tmp_path / "12.png", skip=b"sBIT") == png_chunks(tmp_path / "16.png")
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    for call in (lambda: imgnorm.imread(tmp_path / "bad.png"), lambda: imgnorm.imread(tmp_path / "none.png"),
                 lambda: imgnorm.imwrite(tmp_path / "c.jpg", image)):
        with pytest.raises(imgnorm.FileError):
            call()
