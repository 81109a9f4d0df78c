"""Times HybridSeqTrain against plain PyTorch loops and skorch over the same training.

    PYTHONPATH=/path/to/build/lib python bench/bench.py [--quick]
        [--workloads a,b,c,d] [--epochs N] [--rounds R] [--device cpu|cuda] [--threads T]
        [--compile-cache warm|cold] [--compile-rnn] [--fma-peak-bench PATH]
        [--isa auto|avx512|avx2] [--json FILE]

Runs with torch 1.13 and with torch 2.x (numpy 1 or 2); the children use the interpreter
that runs the parent.

Workloads (rows): a = iris 150x4, b = digits 1797x8x8, c = 2700x9x128 synthetic
multichannel sequences (6 classes), d = 5000x28x28 synthetic images (10 classes).
Every row uses the LSTM network; c also runs GRU and BiLSTM. A token "c:GRU" selects one
row. All rows: conv channels [32, 64], kernel 5, pooling 2, hidden 64, one recurrent
layer, dropout 0.2, Adam lr 1e-3, batch 64, gradient clipping at norm 5, class weights
"auto", standardisation with training statistics, early stopping off, seed 1.

Implementations (contestants):
  ours      HybridSeqTrain(X, Y, options) -- the whole call is timed.
  straight  what a user writes first: torch.nn modules, DataLoader over TensorDataset with
            shuffle, CrossEntropyLoss, Adam, clip_grad_norm_, .item() per batch.
  tuned     the fastest plain Python loop we could write: whole sets as tensors on the
            device, batches by index (no DataLoader), Adam(foreach=True),
            zero_grad(set_to_none=True), losses and counts accumulated on the device (one
            host synchronisation per epoch, for the best-state decision), no_grad validation.
  compiled  the tuned loop with the module under torch.compile (default mode); the
            compilation is paid inside the call. torch >= 2.0 only. By default torch's
            compiler runs nn.LSTM/GRU/RNN eagerly (graph break); --compile-rnn asks it to
            trace them (torch._dynamo.config.allow_rnn). The compiler's disk cache is a
            fresh folder of this run: --compile-cache warm (default) fills it with one
            untimed 1-epoch run per row first, as every run of a user's script but the
            first finds it; cold gives every run an empty one.
  skorch    skorch's NeuralNetClassifier training the same PlainCNNRNN: Adam lr 1e-3,
            batch 64, iterator_train__shuffle, CrossEntropyLoss with criterion__weight,
            GradientNormClipping(5), train_split=predefined_split(validation set),
            EarlyStopping(load_best=True) with a patience that never runs out and the
            improvement rule of the loops, max_epochs=E. Only where skorch is installed.
All the baselines keep the state of the best validation loss and report test accuracy
with it, as ours does. A contestant that cannot run with this interpreter shows a dash in
its columns and the reason once, under the tables.

Each measurement runs in a fresh process (this file with --child); implementations are
alternated inside every round and the median over rounds is reported. Library imports
are done in the child before the timed span, for every contestant: ours' module, skorch,
and for the baselines on torch 2.x torch._dynamo, which torch otherwise imports at the
first construction of a torch.optim optimiser over parameters (seconds; ours builds
none). --threads sets torch's intra-op threads in the parent and every child, and the
thread pools of the BLAS and OpenMP libraries loaded in them (through threadpoolctl,
which scikit-learn brings): a pthreads OpenBLAS, Debian's, ignores torch.set_num_threads
and would run the baselines' products and the GEMM rate on every core (default: each
library's own choice, which differs between versions).

Measures:
  s/epoch (call)    wall time of the whole call / E. For ours this is HybridSeqTrain from
                    entry to return (adaptation, split, standardisation, network build,
                    E epochs, predictions of all three sets, metrics); for the baselines
                    the same span (adaptation, standardisation, network build, E epochs,
                    best-state restore, test prediction). Nothing is subtracted.
  s/epoch (steady)  (time at end of epoch M - time at end of epoch 1) / (M - 1), M the
                    largest multiple of 5 <= E: epochs 2..M only, so start-up, first-epoch
                    warm-up and the final predictions are excluded. For ours the epoch ends
                    are the moments its console prints the epoch lines of epochs 1, 5, 10,
                    ...(captured by timestamping sys.stdout); for skorch a callback
                    stamps every epoch end; needs E >= 5. For compiled, epoch 1 holds the
                    compilation of the training and evaluation graphs, which the steady
                    figure leaves out.
  acc               test accuracy on the same split (the parent computes the split with
                    sklearn exactly as the pipeline does; ours' info["trainIdx"/"valIdx"/
                    "testIdx"] are checked against it and a mismatch is flagged with "!").
  RSS               peak resident set of the child process (VmHWM; ru_maxrss is not used
                    because Linux carries the parent's peak into a forked child), and the
                    growth during the call: the peak record is restarted just before the
                    call (/proc/self/clear_refs), growth = peak in call - resident size
                    just before it. Only the child itself: worker processes that
                    torch's compiler may start are not counted.
  %GEMM             model FLOPs per epoch / s per epoch (call) / measured float32 GEMM
                    FLOP/s of torch's own product (torch.mm of 2048^3 on the CPU, 4096^3 on
                    CUDA, in the parent with the same thread count as the children; best of
                    4 timed calls before the runs and 4 after). Torch's product is not the
                    best on every machine (its MKL runs the AVX2 path on AMD processors), so
                    this share flatters where it is slow; the next measure does not.
  GFLOP/s, %peak    (CPU only) model FLOPs per epoch / s per epoch (call), and that rate
                    as a share of the FMA peak: one core's float32 multiply-add peak of the
                    instruction set in use (bench/fma_peak.cpp, a loop of independent
                    multiply-adds, built as build/cpp-tests/fma_peak_bench; the best of a
                    measure before and after the runs) x the intra-op threads. The set is
                    --isa, or by default the one ours' kernels were built for (HST_ISA), else
                    the widest the processor offers; give --isa avx2 when AVX2 is forced on
                    an AVX-512 machine at run time (OPENBLAS_CORETYPE, ATEN_CPU_CAPABILITY).
                    FLOPs count only multiply-adds (x2) of the convolutions, the recurrent
                    layer and the classifier:
                      fwd/sample = sum_i 2*Cin_i*Cout_i*k*L
                                   + D*L'*2*G*H*(I+H)       (G = 4 LSTM, 3 GRU, 1 RNN;
                                                             D directions; L' = L // pool;
                                                             I = last conv width)
                                   + 2*(D*H)*K
                      epoch = 3*fwd*n_train (backward ~ 2x forward) + fwd*n_val.
                    Batch norm, activations, pooling, loss and optimiser are not counted.
"""
import argparse
import copy
import importlib.util
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch
import torch.nn as nn

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMPLS = ("ours", "straight", "tuned", "compiled", "skorch")
RATIO_HEADS = {"straight": "x str", "tuned": "x tun", "compiled": "x cmp", "skorch": "x skr"}
SHORT_HEADS = {"ours": "ours", "straight": "str", "tuned": "tuned", "compiled": "cmp",
               "skorch": "skorch"}
