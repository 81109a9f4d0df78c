"""What writing a checkpoint after every epoch costs a whole call: HybridSeqTrain on workload c
of bench/bench.py (2700x9x128, LSTM, bench.py's settings) with and without "checkpointPath".

    PYTHONPATH=/path/to/build/lib python bench/checkpoint_cost.py [--rounds R] [--epochs E]
        [--threads T] [--folder DIR]

Both variants run in one process, alternated inside every round (which goes first alternates
too), after one warm-up call; the checkpoint is written to a fresh file in --folder (default: a
temporary folder) and removed after each call. Prints every call's seconds, the medians, and
the overhead of the median with checkpoints over the median without, in percent, for wall
time and for the process's CPU time (user + system, all threads: less disturbed by other
work on a shared machine, though blind to time spent waiting for the disk). The two
variants must give the same predictions and history (checked).
"""
import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import BATCH, make_workload  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--folder", default=None)
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    from HybridSeqTrain import HybridSeqTrain

    X, y = make_workload("c")
    options = {"figflag": False, "earlyStoppingPatience": 0, "maxEpochs": args.epochs, "batchSize": BATCH,
               "networkType": "LSTM", "seed": 1, "deviceSel": "cpu"}
    folder = args.folder or tempfile.mkdtemp(prefix="hst-ckpt-bench-")
    path = os.path.join(folder, "bench.ckpt")

    def call(with_checkpoint):
        o = dict(options, checkpointPath=path) if with_checkpoint else dict(options)
        t0, c0 = time.perf_counter(), time.process_time()
        with contextlib.redirect_stdout(io.StringIO()):
            _, _, _, info = HybridSeqTrain(X, y, o)
        seconds = (time.perf_counter() - t0, time.process_time() - c0)
        size = os.path.getsize(path) if with_checkpoint else 0
        if with_checkpoint:
            os.remove(path)
        return seconds, size, info

    call(False)  # warm-up
    times = {False: [], True: []}
    infos = {}
    size = 0
    for r in range(args.rounds):
        for with_checkpoint in ((False, True) if r % 2 == 0 else (True, False)):
            seconds, s, info = call(with_checkpoint)
            size = max(size, s)
            times[with_checkpoint].append(seconds)
            infos[with_checkpoint] = info
            print("round %d %-16s %.3f s wall, %.3f s CPU" % (
                r + 1, "checkpoint" if with_checkpoint else "no checkpoint", seconds[0], seconds[1]), flush=True)
    same = (np.array_equal(infos[False]["probabilityTest"], infos[True]["probabilityTest"])
            and infos[False]["history"] == infos[True]["history"])
    print("workload c, LSTM, %d epochs, %d thread(s), %d rounds; file %.0f kB; same results: %s" % (
        args.epochs, args.threads, args.rounds, size / 1e3, same))
    for i, kind in enumerate(("wall", "CPU")):
        without = statistics.median(t[i] for t in times[False])
        with_ = statistics.median(t[i] for t in times[True])
        print("%-4s median without %.3f s, with %.3f s: overhead %+.2f %%" % (kind, without, with_,
                                                                          100 * (with_ / without - 1)))
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
