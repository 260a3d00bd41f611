"""Local gain corrections: shading that multiplies (vignettes, aging lamps,
contrast changes), trained on a Normalizer's reference."""

from __future__ import annotations

from typing import Tuple

import numpy as np

from . import _imgnorm
from ._normalizer import Normalizer, _pair, _Stored

_CORRECTIONS = {"local-gain-offset": False, "local-gain": True}


class GainNormalizer(_Stored):
    """Local gain (and offset) correction trained on a `Normalizer`'s reference.

    Around every pixel the Gaussian-weighted local mean m and standard
    deviation s of the run-time image (over the pixels the mask includes)
    are compared with the reference's at the same place:

    - ``"local-gain-offset"``: ``out = (in - m_run) * s_ref / s_run + m_ref``
    - ``"local-gain"``: ``out = in * m_ref / m_run``

    rounded and clamped to 0..2^depth - 1, the gain limited to ``gain_range``.
    The tool takes the source's depth: uint8 arrays for an 8-bit source,
    uint16 arrays of its depth (9..16 bits) for a deep one.

    Parameters
    ----------
    source : Normalizer
        Gives the depth, the reference, the mask, the neighborhood, the granularity and
        keep_masked (it need not be trained). The tool trains at once on a
        copy of it: later changes to ``source`` do not reach it.
    gain_range : (float, float), optional
        Lowest and highest gain, 0 < lo <= 1 <= hi <= 16; default (0.25, 4).
    deviation_floor : float, optional
        Below this many gray levels a local deviation (or mean) counts as
        this floor, 0 < floor <= 64; default 1. On deep images it counts in
        8-bit gray levels, 2^(depth-8) levels of the image each.

    Raises
    ------
    imgnorm.CanNotTrain
        When the source has no reference.
    imgnorm.BadParams
        For a parameter out of range.

    Notes
    -----
    The parameters are fixed once the tool is made, so many threads may run
    it at once (``run`` releases the GIL). It pickles like `Normalizer`.

    Examples
    --------
    >>> gain = imgnorm.GainNormalizer(tool, gain_range=(0.5, 2.0))
    >>> fixed = gain.run(image, "local-gain")
    """

    def __init__(self, source: Normalizer, *, gain_range: Tuple[float, float] = (0.25, 4.0),
                 deviation_floor: float = 1.0) -> None:
        if not isinstance(source, Normalizer):
            raise TypeError(f"source must be an imgnorm.Normalizer, got {source!r}")
        lo, hi = _pair(gain_range, "gain_range", False)
        make = _imgnorm._GainTool if source.depth == 8 else _imgnorm._DeepGainTool
        self._tool = make(source._tool, (float(lo), float(hi)), float(deviation_floor))

    @property
    def depth(self) -> int:
        """The bit depth of the images the tool corrects: 8 (uint8 arrays)
        or 9..16 (uint16 arrays)."""
        return 8 if isinstance(self._tool, _imgnorm._GainTool) else int(self._tool.source_depth())

    @property
    def gain_range(self) -> Tuple[float, float]:
        """The lowest and highest gain applied."""
        return self._tool.gain_range()

    @property
    def deviation_floor(self) -> float:
        """The deviation (or mean), in gray levels, below which a local
        statistic counts as vanished."""
        return self._tool.deviation_floor()

    def run(self, image: np.ndarray, correction: str = "local-gain-offset") -> np.ndarray:
        """Correct an image.

        Parameters
        ----------
        image : numpy.ndarray
            A 2-D uint8 array, or uint16 of the tool's depth (strided views
            are read in place, as for `Normalizer.run`).
        correction : str, optional
            ``"local-gain-offset"`` (default) or ``"local-gain"``, as in the
            command-line tool.

        Returns
        -------
        numpy.ndarray
            A new array of the image's dtype over the overlap of the image, the reference
            and the mask, aligned at their top-left pixel.

        Raises
        ------
        ValueError
            For another correction name, or a value above the depth.
        TypeError
            For an array of the other dtype.
        """
        if correction not in _CORRECTIONS:
            raise ValueError(f"unknown correction {correction!r} (one of {', '.join(_CORRECTIONS)})")
        return self._tool.run(image, _CORRECTIONS[correction])

    def __repr__(self) -> str:
        return (f"GainNormalizer(depth={self.depth}, gain_range={self.gain_range}, "
                f"deviation_floor={self.deviation_floor})")
