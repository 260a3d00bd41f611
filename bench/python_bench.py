#!/usr/bin/python3
"""Speed of the Python package on 4096 x 4096 images, as ratios measured in
one run (alternating the two sides, so that load on a shared machine hits
both alike), with the library's own threads set to one:

1. ``tool.run`` called from Python against the same runs called from C++;
2. two Python threads on one trained tool against one thread;
3. histogram matching (the tool's histogram method, and
   ``imgnorm.match_histograms``) against scikit-image's
   ``exposure.match_histograms``, with how close each result's histogram is
   to the reference's, on the command-line tool's sample set and on
   scikit-image's gray photographs.

Usage: PYTHONPATH=build/release/python bench/python_bench.py [--quick] [--matching]
(--matching runs only 3.)
(IMGNORM_CLI names the command-line tool that makes the sample set for 3;
by default the one in the same build tree.)
"""

import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import imgnorm

SIZE = 4096


def images(size=SIZE):
    """A textured golden image and a run-time copy with less contrast, more
    light, a left-to-right ramp and sensor noise."""
    rng = np.random.default_rng(2024)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    texture = 120 + 60 * np.sin(x * 0.013) * np.cos(y * 0.011) + 30 * np.sin((x + 2 * y) * 0.071)
    golden = np.clip(texture + rng.normal(0, 6, (size, size)), 0, 255).astype(np.uint8)
    image = np.clip(golden * 0.7 + 35 + 25 * x / size + rng.normal(0, 2, (size, size)), 0, 255).astype(np.uint8)
    return golden, image


def best(f, n, clock=time.thread_time):
    """The shortest of n calls: in CPU time of this thread by default, which
    load from other processes leaves alone."""
    times = []
    for _ in range(n):
        start = clock()
        f()
        times.append(clock() - start)
    return min(times)


def python_against_cpp(tool, image, rounds):
    print("1. tool.run from Python against the same run from C++ (thread CPU time, best of rounds, ms)")
    for method in ["histogram", "mean-stddev", "local-mean", "local-median"]:
        m = int(imgnorm.Method.parse(method))
        n = 1 if method == "local-median" else 3
        py_times, cpp_times = [], []
        for _ in range(rounds):
            cpp_times.append(tool._tool._time_run_from_cpp(image, m, n) / n)
            start = time.thread_time()
            for _ in range(n):
                out = tool.run(image, method)
            py_times.append((time.thread_time() - start) / n)
            del out
        py, cpp = min(py_times), min(cpp_times)
        print(f"   {method:13} python {py * 1e3:8.2f}  c++ {cpp * 1e3:8.2f}  overhead {100 * (py / cpp - 1):+5.1f} %")


def threads(tool, image, rounds):
    print("2. throughput of one trained tool: two Python threads against one "
          "(local-mean, 8 runs per round, wall time)")
    jobs = [image] * 8
    one_times, two_times = [], []
    with ThreadPoolExecutor(2) as pool:
        pool.submit(lambda: None).result()
        for _ in range(rounds):
            one_times.append(best(lambda: [tool.run(i, "local-mean") for i in jobs], 1, time.perf_counter))
            two_times.append(best(lambda: list(pool.map(lambda i: tool.run(i, "local-mean"), jobs)), 1,
                                  time.perf_counter))
    one, two = min(one_times), min(two_times)
    print(f"   one thread {one * 1e3:8.1f} ms  two threads {two * 1e3:8.1f} ms  speed-up {one / two:4.2f}x")


def distances(image, reference_hist):
    """How far the image's histogram is from the reference's: the
    1-Wasserstein distance (w1, the area between the cumulative
    distributions, in gray levels), the largest gap between them
    (Kolmogorov-Smirnov) and the L1 distance between the normalized
    histograms."""
    h = np.bincount(image.ravel(), minlength=256) / image.size
    r = reference_hist / reference_hist.sum()
    gap = np.abs(np.cumsum(h) - np.cumsum(r))
    return f"w1 {gap.sum():6.3f}  ks {gap.max():6.4f}  l1 {np.abs(h - r).sum():6.4f}"


