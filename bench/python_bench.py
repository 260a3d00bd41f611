#!/usr/bin/python3
"""Speed of the Python package on 4096 x 4096 images, as ratios measured in
one run (alternating the two sides, so that load on a shared machine hits
both alike), with the library's own threads set to one:

1. ``tool.run`` called from Python against the same runs called from C++;
2. two Python threads on one trained tool against one thread;
3. histogram matching to a trained reference against scikit-image's
   ``exposure.match_histograms``, with how close each result's histogram is
   to the reference's.

Usage: PYTHONPATH=build/release/python bench/python_bench.py [--quick]
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
    """How far the image's histogram is from the reference's: the earth
    mover's distance (the area between the cumulative distributions, in gray
    levels), the largest gap between them (Kolmogorov-Smirnov) and the L1
    distance between the normalized histograms."""
    h = np.bincount(image.ravel(), minlength=256) / image.size
    r = reference_hist / reference_hist.sum()
    gap = np.abs(np.cumsum(h) - np.cumsum(r))
    return f"emd {gap.sum():6.3f}  ks {gap.max():6.4f}  l1 {np.abs(h - r).sum():6.4f}"


def sample_set(cli, size=SIZE):
    """The command-line tool's sample set at this size: a golden board and
    the same board under drift, lower contrast, a ramp, a vignette, a defect."""
    folder = tempfile.mkdtemp(prefix="imgnorm-bench-")
    subprocess.run([cli, "samples", folder, "--size", f"{size}x{size}"], check=True, capture_output=True)
    names = ["drift", "contrast", "ramp", "vignette", "defect"]
    return imgnorm.imread(f"{folder}/golden.png"), {n: imgnorm.imread(f"{folder}/{n}.png") for n in names}


def histogram_matching(golden, runs, rounds):
    from skimage import exposure

    print("3. histogram matching to a trained reference against skimage.exposure.match_histograms "
          "(thread CPU time, best of rounds)")
    print("   and the distance of each result's histogram to the reference's")
    tool = imgnorm.Normalizer(golden)
    tool.train("histogram")
    ref_hist = np.bincount(golden.ravel(), minlength=256)
    for name, image in runs.items():
        ours_times, theirs_times = [], []
        for _ in range(rounds):
            ours_times.append(best(lambda: tool.run(image, "histogram"), 5))
            start = time.thread_time()
            theirs = exposure.match_histograms(image, golden)
            theirs_times.append(time.thread_time() - start)
        ours, skimage_time = min(ours_times), min(theirs_times)
        theirs8 = np.clip(np.rint(theirs), 0, 255).astype(np.uint8)
        print(f"   {name:9} imgnorm {ours * 1e3:6.2f} ms  skimage {skimage_time * 1e3:7.1f} ms  "
              f"imgnorm faster by {skimage_time / ours:5.1f}x")
        for who, result in [("input", image), ("imgnorm", tool.run(image, "histogram")),
                            ("skimage, rounded", theirs8)]:
            print(f"     {who:17} {distances(result, ref_hist)}")


def main():
    rounds = 2 if "--quick" in sys.argv else 5
    # One library thread per call: the comparisons are of calls, and of
    # Python threads, not of the library's own parallel strips.
    imgnorm.set_num_threads(1)
    print(f"imgnorm Python benchmark, {SIZE} x {SIZE}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f} at start")
    golden, image = images()
    tool = imgnorm.Normalizer(golden)
    tool.train()
    python_against_cpp(tool, image, rounds)
    threads(tool, image, rounds)
    cli = os.environ.get("IMGNORM_CLI", os.path.join(os.path.dirname(imgnorm.__file__), "../../apps/imgnorm"))
    histogram_matching(*sample_set(cli), rounds)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
