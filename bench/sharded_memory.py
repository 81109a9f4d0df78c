"""Sharded data-parallel training against one process on the whole set: per
process wall time, CPU time and peak memory. Ranks run on gloo over 127.0.0.1
with the sharded tests' worker, each making only its own rows.

    PYTHONPATH=build/debian/lib python3 bench/sharded_memory.py [--n 8000] [--features 16] [--steps 256]

Sittings, in this order: one process with all rows; 4 ranks each with a
quarter; 2 ranks each with a half. Peak RSS is the process's ru_maxrss at the
end of the call (imports, data and the call); "before" is its peak before the
data were made, so peak - before is what the data and the call added. Times
are of the call alone. On a machine with fewer cores than ranks, the ranks'
wall times include waiting for each other's turn on a core.
"""
import argparse
import json
import os
import runpy
import sys
import tempfile
import types
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"


def load_tests():
    sys.path.insert(0, str(TESTS))  # the runner's own helpers (conftest, rank_group)
    return types.SimpleNamespace(**runpy.run_path(str(TESTS / "test_sharded.py")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=8000)
    parser.add_argument("--features", type=int, default=16)
    parser.add_argument("--steps", type=int, default=256)
    parser.add_argument("--timeout", type=int, default=900)
    args = parser.parse_args()
    t = load_tests()
    options = dict(t.OPTIONS, convChannels=[16, 32], rnnHidden=32, poolSize=4, batchSize=64, maxEpochs=1, seed=1)
    data = {"n": args.n, "features": args.features, "length": args.steps}
    sittings = [("1 process, all rows", 0, [1.0], options),
                ("4 ranks, a quarter each", 4, [0.25] * 4, dict(options, dataParallel="sharded")),
                ("2 ranks, a half each", 2, [0.5] * 2, dict(options, dataParallel="sharded"))]
    print("X: %d x %d x %d float32 = %.1f MB; load %.1f on %d cores"
          % (args.n, args.features, args.steps, args.n * args.features * args.steps * 4 / 1e6, os.getloadavg()[0],
             os.cpu_count() or 1))
    print("| sitting | rank | rows | wall s | CPU s | peak RSS MB | before MB | peak - before MB "
          "| wall / 1 proc | CPU / 1 proc | peak / 1 proc | added / 1 proc |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    alone = None
    accuracy = []
    for name, world, shares, opts in sittings:
        call = dict(data, shares=shares, options=opts)
        with tempfile.TemporaryDirectory() as tmp:
            runs = t.run_ranks(t.WORKER, world, json.dumps({"timeout": 600, "calls": [call]}), tmp,
                               timeout=args.timeout)
        for rank, (results, _) in enumerate(runs):
            r = results[0]
            if "error" in r:
                raise SystemExit("%s, rank %d: %s: %s" % (name, rank, *r["error"]))
            peak, before = r["maxrss"] / 1024, r["rss_before"] / 1024
            row = (r["wall"], r["cpu"], peak, peak - before)
            if alone is None:
                alone = row
            ratios = " | ".join("%.2f" % (v / a) for v, a in zip(row, alone))
            print("| %s | %d | %d | %.2f | %.2f | %.0f | %.0f | %.0f | %s |"
                  % (name, rank, r["rows"], r["wall"], r["cpu"], peak, before, peak - before, ratios))
        accuracy.append("%s %.4f" % (name, runs[0][0][0]["info"]["metricsTest"]["accuracy"]))
    print("test accuracy: " + "; ".join(accuracy))


if __name__ == "__main__":
    main()
