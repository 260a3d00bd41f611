"""The library's pixel functions, and image files, on numpy arrays.

Every function takes 2-D uint8 arrays (masks may be bool), never changes
them, and returns a new array that owns the library's result. Where two
arrays differ in shape, the result covers their overlap, aligned at the
top-left pixel. Sizes are (x, y) pairs: width first.
"""

from __future__ import annotations

import os
from typing import Optional, Tuple, Union

import numpy as np

from . import _imgnorm
from ._normalizer import PairLike, _pair


def histogram(image: np.ndarray, mask: Optional[np.ndarray] = None) -> np.ndarray:
    """Count the gray levels of an image, optionally under a mask.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 array.
    mask : numpy.ndarray, optional
        2-D uint8 or bool array; pixels where it is 0 are not counted.

    Returns
    -------
    numpy.ndarray
        256 uint32 counts; entry i counts the pixels of level i.

    Examples
    --------
    >>> counts = imgnorm.histogram(image, mask)
    """
    return _imgnorm.histogram(image, mask)


def threshold(image: np.ndarray, level: Optional[int] = None, mask: Optional[np.ndarray] = None) -> np.ndarray:
    """Binarize an image: 255 where a pixel is at least the level, else 0.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 array.
    level : int, optional
        The threshold, 0..255. Without one, Otsu's threshold of the
        histogram of the pixels that count: the level that minimises the
        variance within the two classes (pixels of one gray level all
        become 255).
    mask : numpy.ndarray, optional
        2-D uint8 or bool array: pixels where it is 0 neither count for
        Otsu's threshold nor pass it (they become 0), and the result covers
        the overlap of image and mask.

    Raises
    ------
    imgnorm.BadParams
        For a level outside 0..255.

    Examples
    --------
    >>> binary = imgnorm.threshold(image)           # Otsu
    >>> inside = imgnorm.threshold(image, mask=mask)  # Otsu of the masked pixels
    """
    return _imgnorm.threshold(image, None if level is None else int(level), mask)


def match_histograms(image: np.ndarray, reference: np.ndarray, mask: Optional[np.ndarray] = None,
                     reference_mask: Optional[np.ndarray] = None) -> np.ndarray:
    """Map an image's gray levels so that its histogram matches a reference's.

    Each level goes to the reference level at the middle of its share of the
    image's cumulative histogram (the midpoint rule), which of all monotone
    maps brings the histogram closest to the reference's by the area between
    the cumulative histograms (the 1-Wasserstein distance). The
    ``"histogram"`` method of `Normalizer` keeps the classic map, which takes
    the end of each share; this function is the closer alternative, on its
    own images, like ``skimage.exposure.match_histograms``.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 array, mapped whole.
    reference : numpy.ndarray
        2-D uint8 array of any shape.
    mask, reference_mask : numpy.ndarray, optional
        2-D uint8 or bool arrays: only pixels where they are non-zero (and
        that they overlap, aligned at the top-left pixel) count in the
        image's and the reference's histograms.

    Returns
    -------
    numpy.ndarray
        A new uint8 array of the image's shape.

    Raises
    ------
    imgnorm.BadParams
        When a mask leaves no pixel to count.

    Examples
    --------
    >>> matched = imgnorm.match_histograms(image, golden, mask=mask, reference_mask=mask)
    """
    return _imgnorm.match_histograms(image, reference, mask, reference_mask)


def median(image: np.ndarray, size: PairLike, mask: Optional[np.ndarray] = None, *,
           value_range: Tuple[int, int] = (0, 255), clip: bool = True) -> np.ndarray:
    """Median filter, exact for any kernel size, optionally masked.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 array.
    size : int or (int, int)
        Kernel size (x, y), both odd, with x * y <= 32767.
    mask : numpy.ndarray, optional
        Only pixels where the mask is non-zero count; a neighbourhood with
        none gives 128 (clamped into value_range).
    value_range : (int, int), optional
        Pixels are clamped into lo..hi before the median is taken.
    clip : bool, optional
        True cuts neighbourhoods at the image's edges (fewer pixels count
        there); False repeats the edge pixels outwards.

    Returns
    -------
    numpy.ndarray
        The median of each pixel's neighbourhood (of the lower of the two
        middle values for an even count).

    Raises
    ------
    imgnorm.BadParams
        For an even or too large size, or a bad value range.

    Examples
    --------
    >>> smooth = imgnorm.median(image, 5)
    """
    return _imgnorm.median(image, mask, _pair(size, "size"), _pair(value_range, "value_range", False), bool(clip))


