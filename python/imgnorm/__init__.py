"""Gray-level normalization of 8-bit images on numpy arrays.

Train a `Normalizer` on a golden (reference) image and an optional mask,
then run it on run-time images to make them look like the reference before
comparing. Arrays are read in place (no copy) and results own the library's
buffers. ``train``, ``run`` and the pixel functions release the GIL, and
Ctrl-C stops a long call. `imgnorm.dask` spreads batches over a Dask
cluster.

Examples
--------
>>> import imgnorm
>>> tool = imgnorm.Normalizer(golden, mask)
>>> tool.train("histogram", "local-mean")
>>> fixed = tool.run(image, "local-mean")
"""

from ._types import (ArchiveError, BadImage, BadParams, BadWindow, Cancelled, CanNotRun, CanNotTrain, DiagRecord,
                     Error, FileError, InternalError, MethodNotImplemented, NotTrained, RunFailed, UnknownVersion)
from ._normalizer import Method, Normalizer, load
from ._gain import GainNormalizer
from ._flat_field import FlatField
from ._functions import (clamped_difference, gaussian_sample, get_num_threads, histogram, imread, imwrite,
                         match_histograms, median, threshold, set_num_threads)

__all__ = [
    "Normalizer", "GainNormalizer", "FlatField", "Method", "load", "DiagRecord",
    "histogram", "threshold", "match_histograms", "median", "gaussian_sample", "clamped_difference", "imread", "imwrite",
    "set_num_threads", "get_num_threads",
    "Error", "BadParams", "BadImage", "BadWindow", "NotTrained", "CanNotTrain", "CanNotRun",
    "MethodNotImplemented", "RunFailed", "ArchiveError", "UnknownVersion", "FileError", "Cancelled",
    "InternalError",
]
