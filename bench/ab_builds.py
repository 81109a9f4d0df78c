"""A/B of two builds of the modules on the benchmark's workloads: the whole call of
HybridSeqTrain ("ours" in bench.py), each run in a fresh process, the two builds
alternating inside every round; prints the medians and B / A.

    python3 bench/ab_builds.py --a OLD_LIB_DIR --b NEW_LIB_DIR [--workloads b,c:LSTM,d]
        [--epochs 3] [--rounds 5] [--threads 1] [--threads-b T]

Same interpreter, same data files and same settings for both builds, so the ratio is
the change's effect on speed; the test accuracies are printed beside it (a change
that keeps results bit for bit keeps them equal). With --threads-b, B runs at that many
threads instead: the same folder as A and B then measures A / B, the speed-up from the
threads, in one sitting (a fixed seed gives the same accuracies at any thread count).
"""
import argparse
import os
import statistics
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (the benchmark's own workloads, split and child runner)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--a", required=True, help="folder with build A's modules (the baseline)")
    ap.add_argument("--b", required=True, help="folder with build B's modules")
    ap.add_argument("--workloads", default="b,c:LSTM,d")
    ap.add_argument("--epochs", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--threads-b", type=int, default=0, help="B's threads (default: --threads)")
    args = ap.parse_args()
    threads = {"a": args.threads, "b": args.threads_b or args.threads}
    rows = [(w.split(":")[0], w.split(":")[1] if ":" in w else "LSTM") for w in args.workloads.split(",")]
    times = {(row, build): [] for row in rows for build in "ab"}
    accs = {(row, build): set() for row in rows for build in "ab"}
    with tempfile.TemporaryDirectory() as tmp:
        files = {}
        for name in sorted({name for name, _ in rows}):
            X, y = bench.make_workload(name)
            _, y_enc = np.unique(y, return_inverse=True)
            split = bench.split_like_pipeline(y_enc.reshape(-1), seed=1)
            files[name] = os.path.join(tmp, name + ".npz")
            np.savez(files[name], X=X, y=y, train_idx=split[0], val_idx=split[1], test_idx=split[2])
        for _ in range(args.rounds):
            for row in rows:
                for build in "ab":
                    lib = getattr(args, build)
                    env = {"PYTHONPATH": os.pathsep.join([lib, os.environ.get("PYTHONPATH", "")])}
                    res = bench.run_child(files[row[0]], "ours", row[1], args.epochs, "cpu", 1800,
                                          threads=threads[build], env_extra=env)
                    if "error" in res:
                        raise SystemExit("%s %s: %s" % (row, build, res["error"]))
                    times[(row, build)].append(res["total"])
                    accs[(row, build)].add(round(res["acc"], 4))
    print("A = %s, %d thread(s)\nB = %s, %d thread(s)\n%d epochs, %d rounds, fresh process each, medians of the "
          "whole call" % (args.a, threads["a"], args.b, threads["b"], args.epochs, args.rounds))
    print("%-10s %9s %9s %7s   %s" % ("workload", "A s", "B s", "B/A", "test accuracy A | B"))
    for row in rows:
        a, b = statistics.median(times[(row, "a")]), statistics.median(times[(row, "b")])
        label = row[0] + " " + row[1]
        print("%-10s %9.3f %9.3f %7.3f   %s | %s" % (label, a, b, b / a, sorted(accs[(row, "a")]),
                                                  sorted(accs[(row, "b")])))


if __name__ == "__main__":
    main()
