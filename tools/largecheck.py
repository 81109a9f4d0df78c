#!/usr/bin/env python3
"""Peak resident memory of one HybridSeqTrain call on a large float32 X.

    PYTHONPATH=<folder with both modules> python3 tools/largecheck.py
    ... --samples 20000 --features 100 --steps 256      (the defaults: X of 2.05 GB)

The input is adapted (one float32 copy), standardised in place and trained for one
epoch with a small network; the script prints the size of X, resident memory after
the imports and after X is built, the peak during the call (resource.getrusage),
the time of each console line from the start of the call, and whether the peak
stays within 2 x X + 500 MB. Exits 1 when it does not. Needs about 5 GB of memory.
"""
import argparse
import os
import resource
import sys
import time

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np

import HybridSeqTrain as H

MB = 2 ** 20


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kB on Linux


class Timestamped:
    """sys.stdout stand-in that records when each line arrives."""

    def __init__(self, start):
        self.start, self.lines = start, []

    def write(self, text):
        for line in text.splitlines():
            if line.strip():
                self.lines.append((time.monotonic() - self.start, line))
        return len(text)

    def flush(self):
        pass


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--samples", type=int, default=20000)
    p.add_argument("--features", type=int, default=100)
    p.add_argument("--steps", type=int, default=256)
    p.add_argument("--batch-size", type=int, default=256)
    a = p.parse_args(argv)

    after_imports = current_rss()
    # Filled block by block so that no float64 temporary of full size exists.
    X = np.empty((a.samples, a.features, a.steps), dtype=np.float32)
    rng = np.random.default_rng(0)
    for start in range(0, a.samples, 1000):  # even starts: odd rows of a block are class 1
        block = X[start:start + 1000]
        rng.standard_normal(out=block, dtype=np.float32)
        block[1::2] += 0.5
    Y = np.arange(a.samples) % 2
    after_x = current_rss()
    peak_before_call = peak_rss()

    options = {"maxEpochs": 1, "convChannels": [4], "rnnHidden": 4, "batchSize": a.batch_size,
               "figflag": False, "showFigures": False, "deviceSel": "cpu"}
    start = time.monotonic()
    console = Timestamped(start)
    sys.stdout = console
    try:
        _, _, _, info = H.HybridSeqTrain(X, Y, options)
    finally:
        sys.stdout = sys.__stdout__
    elapsed = time.monotonic() - start
    peak = peak_rss()

    budget = 2 * X.nbytes + 500 * MB
    print(f"X: shape {X.shape} float32, {X.nbytes / MB:.1f} MB")
    print(f"RSS after imports: {after_imports / MB:.1f} MB; after building X: {after_x / MB:.1f} MB "
          f"(peak so far {peak_before_call / MB:.1f} MB)")
    print(f"peak RSS during the call: {peak / MB:.1f} MB = RSS before the call + {(peak - after_x) / MB:.1f} MB "
          f"({(peak - after_x) / X.nbytes:.2f} x X)")
    print(f"budget 2 x X + 500 MB: {budget / MB:.1f} MB -> {'within' if peak <= budget else 'EXCEEDED'}")
    print(f"call took {elapsed:.1f} s; console lines (seconds from the start of the call):")
    for t, line in console.lines:
        print(f"  {t:7.2f}  {line}")
    print(f"test accuracy {info['metricsTest']['accuracy']:.4f}")
    return 0 if peak <= budget else 1


if __name__ == "__main__":
    sys.exit(main())
