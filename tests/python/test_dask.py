"""Batches on a local distributed cluster with worker processes: the same
results as the serial run."""

import dask.array as da
import numpy as np
import pytest

import imgnorm
import imgnorm.dask

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, worker_dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_a_stack_on_worker_processes_equals_the_serial_run(client, scene, trained):
    stack = np.stack([np.roll(scene["images"][i % 2], 3 * i, axis=0) for i in range(6)])[:, :, 5:]
    for method, chunk in [("local-mean", 1), ("histogram", 4)]:
        lazy = imgnorm.dask.normalize_stack(trained, da.from_array(stack, chunks=(chunk, 50, -1)),
                                            method)
        expected = np.stack([trained.run(image, method) for image in stack])
        assert lazy.shape == expected.shape
        np.testing.assert_array_equal(client.compute(lazy).result(), expected)


def test_files_on_worker_processes_equal_the_serial_run(client, scene, trained, tmp_path):
    inputs = tmp_path / "in"
    inputs.mkdir()
    for i, image in enumerate(scene["images"]):
        imgnorm.imwrite(inputs / f"{i}.png", image)
    (inputs / "broken.pgm").write_bytes(b"P5\n4 4\n255\n")
    results = imgnorm.dask.normalize_files(trained, inputs, tmp_path / "out", "local-median", suffix=".pgm")
    assert [r.input.rsplit("/", 1)[1] for r in results] == ["0.png", "1.png", "broken.pgm"]
    assert "FileError" in results[2].error and results[2].output is None
    for image, result in zip(scene["images"], results):
        np.testing.assert_array_equal(imgnorm.imread(result.output), trained.run(image, "local-median"))
    with pytest.raises(ValueError, match="overwrite"):
        imgnorm.dask.normalize_files(trained, inputs, inputs, "histogram")
