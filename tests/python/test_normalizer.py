"""The Normalizer from Python: array layouts, lifetimes, errors, storage,
threads and interruption."""

import copy
import gc
import os
import pickle
import signal
import subprocess
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

METHODS = ["identity", "histogram", "mean-stddev", "tails", "linear-fit", "local-mean", "local-median"]


def run_all(tool, image):
    return [tool.run(image, m) for m in METHODS]


def assert_same_runs(a, b):
    for m, x, y in zip(METHODS, a, b):
        np.testing.assert_array_equal(x, y, err_msg=m)


def layouts(image):
    """Views of a larger array equal to image, in every layout numpy makes."""
    h, w = image.shape
    big = np.zeros((2 * h + 7, 2 * w + 9), image.dtype)
    big[5:5 + 2 * h:2, 3:3 + w] = image
    flipped = np.ascontiguousarray(image[::-1, ::-1])
    wide = np.zeros((h, 2 * w), image.dtype)
    wide[:, ::2] = image
    return {
        "rows apart": big[5:5 + 2 * h:2, 3:3 + w],
        "every other column": wide[:, ::2],
        "reversed": flipped[::-1, ::-1],
        "fortran order": np.asfortranarray(image),
        "read-only": np.frombuffer(image.tobytes(), image.dtype).reshape(h, w),
        "one row": image[:1],
    }


@pytest.mark.parametrize("layout", ["rows apart", "every other column", "reversed", "fortran order", "read-only",
                                    "one row"])
def test_strided_inputs_give_the_results_of_contiguous_copies(scene, trained, layout):
    image = scene["images"][0]
    view = layouts(image)[layout]
    assert not view.flags.writeable or layout != "read-only"
    expected = run_all(trained, np.ascontiguousarray(view))
    assert_same_runs(run_all(trained, view), expected)
    # The same layouts make the same reference and mask.
    reference, mask = layouts(scene["golden"])[layout], layouts(scene["mask"])[layout].astype(bool)
    assert imgnorm.Normalizer(reference, mask) == imgnorm.Normalizer(np.ascontiguousarray(reference),
                                                                     np.ascontiguousarray(mask))


def test_row_strided_inputs_and_results_are_not_copied():
    # numpy reports its allocations to tracemalloc; the library's do not show.
    image = np.zeros((1024, 2048), np.uint8)[:, 100:1900]
    tool = imgnorm.Normalizer(np.full((1024, 1024), 7, np.uint8))
    tool.train("histogram")
    tracemalloc.start()
    out = tool.run(image, "histogram")
    counts = imgnorm.histogram(image[::2])
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert out.shape == (1024, 1024) and out.base is not None and counts[0] == 512 * 1800
    assert peak < 64 * 1024


def test_results_and_tool_images_survive_their_inputs(scene):
    golden = scene["golden"].copy()
    image = scene["images"][1].copy()
    tool = imgnorm.Normalizer(golden, scene["mask"])
    tool.train("histogram")
    out = tool.run(image, "histogram")
    expected = out.copy()
    reference = tool.reference
    golden[:] = 0  # the tool keeps its own copy
    del image, tool
    gc.collect()
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(reference, scene["golden"])
    assert out.flags.writeable and not reference.flags.writeable
    out[:] = 1  # results are the caller's to change


@pytest.mark.parametrize("value, error, text", [
    ([[1, 2], [3, 4]], TypeError, "numpy array"),
    (np.zeros((4, 4), np.int16), TypeError, "uint8"),
    (np.zeros((4, 4), np.float32), TypeError, "uint8"),
    (np.zeros((4, 4), np.dtype(">u2")), TypeError, "uint8"),
    (np.zeros((4, 4, 3), np.uint8), ValueError, "2-D"),
    (np.zeros(16, np.uint8), ValueError, "2-D"),
    (np.zeros((0, 4), np.uint8), ValueError, "empty"),
])
def test_bad_arrays_raise_builtin_errors_that_name_the_argument(trained, value, error, text):
    for call, name in [(lambda: trained.run(value, "histogram"), "image"),
                       (lambda: imgnorm.Normalizer(value), "reference"),
                       (lambda: imgnorm.Normalizer(np.zeros((4, 4), np.uint8), value), "mask")]:
        with pytest.raises(error, match=f"{name}.*{text}|{name} must be a numpy"):
            call()
    with pytest.raises(TypeError, match="bool"):
        trained.run(np.zeros((4, 4), bool), "histogram")  # bool is for masks only


