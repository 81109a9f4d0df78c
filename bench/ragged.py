"""Sequences of unequal length: HybridSeqTrain on a ragged list against itself on the same
data zero-padded, and against a tuned plain PyTorch loop with pack_padded_sequence.

    PYTHONPATH=/path/to/build/lib python bench/ragged.py [--rounds R] [--epochs E]
        [--samples N] [--threads T]

Data: N (default 2000) synthetic samples, 12 features, lengths uniform in 8..128, 4
classes told apart by the frequency of a sine buried in noise (the class does not show in
the length). Network and training as bench/bench.py: LSTM, conv channels [32, 64], kernel
5, pooling 2, hidden 64, dropout 0.2, Adam lr 1e-3, batch 64, clipping at norm 5, class
weights "auto", early stopping off, seed 1.

Contestants, each in a fresh process per round (alternated inside every round; medians):
  ragged   HybridSeqTrain(list of [12, L_i] arrays, y, options): the whole call.
  padded   HybridSeqTrain on the same samples zero-padded to [N, 12, 128].
  packed   the tuned plain loop of bench/bench.py (whole sets as tensors, batches by index,
           Adam(foreach=True), one host synchronisation per epoch) over torch.nn's layers,
           each batch cut to its longest sample, the convolution stack on the padded batch
           and the recurrent layer on pack_padded_sequence(..., enforce_sorted=False); its
           summary is each sample's own last step. Standardisation over valid steps only,
           the padding kept at zero (the convolutions after the first read what the layers
           before them leave in the padding, as in a plain loop). Same split as ours.
Printed: s/call, test accuracy, and the ratios padded/ragged and packed/ragged (>1: ours
on the ragged input is faster).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch
import torch.nn as nn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench as B  # noqa: E402  (the shared configuration, split and plain network)

TAG = "RAGGED_RESULT "
FEATURES, CLASSES, SHORTEST, LONGEST = 12, 4, 8, 128


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    y = np.arange(n) % CLASSES
    lengths = rng.integers(SHORTEST, LONGEST + 1, size=n)
    X = []
    for i, length in enumerate(lengths):
        t = np.arange(length)
        signal = np.sin(2 * np.pi * (y[i] + 1) * t / 32.0 + rng.uniform(0, 2 * np.pi))
        x = rng.normal(scale=1.0, size=(FEATURES, length))
        x[: FEATURES // 2] += signal
        X.append(x.astype(np.float32))
    return X, y, lengths


def zero_padded(X, longest=LONGEST):
    out = np.zeros((len(X), X[0].shape[0], longest), dtype=np.float32)
    for i, x in enumerate(X):
        out[i, :, : x.shape[1]] = x
    return out


def run_ours(X, y, epochs):
    from HybridSeqTrain import HybridSeqTrain
    options = {"figflag": False, "earlyStoppingPatience": 0, "maxEpochs": epochs, "batchSize": B.BATCH,
               "networkType": "LSTM", "seed": 1, "deviceSel": "cpu"}
    devnull, real = open(os.devnull, "w"), sys.stdout
    sys.stdout = devnull
    t0 = time.perf_counter()
    try:
        info = HybridSeqTrain(X, y, options)[3]
    finally:
        total = time.perf_counter() - t0
        sys.stdout = real
    return float(info["metricsTest"]["accuracy"]), total


class PackedCNNRNN(nn.Module):
    """bench.py's network with the recurrent layer over packed sequences."""

    def __init__(self, features, classes):
        super().__init__()
        self.net = B.PlainCNNRNN(**B.network_args(features, classes, "LSTM"))

    def forward(self, x, lengths):
        net = self.net
        features = net.cnn(x)
        out_lengths = lengths
        for layer in net.cnn:
            if isinstance(layer, nn.Conv1d):
                k, p = layer.kernel_size[0], layer.padding[0]
                out_lengths = out_lengths + 2 * p - k + 1
            elif isinstance(layer, nn.MaxPool1d):
                out_lengths = (out_lengths - layer.kernel_size) // layer.stride + 1
        packed = nn.utils.rnn.pack_padded_sequence(features.transpose(1, 2), out_lengths.cpu(),
                                                   batch_first=True, enforce_sorted=False)
        _, (h, _) = net.rnn(packed)
        return net.classifier(net.dropout(h[-1]))