UNAVAILABLE = "\u2014"  # the column of a contestant that cannot run here
NO_COMPILE = "torch %s has no torch.compile (it came with torch 2.0)"
RESULT_TAG = "BENCH_RESULT "
IMPORT_FAILED = 3

# Fixed training configuration shared by all implementations.
CONV_CHANNELS = [32, 64]
KERNEL_SIZE = 5
POOL_SIZE = 2
RNN_HIDDEN = 64
RNN_LAYERS = 1
DROPOUT = 0.2
LEARN_RATE = 1e-3
BATCH = 64
CLIP = 5.0
R_TRAIN = 0.8
VAL_RATIO = 0.15

DEFAULT_NETS = {"a": ["LSTM"], "b": ["LSTM"], "c": ["LSTM", "GRU", "BiLSTM"], "d": ["LSTM"]}
WORKLOAD_SIZES = {"a": 150, "b": 1797, "c": 2700, "d": 5000}
QUICK_SAMPLES = 150
WORKLOAD_NAMES = {"a": "iris 150x4", "b": "digits 1797x8x8", "c": "seq 2700x9x128",
                  "d": "img 5000x28x28"}


# ---------------------------------------------------------------- data

def make_workload(name):
    """Returns (X, y) of workload a, b, c or d; deterministic."""
    if name == "a":
        from sklearn.datasets import load_iris
        X, y = load_iris(return_X_y=True)
        return X, y
    if name == "b":
        from sklearn.datasets import load_digits
        digits = load_digits()
        return digits.images, digits.target
    if name == "c":
        # Six classes, nine channels: each class has its own frequency, per-channel
        # amplitudes and phase offsets; every sample jitters the frequency, shifts the
        # global phase and adds channel offsets and white noise.
        rng = np.random.default_rng(20240601)
        counts = [540, 500, 460, 430, 400, 370]
        n_classes, channels, length = 6, 9, 128
        freq = np.array([2.0, 3.0, 4.0, 5.0, 6.0, 7.0])
        amp = rng.uniform(0.3, 1.2, size=(n_classes, channels))
        phase = rng.uniform(0, 2 * np.pi, size=(n_classes, channels))
        y = np.repeat(np.arange(n_classes), counts)
        rng.shuffle(y)
        n = y.size
        t = np.arange(length) / length
        f = freq[y] * (1.0 + 0.2 * rng.standard_normal(n))
        psi = rng.uniform(0, 2 * np.pi, size=n)
        arg = (2 * np.pi * f[:, None, None] * t[None, None, :]
               + phase[y][:, :, None] + psi[:, None, None])
        X = amp[y][:, :, None] * np.sin(arg)
        X += 0.3 * rng.standard_normal((n, channels, 1))
        X += 2.0 * rng.standard_normal((n, channels, length))
        return X.astype(np.float32), y
    if name == "d":
        # Ten classes of 28x28 images: a blocky pattern shared by all classes plus a weaker
        # class-specific one, shifted by up to three pixels, scaled, and buried in noise.
        rng = np.random.default_rng(20240602)
        n_classes, n = 10, 5000
        blocky = lambda: np.kron(rng.standard_normal((7, 7)), np.ones((4, 4)))
        common = blocky()
        templates = np.stack([common + 0.5 * blocky() for _ in range(n_classes)])
        y = np.repeat(np.arange(n_classes), n // n_classes)
        rng.shuffle(y)
        shifts = rng.integers(-3, 4, size=(n, 2))
        scale = rng.uniform(0.6, 1.4, size=n)
        X = np.empty((n, 28, 28), dtype=np.float32)
        for i in range(n):
            X[i] = np.roll(templates[y[i]], tuple(shifts[i]), axis=(0, 1)) * scale[i]
        X += 2.0 * rng.standard_normal(X.shape).astype(np.float32)
        return X, y
    raise ValueError("unknown workload " + repr(name))


def split_like_pipeline(y_encoded, seed):
    """Stratified random split into train/val/test positions, as HybridSeqTrain makes it."""
    from sklearn.model_selection import train_test_split
    all_idx = np.arange(y_encoded.size)
    pool, test_idx = train_test_split(all_idx, test_size=1.0 - R_TRAIN, random_state=seed,
                                      shuffle=True, stratify=y_encoded)
    train_idx, val_idx = train_test_split(pool, test_size=VAL_RATIO, random_state=seed + 1,
                                          shuffle=True, stratify=y_encoded[pool])
    return train_idx, val_idx, test_idx


def subsample(X, y, limit):
    """Deterministic stratified subset of at most `limit` samples, in original order."""
    if y.size <= limit:
        return X, y
    from sklearn.model_selection import train_test_split
    keep, _ = train_test_split(np.arange(y.size), train_size=limit, random_state=0,
                               stratify=y)
    keep = np.sort(keep)
    return X[keep], y[keep]


def to_sequences(X):
    """[N, ...] with samples first and the last axis ordered -> float32 [N, F, L]."""
    X = np.asarray(X)
    return np.ascontiguousarray(X.reshape(X.shape[0], -1, X.shape[-1]), dtype=np.float32)


# ---------------------------------------------------------------- the baselines' network

class PlainCNNRNN(nn.Module):
    """Conv1d+BatchNorm1d+ReLU per entry, one MaxPool1d, a recurrent layer, last-step
    summary, dropout and a linear classifier, all from torch.nn."""

    def __init__(self, input_features, num_classes, conv_channels, kernel_size, pool_size,
                 network_type, rnn_hidden, rnn_layers, dropout):
        super().__init__()
        layers, in_ch = [], input_features
        for out_ch in conv_channels:
            layers += [nn.Conv1d(in_ch, int(out_ch), kernel_size=kernel_size,
                                 padding=kernel_size // 2),
                       nn.BatchNorm1d(int(out_ch)), nn.ReLU()]
            in_ch = int(out_ch)
        if pool_size > 1:
            layers.append(nn.MaxPool1d(kernel_size=pool_size, stride=pool_size))
        self.cnn = nn.Sequential(*layers)
        self.bidirectional = network_type.startswith("Bi")
        rnn_cls = {"RNN": nn.RNN, "LSTM": nn.LSTM, "GRU": nn.GRU}[network_type.replace("Bi", "")]
        self.rnn = rnn_cls(input_size=in_ch, hidden_size=rnn_hidden, num_layers=rnn_layers,
                           batch_first=True, bidirectional=self.bidirectional,
                           dropout=dropout if rnn_layers > 1 else 0.0)
        self.dropout = nn.Dropout(dropout)
        self.classifier = nn.Linear(rnn_hidden * (2 if self.bidirectional else 1), num_classes)

    def forward(self, x):
        out, _ = self.rnn(self.cnn(x).transpose(1, 2))
        if self.bidirectional:
            h = out.size(2) // 2
            summary = torch.cat([out[:, -1, :h], out[:, 0, h:]], dim=1)
        else:
            summary = out[:, -1, :]
        return self.classifier(self.dropout(summary))


def network_args(features, classes, network_type):
    return dict(input_features=features, num_classes=classes, conv_channels=list(CONV_CHANNELS),
                kernel_size=KERNEL_SIZE, pool_size=POOL_SIZE, network_type=network_type,
                rnn_hidden=RNN_HIDDEN, rnn_layers=RNN_LAYERS, dropout=DROPOUT)


def forward_flops_per_sample(features, length, classes, network_type):
    flops, in_ch = 0, features
    for out_ch in CONV_CHANNELS:
        flops += 2 * in_ch * out_ch * KERNEL_SIZE * length
        in_ch = out_ch
    steps = length // POOL_SIZE if POOL_SIZE > 1 else length
    gates = {"RNN": 1, "LSTM": 4, "GRU": 3}[network_type.replace("Bi", "")]
    dirs = 2 if network_type.startswith("Bi") else 1
    rnn_in = in_ch
    for _ in range(RNN_LAYERS):
        flops += dirs * steps * 2 * gates * RNN_HIDDEN * (rnn_in + RNN_HIDDEN)
        rnn_in = dirs * RNN_HIDDEN
    flops += 2 * dirs * RNN_HIDDEN * classes
    return flops


def epoch_flops(features, length, classes, network_type, n_train, n_val):
    fwd = forward_flops_per_sample(features, length, classes, network_type)
    return 3 * fwd * n_train + fwd * n_val


# ---------------------------------------------------------------- the baselines' training

def _standardise(X, y, train_idx, seed):
    """Seeds the generators; returns (standardised float32 [N, F, L], codes, K, class
    weights N_train / (K * count))."""
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)
    seq = to_sequences(X)
    classes, y_enc = np.unique(np.asarray(y).reshape(-1), return_inverse=True)
    y_enc = y_enc.reshape(-1)
    k = classes.size
    train_values = seq[train_idx]
    mean = train_values.mean(axis=(0, 2), keepdims=True)
    std = train_values.std(axis=(0, 2), keepdims=True)
    std[std < 1e-8] = 1.0
    seq = np.ascontiguousarray((seq - mean) / std, dtype=np.float32)
    counts = np.bincount(y_enc[train_idx], minlength=k).astype(np.float32)
    weights = counts.sum() / np.maximum(counts * k, 1.0)
    return seq, y_enc.astype(np.int64), k, weights.astype(np.float32)


def _prepare(X, y, train_idx, seed, device, network_type):
    seq, y_enc, k, weights = _standardise(X, y, train_idx, seed)
    model = PlainCNNRNN(**network_args(seq.shape[1], k, network_type)).to(device)
    criterion = nn.CrossEntropyLoss(weight=torch.tensor(weights, dtype=torch.float32,
                                                        device=device))
    return model, criterion, torch.from_numpy(seq), torch.from_numpy(y_enc)


def _sync(device):
    if device.type == "cuda":
        torch.cuda.synchronize(device)


def train_straight(X, y, train_idx, val_idx, test_idx, epochs, device, network_type, seed=1):
    """Returns (test accuracy, list of epoch-end times relative to the start)."""
    from torch.utils.data import DataLoader, TensorDataset
    t0 = time.perf_counter()
    model, criterion, x_tensor, y_tensor = _prepare(X, y, train_idx, seed, device, network_type)
    tr, va = torch.from_numpy(train_idx), torch.from_numpy(val_idx)
    train_loader = DataLoader(TensorDataset(x_tensor[tr], y_tensor[tr]), batch_size=BATCH,
                              shuffle=True)
    val_loader = DataLoader(TensorDataset(x_tensor[va], y_tensor[va]), batch_size=BATCH,
                            shuffle=False)
    optimizer = torch.optim.Adam(model.parameters(), lr=LEARN_RATE)
    best_state, best_val, ends = copy.deepcopy(model.state_dict()), float("inf"), []
    for _ in range(epochs):
        model.train()
        loss_sum, correct, count = 0.0, 0, 0
        for batch_x, batch_y in train_loader:
            batch_x, batch_y = batch_x.to(device), batch_y.to(device)
            optimizer.zero_grad()
            logits = model(batch_x)
            loss = criterion(logits, batch_y)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), max_norm=CLIP)
            optimizer.step()
            loss_sum += loss.item() * batch_y.size(0)
            correct += (logits.argmax(1) == batch_y).sum().item()
            count += batch_y.size(0)
        model.eval()
        val_sum, val_correct, val_count = 0.0, 0, 0
        with torch.no_grad():
            for batch_x, batch_y in val_loader:
                batch_x, batch_y = batch_x.to(device), batch_y.to(device)
                logits = model(batch_x)
                val_sum += criterion(logits, batch_y).item() * batch_y.size(0)
                val_correct += (logits.argmax(1) == batch_y).sum().item()
                val_count += batch_y.size(0)
        val_loss = val_sum / max(val_count, 1)
        if val_loss < best_val - 1e-6:
            best_val, best_state = val_loss, copy.deepcopy(model.state_dict())
        ends.append(time.perf_counter() - t0)
    model.load_state_dict(best_state)
    model.eval()
    te = torch.from_numpy(test_idx)
    right = 0
    with torch.no_grad():
        for batch_x, batch_y in DataLoader(TensorDataset(x_tensor[te], y_tensor[te]),
                                           batch_size=BATCH):
            pred = model(batch_x.to(device)).argmax(1).cpu()
            right += (pred == batch_y).sum().item()
    return right / max(test_idx.size, 1), ends, time.perf_counter() - t0


