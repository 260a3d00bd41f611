"""The library's pixel functions, and image files, on numpy arrays.

Every function takes 2-D uint8 arrays (masks may be bool), never changes
them, and returns a new array that owns the library's result. Those with a
``depth`` argument also take uint16 arrays of that many significant bits
(1..16, default 16; a pixel above 2^depth - 1 raises ValueError) and return
uint16 results; masks stay uint8 or bool. Where two
arrays differ in shape, the result covers their overlap, aligned at the
top-left pixel. Sizes are (x, y) pairs: width first.
"""

from __future__ import annotations

import os
from typing import Optional, Tuple, Union

import numpy as np

from . import _imgnorm
from ._normalizer import PairLike, _pair


def _depth(depth: Optional[int]) -> Optional[int]:
    return None if depth is None else int(depth)


def histogram(image: np.ndarray, mask: Optional[np.ndarray] = None, *, depth: Optional[int] = None) -> np.ndarray:
    """Count the gray levels of an image, optionally under a mask.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 or uint16 array.
    mask : numpy.ndarray, optional
        2-D uint8 or bool array; pixels where it is 0 are not counted.
    depth : int, optional
        Significant bits of a uint16 image (default 16).

    Returns
    -------
    numpy.ndarray
        2^depth uint32 counts (256 for uint8); entry i counts the pixels of
        level i.

    Examples
    --------
    >>> counts = imgnorm.histogram(image, mask)
    """
    return _imgnorm.histogram(image, mask, _depth(depth))


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
                     reference_mask: Optional[np.ndarray] = None, *, depth: Optional[int] = None) -> np.ndarray:
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
        2-D uint8 or uint16 array, mapped whole.
    reference : numpy.ndarray
        2-D array of the image's dtype, of any shape.
    mask, reference_mask : numpy.ndarray, optional
        2-D uint8 or bool arrays: only pixels where they are non-zero (and
        that they overlap, aligned at the top-left pixel) count in the
        image's and the reference's histograms.
    depth : int, optional
        Significant bits of uint16 images (default 16).

    Returns
    -------
    numpy.ndarray
        A new array of the image's shape and dtype.

    Raises
    ------
    imgnorm.BadParams
        When a mask leaves no pixel to count.

    Examples
    --------
    >>> matched = imgnorm.match_histograms(image, golden, mask=mask, reference_mask=mask)
    """
    return _imgnorm.match_histograms(image, reference, mask, reference_mask, _depth(depth))


def median(image: np.ndarray, size: PairLike, mask: Optional[np.ndarray] = None, *,
           value_range: Optional[Tuple[int, int]] = None, clip: bool = True,
           depth: Optional[int] = None) -> np.ndarray:
    """Median filter, exact for any kernel size, optionally masked.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 or uint16 array.
    size : int or (int, int)
        Kernel size (x, y), both odd, with x * y <= 32767.
    mask : numpy.ndarray, optional
        Only pixels where the mask is non-zero count; a neighbourhood with
        none gives 2^(depth - 1), 128 for uint8 (clamped into value_range).
    value_range : (int, int), optional
        Pixels are clamped into lo..hi before the median is taken; default
        the whole range of the depth.
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
    return _imgnorm.median(image, mask, _pair(size, "size"),
                           None if value_range is None else _pair(value_range, "value_range", False), bool(clip),
                           _depth(depth))


def gaussian_sample(image: np.ndarray, kernel_size: PairLike, *, subsample: PairLike = 1, gain: float = 1.0,
                    full_window: bool = True, rounding: bool = False) -> np.ndarray:
    """Near-Gaussian smoothing in O(1) per pixel, optionally sub-sampled.

    Parameters
    ----------
    image : numpy.ndarray
        2-D uint8 or uint16 array.
    kernel_size : int or (int, int)
        k per axis (0..65535; 0 leaves that axis unsmoothed): close to a
        Gaussian of standard deviation sqrt(k^2 + 2) / 2, built from box
        filters (exact integer weights).
    subsample : int or (int, int), optional
        Keep every f-th pixel per axis (f >= 1): output pixel j stands for
        source pixels [j f, (j + 1) f).
    gain : float, optional
        Multiplies each result (0..65536); results saturate at 255 (65535
        for uint16).
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


def clamped_difference(image: np.ndarray, other: np.ndarray, max_difference: Optional[int] = None, *,
                       depth: Optional[int] = None) -> np.ndarray:
    """Biased difference ``clip(image - other, -r, r) + h``, r = max_difference.

    h is 128 for uint8 arrays, 2^(depth - 1) for uint16 ones.

    Parameters
    ----------
    image, other : numpy.ndarray
        2-D arrays, both uint8 or both uint16.
    max_difference : int, optional
        r, 0..h - 1 (the default).
    depth : int, optional
        Significant bits of uint16 images (default 16).

    Returns
    -------
    numpy.ndarray
        Differences centred on h, over the overlap of the two.

    Examples
    --------
    >>> diff = imgnorm.clamped_difference(fixed, golden, 40)
    """
    return _imgnorm.clamped_difference(image, other, None if max_difference is None else int(max_difference),
                                       _depth(depth))


def imread(path: Union[str, os.PathLike]) -> np.ndarray:
    """Read a grayscale PNG, PGM or TIFF file, as the command-line tool does.

    8-bit files give uint8 arrays (low-depth gray PNG and PGM files with a
    maximum below 255 are scaled to 0..255), 16-bit files uint16 arrays of
    their stored values; colour and alpha images are refused.

    Raises
    ------
    imgnorm.FileError
        When the file cannot be read or is not such an image.
    """
    return _imgnorm.imread(os.fspath(path))


def imwrite(path: Union[str, os.PathLike], image: np.ndarray, *, depth: Optional[int] = None) -> None:
    """Write an image as PNG, PGM or TIFF (by the extension: .png, .pgm, .pnm, .tif, .tiff).

    uint8 arrays are written with 8-bit samples, uint16 arrays with 16-bit
    samples and, given a depth (9..16), that many significant bits stated
    in the file. The file is written under a temporary name and renamed
    into place, so a failure never leaves a partial file.

    Raises
    ------
    imgnorm.FileError
        When the file cannot be written or the extension is unknown.
    ValueError
        For a pixel above 2^depth - 1.
    """
    _imgnorm.imwrite(os.fspath(path), image, _depth(depth))


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