def run_packed(X, y, lengths, split, epochs, seed=1):
    import random
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)
    t0 = time.perf_counter()
    train_idx, val_idx, test_idx = split
    seq = zero_padded(X)
    mask = np.arange(LONGEST)[None, None, :] < lengths[:, None, None]
    valid = np.concatenate([X[i] for i in train_idx], axis=1)
    mean, std = valid.mean(axis=1), valid.std(axis=1)
    std[std < 1e-8] = 1.0
    seq = np.where(mask, (seq - mean[None, :, None]) / std[None, :, None], 0.0).astype(np.float32)
    counts = np.bincount(y[train_idx], minlength=CLASSES).astype(np.float32)
    weights = counts.sum() / np.maximum(counts * CLASSES, 1.0)
    model = PackedCNNRNN(FEATURES, CLASSES)
    criterion = nn.CrossEntropyLoss(weight=torch.tensor(weights))
    x_all, y_all, l_all = torch.from_numpy(seq), torch.from_numpy(y.astype(np.int64)), torch.from_numpy(lengths)
    part = {k: torch.from_numpy(v) for k, v in (("train", train_idx), ("val", val_idx), ("test", test_idx))}
    xt, yt, lt = x_all[part["train"]], y_all[part["train"]], l_all[part["train"]]
    xv, yv, lv = x_all[part["val"]], y_all[part["val"]], l_all[part["val"]]
    params = list(model.parameters())
    optimizer = torch.optim.Adam(params, lr=B.LEARN_RATE, foreach=True)

    def batch(xs, ls, rows):
        lb = ls.index_select(0, rows)
        return xs.index_select(0, rows)[:, :, : int(lb.max())], lb

    best_state, best_val = {k: v.clone() for k, v in model.state_dict().items()}, float("inf")
    n_train, n_val = xt.size(0), xv.size(0)
    for _ in range(epochs):
        model.train()
        perm = torch.randperm(n_train)
        for start in range(0, n_train, B.BATCH):
            rows = perm[start:start + B.BATCH]
            bx, bl = batch(xt, lt, rows)
            optimizer.zero_grad(set_to_none=True)
            loss = criterion(model(bx, bl), yt.index_select(0, rows))
            loss.backward()
            torch.nn.utils.clip_grad_norm_(params, max_norm=B.CLIP)
            optimizer.step()
        model.eval()
        val_sum = torch.zeros(())
        with torch.no_grad():
            for start in range(0, n_val, B.BATCH):
                rows = torch.arange(start, min(start + B.BATCH, n_val))
                bx, bl = batch(xv, lv, rows)
                val_sum += criterion(model(bx, bl), yv.index_select(0, rows)) * rows.numel()
        val_loss = val_sum.item() / max(n_val, 1)
        if val_loss < best_val - 1e-6:
            best_val, best_state = val_loss, {k: v.clone() for k, v in model.state_dict().items()}
    model.load_state_dict(best_state)
    model.eval()
    xs, ys, ls = x_all[part["test"]], y_all[part["test"]], l_all[part["test"]]
    with torch.no_grad():
        pred = torch.cat([model(*batch(xs, ls, torch.arange(s, min(s + B.BATCH, xs.size(0))))).argmax(1)
                          for s in range(0, xs.size(0), B.BATCH)])
    return (pred == ys).float().mean().item(), time.perf_counter() - t0


def child(args):
    B.limit_threads(args.threads)
    X, y, lengths = make_data(args.samples)
    if args.impl == "ragged":
        acc, total = run_ours(X, y, args.epochs)
    elif args.impl == "padded":
        acc, total = run_ours(zero_padded(X), y, args.epochs)
    else:
        acc, total = run_packed(X, y, lengths, B.split_like_pipeline(y, 1), args.epochs)
    print(TAG + json.dumps({"impl": args.impl, "acc": acc, "total": total}))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--impl", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.impl:
        return child(args)
    impls = ("ragged", "padded", "packed")
    results = {k: [] for k in impls}
    for r in range(args.rounds):
        for impl in impls:
            cmd = [sys.executable, os.path.abspath(__file__), "--impl", impl, "--epochs", str(args.epochs),
                   "--samples", str(args.samples), "--threads", str(args.threads)]
            out = subprocess.run(cmd, capture_output=True, text=True, check=False)
            line = [l for l in out.stdout.splitlines() if l.startswith(TAG)]
            if not line:
                sys.exit("%s failed:\n%s" % (impl, out.stderr[-3000:]))
            results[impl].append(json.loads(line[0][len(TAG):]))
    med = {k: statistics.median(r["total"] for r in v) for k, v in results.items()}
    acc = {k: statistics.median(r["acc"] for r in v) for k, v in results.items()}
    print("torch %s, numpy %s, %d threads, %d samples x %d features, lengths %d..%d, %d epochs, %d rounds"
          % (torch.__version__, np.__version__, args.threads or torch.get_num_threads(), args.samples, FEATURES,
             SHORTEST, LONGEST, args.epochs, args.rounds))
    print("%-8s %10s %8s" % ("", "s/call", "acc"))
    for k in impls:
        print("%-8s %10.3f %8.4f" % (k, med[k], acc[k]))
    print("padded / ragged = %.2fx (target >= 1.5x)" % (med["padded"] / med["ragged"]))
    print("packed / ragged = %.2fx (target >= 2x); accuracy ragged - packed = %+.4f (target >= -0.01)"
          % (med["packed"] / med["ragged"], acc["ragged"] - acc["packed"]))


if __name__ == "__main__":
    main()