class ContestantUnavailable(Exception):
    """A contestant cannot run with this interpreter (missing library or feature)."""


def train_tuned(X, y, train_idx, val_idx, test_idx, epochs, device, network_type, seed=1,
                compile_module=False):
    """Returns (test accuracy, list of epoch-end times relative to the start, total).
    compile_module: run the module under torch.compile (default mode); the compilation
    happens inside the timed span, in the first calls of each mode."""
    t0 = time.perf_counter()
    if device.type == "cuda":
        torch.backends.cudnn.benchmark = True
    model, criterion, x_tensor, y_tensor = _prepare(X, y, train_idx, seed, device, network_type)
    # state_dict, train() and eval() go through the plain module; calls through `net`.
    net = _compiled(model) if compile_module else model
    idx = {name: torch.from_numpy(part) for name, part in
           (("train", train_idx), ("val", val_idx), ("test", test_idx))}
    xt, yt = x_tensor[idx["train"]].to(device), y_tensor[idx["train"]].to(device)
    xv, yv = x_tensor[idx["val"]].to(device), y_tensor[idx["val"]].to(device)
    params = list(model.parameters())
    optimizer = torch.optim.Adam(params, lr=LEARN_RATE, foreach=True)
    n_train, n_val = xt.size(0), xv.size(0)
    best_state = {k: v.detach().clone() for k, v in model.state_dict().items()}
    best_val, ends = float("inf"), []
    history = []
    for _ in range(epochs):
        model.train()
        perm = torch.randperm(n_train, device=device)
        loss_sum = torch.zeros((), device=device)
        correct = torch.zeros((), dtype=torch.long, device=device)
        for start in range(0, n_train, BATCH):
            b = perm[start:start + BATCH]
            batch_x, batch_y = xt.index_select(0, b), yt.index_select(0, b)
            optimizer.zero_grad(set_to_none=True)
            logits = net(batch_x)
            loss = criterion(logits, batch_y)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(params, max_norm=CLIP)
            optimizer.step()
            loss_sum += loss.detach() * b.numel()
            correct += (logits.detach().argmax(1) == batch_y).sum()
        model.eval()
        val_sum = torch.zeros((), device=device)
        val_correct = torch.zeros((), dtype=torch.long, device=device)
        with torch.no_grad():
            for start in range(0, n_val, BATCH):
                batch_x, batch_y = xv[start:start + BATCH], yv[start:start + BATCH]
                logits = net(batch_x)
                val_sum += criterion(logits, batch_y) * batch_y.numel()
                val_correct += (logits.argmax(1) == batch_y).sum()
        # The one host synchronisation of the epoch: the best-state decision needs it.
        stats = torch.stack([loss_sum, correct.float(), val_sum, val_correct.float()]).tolist()
        history.append((stats[0] / max(n_train, 1), stats[1] / max(n_train, 1),
                        stats[2] / max(n_val, 1), stats[3] / max(n_val, 1)))
        val_loss = history[-1][2]
        if val_loss < best_val - 1e-6:
            best_val = val_loss
            best_state = {k: v.detach().clone() for k, v in model.state_dict().items()}
        ends.append(time.perf_counter() - t0)
    model.load_state_dict(best_state)
    model.eval()
    with torch.no_grad():
        xs, ys = x_tensor[idx["test"]].to(device), y_tensor[idx["test"]].to(device)
        pred = torch.cat([net(xs[s:s + BATCH]).argmax(1) for s in range(0, xs.size(0), BATCH)])
        acc = (pred == ys).float().mean().item() if ys.numel() else 0.0
    _sync(device)
    return acc, ends, time.perf_counter() - t0