def sample_set(cli, size=SIZE):
    """The command-line tool's sample set at this size: a golden board and
    the same board under drift, lower contrast, a ramp, a vignette, a defect."""
    folder = tempfile.mkdtemp(prefix="imgnorm-bench-")
    subprocess.run([cli, "samples", folder, "--size", f"{size}x{size}"], check=True, capture_output=True)
    names = ["drift", "contrast", "ramp", "vignette", "defect"]
    return imgnorm.imread(f"{folder}/golden.png"), {n: imgnorm.imread(f"{folder}/{n}.png") for n in names}


def photos():
    """scikit-image's gray photographs (Debian's python3-skimage), each under
    a gamma, a contrast loss and sensor noise, to be matched back onto the
    original."""
    import skimage.data

    rng = np.random.default_rng(11)
    for name in ["camera", "moon", "coins", "page", "brick", "grass", "gravel"]:
        original = getattr(skimage.data, name)()
        changed = 255 * (original / 255.0) ** 1.6 * 0.7 + 30 + rng.normal(0, 3, original.shape)
        yield name, original, np.clip(np.rint(changed), 0, 255).astype(np.uint8)


def histogram_matching(cases, rounds):
    """cases: (name, reference, image) triples."""
    from skimage import exposure

    print("3. histogram matching against skimage.exposure.match_histograms (thread CPU time, best of rounds):")
    print("   the tool's histogram method (trained on the reference), imgnorm.match_histograms (midpoint rule),")
    print("   and how close each result's histogram is to the reference's (skimage's floats rounded to uint8)")
    for name, reference, image in cases:
        tool = imgnorm.Normalizer(reference)
        tool.train("histogram")
        ref_hist = np.bincount(reference.ravel(), minlength=256)
        tool_times, ours_times, theirs_times = [], [], []
        for _ in range(rounds):
            tool_times.append(best(lambda: tool.run(image, "histogram"), 5))
            ours_times.append(best(lambda: imgnorm.match_histograms(image, reference), 5))
            start = time.thread_time()
            theirs = exposure.match_histograms(image, reference)
            theirs_times.append(time.thread_time() - start)
        tool_time, ours, skimage_time = min(tool_times), min(ours_times), min(theirs_times)
        theirs8 = np.clip(np.rint(theirs), 0, 255).astype(np.uint8)
        print(f"   {name:9} {image.shape[1]}x{image.shape[0]}  tool {tool_time * 1e3:6.2f} ms  "
              f"match_histograms {ours * 1e3:6.2f} ms  skimage {skimage_time * 1e3:7.1f} ms  "
              f"faster by {skimage_time / tool_time:5.1f}x / {skimage_time / ours:5.1f}x")
        for who, result in [("input", image), ("tool histogram", tool.run(image, "histogram")),
                            ("match_histograms", imgnorm.match_histograms(image, reference)),
                            ("skimage, rounded", theirs8)]:
            print(f"     {who:17} {distances(result, ref_hist)}")


def main():
    rounds = 2 if "--quick" in sys.argv else 5
    # One library thread per call: the comparisons are of calls, and of
    # Python threads, not of the library's own parallel strips.
    imgnorm.set_num_threads(1)
    print(f"imgnorm Python benchmark, {SIZE} x {SIZE}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f} at start")
    if "--matching" not in sys.argv:
        golden, image = images()
        tool = imgnorm.Normalizer(golden)
        tool.train()
        python_against_cpp(tool, image, rounds)
        threads(tool, image, rounds)
    cli = os.environ.get("IMGNORM_CLI", os.path.join(os.path.dirname(imgnorm.__file__), "../../apps/imgnorm"))
    golden, runs = sample_set(cli)
    histogram_matching([(name, golden, image) for name, image in runs.items()], rounds)
    histogram_matching([(name, original, changed) for name, original, changed in photos()], rounds)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
