"""Hostile inputs for both public functions, from the generator in tools/fuzz.py.

A bounded, seeded run in child interpreters, one per batch: a crash, an abort
or a hang fails the batch and names the case (the child announces each case on
stderr before running it). Every case must end in a sound result or an
expected exception, with the caller's X, Y and options unchanged.
"""
import contextlib
import importlib.util
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

FUZZ = Path(__file__).resolve().parents[1] / "tools" / "fuzz.py"
SEED = 20261208
BATCHES, PER_BATCH = 2, 1000


def _generator():
    found = importlib.util.spec_from_file_location("hst_fuzz", FUZZ)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def _last_case(stderr):
    started = re.findall(r"^case (\d+)$", stderr or "", re.M)
    if not started:
        return "before the first case"
    index = int(started[-1])
    kind, _, desc = _generator().make_case(SEED, index)
    return f"case {index} ({kind}: {desc}); replay: tools/fuzz.py --seed {SEED} --start {index} --count 1"


@pytest.mark.parametrize("batch", range(BATCHES))
def test_generated_cases_end_in_results_or_expected_errors(batch):
    import HybridSeqTrain
    import RatePredictions
    paths = [os.path.dirname(os.path.abspath(m.__file__)) for m in (HybridSeqTrain, RatePredictions)]
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    cmd = [sys.executable, str(FUZZ), "--seed", str(SEED), "--start", str(batch * PER_BATCH),
           "--count", str(PER_BATCH), "--case-timeout", "60", "--json"]
    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=240, cwd=paths[0])
    except subprocess.TimeoutExpired as exc:
        stderr = exc.stderr.decode(errors="replace") if isinstance(exc.stderr, bytes) else exc.stderr
        pytest.fail(f"hung in {_last_case(stderr)}")
    if proc.returncode not in (0, 3):
        pytest.fail(f"child ended with status {proc.returncode} in {_last_case(proc.stderr)}\n"
                    f"{proc.stderr[-3000:]}")
    summary = json.loads(proc.stdout.strip().splitlines()[-1])
    bad = [f"case {b['index']} ({b['kind']}: {b['case']}): {b['outcome']} {b['detail']}" for b in summary["bad"]]
    assert bad == []
    assert proc.returncode == 0
    counts = summary["counts"]
    assert sum(counts.values()) >= PER_BATCH
    # The generator reaches every stage: full runs, the model's forward, our
    # own messages and library errors, for both functions.
    for key, least in [("HybridSeqTrain ok:result", PER_BATCH // 10), ("HybridSeqTrain raised:ValueError", 50),
                       ("HybridSeqTrain raised:TypeError", 20), ("RatePredictions ok:result", 5),
                       ("RatePredictions raised:ValueError", 20), ("HybridSeqTrain model-call ok", 20)]:
        assert counts.get(key, 0) >= least, (key, counts)


# --- Faults the fuzzing found, pinned -------------------------------------------

class _View:
    """Array-like whose __array__ hands out a strided (step 2) or reversed (step -1) view."""

    def __init__(self, values, step):
        base = np.zeros(len(values) * abs(step), dtype=np.float32)
        base[::step] = values
        self.base, self.step = base, step

    def __array__(self, dtype=None):
        return self.base[::self.step]


@pytest.mark.parametrize("weights", [_View([1.0, 3.0], -1), _View([1.0, 3.0], 2), np.array([1.0, 3.0], ">f4"),
                                     np.array([[1.0, 0.0], [3.0, 0.0]])[:, 0], (1, 3.0)],
                         ids=["reversed-view", "strided-view", "big-endian", "column-slice", "tuple"])
def test_class_weights_in_any_memory_layout_weigh_like_a_plain_list(weights):
    import HybridSeqTrain as H
    rng = np.random.default_rng(4)
    y = np.repeat([0, 1], [45, 15])  # unbalanced, so the weights change the loss
    X = rng.normal(size=(60, 2, 8)) + y[:, None, None]
    opts = {"figflag": False, "maxEpochs": 2, "convChannels": [4], "rnnHidden": 4, "batchSize": 16, "seed": 9}
    with contextlib.redirect_stdout(io.StringIO()):
        plain = H.HybridSeqTrain(X, y, dict(opts, classWeight=[1.0, 3.0]))[3]["history"]
        other = H.HybridSeqTrain(X, y, dict(opts, classWeight=weights))[3]["history"]
        unweighted = H.HybridSeqTrain(X, y, dict(opts, classWeight="none"))[3]["history"]
    assert other == plain
    assert unweighted["trainLoss"] != plain["trainLoss"]


def _network():
    import HybridSeqTrain as H
    return H._CNNRNNClassifier(input_features=3, num_classes=2, conv_channels=[4], kernel_size=3, pool_size=2,
                               network_type="LSTM", rnn_hidden=5, rnn_layers=1, dropout=0.1)


@pytest.mark.parametrize("path, value, message", [
    ("cnn.1.eps", None, "BatchNorm1d.eps must be a float, got NoneType"),
    ("cnn.1.momentum", "0.1", "BatchNorm1d.momentum must be a float or None, got str"),
    ("cnn.0.stride", "1", "Conv1d.stride must be an int, got str"),
    ("cnn.0.groups", 1.0, "Conv1d.groups must be an int, got float"),
    ("rnn.hidden_size", "5", "LSTM.hidden_size must be an int, got str"),
    ("rnn.dropout", None, "LSTM.dropout must be a float, got NoneType"),
    ("dropout.p", "0.1", "Dropout.p must be a float, got str"),
])
def test_changed_network_settings_raise_type_errors_naming_them(path, value, message):
    import torch
    model = _network()
    *owner, name = path.split(".")
    target = model
    for part in owner:
        target = target[int(part)] if part.isdigit() else getattr(target, part)
    setattr(target, name, torch.nn.Identity() if value == "Identity" else value)
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        model(torch.randn(2, 3, 8))


@pytest.mark.parametrize("key, message", [
    ("solverName", "solverName 必须是 adam/sgdm/rmsprop"),
    ("learnRateSchedule", "learnRateSchedule 必须是 none 或 piecewise"),
    ("deviceSel", "deviceSel 必须是 auto/cpu/gpu"),
    ("classWeight", "could not convert string to float"),
])
def test_texts_with_lone_surrogates_get_the_options_own_errors(key, message):
    import HybridSeqTrain as H
    X, y = np.random.default_rng(5).normal(size=(30, 2, 6)), np.arange(30) % 2
    opts = {"figflag": False, "maxEpochs": 1, "convChannels": [4], "rnnHidden": 4, key: "\ud800"}
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(ValueError, match=message):
        H.HybridSeqTrain(X, y, opts)
    with pytest.raises(KeyError):  # not a recurrent layer name
        H._CNNRNNClassifier(input_features=2, num_classes=2, conv_channels=[4], kernel_size=3, pool_size=2,
                            network_type="Bi\ud800", rnn_hidden=4, rnn_layers=1, dropout=0.0)