def _first_line(err):
    text = str(err).strip()
    return (text.splitlines()[0] if text else type(err).__name__)[:300]


def _compiled(model):
    """The module under torch.compile in its default mode."""
    compile_fn = getattr(torch, "compile", None)
    if compile_fn is None:
        raise ContestantUnavailable(NO_COMPILE % torch.__version__)
    try:
        return compile_fn(model)
    except Exception as err:  # e.g. an interpreter this torch cannot compile for
        raise ContestantUnavailable("torch.compile refused: " + _first_line(err)) from err


def train_compiled(X, y, train_idx, val_idx, test_idx, epochs, device, network_type, seed=1,
                   compile_rnn=False):
    """The tuned loop with the module under torch.compile. By default torch's compiler
    leaves nn.RNN/GRU/LSTM to eager execution (a graph break around the recurrent layer);
    compile_rnn asks it to trace them too (torch._dynamo.config.allow_rnn).
    A failure of the compiler itself (no C++ compiler, unsupported construct) makes the
    contestant unavailable rather than an error of the benchmark."""
    if not hasattr(torch, "compile"):
        raise ContestantUnavailable(NO_COMPILE % torch.__version__)
    dynamo = importlib.import_module("torch._dynamo")
    if compile_rnn:
        dynamo.config.allow_rnn = True
    try:
        return train_tuned(X, y, train_idx, val_idx, test_idx, epochs, device, network_type,
                           seed=seed, compile_module=True)
    except dynamo.exc.TorchDynamoException as err:
        raise ContestantUnavailable("torch.compile failed: %s: %s"
                                    % (type(err).__name__, _first_line(err))) from err


def train_skorch(X, y, train_idx, val_idx, test_idx, epochs, device, network_type, seed=1):
    """skorch's NeuralNetClassifier training PlainCNNRNN with the options of the other
    loops: Adam lr 1e-3, batch 64, shuffled training batches, class-weighted
    CrossEntropyLoss, gradient norm clipped at 5, the same validation set, and the state
    of the lowest validation loss restored (EarlyStopping that never stops) before the
    test prediction. Returns (test accuracy, epoch-end times, total)."""
    try:
        from skorch import NeuralNetClassifier
        from skorch.callbacks import Callback, EarlyStopping, GradientNormClipping
        from skorch.dataset import Dataset
        from skorch.helper import predefined_split
    except ImportError as err:
        raise ContestantUnavailable("skorch cannot be imported: " + _first_line(err)) from err

    t0 = time.perf_counter()
    ends = []

    class EpochEnds(Callback):
        def on_epoch_end(self, net, **kwargs):
            _sync(device)
            ends.append(time.perf_counter() - t0)

    seq, y_enc, k, weights = _standardise(X, y, train_idx, seed)
    module_args = {"module__" + key: value
                   for key, value in network_args(seq.shape[1], k, network_type).items()}
    net = NeuralNetClassifier(
        PlainCNNRNN, **module_args,
        criterion=nn.CrossEntropyLoss, criterion__weight=torch.from_numpy(weights),
        optimizer=torch.optim.Adam, lr=LEARN_RATE, batch_size=BATCH, max_epochs=epochs,
        iterator_train__shuffle=True,
        train_split=predefined_split(Dataset(seq[val_idx], y_enc[val_idx])),
        callbacks=[
            ("clip", GradientNormClipping(gradient_clip_value=CLIP)),
            # Keeps (and at the end restores) the lowest-validation-loss state, with the
            # improvement rule of the other loops; the patience never runs out.
            ("best", EarlyStopping(monitor="valid_loss", patience=epochs + 1,
                                   threshold=1e-6, threshold_mode="abs", load_best=True)),
            ("ends", EpochEnds()),
        ],
        device=str(device))
    net.fit(seq[train_idx], y_enc[train_idx])
    pred = np.asarray(net.predict(seq[test_idx]))
    acc = float(np.mean(pred == y_enc[test_idx])) if test_idx.size else 0.0
    _sync(device)
    return acc, ends, time.perf_counter() - t0