@pytest.mark.parametrize("kind, cls", [
    ("BadImage", imgnorm.BadImage),
    ("BadParams", imgnorm.BadParams),
    ("NotTrained", imgnorm.NotTrained),
    ("CanNotTrain", imgnorm.CanNotTrain),
    ("CanNotRun", imgnorm.CanNotRun),
    ("NotImplemented", imgnorm.MethodNotImplemented),
    ("vkPelFunc::BadParams", imgnorm.BadParams),
    ("vkPel::BadWindow", imgnorm.BadWindow),
    ("vkPel::UnboundWindow", imgnorm.BadWindow),
    ("vkArchive::UnknownVersion", imgnorm.UnknownVersion),
    ("vkArchive::Corrupt", imgnorm.ArchiveError),
    ("vkArchive::UnknownClass", imgnorm.ArchiveError),
    ("vkArchive::FileError", imgnorm.FileError),
    ("vkAttention::Cancelled", imgnorm.Cancelled),
    ("vkAssertionFailure", imgnorm.InternalError),
    ("vkBadPointer", imgnorm.InternalError),
    ("vkExceptionWithString", imgnorm.Error),
    ("imgnorm_cli::FileError", imgnorm.FileError),
])
def test_every_library_exception_maps_to_its_class(kind, cls):
    with pytest.raises(cls, match="the library said so") as caught:
        imgnorm._imgnorm._throw_for_test(kind, "the library said so")
    assert type(caught.value) is cls and isinstance(caught.value, imgnorm.Error)


