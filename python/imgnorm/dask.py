"""Normalizing batches of images with Dask, on one machine or a cluster.

Both helpers put the trained tool into the task graph once: on a
``distributed`` cluster each worker receives it once (and trains its copy
once as it unpickles it), however many images it normalizes. They use
Dask's current scheduler: the ``distributed.Client`` created last, or
Dask's local threads when there is none.

Examples
--------
>>> from distributed import Client
>>> client = Client("tcp://scheduler:8786")     # or Client(LocalCluster())
>>> fixed = imgnorm.dask.normalize_stack(tool, stack, "local-mean")
>>> fixed.to_zarr("fixed.zarr")                 # or fixed.compute()
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, List, NamedTuple, Optional, Tuple, Union

import dask
import dask.array as da
import numpy as np

from ._functions import imread, imwrite
from ._normalizer import Method, MethodLike, Normalizer, _method
from ._types import Error

PathLike = Union[str, os.PathLike]

_IMAGE_SUFFIXES = (".png", ".pgm", ".pnm", ".tif", ".tiff")


def _output_shape(tool: Normalizer, shape: Tuple[int, int], method: Method) -> Tuple[int, int]:
    """The shape of ``tool.run`` on an image of this shape: the overlap of
    the image, the reference and the mask, or the whole image for identity."""
    if method == Method.IDENTITY:
        return shape
    shapes = [shape] + [a.shape for a in (tool.reference, tool.mask) if a is not None]
    return (min(s[0] for s in shapes), min(s[1] for s in shapes))


def _run_block(block: np.ndarray, tool: Normalizer, method: Method) -> np.ndarray:
    outputs = [tool.run(image, method) for image in block]
    if len(outputs) == 1:
        return outputs[0][np.newaxis]  # a view: no copy of a one-image chunk
    return np.stack(outputs)


def normalize_stack(tool: Normalizer, stack: Union[da.Array, np.ndarray], method: MethodLike) -> da.Array:
    """Normalize every image of a stack, lazily, in Dask tasks.

    Parameters
    ----------
    tool : Normalizer
        A tool trained for the method.
    stack : dask.array.Array or numpy.ndarray
        images of one size and the tool's dtype (uint8, or uint16 for a
        deep tool), shape (N, H, W), chunked along N (each
        chunk holds whole images; other chunkings are rechunked so). A numpy
        array becomes one chunk per image.
    method : Method or str
        One method, e.g. ``"local-mean"``.

    Returns
    -------
    dask.array.Array
        The normalized stack (N, H', W') with the chunks of the input along
        N; (H', W') is the shape `Normalizer.run` gives for one image.
        Nothing runs until it is computed.

    Raises
    ------
    TypeError, ValueError
        For a stack of another dtype or number of dimensions.

    Examples
    --------
    >>> fixed = imgnorm.dask.normalize_stack(tool, stack, "histogram").compute()
    """
    m = _method(method)
    if not isinstance(stack, da.Array):
        stack = da.from_array(np.asarray(stack), chunks=(1, -1, -1))
    dtype = np.uint8 if tool.depth == 8 else np.uint16
    if stack.dtype != dtype:
        raise TypeError(f"stack must hold {np.dtype(dtype).name} images for a tool of depth {tool.depth}, "
                        f"got dtype {stack.dtype}")
    if stack.ndim != 3:
        raise ValueError(f"stack must have three dimensions (N, H, W), got {stack.ndim}")
    if len(stack.chunks[1]) != 1 or len(stack.chunks[2]) != 1:
        stack = stack.rechunk({1: -1, 2: -1})
    height, width = _output_shape(tool, stack.shape[1:], m)
    shipped = dask.delayed(tool, pure=True)
    return stack.map_blocks(_run_block, shipped, m, dtype=dtype,
                            chunks=(stack.chunks[0], (height,), (width,)), name="imgnorm-run")


class FileResult(NamedTuple):
    """What became of one file of `normalize_files`."""

    input: str
    #: The file written, or None when the image failed.
    output: Optional[str]
    #: Why the image failed, or None.
    error: Optional[str]


def _image_files(inputs: Iterable[PathLike]) -> List[Path]:
    files: List[Path] = []
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            files.extend(sorted(p for p in path.iterdir() if p.suffix.lower() in _IMAGE_SUFFIXES and p.is_file()))
        else:
            files.append(path)
    return files


def _normalize_file(tool: Normalizer, source: str, target: str, method: Method) -> FileResult:
    try:
        imwrite(target, tool.run(imread(source), method))
    except (Error, OSError) as e:
        return FileResult(source, None, f"{type(e).__name__}: {e}")
    return FileResult(source, target, None)


def normalize_files(tool: Normalizer, inputs: Union[PathLike, Iterable[PathLike]], out_dir: PathLike,
                    method: MethodLike, *, suffix: Optional[str] = None) -> List[FileResult]:
    """Read, normalize and write image files, one Dask task per file.

    Parameters
    ----------
    tool : Normalizer
        A tool trained for the method.
    inputs : path or iterable of paths
        Image files and folders; a folder stands for every ``.png``,
        ``.pgm``, ``.pnm``, ``.tif`` and ``.tiff`` file directly inside it, in
        name order (as for the command-line tool).
    out_dir : path
        Folder for the results (created when missing), each under its
        input's file name. On a cluster the workers must see the same files
        (a shared file system).
    method : Method or str
        One method, e.g. ``"local-mean"``.
    suffix : str, optional
        Write another format: ``".png"``, ``".pgm"`` or ``".tif"``.

    Returns
    -------
    list of FileResult
        One per input file, in input order. A file that fails (unreadable,
        ``RunFailed``, ...) has its error and no output; the others are
        still written.

    Raises
    ------
    ValueError
        When two inputs would be written to the same file, or an output
        would overwrite an input.

    Examples
    --------
    >>> results = imgnorm.dask.normalize_files(tool, "incoming/", "fixed/", "local-mean")
    >>> failed = [r for r in results if r.error]
    """
    m = _method(method)
    files = _image_files([inputs] if isinstance(inputs, (str, os.PathLike)) else inputs)
    out = Path(out_dir)
    targets = [out / (f.name if suffix is None else f.with_suffix(suffix).name) for f in files]
    resolved = [t.resolve() for t in targets]
    if len(set(resolved)) != len(resolved):
        raise ValueError("two inputs would be written to the same output file")
    if set(resolved) & {f.resolve() for f in files}:
        raise ValueError("an output would overwrite one of the inputs")
    out.mkdir(parents=True, exist_ok=True)
    shipped = dask.delayed(tool, pure=True)
    run = dask.delayed(_normalize_file, pure=False)
    tasks = [run(shipped, str(f), str(t), m) for f, t in zip(files, targets)]
    return list(dask.compute(*tasks))