TRAINERS = {"straight": train_straight, "tuned": train_tuned, "compiled": train_compiled,
            "skorch": train_skorch}


# ---------------------------------------------------------------- ours

class _StampedStdout:
    """Stands in for sys.stdout: keeps every printed line with the time it ended."""

    def __init__(self):
        self.lines, self._part = [], ""

    def write(self, text):
        now = time.perf_counter()
        self._part += text
        while "\n" in self._part:
            line, self._part = self._part.split("\n", 1)
            self.lines.append((now, line))
        return len(text)

    def flush(self):
        pass


def import_ours():
    sys.path.append(REPO_ROOT)  # after PYTHONPATH: the in-place build is the fallback
    try:
        from HybridSeqTrain import HybridSeqTrain
    except ImportError as err:
        print("import HybridSeqTrain failed: %s" % err, file=sys.stderr)
        sys.exit(IMPORT_FAILED)
    return HybridSeqTrain


def run_ours(HybridSeqTrain, X, y, split, epochs, device, network_type, seed=1):
    options = {"figflag": False, "earlyStoppingPatience": 0, "maxEpochs": epochs,
               "batchSize": BATCH, "networkType": network_type, "seed": seed,
               "deviceSel": "gpu" if device.type == "cuda" else "cpu"}
    stamped, real_stdout = _StampedStdout(), sys.stdout
    sys.stdout = stamped
    t0 = time.perf_counter()
    try:
        info = HybridSeqTrain(X, y, options)[3]
    finally:
        total = time.perf_counter() - t0
        sys.stdout = real_stdout
    ends = {}
    for when, line in stamped.lines:
        if line.startswith("Epoch "):
            ends[int(line[6:].split("|")[0])] = when - t0
    split_ok = all(np.array_equal(np.asarray(info[key]), part)
                   for key, part in zip(("trainIdx", "valIdx", "testIdx"), split))
    return float(info["metricsTest"]["accuracy"]), ends, total, split_ok, info["device"]


# ---------------------------------------------------------------- child process

def _status_mb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return None


def _reset_peak_rss():
    """Restarts the kernel's peak-RSS record of this process; False where not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def preload_libraries(impl):
    """Imports, before the timed span, what the contestant would otherwise import on first
    use, so that no contestant's measure carries library imports: ours' module, skorch,
    and for the baselines on torch 2.x torch._dynamo, which torch imports lazily at the
    first construction of a torch.optim optimiser over parameters (ours never imports it,
    and preloading it would only add its memory to ours' peak). Returns (our entry point
    or None, seconds spent)."""
    t = time.perf_counter()
    entry = import_ours() if impl == "ours" else None
    if impl != "ours":
        try:
            importlib.import_module("torch._dynamo")  # there is none before torch 2.0
        except ImportError:
            pass
    if impl == "skorch":
        try:
            importlib.import_module("skorch")
        except ImportError as err:
            raise ContestantUnavailable("skorch cannot be imported: " + _first_line(err)) from err
    return entry, time.perf_counter() - t


_THREAD_LIMITS = []  # keeps the thread pool limits in force for the whole process


def limit_threads(threads):
    """Sets torch's intra-op threads and the BLAS / OpenMP pools to `threads` (0: leaves
    them); returns a text naming the BLAS pools and their thread counts."""
    if threads:
        torch.set_num_threads(threads)
    try:
        import threadpoolctl
    except ImportError:
        return "BLAS threads unknown (no threadpoolctl)"
    if threads:
        _THREAD_LIMITS.append(threadpoolctl.threadpool_limits(limits=threads))
    pools = [p for p in threadpoolctl.threadpool_info() if p.get("user_api") == "blas"]
    return ", ".join("%s %d thread(s)" % (p["internal_api"], p["num_threads"]) for p in pools) or "no BLAS pool"


def _child_result(args):
    limit_threads(args.threads)
    data = np.load(args.data)
    X, y = data["X"], data["y"]
    split = (data["train_idx"], data["val_idx"], data["test_idx"])
    device = torch.device(args.device)
    entry, preload_s = preload_libraries(args.impl)
    # Peak RSS comes from VmHWM: ru_maxrss would report the parent's peak, which Linux
    # carries over fork and exec into the child.
    peak_before_call = _status_mb("VmHWM")
    rss_before = _status_mb("VmRSS")
    reset = _reset_peak_rss()
    if device.type == "cuda":
        torch.cuda.reset_peak_memory_stats(device)
    result = {"impl": args.impl, "threads": torch.get_num_threads(), "preload_s": preload_s}
    if args.impl == "ours":
        acc, ends, total, split_ok, used = run_ours(entry, X, y, split, args.epochs, device,
                                                    args.net)
        result.update(split_ok=split_ok, device_used=used,
                      kernel_isa=getattr(sys.modules.get("HybridSeqTrain"), "_kernel_isa", None))
    else:
        extra = {"compile_rnn": args.compile_rnn} if args.impl == "compiled" else {}
        acc, end_list, total = TRAINERS[args.impl](X, y, *split, args.epochs, device, args.net,
                                                   **extra)
        ends = {i + 1: t for i, t in enumerate(end_list)}
        result["device_used"] = device.type
    last = (args.epochs // 5) * 5
    steady = ((ends[last] - ends[1]) / (last - 1)
              if last >= 5 and 1 in ends and last in ends else None)
    peak_in_call = _status_mb("VmHWM")
    if device.type == "cuda":
        result["gpu_peak_mb"] = torch.cuda.max_memory_allocated(device) / 2**20
    result.update(acc=acc, total=total, per_epoch=total / args.epochs, steady=steady,
                  rss_peak_mb=max(peak_before_call, peak_in_call),
                  rss_growth_mb=peak_in_call - rss_before if reset else None)
    return result


def child_main(args):
    try:
        result = _child_result(args)
    except ContestantUnavailable as err:
        result = {"impl": args.impl, "unavailable": str(err)}
    sys.stdout.write(RESULT_TAG + json.dumps(result) + "\n")


# ---------------------------------------------------------------- parent

def measure_gemm(device):
    n = 4096 if device.type == "cuda" else 2048
    a = torch.randn(n, n, device=device)
    b = torch.randn(n, n, device=device)
    best = float("inf")
    for i in range(5):
        _sync(device)
        t = time.perf_counter()
        torch.mm(a, b)
        _sync(device)
        if i:  # the first call is a warm-up
            best = min(best, time.perf_counter() - t)
    return 2.0 * n ** 3 / best


def measure_fma_peak(binary, seconds=0.1, timeout=300):
    """Runs fma_peak_bench (bench/fma_peak.cpp): one core's float32 multiply-add peak per
    instruction set the processor offers. Returns ({isa: FLOP/s}, None, its output), or
    ({}, why not, output)."""
    if not os.path.isfile(binary):
        return {}, ("%s is not built (HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh,"
                    " or --fma-peak-bench PATH)" % binary), ""
    try:
        proc = subprocess.run([binary, str(seconds)], capture_output=True, text=True,
                              timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as err:
        return {}, "%s failed: %s" % (binary, _first_line(err)), ""
    peaks = {}
    for line in proc.stdout.splitlines():
        words = line.split()
        if len(words) == 3 and words[0] == "peak":
            peaks[words[1]] = float(words[2]) * 1e9
    if proc.returncode or not peaks:
        return {}, "%s: exit %d, %s" % (binary, proc.returncode,
                                        (proc.stderr.strip() or "no peak line")[-300:]), proc.stdout
    return peaks, None, proc.stdout


def peak_isa(peaks, choice, kernel_isas):
    """The instruction set whose peak the shares are taken against: `choice` unless it is
    "auto"; else the one ours' kernels were built for when a build forced one (reported
    by ours' children), else the widest the processor offers. None when that one has no
    measured peak (the baseline set has no multiply-add instruction)."""
    if choice == "auto":
        forced = [k for k in kernel_isas if k in ("avx512", "avx2", "baseline")]
        choice = forced[0] if forced else next((i for i in ("avx512", "avx2") if i in peaks),
                                               None)
    return choice if choice in peaks else None


def parse_rows(text):
    rows = []
    for token in filter(None, (s.strip() for s in text.split(","))):
        name, _, net = token.partition(":")
        if name not in DEFAULT_NETS:
            raise SystemExit("unknown workload %r (choose from a, b, c, d)" % name)
        for n in ([net] if net else DEFAULT_NETS[name]):
            if n not in ("RNN", "LSTM", "GRU", "BiRNN", "BiLSTM", "BiGRU"):
                raise SystemExit("unknown network type %r" % n)
            if (name, n) not in rows:
                rows.append((name, n))
    return rows


def unavailable_reason(impl):
    """Why a contestant cannot run with this interpreter, as far as is known before any
    run; None when it may run (its child can still report it unusable)."""
    if impl == "compiled" and not hasattr(torch, "compile"):
        return NO_COMPILE % torch.__version__
    if impl == "skorch" and importlib.util.find_spec("skorch") is None:
        return "skorch is not installed for %s" % sys.executable
    return None


def compile_cache_env(directory):
    """Environment that keeps the compiler's on-disk caches in `directory`."""
    return {"TORCHINDUCTOR_CACHE_DIR": directory,
            "TRITON_CACHE_DIR": os.path.join(directory, "triton")}


