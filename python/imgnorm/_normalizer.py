"""The normalizer tool: train on a reference image, normalize run-time images."""

from __future__ import annotations

import enum
import os
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _imgnorm
from ._types import DiagRecord, UnknownVersion


class Method(enum.IntFlag):
    """Normalization methods; a set of methods is their OR (``|``).

    Every method also has the name the command-line tool uses
    (``Method.parse("local-mean")``).
    """

    IDENTITY = 0
    HISTOGRAM = 1
    MEAN_STDDEV = 2
    TAILS = 4
    LINEAR_FIT = 8
    LOCAL_MEAN = 16
    LOCAL_MEDIAN = 32
    ALL = 63

    @classmethod
    def parse(cls, name: str) -> "Method":
        """The method (or ``ALL``) of a command-line name or enumerator name.

        Parameters
        ----------
        name : str
            ``identity``, ``histogram``, ``mean-stddev``, ``tails``,
            ``linear-fit``, ``local-mean``, ``local-median`` or ``all``, or
            the library's enumerator name (``eMatchHistogram``, ...).

        Raises
        ------
        ValueError
            For any other name.

        Examples
        --------
        >>> Method.parse("local-mean")
        <Method.LOCAL_MEAN: 16>
        """
        key = name.strip()
        if key in _NAMES:
            return _NAMES[key]
        raise ValueError(f"unknown method {name!r} (one of {', '.join(_CLI_NAMES)}, all)")


_CLI_NAMES = ("identity", "histogram", "mean-stddev", "tails", "linear-fit", "local-mean", "local-median")
_ENUMERATOR_NAMES = ("eIdentity", "eMatchHistogram", "eMatchMeanAndStddev", "eMatchHistogramTails",
                     "eLinearlyFitGrayValues", "eLocalCorrection", "eLocalCorrectionEnhanced")
_VALUES = (0, 1, 2, 4, 8, 16, 32)
_NAMES = {name: Method(v) for names in (_CLI_NAMES, _ENUMERATOR_NAMES) for name, v in zip(names, _VALUES)}
_NAMES["all"] = Method.ALL

MethodLike = Union[Method, str]
PairLike = Union[int, Sequence[int]]


def _method(value: MethodLike) -> Method:
    if isinstance(value, str):
        return Method.parse(value)
    if isinstance(value, Method):
        return value
    raise TypeError(f"a method is an imgnorm.Method or a name such as 'local-mean', got {type(value).__name__}")


def _pair(value: Any, name: str, scalar: bool = True) -> Tuple[Any, Any]:
    """(x, y) from a pair, or from one number for both when scalar."""
    if scalar and isinstance(value, (int, np.integer)):
        return (int(value), int(value))
    try:
        x, y = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (x, y){' or one integer' if scalar else ''}, got {value!r}") from None
    return (x, y)


def _exact_pair(value: Any, name: str) -> Tuple[Any, Any]:
    return _pair(value, name, False)


def _parameter(name: str, doc: str, convert: Optional[Callable[[Any, str], Any]] = None,
               run_time: bool = False) -> Any:
    """A property over the extension tool's getter ``name()`` and setter:
    ``set_<name>(value)``, or for run-time parameters (which keep the
    training) ``set_run_parameters(<name>=value)``; convert(value, name)
    checks and converts what the caller gives."""

    def get(self: Any) -> Any:
        return getattr(self._tool, name)()

    def put(self: Any, value: Any) -> None:
        value = value if convert is None else convert(value, name)
        if run_time:
            self._tool.set_run_parameters(**{name: value})
        else:
            getattr(self._tool, f"set_{name}")(value)

    return property(get, put, doc=doc)


class _Stored:
    """Pickling and equality of a tool through its archive bytes and the
    name of the extension class behind ``self._tool``."""

    _tool: Any

    def __getstate__(self) -> dict:
        return {"archive": self._tool.to_bytes(), "class": type(self._tool).__name__}

    def __setstate__(self, state: dict) -> None:
        self._tool = getattr(_imgnorm, state["class"]).from_bytes(state["archive"])

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, type(self)):
            return NotImplemented
        # 8-bit and deep tools are never equal (nor comparable in C++).
        return type(self._tool) is type(other._tool) and bool(self._tool == other._tool)

    __hash__ = None  # type: ignore[assignment]


