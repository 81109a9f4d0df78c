"""ATen operators per training batch of a whole call, counted with torch's profiler.

    PYTHONPATH=/path/to/build/lib python bench/aten_events.py [--workload d] [--threads 1]

Runs HybridSeqTrain for one epoch and for two (same seed, same options as bench.py's
workload), and prints the difference, one epoch's events, per training batch: the
top-level events (operators our code calls outside any other operator; the autograd
engine's node evaluations count as top-level too), then the events recorded inside the
hand-written training step's range ("hst::native_training_step": its allocations and
layout operators), all of them and its direct children.
"""
import argparse
import collections
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (the benchmark's workloads)

STEP = "hst::native_training_step"


def count(X, y, epochs, batch_size):
    import torch
    from torch.profiler import ProfilerActivity, profile
    from HybridSeqTrain import HybridSeqTrain
    opts = {"figflag": False, "earlyStoppingPatience": 0, "maxEpochs": epochs, "batchSize": batch_size,
            "networkType": "LSTM", "seed": 1, "deviceSel": "cpu", "verbose": False}
    with profile(activities=[ProfilerActivity.CPU]) as prof:
        HybridSeqTrain(X, y, opts)
    top, inside, direct = collections.Counter(), collections.Counter(), collections.Counter()
    for e in prof.events():
        if e.cpu_parent is None:
            top[e.name] += 1
            continue
        root = e.cpu_parent
        while root.cpu_parent is not None:
            root = root.cpu_parent
        if root.name == STEP:
            inside[e.name] += 1
            if e.cpu_parent.name == STEP:
                direct[e.name] += 1
    del torch
    return top, inside, direct


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workload", default="d", choices=("a", "b", "c", "d"))
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--batch-size", type=int, default=64)
    args = ap.parse_args()
    import numpy as np
    import torch
    torch.set_num_threads(args.threads)
    X, y = bench.make_workload(args.workload)
    _, y_enc = np.unique(y, return_inverse=True)
    train_rows = len(bench.split_like_pipeline(y_enc.reshape(-1), seed=1)[0])
    batches = -(-train_rows // args.batch_size)
    one, two = count(X, y, 1, args.batch_size), count(X, y, 2, args.batch_size)
    print("workload %s, one epoch: %d training batches of at most %d rows (and the validation batches)"
          % (args.workload, batches, args.batch_size))
    for title, a, b in (("top-level events", one[0], two[0]), ("events inside " + STEP, one[1], two[1]),
                        ("of which direct children of " + STEP, one[2], two[2])):
        diff = {k: b[k] - a[k] for k in set(a) | set(b) if b[k] != a[k]}
        total = sum(diff.values())
        print("%s in one epoch: %d (%.1f per training batch)" % (title, total, total / batches))
        for name, n in sorted(diff.items(), key=lambda kv: (-kv[1], kv[0]))[:25]:
            print("  %6d %6.2f  %s" % (n, n / batches, name))


if __name__ == "__main__":
    main()