def run_child(path, impl, net, epochs, device, timeout, threads=0, compile_rnn=False,
              env_extra=None, import_retries=2):
    """Runs one measurement in a fresh process; returns its result, {"unavailable": why}
    or {"error": what}."""
    env = dict(os.environ)
    env.setdefault("MPLBACKEND", "Agg")
    env.update(env_extra or {})
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--impl", impl, "--data", path,
           "--net", net, "--epochs", str(epochs), "--device", device]
    if threads:
        cmd += ["--threads", str(threads)]
    if compile_rnn:
        cmd.append("--compile-rnn")
    for attempt in range(import_retries + 1):
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
        except subprocess.TimeoutExpired:
            return {"error": "timed out after %d s" % timeout}
        if proc.returncode == IMPORT_FAILED and attempt < import_retries:
            time.sleep(60)  # the in-place module may be being rebuilt
            continue
        break
    for line in proc.stdout.splitlines():
        if line.startswith(RESULT_TAG):
            return json.loads(line[len(RESULT_TAG):])
    return {"error": "exit %d: %s" % (proc.returncode, proc.stderr.strip()[-800:])}


def fmt(value, form, width):
    return ("%" + form) % value if value is not None else "-".rjust(width)


def median_of(results, key):
    values = [r[key] for r in results if "error" not in r and r.get(key) is not None]
    return statistics.median(values) if values else None


def ratio(a, b):
    return b / a if a and b else None


def _two_part_header(label_w, short, left, right):
    """The heading of a table with one column per contestant under `left` and again under `right`."""
    print("%-*s | %-39s | %s" % (label_w, "", left, right))
    head = "%-*s | %s | %s" % (label_w, "workload", short, short)
    print(head)
    print("-" * len(head))


def _cell(stats, key, form, width):
    """One table cell: a dash for an unavailable contestant, "-" for a missing value."""
    if stats is None:
        return UNAVAILABLE.rjust(width)
    return fmt(stats[key], form, width)


def _ratio_cell(summary_row, other, key):
    if summary_row[other] is None:
        return UNAVAILABLE.rjust(7)
    return fmt(ratio(summary_row["ours"][key], summary_row[other][key]), "6.2fx", 7)