def test_the_tool_raises_its_errors_with_the_library_messages(scene, trained, tmp_path):
    golden, mask = scene["golden"], scene["mask"]
    garbage = tmp_path / "garbage.imgnorm"
    garbage.write_bytes(pickle.dumps(trained)[:-40])
    cases = [
        (lambda: trained.run(golden, "histogram,tails"), ValueError, "unknown method"),
        (lambda: trained.run(golden, Method.HISTOGRAM | Method.TAILS), imgnorm.BadParams, "more than one"),
        (lambda: imgnorm.Normalizer(golden).run(golden, "tails"), imgnorm.NotTrained, "not trained"),
        (lambda: setattr(trained, "tails", (0.5, 0.2)), imgnorm.BadParams, "Tail fraction"),
        (lambda: imgnorm.Normalizer(golden, granularity=(1, 0)), imgnorm.BadParams, "granularity"),
        (lambda: imgnorm.Normalizer(golden, np.zeros_like(mask)).train("mean-stddev"), imgnorm.CanNotTrain,
         "non-empty"),
        (lambda: imgnorm.Normalizer(None).train("histogram"), imgnorm.CanNotTrain, "must be bound"),
        (lambda: imgnorm.load(tmp_path / "missing.imgnorm"), imgnorm.FileError, "missing"),
        (lambda: imgnorm.load(garbage), imgnorm.ArchiveError, ""),
        (lambda: imgnorm.median(golden, 4), imgnorm.BadParams, "odd"),
        (lambda: imgnorm.set_num_threads(-1), imgnorm.BadParams, ""),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
    assert trained.tails == (0.05, 0.95)  # a refused value changes nothing
    # A run whose gray map cannot be built: the mask leaves none of the image.
    corner = np.zeros_like(mask)
    corner[-8:, -8:] = 1
    tool = imgnorm.Normalizer(golden, corner)
    tool.train("histogram")
    with pytest.raises(imgnorm.RunFailed, match="histogram is empty"):
        tool.run(golden[:40, :40], "histogram")


def test_parameters_round_trip_and_only_run_time_ones_keep_the_training(scene):
    tool = imgnorm.Normalizer(scene["golden"], neighborhood=7, granularity=(3, 2), tails=(0.1, 0.9),
                              variation_range=(-20, 30), keep_masked=True)
    assert (tool.neighborhood, tool.granularity, tool.tails, tool.variation_range, tool.keep_masked) == \
        ((7, 7), (3, 2), (0.1, 0.9), (-20, 30), True)
    tool.train("tails", "local-mean")
    assert tool.trained == Method.TAILS | Method.LOCAL_MEAN
    for name, value, keeps in [("tails", (0.0, 0.5), True), ("variation_range", (0, 5), True),
                               ("keep_masked", False, True), ("neighborhood", (9, 3), False),
                               ("granularity", 1, False), ("mask", scene["mask"], False),
                               ("reference", scene["golden"], False)]:
        tool.train("tails", "local-mean")
        setattr(tool, name, value)
        assert (tool.trained == Method.TAILS | Method.LOCAL_MEAN) == keeps, name
    assert (tool.neighborhood, tool.granularity, tool.tails, tool.variation_range) == ((9, 3), (1, 1), (0.0, 0.5),
                                                                                       (0, 5))
    assert Method.parse("eLocalCorrectionEnhanced") == Method.parse("local-median") == Method.LOCAL_MEDIAN


@pytest.mark.parametrize("depth", [8, 12])
def test_pickle_copies_and_files_run_identically(scene, trained, tmp_path, depth):
    tool, image = trained, scene["images"][0]
    if depth == 12:
        tool = imgnorm.Normalizer(scene["golden"].astype(np.uint16) * 16 + 5, scene["mask"], depth=12, neighborhood=9)
        tool.train()
        image = image.astype(np.uint16) * 16 + 3
    path = tmp_path / "tool.imgnorm"
    tool.save(path)
    expected = run_all(tool, image)
    for other in [pickle.loads(pickle.dumps(tool)), imgnorm.load(path), copy.deepcopy(tool)]:
        assert other == tool and other.trained == Method.ALL and other.depth == depth
        assert_same_runs(run_all(other, image), expected)
    assert tool != imgnorm.Normalizer(scene["golden"])


def test_files_are_shared_with_the_command_line_tool(scene, tmp_path):
    cli = os.environ.get("IMGNORM_CLI")
    if not cli:
        pytest.skip("IMGNORM_CLI (the command-line tool) not given")
    golden, mask, image = scene["golden"], scene["mask"], scene["images"][0]
    for name, array in [("golden.png", golden), ("mask.pgm", mask * 255), ("image.png", image)]:
        imgnorm.imwrite(tmp_path / name, array)
    subprocess.run([cli, "train", "--reference", tmp_path / "golden.png", "--mask", tmp_path / "mask.pgm",
                    "--methods", "tails,local-median", "--neighborhood", "9,5", "--tails", "0.1,0.8",
                    "-o", tmp_path / "cli.imgnorm"], check=True, capture_output=True)
    from_cli = imgnorm.load(tmp_path / "cli.imgnorm")
    tool = imgnorm.Normalizer(golden, mask * 255, neighborhood=(9, 5), tails=(0.1, 0.8))
    tool.train("tails", "local-median")
    assert from_cli == tool
    tool.save(tmp_path / "py.imgnorm")
    subprocess.run([cli, "run", "--tool", tmp_path / "py.imgnorm", "--method", "local-median", "-o",
                    tmp_path / "out.png", tmp_path / "image.png"], check=True, capture_output=True)
    np.testing.assert_array_equal(imgnorm.imread(tmp_path / "out.png"), from_cli.run(image, "local-median"))


def test_diagnostics_are_records_of_images_and_texts(scene, trained):
    records = []
    out = trained.run(scene["images"][0], "local-mean", diagnostics=records)
    names = [r.name for r in records]
    assert names[:2] == ["Image Normalization", "Run-time parameters"] and "referenceImage" in names
    result = records[-1]
    assert result.name == "Image Normalization Result" and result.level > records[0].level
    np.testing.assert_array_equal(result.value, out)
    assert not result.value.flags.writeable
    assert "method=eLocalCorrection" in records[1].value
    with pytest.raises(TypeError, match="list"):
        trained.train(diagnostics=())


def test_threads_share_one_tool_and_match_one_thread(scene, trained):
    images = [np.roll(scene["images"][i % 2], i, axis=1) for i in range(16)]
    imgnorm.set_num_threads(1)
    try:
        assert imgnorm.get_num_threads() == 1
        expected = [trained.run(img, m) for img in images for m in METHODS]
    finally:
        imgnorm.set_num_threads(0)
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda a: trained.run(*a), [(img, m) for img in images for m in METHODS]))
        # Setters wait for the runs in progress; they never tear the tool.
        pool.submit(setattr, trained, "tails", (0.05, 0.95)).result()
    for e, g in zip(expected, got):
        np.testing.assert_array_equal(e, g)
    # Python code runs while a call works: the call does not hold the GIL.
    # This thread must get its turn in the middle of a call of a few tenths
    # of a second (with the GIL held it would run only before and after);
    # the call is long enough that a loaded machine still gives it turns.
    large, span, seen = np.zeros((4096, 8192), np.uint8), [], []
    worker = threading.Thread(target=lambda: (span.append(time.perf_counter()), imgnorm.median(large, 101),
                                              span.append(time.perf_counter())))
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        if not seen or now - seen[-1] > 1e-3:
            seen.append(now)
    worker.join()
    quarter = (span[1] - span[0]) / 4
    assert any(span[0] + quarter < t < span[1] - quarter for t in seen)


