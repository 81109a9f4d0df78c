"""Times HybridSeqTrain against two plain PyTorch loops over the same training.

    PYTHONPATH=/path/to/repo /usr/bin/python3 bench/bench.py [--quick]
        [--workloads a,b,c,d] [--epochs N] [--rounds R] [--device cpu|cuda] [--json FILE]

Workloads (rows): a = iris 150x4, b = digits 1797x8x8, c = 2700x9x128 synthetic
multichannel sequences (6 classes), d = 5000x28x28 synthetic images (10 classes).
Every row uses the LSTM network; c also runs GRU and BiLSTM. A token "c:GRU" selects one
row. All rows: conv channels [32, 64], kernel 5, pooling 2, hidden 64, one recurrent
layer, dropout 0.2, Adam lr 1e-3, batch 64, gradient clipping at norm 5, class weights
"auto", standardisation with training statistics, early stopping off, seed 1.

Implementations:
  ours      HybridSeqTrain(X, Y, options) -- the whole call is timed.
  straight  what a user writes first: torch.nn modules, DataLoader over TensorDataset with
            shuffle, CrossEntropyLoss, Adam, clip_grad_norm_, .item() per batch.
  tuned     the fastest plain Python loop we could write: whole sets as tensors on the
            device, batches by index (no DataLoader), Adam(foreach=True),
            zero_grad(set_to_none=True), losses and counts accumulated on the device (one
            host synchronisation per epoch, for the best-state decision), no_grad validation.
Both baselines also keep the state of the best validation loss and report test accuracy
with it, as ours does.

Each measurement runs in a fresh process (this file with --child); implementations are
alternated inside every round and the median over rounds is reported.

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
                    ...(captured by timestamping sys.stdout); needs E >= 5.
  acc               test accuracy on the same split (the parent computes the split with
                    sklearn exactly as the pipeline does; ours' info["trainIdx"/"valIdx"/
                    "testIdx"] are checked against it and a mismatch is flagged with "!").
  RSS               peak resident set of the child process (VmHWM; ru_maxrss is not used
                    because Linux carries the parent's peak into a forked child), and the
                    growth during the call: the peak record is restarted just before the
                    call (/proc/self/clear_refs), growth = peak in call - resident size
                    just before it.
  %GEMM             model FLOPs per epoch / s per epoch (call) / measured float32 GEMM
                    FLOP/s (torch.mm of 2048^3 on the CPU, 4096^3 on CUDA, in the parent with
                    the same thread count as the children; best of 4 timed calls before
                    the runs and 4 after).
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
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch
import torch.nn as nn

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMPLS = ("ours", "straight", "tuned")
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

def _prepare(X, y, train_idx, seed, device, network_type):
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)
    seq = to_sequences(X)
    classes, y_enc = np.unique(np.asarray(y).reshape(-1), return_inverse=True)
    k = classes.size
    train_values = seq[train_idx]
    mean = train_values.mean(axis=(0, 2), keepdims=True)
    std = train_values.std(axis=(0, 2), keepdims=True)
    std[std < 1e-8] = 1.0
    seq = (seq - mean) / std
    counts = np.bincount(y_enc[train_idx], minlength=k).astype(np.float32)
    weights = counts.sum() / np.maximum(counts * k, 1.0)
    model = PlainCNNRNN(**network_args(seq.shape[1], k, network_type)).to(device)
    criterion = nn.CrossEntropyLoss(weight=torch.tensor(weights, dtype=torch.float32,
                                                        device=device))
    x_tensor = torch.from_numpy(np.ascontiguousarray(seq, dtype=np.float32))
    y_tensor = torch.from_numpy(y_enc.astype(np.int64))
    return model, criterion, x_tensor, y_tensor


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


def train_tuned(X, y, train_idx, val_idx, test_idx, epochs, device, network_type, seed=1):
    """Returns (test accuracy, list of epoch-end times relative to the start, total)."""
    t0 = time.perf_counter()
    if device.type == "cuda":
        torch.backends.cudnn.benchmark = True
    model, criterion, x_tensor, y_tensor = _prepare(X, y, train_idx, seed, device, network_type)
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
            logits = model(batch_x)
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
                logits = model(batch_x)
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
        pred = torch.cat([model(xs[s:s + BATCH]).argmax(1) for s in range(0, xs.size(0), BATCH)])
        acc = (pred == ys).float().mean().item() if ys.numel() else 0.0
    _sync(device)
    return acc, ends, time.perf_counter() - t0


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


def child_main(args):
    data = np.load(args.data)
    X, y = data["X"], data["y"]
    split = (data["train_idx"], data["val_idx"], data["test_idx"])
    device = torch.device(args.device)
    entry = import_ours() if args.impl == "ours" else None  # imports stay out of the measures
    # Peak RSS comes from VmHWM: ru_maxrss would report the parent's peak, which Linux
    # carries over fork and exec into the child.
    peak_before_call = _status_mb("VmHWM")
    rss_before = _status_mb("VmRSS")
    reset = _reset_peak_rss()
    if device.type == "cuda":
        torch.cuda.reset_peak_memory_stats(device)
    result = {"impl": args.impl, "threads": torch.get_num_threads()}
    if args.impl == "ours":
        acc, ends, total, split_ok, used = run_ours(entry, X, y, split, args.epochs, device,
                                                    args.net)
        result.update(split_ok=split_ok, device_used=used)
    else:
        fn = train_straight if args.impl == "straight" else train_tuned
        acc, end_list, total = fn(X, y, *split, args.epochs, device, args.net)
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


def run_child(path, impl, net, epochs, device, timeout):
    env = dict(os.environ)
    env.setdefault("MPLBACKEND", "Agg")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--impl", impl, "--data", path,
           "--net", net, "--epochs", str(epochs), "--device", device]
    for attempt in range(3):
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
        except subprocess.TimeoutExpired:
            return {"error": "timed out after %d s" % timeout}
        if proc.returncode == IMPORT_FAILED and attempt < 2:
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


def print_tables(rows, summary, epochs, gemm, device):
    label_w = max(len(label) for label in rows) + 1
    print("\nSeconds per epoch, median over rounds (call = whole call / E; steady = epochs 2..M,"
          " M = largest multiple of 5 <= E)")
    head = ("%-*s %4s | %9s %9s %9s %7s %7s | %9s %9s %9s %7s %7s"
            % (label_w, "workload", "E", "ours", "straight", "tuned", "x str", "x tun",
               "ours", "straight", "tuned", "x str", "x tun"))
    print("%-*s      | %-45s | %s" % (label_w, "", "s/epoch (call) and our speed-up",
                                      "s/epoch (steady) and our speed-up"))
    print(head)
    print("-" * len(head))
    for label in rows:
        s = summary[label]
        call = [s[i]["per_epoch"] for i in IMPLS]
        steady = [s[i]["steady"] for i in IMPLS]
        print("%-*s %4d | %9s %9s %9s %7s %7s | %9s %9s %9s %7s %7s" % (
            label_w, label, epochs,
            *(fmt(v, "9.4f", 9) for v in call),
            fmt(ratio(call[0], call[1]), "6.2fx", 7), fmt(ratio(call[0], call[2]), "6.2fx", 7),
            *(fmt(v, "9.4f", 9) for v in steady),
            fmt(ratio(steady[0], steady[1]), "6.2fx", 7),
            fmt(ratio(steady[0], steady[2]), "6.2fx", 7)))
    print("\nTest accuracy, child memory and share of the measured GEMM rate (%.1f GFLOP/s, %s)"
          % (gemm / 1e9, device))
    head = ("%-*s | %6s %6s %6s | %7s %7s %7s | %7s %7s %7s | %8s | %6s %6s %6s"
            % (label_w, "workload", "ours", "str", "tuned", "ours", "str", "tuned",
               "ours", "str", "tuned", "GFLOP/ep", "ours", "str", "tuned"))
    print("%-*s | %-20s | %-23s | %-23s | %8s | %s" % (
        label_w, "", "test accuracy", "peak RSS (MB)", "RSS growth in call", "", "% of GEMM"))
    print(head)
    print("-" * len(head))
    notes = []
    for label in rows:
        s = summary[label]
        flops = s["flops"]
        acc = []
        for i in IMPLS:
            text = fmt(s[i]["acc"], "6.4f", 6)
            if i == "ours" and s["ours"].get("split_ok") is False:
                text = text[1:] + "!"
                notes.append("%s: ours' split differs from the baselines' split" % label)
            acc.append(text)
        share = [(100.0 * flops / s[i]["per_epoch"] / gemm) if s[i]["per_epoch"] else None
                 for i in IMPLS]
        print("%-*s | %6s %6s %6s | %7s %7s %7s | %7s %7s %7s | %8s | %6s %6s %6s" % (
            label_w, label, *acc,
            *(fmt(s[i]["rss_peak_mb"], "7.0f", 7) for i in IMPLS),
            *(fmt(s[i]["rss_growth_mb"], "7.0f", 7) for i in IMPLS),
            fmt(flops / 1e9 if flops else None, "8.3f", 8),
            *(fmt(v, "5.1f%%", 6) for v in share)))
    if device.type == "cuda":
        print("\nPeak GPU memory allocated by torch in the call (MB)")
        print("%-*s | %7s %7s %7s" % (label_w, "workload", "ours", "str", "tuned"))
        for label in rows:
            print("%-*s | %7s %7s %7s" % (label_w, label, *(
                fmt(summary[label][i]["gpu_peak_mb"], "7.1f", 7) for i in IMPLS)))
    for note in notes:
        print("note:", note)


def parent_main(args):
    device = torch.device(args.device)
    if device.type == "cuda" and not torch.cuda.is_available():
        raise SystemExit("--device cuda asked for, but torch sees no CUDA device")
    epochs = args.epochs or (5 if args.quick else 10)
    rounds = args.rounds or (1 if args.quick else 3)
    limit = QUICK_SAMPLES if args.quick else None
    rows = parse_rows(args.workloads)
    gemm = measure_gemm(device)
    print("torch %s, %d intra-op thread(s), device %s; float32 GEMM %.1f GFLOP/s (before)"
          % (torch.__version__, torch.get_num_threads(), device, gemm / 1e9))
    print("epochs %d, rounds %d%s; every measurement in a fresh process"
          % (epochs, rounds, ", quick: at most %d samples per workload" % limit if limit else ""))
    tmp = tempfile.mkdtemp(prefix="hst-bench-")
    files, shapes, sizes = {}, {}, {}
    try:
        for name in sorted({name for name, _ in rows}):
            X, y = make_workload(name)
            if limit:
                X, y = subsample(X, y, limit)
            _, y_enc = np.unique(y, return_inverse=True)
            sizes[name] = y.size
            split = split_like_pipeline(y_enc, seed=1)
            files[name] = os.path.join(tmp, name + ".npz")
            np.savez(files[name], X=X, y=y, train_idx=split[0], val_idx=split[1],
                     test_idx=split[2])
            seq_shape = to_sequences(X[:1]).shape
            shapes[name] = (seq_shape[1], seq_shape[2], int(y_enc.max()) + 1,
                            split[0].size, split[1].size)
        results = {row: {i: [] for i in IMPLS} for row in rows}
        for r in range(rounds):
            for row in rows:
                order = IMPLS[r % 3:] + IMPLS[:r % 3]
                for impl in order:
                    res = run_child(files[row[0]], impl, row[1], epochs, args.device,
                                    args.timeout)
                    results[row][impl].append(res)
                    state = res.get("error") or "%.3f s/epoch" % res["per_epoch"]
                    print("  round %d  %-2s %-7s %-8s %s" % (r + 1, row[0], row[1], impl, state),
                          flush=True)
    finally:
        for path in files.values():
            os.remove(path)
        os.rmdir(tmp)
    gemm = max(gemm, measure_gemm(device))
    summary, errors = {}, []
    for row in rows:
        label = "%s %s %s" % (row[0], WORKLOAD_NAMES[row[0]], row[1])
        if limit and sizes[row[0]] < WORKLOAD_SIZES[row[0]]:
            label += " n=%d" % sizes[row[0]]
        f, l, k, n_train, n_val = shapes[row[0]]
        entry = {"flops": epoch_flops(f, l, k, row[1], n_train, n_val)}
        for impl in IMPLS:
            rs = results[row][impl]
            errors += ["%s %s: %s" % (label, impl, r["error"]) for r in rs if "error" in r]
            entry[impl] = {key: median_of(rs, key) for key in
                           ("per_epoch", "steady", "acc", "rss_peak_mb", "rss_growth_mb",
                            "gpu_peak_mb")}
            oks = [r.get("split_ok") for r in rs if "error" not in r]
            entry[impl]["split_ok"] = all(oks) if oks else None
        summary[label] = entry
    print_tables(list(summary), summary, epochs, gemm, device)
    for err in errors:
        print("error:", err)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"epochs": epochs, "rounds": rounds, "gemm_flops": gemm,
                       "device": args.device, "summary": summary,
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
    p.add_argument("--timeout", type=int, default=1800, help="seconds allowed per child")
    p.add_argument("--json", help="also write the raw results to this file")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--impl", choices=IMPLS, help=argparse.SUPPRESS)
    p.add_argument("--data", help=argparse.SUPPRESS)
    p.add_argument("--net", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.epochs < 0 or args.rounds < 0:
        p.error("--epochs and --rounds must be positive")
    if args.child:
        child_main(args)
        return 0
    return parent_main(args)


if __name__ == "__main__":
    sys.exit(main())
