"""Flat-field calibration of a camera's raw images from dark and flat frames."""

from __future__ import annotations

from typing import Optional, Sequence, Tuple, Union

import numpy as np

from . import _imgnorm

Frames = Union[np.ndarray, Sequence[np.ndarray], None]


def _frame_list(frames: Frames) -> list:
    if frames is None:
        return []
    if isinstance(frames, np.ndarray) and frames.ndim == 2:
        return [frames]
    return list(frames)


class FlatField:
    """Flat-field calibration from dark frames (the sensor's offset and fixed
    pattern, lens covered) and flat frames (a uniformly lit target)::

        out = (raw - dark) * mean(flat - dark) / (flat - dark)

    where dark and flat are the pixel-wise averages of the frames given and
    the mean is taken over the pixels where flat - dark is positive. The
    arithmetic is single-precision floating point; each result is rounded
    half up and clamped to 0..2^depth - 1. Where flat - dark is 0 or
    negative (a dead or hot pixel) the gain cannot be measured: the pixel
    gets gain 1, ``out = clamp(raw - dark)``. The gain is not limited
    otherwise. Calibrate first, then normalize the result.

    Parameters
    ----------
    dark : numpy.ndarray, sequence of them, or None
        Dark frames (a 2-D array, a sequence of them or a 3-D stack),
        averaged; None (or an empty sequence) for a dark level of 0
        everywhere.
    flat : numpy.ndarray or sequence of them
        Flat frames, likewise averaged: at least one. All frames are 2-D,
        of one size and one dtype: uint8, or uint16 of ``depth``
        significant bits.
    depth : int, optional
        For uint16 frames, 9..16 (default 16); the calibrated images are
        uint16 of that depth. uint8 frames have depth 8.

    Raises
    ------
    TypeError
        For a frame that is not an array of the first flat frame's dtype.
    ValueError
        For a frame of another size than the first flat frame's or with a
        value above the depth (`imgnorm.BadImage`), a depth out of range, or
        no flat frame (`imgnorm.BadParams`).
    imgnorm.CanNotTrain
        When no pixel of the flat average lies above the dark average.

    Notes
    -----
    The calibration is fixed once made, so many threads may apply it at
    once (``apply`` releases the GIL). It does not pickle.

    Examples
    --------
    >>> flat = imgnorm.FlatField([dark1, dark2], [flat1, flat2])
    >>> calibrated = flat(raw)
    """

    def __init__(self, dark: Frames, flat: Frames, *, depth: Optional[int] = None) -> None:
        self._tool = _imgnorm._FlatField(_frame_list(dark), _frame_list(flat), depth)

    @property
    def depth(self) -> int:
        """8 for uint8 frames, else the declared depth of the uint16 frames."""
        return int(self._tool.depth())

    @property
    def shape(self) -> Tuple[int, int]:
        """(height, width) of the frames, which images to calibrate must share."""
        return self._tool.shape()

    @property
    def mean_signal(self) -> float:
        """mean(flat - dark) over the pixels where it is positive."""
        return float(self._tool.mean_signal())

    @property
    def unmeasured_pixels(self) -> int:
        """How many pixels have flat - dark <= 0 (gain 1)."""
        return int(self._tool.unmeasured_pixels())

    def apply(self, raw: np.ndarray) -> np.ndarray:
        """Calibrate a raw image.

        Parameters
        ----------
        raw : numpy.ndarray
            A 2-D array of the frames' shape and dtype (strided views are
            read in place, as for `Normalizer.run`).

        Returns
        -------
        numpy.ndarray
            A new array of the frames' dtype.

        Raises
        ------
        TypeError
            For an array of the other dtype.
        ValueError
            For another shape or a value above the depth (`imgnorm.BadImage`).
        """
        return self._tool.apply(raw)

    __call__ = apply

    def __repr__(self) -> str:
        return (f"FlatField(depth={self.depth}, shape={self.shape}, mean_signal={self.mean_signal:.6g}, "
                f"unmeasured_pixels={self.unmeasured_pixels})")
