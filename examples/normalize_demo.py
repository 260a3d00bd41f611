#!/usr/bin/python3
"""imgnorm from Python: train a tool on a golden image, correct copies of it
under uneven light and drift, and spread a batch over Dask workers.

Usage: normalize_demo.py [output-directory] [--cluster [SCHEDULER-ADDRESS]]

Without --cluster the batch runs on Dask's local threads; with --cluster
alone on a LocalCluster of two worker processes on this machine; with an
address (tcp://host:8786) on that cluster.
"""

import contextlib
import sys
from pathlib import Path

import dask.array as da
import numpy as np

import imgnorm
import imgnorm.dask


def board(h=480, w=640):
    """A textured golden image, with a label the mask leaves out."""
    y, x = np.mgrid[0:h, 0:w]
    texture = 128 + 50 * np.sin(x * 0.09) * np.cos(y * 0.07) + 25 * np.sin((x + 2 * y) * 0.31)
    golden = np.clip(texture, 0, 255).astype(np.uint8)
    mask = np.full((h, w), 255, np.uint8)
    golden[40:90, 60:260] = 230
    mask[40:90, 60:260] = 0
    return golden, mask


def main(argv):
    out = Path(argv[1]) if len(argv) > 1 and not argv[1].startswith("--") else Path(".")
    out.mkdir(parents=True, exist_ok=True)
    golden, mask = board()
    h, w = golden.shape
    y, x = np.mgrid[0:h, 0:w]
    uneven = np.clip(golden * (1.0 - 0.4 * x / w) + 20 * y / h, 0, 255).astype(np.uint8)
    drifted = np.clip(golden * 0.7 + 40, 0, 255).astype(np.uint8)

    tool = imgnorm.Normalizer(golden, mask, granularity=4)
    tool.train("histogram", "local-mean", "local-median")
    print(tool)

    def mad(a):  # mean absolute difference to the golden image, under the mask
        ref = golden[: a.shape[0], : a.shape[1]].astype(int)
        return np.abs(a.astype(int) - ref)[mask[: a.shape[0], : a.shape[1]] != 0].mean()

    for name, image, method in [("uneven", uneven, "local-mean"), ("uneven", uneven, "local-median"),
                                ("drifted", drifted, "histogram")]:
        fixed = tool.run(image, method)
        print(f"{name:8} {method:13} mean |difference| {mad(image):6.2f} -> {mad(fixed):5.2f}")
        imgnorm.imwrite(out / f"{name}-{method}.png", fixed)

    # A batch of 8 images on Dask: the tool travels to each worker once.
    stack = np.stack([np.roll(uneven, 8 * i, axis=1) for i in range(8)])
    with contextlib.ExitStack() as cleanup:
        if "--cluster" in argv:
            from distributed import Client, LocalCluster

            i = argv.index("--cluster")
            address = argv[i + 1] if i + 1 < len(argv) else None
            if address is None:
                address = cleanup.enter_context(LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1"))
            cleanup.enter_context(Client(address))
        fixed = imgnorm.dask.normalize_stack(tool, da.from_array(stack, chunks=(2, -1, -1)),
                                             "local-mean")
        result = fixed.compute()
    serial = np.stack([tool.run(image, "local-mean") for image in stack])
    print(f"Dask batch of {len(stack)}: same as the serial run: {bool((result == serial).all())}")
    imgnorm.imwrite(out / "golden.png", golden)
    print(f"images written to {out}/")


if __name__ == "__main__":
    main(sys.argv)