class Normalizer(_Stored):
    """A gray-level normalizer trained on a reference (golden) image.

    It makes run-time images look like the reference before they are
    compared with it, with one of seven methods (see `Method`). The tool
    keeps its own copies of the reference and the mask.

    Parameters
    ----------
    reference : numpy.ndarray or None
        The reference image: a 2-D uint8 array, or uint16 for a deep tool.
        Without one the tool can only run ``identity``.
    mask : numpy.ndarray, optional
        Which pixels count: a 2-D uint8 or bool array, 0 (False) excludes the
        pixel at the same position.
    depth : int, optional
        Significant bits of the images: 8 for uint8 images, 9..16 for
        uint16 ones (a 12-bit camera's values lie in 0..4095). Default: 16
        for a uint16 reference, else 8. Reference, run-time images and
        results of a deep tool are uint16; masks stay uint8 or bool.
    neighborhood : int or (int, int), optional
        Size (x, y), i.e. width then height, of the neighbourhood of the
        local corrections; default (101, 101).
    granularity : int or (int, int), optional
        Step (x, y) of the grid on which the local corrections are computed
        before being resampled; default (1, 1), every pixel.
    tails : (float, float), optional
        The two cumulative fractions, 0 <= lo <= hi <= 1, that ``tails``
        carries onto the reference's; default (0.0, 1.0).
    variation_range : (int, int), optional
        The largest correction downwards and upwards of the local methods,
        lo <= 0 <= hi, in gray levels of the depth; default
        (-(2^(depth-1) - 1), 2^(depth-1) - 1): (-127, 127) for uint8.
    keep_masked : bool, optional
        Copy the run-time image's pixels where the mask excludes them into
        the result, instead of normalizing them too.

    Raises
    ------
    TypeError, ValueError
        For arrays of another dtype or shape, or a depth outside 8..16.
    imgnorm.BadParams
        For a parameter out of range (a ``ValueError`` too).
    imgnorm.BadImage
        From ``train`` and ``run`` of a deep tool, for a pixel above
        2^depth - 1 (a ``ValueError`` too).

    Notes
    -----
    Pairs are (x, y): width first, as in the command-line tool and OpenCV,
    not numpy's (rows, columns). Setting the reference, the mask, the
    neighborhood or the granularity untrains the tool; the run-time
    parameters (tails, variation_range, keep_masked) keep its training.
    One trained tool may run in many threads at once: ``train`` and ``run``
    release the GIL.

    Examples
    --------
    >>> tool = Normalizer(golden, mask, granularity=2)
    >>> tool.train("histogram", "local-mean")
    >>> fixed = tool.run(image, "local-mean")
    """

    def __init__(self, reference: Optional[np.ndarray], mask: Optional[np.ndarray] = None, *,
                 depth: Optional[int] = None, neighborhood: PairLike = (101, 101), granularity: PairLike = (1, 1),
                 tails: Tuple[float, float] = (0.0, 1.0), variation_range: Optional[Tuple[int, int]] = None,
                 keep_masked: bool = False) -> None:
        if depth is None:
            depth = 16 if isinstance(reference, np.ndarray) and reference.dtype == np.uint16 else 8
        if int(depth) == 8:
            self._tool = _imgnorm._Tool()
        elif 9 <= int(depth) <= 16:
            self._tool = _imgnorm._DeepTool(int(depth))
        else:
            raise ValueError(f"depth must be 8 (uint8 images) or 9..16 (uint16 images), got {depth}")
        self.neighborhood, self.granularity = neighborhood, granularity
        self.tails, self.keep_masked = tails, keep_masked
        if variation_range is not None:
            self.variation_range = variation_range
        self.reference, self.mask = reference, mask

    @property
    def depth(self) -> int:
        """Significant bits of the tool's images: 8 for uint8 images, 9..16
        for uint16 ones."""
        return 8 if isinstance(self._tool, _imgnorm._Tool) else int(self._tool.depth())

    def __copy__(self) -> "Normalizer":
        return _wrap(self._tool.copy())

    def __deepcopy__(self, memo: dict) -> "Normalizer":
        return _wrap(self._tool.copy())

    reference = _parameter("reference", "The tool's copy of the reference image (read-only), or None; "
                           "setting it copies the new image and untrains the tool.")
    mask = _parameter("mask", "The tool's copy of the mask (read-only), or None; setting it copies the new mask "
                      "(None removes it) and untrains the tool.")
    neighborhood = _parameter("neighborhood", "Neighbourhood size (x, y) of the local corrections, each >= 1; "
                              "setting it untrains the tool.", _pair)
    granularity = _parameter("granularity", "Grid step (x, y) of the local corrections, each >= 1; setting it "
                             "untrains the tool.", _pair)
    tails = _parameter("tails", "Cumulative fractions (lo, hi) of ``tails``, 0 <= lo <= hi <= 1; setting them "
                       "keeps the training.", _exact_pair, run_time=True)
    variation_range = _parameter("variation_range", "Largest correction (down, up) of the local methods, "
                                 "down <= 0 <= up; setting it keeps the training.", _exact_pair, run_time=True)
    keep_masked = _parameter("keep_masked", "Whether pixels the mask excludes keep their run-time values; "
                             "setting it keeps the training.", lambda keep, _: bool(keep), run_time=True)

    @property
    def trained(self) -> Method:
        """The methods the tool is trained for."""
        return Method(self._tool.trained_methods())

    # Training and running -------------------------------------------------------

    def train(self, *methods: MethodLike, diagnostics: Optional[List[DiagRecord]] = None) -> None:
        """Train for a set of methods (replacing the trained set).

        Parameters
        ----------
        *methods : Method or str
            Methods or method names (``"histogram"``, ``"local-mean"``,
            ``"all"``, ...); none at all trains every method.
        diagnostics : list, optional
            A list that receives the training's `DiagRecord` records.

        Raises
        ------
        imgnorm.CanNotTrain
            When the tool cannot train, e.g. for a global method with a mask
            that excludes the whole reference (the other methods are then
            trained).
        ValueError
            For an unknown method name.

        Examples
        --------
        >>> tool.train("histogram", Method.LOCAL_MEAN)
        """
        flags = Method.ALL if not methods else Method.IDENTITY
        for m in methods:
            flags |= _method(m)
        self._tool.train(int(flags), diagnostics)

    def run(self, image: np.ndarray, method: MethodLike, *,
            diagnostics: Optional[List[DiagRecord]] = None) -> np.ndarray:
        """Normalize an image with one trained method.

        Parameters
        ----------
        image : numpy.ndarray
            A 2-D array of the tool's dtype (uint8, or uint16 for a deep
            tool); strided views (``img[10:, 20:]``, ``img[::2]``) are read
            in place, other layouts through a compact copy.
        method : Method or str
            One method, e.g. ``"local-mean"``.
        diagnostics : list, optional
            A list that receives the run's `DiagRecord` records.

        Returns
        -------
        numpy.ndarray
            A new array of that dtype that owns the library's result. It
            covers the part of the image that the reference (and the mask)
            also cover, all aligned at their top-left pixel: its shape is
            the element-wise minimum of their shapes. ``identity`` returns a
            copy of the whole image.

        Raises
        ------
        imgnorm.NotTrained
            When the tool is not trained for the method.
        imgnorm.RunFailed
            When a global method cannot build its gray map for this image
            (e.g. the mask leaves none of it); the message says why.
        imgnorm.BadParams
            For a set of several methods.
        TypeError, ValueError
            For an array of another dtype or shape, or an unknown name.

        Examples
        --------
        >>> fixed = tool.run(image, "local-mean")
        """
        return self._tool.run(image, int(_method(method)), diagnostics)

    # Storage ----------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Store the tool in a file, as ``imgnorm train -o`` does.

        The file holds the parameters, the reference, the mask and the set of
        trained methods (written through a temporary file: a failure leaves
        no partial file).

        Raises
        ------
        imgnorm.FileError
            When the file cannot be written.
        """
        self._tool.save(os.fspath(path))

    def __repr__(self) -> str:
        def size(a: Optional[np.ndarray]) -> str:
            return "None" if a is None else f"{a.shape[1]}x{a.shape[0]}"

        return (f"Normalizer(reference={size(self.reference)}, mask={size(self.mask)}, depth={self.depth}, "
                f"neighborhood={self.neighborhood}, granularity={self.granularity}, tails={self.tails}, "
                f"variation_range={self.variation_range}, keep_masked={self.keep_masked}, "
                f"trained={'|'.join(m.name for m in self.trained) or 'IDENTITY'})")


def _wrap(tool: Any) -> Normalizer:
    out = Normalizer.__new__(Normalizer)
    out._tool = tool
    return out


def load(path: Union[str, os.PathLike]) -> Normalizer:
    """Load a tool stored by `Normalizer.save` or ``imgnorm train -o``.

    The tool is trained again for its stored methods while it loads.

    Raises
    ------
    imgnorm.FileError
        When the file cannot be read.
    imgnorm.ArchiveError
        When it does not hold a tool (or a damaged one).
    imgnorm.UnknownVersion
        When a newer version of the library wrote it.

    Examples
    --------
    >>> tool = imgnorm.load("board.imgnorm")
    """
    try:
        return _wrap(_imgnorm._Tool.load(os.fspath(path)))
    except UnknownVersion as eight_bit_error:
        try:  # perhaps a deep tool's record
            return _wrap(_imgnorm._DeepTool.load(os.fspath(path)))
        except UnknownVersion:
            raise eight_bit_error from None