def test_ctrl_c_cancels_a_long_call_through_the_library():
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    # Untouched zero pages: 256 MB that cost nothing until read. Unstopped,
    # this median takes over ten seconds on two cores; stopped, a fraction
    # of one (the bound leaves room for a loaded machine).
    image = np.zeros((16384, 16384), np.uint8)
    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        imgnorm.median(image, 101)
    elapsed = time.monotonic() - start
    timer.join()
    assert elapsed < 3, f"the call went on for {elapsed:.1f} s after Ctrl-C"
    # Calls work afterwards, and the handler is Python's again.
    assert imgnorm.median(image[:9, :9], 3).shape == (9, 9)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("depth", [8, 12])
def test_tools_take_arrays_of_their_depth_and_the_gain_tool_undoes_a_shading(scene, depth):
    dtype = np.uint8 if depth == 8 else np.uint16
    golden, mask = scene["golden"].astype(dtype) << (depth - 8), scene["mask"]
    x = np.arange(golden.shape[1])
    dimmed = (golden * (0.5 + 0.3 * x / x[-1])).astype(dtype)
    source = imgnorm.Normalizer(golden, mask, depth=depth, neighborhood=15)
    assert source.depth == depth and source.variation_range == (1 - 2 ** (depth - 1), 2 ** (depth - 1) - 1)
    # The histogram method's map, counted under the mask at the depth: to the
    # first occupied reference level reaching the end (8 bits) or the middle
    # (deep) of each level's share.
    source.train("histogram")
    counts = [np.bincount(a[mask != 0], minlength=2 ** depth) for a in (dimmed, golden)]
    share, levels = np.cumsum(counts[0]) - (depth > 8) * counts[0] / 2, np.flatnonzero(counts[1])
    table = levels[np.searchsorted(np.cumsum(counts[1])[levels], share)]
    np.testing.assert_array_equal(source.run(dimmed, "histogram"), table[dimmed])
    gain = imgnorm.GainNormalizer(source, gain_range=(0.5, 2.0))
    assert (gain.gain_range, gain.deviation_floor, gain.depth) == ((0.5, 2.0), 1.0, depth)
    inside = mask != 0
    before = np.abs(dimmed.astype(int) - golden)[inside].mean()
    for correction in ("local-gain", "local-gain-offset"):
        out = gain.run(dimmed, correction)
        assert out.dtype == dtype and out.max() < 2 ** depth
        assert np.abs(out.astype(int) - golden)[inside].mean() < before / 4, correction
        np.testing.assert_array_equal(gain.run(layouts(dimmed)["every other column"], correction), out)
    assert not np.array_equal(gain.run(dimmed, "local-gain"), gain.run(dimmed))
    again = pickle.loads(pickle.dumps(gain))
    assert again == gain and again != imgnorm.GainNormalizer(source)
    np.testing.assert_array_equal(again.run(dimmed), gain.run(dimmed))
    too_bright = dimmed.astype(np.uint16)  # for 8 bits a wrong type
    too_bright[0, 0] = 2 ** depth
    other = np.uint16 if depth == 8 else np.uint8
    for call, error in [(lambda: gain.run(dimmed, "gain"), ValueError),
                        (lambda: gain.run(dimmed.astype(other)), TypeError),
                        (lambda: source.run(dimmed.astype(other), "histogram"), TypeError),
                        (lambda: imgnorm.Normalizer(dimmed.astype(other), depth=depth), TypeError),
                        (lambda: imgnorm.Normalizer(golden, depth=17), ValueError),
                        (lambda: imgnorm.GainNormalizer(source, gain_range=(2.0, 4.0)), imgnorm.BadParams),
                        (lambda: imgnorm.GainNormalizer(imgnorm.Normalizer(None)), imgnorm.CanNotTrain),
                        (lambda: imgnorm.GainNormalizer(golden), TypeError),
                        (lambda: gain.run(too_bright), ValueError if depth > 8 else TypeError),
                        (lambda: source.run(too_bright, "histogram"), ValueError if depth > 8 else TypeError)]:
        with pytest.raises(error):
            call()