def gaussian_sample(image: np.ndarray, kernel_size: PairLike, *, subsample: PairLike = 1, gain: float = 1.0,
                    full_window: bool = True, rounding: bool = False) -> np.ndarray:
    """Near-Gaussian smoothing in O(1) per pixel, optionally sub-sampled.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 array.
    kernel_size : int or (int, int)
        k per axis (0..65535; 0 leaves that axis unsmoothed): close to a
        Gaussian of standard deviation sqrt(k^2 + 2) / 2, built from box
        filters (exact integer weights).
    subsample : int or (int, int), optional
        Keep every f-th pixel per axis (f >= 1): output pixel j stands for
        source pixels [j f, (j + 1) f).
    gain : float, optional
        Multiplies each result (0..65536); results saturate at 255.
    full_window : bool, optional
        True covers the whole image, renormalising the kernel at the edges;
        False keeps only the pixels whose whole kernel lies inside.
    rounding : bool, optional
        Round half up instead of truncating.

    Returns
    -------
    numpy.ndarray
        The smoothed (and sub-sampled) image.

    Examples
    --------
    >>> small = imgnorm.gaussian_sample(image, 3, subsample=4)
    """
    return _imgnorm.gaussian_sample(image, _pair(kernel_size, "kernel_size"), _pair(subsample, "subsample"),
                                    float(gain), bool(full_window), bool(rounding))


def clamped_difference(image: np.ndarray, other: np.ndarray, max_difference: int = 127) -> np.ndarray:
    """Biased difference ``clip(image - other, -r, r) + 128``, r = max_difference.

    Parameters
    ----------
    image, other : numpy.ndarray
        2-D uint8 arrays.
    max_difference : int, optional
        r, 0..127.

    Returns
    -------
    numpy.ndarray
        uint8 differences centred on 128, over the overlap of the two.

    Examples
    --------
    >>> diff = imgnorm.clamped_difference(fixed, golden, 40)
    """
    return _imgnorm.clamped_difference(image, other, int(max_difference))


def imread(path: Union[str, os.PathLike]) -> np.ndarray:
    """Read an 8-bit grayscale PNG, PGM or TIFF file, as the command-line tool does.

    Low-depth gray PNG and PGM files with a maximum below 255 are scaled to
    0..255; colour, alpha and 16-bit images are refused.

    Raises
    ------
    imgnorm.FileError
        When the file cannot be read or is not such an image.
    """
    return _imgnorm.imread(os.fspath(path))


def imwrite(path: Union[str, os.PathLike], image: np.ndarray) -> None:
    """Write an image as PNG, PGM or TIFF (by the extension: .png, .pgm, .pnm, .tif, .tiff).

    The file is written under a temporary name and renamed into place, so a
    failure never leaves a partial file.

    Raises
    ------
    imgnorm.FileError
        When the file cannot be written or the extension is unknown.
    """
    _imgnorm.imwrite(os.fspath(path), image)


def set_num_threads(count: int) -> None:
    """Set how many threads the library's operations use, process-wide.

    Parameters
    ----------
    count : int
        At most that many threads work on one call, and at most that many
        in all for calls running at once (Python threads share them); 1
        runs each call on its calling thread alone; 0 goes back to the
        default: the environment variable ``IMGNORM_NUM_THREADS``, else
        every core the process may use. Results are the same, bit for bit,
        for every count.

    Raises
    ------
    imgnorm.BadParams
        For a count below 0 or above 1024.

    Examples
    --------
    >>> imgnorm.set_num_threads(1)   # e.g. in Dask workers that run one task per core
    """
    _imgnorm.set_num_threads(int(count))


def get_num_threads() -> int:
    """The number of threads the library's operations use now (at least 1)."""
    return _imgnorm.get_num_threads()
