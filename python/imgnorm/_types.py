"""The package's exceptions and diagnostics records."""

from __future__ import annotations

from typing import NamedTuple, Union

import numpy as np


class Error(Exception):
    """Base of every exception the library raises.

    Its subclasses say what went wrong; the message is the library's.
    Python's own exceptions are used where they fit: ``TypeError`` for an
    argument of the wrong type or dtype, ``ValueError`` for a wrong shape or
    an unknown method name, ``MemoryError`` when pixel storage cannot be had.
    """


class BadParams(Error, ValueError):
    """A parameter lies outside its allowed range (a tool parameter, a
    method that cannot be run, a pixel function's size or range)."""


class BadImage(Error, ValueError):
    """An image the tool cannot work on."""


class BadWindow(Error, ValueError):
    """Images that do not overlap where pixels are needed."""


class NotTrained(Error):
    """The tool was not trained for the method asked for: call
    ``Normalizer.train`` with it first (setting the reference, the mask, the
    neighborhood or the granularity untrains the tool)."""


class CanNotTrain(Error):
    """Training is impossible, for instance because the mask excludes every
    pixel of the reference for a global method."""


class CanNotRun(Error):
    """The tool cannot run this request."""


class MethodNotImplemented(Error, NotImplementedError):
    """The library does not implement this request."""


class RunFailed(Error):
    """A global method (histogram, mean-stddev, tails) could not build its
    gray map for this image, for instance because the mask leaves no pixel
    of it; the message is the library's. Other images may still succeed."""


class ArchiveError(Error, ValueError):
    """Bytes or a file that are not a stored tool, or are damaged."""


class UnknownVersion(ArchiveError):
    """A stored tool written by a newer version of the library."""


class FileError(Error, OSError):
    """A file that cannot be read or written."""


class Cancelled(Error):
    """The call was cancelled (a SIGINT whose handler raised nothing)."""


class InternalError(Error):
    """An internal check of the library failed; please report it."""


class DiagRecord(NamedTuple):
    """One diagnostics record of a ``train`` or ``run``.

    Attributes
    ----------
    name : str
        What the record shows, as the library names it
        (``"referenceImage"``, ``"Run-time parameters"``, ...).
    level : int
        Nesting level: records of a step's inputs sit one level deeper than
        the step.
    value : numpy.ndarray or str
        A read-only uint8 image, or a text.
    """

    name: str
    level: int
    value: Union[np.ndarray, str]
