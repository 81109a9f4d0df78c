"""Costs of the scikit-learn estimator against the function and the bare network.

    PYTHONPATH=/path/to/build/lib python bench/estimator.py [--rounds R] [--epochs E] [--rows N]

1. fit: HybridSeqClassifier.fit on digits' training and validation rows against
   HybridSeqTrain on the same rows (splitLabels in the estimator's own split, plus a
   test part of 10 % of them), figures off, E epochs without early stopping. The
   function does more after training (predicting and scoring three sets); the ratio
   says what the estimator's own steps add.
2. predict_proba on N digits rows (the 1,797 images repeated) against model_(x) on the
   prepared tensor (adapted and standardised beforehand, the whole set in one call,
   no_grad), plus the softmax.

Every measurement runs in a fresh process, the contestants alternate within each round,
and medians over the rounds are printed with their ratios.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

CHILD = r"""
import json, sys, time
import numpy as np, torch
from sklearn.datasets import load_digits
from HybridSeqTrain import HybridSeqClassifier, HybridSeqTrain
what, epochs, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
X, y = load_digits(return_X_y=True)
X = X.reshape(-1, 8, 8)
opts = dict(maxEpochs=epochs, earlyStoppingPatience=epochs, deviceSel="cpu", seed=1)
if what in ("fit", "function"):
    clf = HybridSeqClassifier(**opts)
    clf.fit(X[:200], y[:200])  # first-call costs (imports, first touch) outside the timed span
    probe = HybridSeqClassifier(**opts).set_params(maxEpochs=1).fit(X, y)
    train, val = probe.train_rows_, probe.validation_rows_
    if what == "fit":
        start = time.perf_counter()
        HybridSeqClassifier(**opts).fit(X, y)
    else:
        rng = np.random.default_rng(0)
        extra = rng.choice(len(y), len(y) // 10, replace=False)
        order = np.concatenate([train, val, extra])
        labels = [1] * len(train) + [2] * len(val) + [3] * len(extra)
        start = time.perf_counter()
        HybridSeqTrain(X[order], y[order], dict(opts, splitLabels=labels, figflag=False))
    print(json.dumps({"s": time.perf_counter() - start}))
else:
    clf = HybridSeqClassifier(**dict(opts, maxEpochs=1)).fit(X, y)
    big = np.resize(X, (rows, 8, 8))
    clf.predict_proba(big[:100])
    if what == "predict_proba":
        start = time.perf_counter()
        clf.predict_proba(big)
    else:
        x = torch.from_numpy(((big.astype(np.float32) - clf.feature_mean_) / clf.feature_std_).astype(np.float32))
        with torch.no_grad():
            clf.model_(x[:100])
            start = time.perf_counter()
            torch.softmax(clf.model_(x), dim=1)
    print(json.dumps({"s": time.perf_counter() - start}))
"""


def run(what, epochs, rows):
    out = subprocess.run([sys.executable, "-c", CHILD, what, str(epochs), str(rows)], capture_output=True, text=True,
                         env=dict(os.environ, MPLBACKEND="Agg"), timeout=900)
    if out.returncode != 0:
        raise SystemExit(out.stderr[-3000:])
    return json.loads(out.stdout.strip().splitlines()[-1])["s"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=60000)
    args = ap.parse_args()
    pairs = [("fit", "function"), ("predict_proba", "model_(x)")]
    times = {name: [] for pair in pairs for name in pair}
    for _ in range(args.rounds):
        for pair in pairs:
            for name in pair:
                times[name].append(run(name, args.epochs, args.rows))
    import torch
    print(f"torch {torch.__version__}, {args.rounds} rounds, fresh process each, medians")
    print(f"{'measure':<34}{'ours s':>10}{'baseline s':>12}{'ratio':>8}")
    labels = {"fit": f"fit, digits, {args.epochs} epochs", "predict_proba": f"predict_proba, {args.rows} rows"}
    for ours, base in pairs:
        a, b = statistics.median(times[ours]), statistics.median(times[base])
        print(f"{labels[ours] + ' vs ' + base:<34}{a:>10.3f}{b:>12.3f}{a / b:>8.3f}")


if __name__ == "__main__":
    main()