def print_tables(rows, summary, epochs, gemm, device, unavailable, peak=None):
    """Prints the tables. `peak`: (instruction set, FLOP/s of one core, threads) for the
    share of the FMA peak, or (None, None, threads) when no peak was measured."""
    label_w = max(len(label) for label in rows) + 1
    others = IMPLS[1:]
    names = " ".join("%9s" % i for i in IMPLS)
    speedups = " ".join("%7s" % RATIO_HEADS[i] for i in others)
    for key, title in (("per_epoch", "Seconds per epoch of the whole call (call / E), median"
                        " over rounds, and our speed-up"),
                       ("steady", "Seconds per epoch in steady state (epochs 2..M, M = largest"
                        " multiple of 5 <= E), median over rounds, and our speed-up")):
        print("\n" + title)
        head = "%-*s %4s | %s | %s" % (label_w, "workload", "E", names, speedups)
        print(head)
        print("-" * len(head))
        for label in rows:
            s = summary[label]
            print("%-*s %4d | %s | %s" % (
                label_w, label, epochs,
                " ".join(_cell(s[i], key, "9.4f", 9) for i in IMPLS),
                " ".join(_ratio_cell(s, i, key) for i in others)))

    short = " ".join("%7s" % SHORT_HEADS[i] for i in IMPLS)
    print("\nTest accuracy and share of torch's float32 GEMM rate (torch.mm, %.1f GFLOP/s, %s)"
          % (gemm / 1e9, device))
    print("%-*s | %-39s | %8s | %s" % (label_w, "", "test accuracy", "", "% of torch's GEMM (call)"))
    head = "%-*s | %s | %8s | %s" % (label_w, "workload", short, "GFLOP/ep", short)
    print(head)
    print("-" * len(head))
    notes = []
    for label in rows:
        s = summary[label]
        flops = s["flops"]
        acc = []
        for i in IMPLS:
            text = _cell(s[i], "acc", "7.4f", 7)
            if i == "ours" and s["ours"].get("split_ok") is False:
                text = text[1:] + "!"
                notes.append("%s: ours' split differs from the baselines' split" % label)
            acc.append(text)
        share = []
        for i in IMPLS:
            if s[i] is None:
                share.append(UNAVAILABLE.rjust(7))
            else:
                value = s[i]["per_epoch"] and 100.0 * flops / s[i]["per_epoch"] / gemm
                share.append(fmt(value or None, "6.1f%%", 7))
        print("%-*s | %s | %8s | %s" % (label_w, label, " ".join(acc),
                                        fmt(flops / 1e9 if flops else None, "8.3f", 8),
                                        " ".join(share)))

    if peak is not None:
        isa, per_core, threads = peak
        if isa:
            print("\nModel GFLOP/s of the whole call and share of the FMA peak (%s: %.1f GFLOP/s a"
                  " core x %d thread(s) = %.1f)" % (isa, per_core / 1e9, threads,
                                                    per_core * threads / 1e9))
        else:
            print("\nModel GFLOP/s of the whole call and share of the FMA peak (not measured)")
        _two_part_header(label_w, short, "GFLOP/s (call)", "% of FMA peak (call)")
        for label in rows:
            s = summary[label]
            rates, shares = [], []
            for i in IMPLS:
                if s[i] is None:
                    rates.append(UNAVAILABLE.rjust(7))
                    shares.append(UNAVAILABLE.rjust(7))
                    continue
                rate = s[i]["per_epoch"] and s["flops"] / s[i]["per_epoch"]
                rates.append(fmt(rate / 1e9 if rate else None, "7.1f", 7))
                share = rate and isa and 100.0 * rate / (per_core * threads)
                shares.append(fmt(share or None, "6.1f%%", 7))
            print("%-*s | %s | %s" % (label_w, label, " ".join(rates), " ".join(shares)))

    print("\nMemory of the child process (MB): peak resident set, and its growth during the call")
    _two_part_header(label_w, short, "peak RSS", "RSS growth in call")
    for label in rows:
        s = summary[label]
        print("%-*s | %s | %s" % (label_w, label,
                                  " ".join(_cell(s[i], "rss_peak_mb", "7.0f", 7) for i in IMPLS),
                                  " ".join(_cell(s[i], "rss_growth_mb", "7.0f", 7)
                                           for i in IMPLS)))
    if device.type == "cuda":
        print("\nPeak GPU memory allocated by torch in the call (MB)")
        print("%-*s | %s" % (label_w, "workload", short))
        for label in rows:
            print("%-*s | %s" % (label_w, label, " ".join(
                _cell(summary[label][i], "gpu_peak_mb", "7.1f", 7) for i in IMPLS)))
    for impl in IMPLS:
        if impl in unavailable:
            print("%s %s: %s" % (UNAVAILABLE, impl, unavailable[impl]))
    for note in notes:
        print("note:", note)


