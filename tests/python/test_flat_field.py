"""Flat-field calibration against a numpy reference of its formula."""

import numpy as np
import pytest

import imgnorm


def slow_flat_field(raw, darks, flats, top):
    """(raw - dark) * mean(flat - dark) / (flat - dark) in single precision,
    the mean over positive flat - dark, gain 1 elsewhere, rounded half up;
    and that mean."""
    dark = np.mean(darks, axis=0)
    signal = np.mean(flats, axis=0) - dark
    gain = np.ones(raw.shape, np.float32)
    gain[signal > 0] = signal[signal > 0].mean() / signal[signal > 0].astype(np.float32)
    out = np.floor((raw.astype(np.float32) - dark.astype(np.float32)) * gain + np.float32(0.5))
    return np.clip(out, 0, top), signal[signal > 0].mean()


@pytest.mark.parametrize("dtype, depth", [(np.uint8, None), (np.uint16, 12)])
@pytest.mark.parametrize("n_dark, n_flat", [(0, 1), (1, 1), (2, 3)])
def test_calibration_matches_the_formula(dtype, depth, n_dark, n_flat):
    top = 255 if depth is None else (1 << depth) - 1
    rng = np.random.default_rng(n_dark * 10 + n_flat + top)
    h, w = 9, 37  # rows of whole vectors and a tail
    darks = rng.integers(0, top // 8, (n_dark, h, w)).astype(dtype)
    flats = rng.integers(top // 4, top, (n_flat, h, w)).astype(dtype)
    darks[:, 2:5, 3:6] = 5
    flats[:, 2, 3] = 5 if n_dark else 0  # flat - dark == 0: gain 1
    flats[:, 4, 5] = 0  # flat - dark < 0 (or 0 without darks): gain 1
    raw = rng.integers(0, top + 1, (h + 2, w + 3)).astype(dtype)[1:-1, 2:-1]  # a strided view
    field = imgnorm.FlatField(list(darks) if n_dark != 1 else darks[0], flats if n_flat > 1 else flats[0],
                              depth=depth)
    expected, mean_signal = slow_flat_field(raw, darks if n_dark else np.zeros((1, h, w)), flats, top)
    out = field(raw)
    assert out.dtype == dtype and field.depth == (depth or 8) and field.shape == (h, w)
    assert field.mean_signal == pytest.approx(mean_signal, rel=1e-12)
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(field.apply(raw), out)
    assert field.unmeasured_pixels == 2


def test_bad_frames_and_images_raise_naming_them():
    # The library's own messages pass through unchanged (checked there); here
    # the checks of the binding and the classes they raise.
    dark, flat = np.full((4, 5), 10, np.uint16), np.full((4, 5), 90, np.uint16)
    field = imgnorm.FlatField(dark.astype(np.uint8), flat.astype(np.uint8))
    for call, error, text in [
        (lambda: imgnorm.FlatField([dark, dark[:3]], flat), imgnorm.BadImage, "dark frame 2 is"),
        (lambda: imgnorm.FlatField(dark.astype(np.uint8), flat), TypeError,
         "dark frame 1 must be a uint16 array, got dtype uint8"),
        (lambda: imgnorm.FlatField(dark, flat, depth=8), ValueError, "depth must lie in 9..16"),
        (lambda: imgnorm.FlatField(dark, []), imgnorm.BadParams, "flat frame"),
        (lambda: imgnorm.FlatField(flat, dark), imgnorm.CanNotTrain, "nowhere brighter"),
        (lambda: field(dark), TypeError, "raw must be a uint8"),
        (lambda: imgnorm.FlatField(dark, flat, depth=10)(dark * 200), imgnorm.BadImage, "above 1023"),
    ]:
        with pytest.raises(error, match=text):
            call()
    assert issubclass(imgnorm.BadImage, ValueError)