def parent_main(args):
    device = torch.device(args.device)
    if device.type == "cuda" and not torch.cuda.is_available():
        raise SystemExit("--device cuda asked for, but torch sees no CUDA device")
    blas = limit_threads(args.threads)
    epochs = args.epochs or (5 if args.quick else 10)
    rounds = args.rounds or (1 if args.quick else 3)
    limit = QUICK_SAMPLES if args.quick else None
    rows = parse_rows(args.workloads)
    unavailable = {}
    for impl in IMPLS:
        reason = unavailable_reason(impl) if impl in args.contestants else "left out (--contestants)"
        if reason:
            unavailable[impl] = reason
    gemm = measure_gemm(device)
    print("torch %s, numpy %s, Python %s; %d intra-op thread(s), BLAS %s, device %s;"
          " float32 GEMM %.1f GFLOP/s (before)"
          % (torch.__version__, np.__version__, sys.version.split()[0],
             torch.get_num_threads(), blas, device, gemm / 1e9))
    peaks, peak_missing = {}, None
    if device.type == "cpu":
        peaks, peak_missing, _ = measure_fma_peak(args.fma_peak_bench)
        if peaks:
            print("FMA peak of one core (fma_peak_bench): %s GFLOP/s (before)"
                  % ", ".join("%s %.1f" % (i, f / 1e9) for i, f in peaks.items()))
    print("epochs %d, rounds %d%s; every measurement in a fresh process"
          % (epochs, rounds, ", quick: at most %d samples per workload" % limit if limit else ""))
    if "compiled" not in unavailable:
        print("compiled: torch.compile, default mode%s; compiler cache %s"
              % (", recurrent layer traced too (allow_rnn)" if args.compile_rnn else "",
                 "warmed by one untimed 1-epoch run per row" if args.compile_cache == "warm"
                 else "empty for every run"))
    tmp = tempfile.mkdtemp(prefix="hst-bench-")
    files, shapes, sizes = {}, {}, {}
    results = {row: {i: [] for i in IMPLS} for row in rows}

    def measure(row, impl, n_epochs, env_extra):
        res = run_child(files[row[0]], impl, row[1], n_epochs, args.device, args.timeout,
                        threads=args.threads, compile_rnn=args.compile_rnn,
                        env_extra=env_extra)
        if "unavailable" in res:
            unavailable[impl] = res["unavailable"]
        return res

    try:
        for name in sorted({name for name, _ in rows}):
            X, y = make_workload(name)
            if limit:
                X, y = subsample(X, y, limit)
            _, y_enc = np.unique(y, return_inverse=True)
            y_enc = y_enc.reshape(-1)
            sizes[name] = y.size
            split = split_like_pipeline(y_enc, seed=1)
            files[name] = os.path.join(tmp, name + ".npz")
            np.savez(files[name], X=X, y=y, train_idx=split[0], val_idx=split[1],
                     test_idx=split[2])
            seq_shape = to_sequences(X[:1]).shape
            shapes[name] = (seq_shape[1], seq_shape[2], int(y_enc.max()) + 1,
                            split[0].size, split[1].size)
        warm_cache = compile_cache_env(os.path.join(tmp, "compiler-cache"))
        if args.compile_cache == "warm":
            # One epoch compiles every graph a longer run needs (training and evaluation
            # mode, full and last partial batch), so the timed runs find them all cached.
            for row in rows:
                if "compiled" in unavailable:
                    break
                res = measure(row, "compiled", 1, warm_cache)
                state = (res.get("error") or "%.3f s" % res["total"]
                         if "unavailable" not in res else "unavailable (why: below)")
                print("  warm-up  %-2s %-7s compiled %s" % (row[0], row[1], state), flush=True)
        runs = 0
        for r in range(rounds):
            for row in rows:
                live = [i for i in IMPLS if i not in unavailable]
                order = live[r % len(live):] + live[:r % len(live)]
                for impl in order:
                    if impl in unavailable:  # found unusable earlier in this round
                        continue
                    env_extra = None
                    if impl == "compiled":
                        runs += 1
                        env_extra = (warm_cache if args.compile_cache == "warm" else
                                     compile_cache_env(os.path.join(tmp, "cold-%d" % runs)))
                    res = measure(row, impl, epochs, env_extra)
                    if env_extra and args.compile_cache == "cold":
                        shutil.rmtree(env_extra["TORCHINDUCTOR_CACHE_DIR"], ignore_errors=True)
                    if "unavailable" not in res:
                        results[row][impl].append(res)
                    state = (res.get("error") or "%.3f s/epoch" % res["per_epoch"]
                             if "unavailable" not in res else "unavailable (why: below)")
                    print("  round %d  %-2s %-7s %-8s %s" % (r + 1, row[0], row[1], impl, state),
                          flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    gemm = max(gemm, measure_gemm(device))
    if peaks:
        after = measure_fma_peak(args.fma_peak_bench)[0]
        peaks = {i: max(f, after.get(i, 0.0)) for i, f in peaks.items()}
    kernel_isas = sorted({r.get("kernel_isa") for rs in results.values() for r in rs["ours"]
                          if r.get("kernel_isa")})
    isa = peak_isa(peaks, args.isa, kernel_isas)
    peak_note = None
    if device.type == "cpu" and isa is None:
        peak_note = peak_missing or ("no peak measured for --isa %s (ours' kernels: %s)"
                                     % (args.isa, ", ".join(kernel_isas) or "not reported"))
    summary, errors = {}, []
    for row in rows:
        label = "%s %s %s" % (row[0], WORKLOAD_NAMES[row[0]], row[1])
        if limit and sizes[row[0]] < WORKLOAD_SIZES[row[0]]:
            label += " n=%d" % sizes[row[0]]
        f, l, k, n_train, n_val = shapes[row[0]]
        entry = {"flops": epoch_flops(f, l, k, row[1], n_train, n_val)}
        for impl in IMPLS:
            if impl in unavailable:
                entry[impl] = None
                continue
            rs = results[row][impl]
            errors += ["%s %s: %s" % (label, impl, r["error"]) for r in rs if "error" in r]
            entry[impl] = {key: median_of(rs, key) for key in
                           ("per_epoch", "steady", "acc", "rss_peak_mb", "rss_growth_mb",
                            "gpu_peak_mb", "preload_s")}
            oks = [r.get("split_ok") for r in rs if "error" not in r]
            entry[impl]["split_ok"] = all(oks) if oks else None
        summary[label] = entry
    peak = ((isa, peaks.get(isa), torch.get_num_threads()) if device.type == "cpu" else None)
    print_tables(list(summary), summary, epochs, gemm, device, unavailable, peak)
    if peak_note:
        print("FMA peak:", peak_note)
    for err in errors:
        print("error:", err)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"epochs": epochs, "rounds": rounds, "gemm_flops": gemm,
                       "fma_peak_flops": peaks, "peak_isa": isa,
                       "device": args.device, "threads": torch.get_num_threads(),
                       "torch": torch.__version__, "compile_cache": args.compile_cache,
                       "compile_rnn": args.compile_rnn, "unavailable": unavailable,
                       "summary": summary,
                       "raw": {"%s:%s" % row: results[row] for row in rows}}, f, indent=1)
    return 1 if errors else 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="smoke run: 5 epochs, 1 round, at most %d samples per workload"
                   % QUICK_SAMPLES)
    p.add_argument("--workloads", default="a,b,c,d",
                   help="comma list of a, b, c, d or workload:network (e.g. c:GRU)")
    p.add_argument("--epochs", type=int, default=0, help="epochs per run (default 10; quick 5)")
    p.add_argument("--rounds", type=int, default=0, help="rounds (default 3; quick 1)")
    p.add_argument("--device", choices=("cpu", "cuda"), default="cpu")
    p.add_argument("--threads", type=int, default=0,
                   help="intra-op threads of torch in every process (default: torch's own)")
    p.add_argument("--compile-cache", choices=("warm", "cold"), default="warm",
                   help="compiled: the compiler's disk cache warmed by an untimed run first"
                   " (as on every run but a user's first; default) or empty for every run")
    p.add_argument("--compile-rnn", action="store_true",
                   help="compiled: let torch.compile trace the recurrent layer too"
                   " (torch._dynamo.config.allow_rnn) instead of running it eagerly")
    p.add_argument("--contestants", default=",".join(IMPLS),
                   help="comma list of the contestants to run (ours always runs; default all)")
    p.add_argument("--timeout", type=int, default=1800, help="seconds allowed per child")
    p.add_argument("--fma-peak-bench", default=os.path.join(REPO_ROOT, "build", "cpp-tests",
                                                             "fma_peak_bench"),
                   help="the built bench/fma_peak.cpp, whose per-core FMA peak the shares"
                   " are taken against (default: build/cpp-tests/fma_peak_bench)")
    p.add_argument("--isa", choices=("auto", "avx512", "avx2"), default="auto",
                   help="instruction set whose FMA peak the shares are taken against (default:"
                   " the one ours' kernels were built for, else the widest the processor offers)")
    p.add_argument("--json", help="also write the raw results to this file")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--impl", choices=IMPLS, help=argparse.SUPPRESS)
    p.add_argument("--data", help=argparse.SUPPRESS)
    p.add_argument("--net", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.epochs < 0 or args.rounds < 0 or args.threads < 0:
        p.error("--epochs, --rounds and --threads must be positive")
    chosen = [c.strip() for c in args.contestants.split(",") if c.strip()]
    unknown = sorted(set(chosen) - set(IMPLS))
    if unknown:
        p.error("--contestants: unknown %s (choose from %s)" % (", ".join(unknown), ", ".join(IMPLS)))
    args.contestants = {"ours"} | set(chosen)
    if args.child:
        child_main(args)
        return 0
    return parent_main(args)


if __name__ == "__main__":
    sys.exit(main())
