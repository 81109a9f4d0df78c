"""Resumable training: checkpoints written after every epoch and resumed bit for bit after a
kill, Ctrl-C or a torchrun restart; refusals of foreign, damaged and hostile files; and the
call's own random streams that make seeded calls in threads reproducible."""
import contextlib
import io
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
import torch

from conftest import child_env
from HybridSeqTrain import HybridSeqClassifier, HybridSeqTrain


def _data(n=150, features=3, steps=16, seed=0):
    rng = np.random.RandomState(seed)
    y = np.arange(n) % 3
    x = rng.randn(n, features, steps).astype(np.float32)
    x[:, 0, :] += y[:, None] * 0.7
    return x, y


X, Y = _data()

LSTM = {"networkType": "LSTM", "maxEpochs": 7, "seed": 5}
# Dropout between two recurrent layers and before the classifier, a rate that drops every
# other epoch, and a patience that ends the run early (checked below).
BIGRU = {"networkType": "BiGRU", "rnnLayers": 2, "dropout": 0.3, "learnRateSchedule": "piecewise",
         "learnRateDropPeriod": 2, "learnRate": 0.03, "earlyStoppingPatience": 2, "maxEpochs": 30, "seed": 3}
CONFIGS = {"lstm": LSTM, "bigru": BIGRU}


def _options(config, path=None, **extra):
    o = dict(config, figflag=False, showFigures=False, convChannels=[6], rnnHidden=8, batchSize=16,
             deviceSel="cpu", **extra)
    if path is not None:
        o["checkpointPath"] = str(path)
    return o


def _outcome(result):
    """Everything a call returns that a resumed call must reproduce, as arrays and values."""
    pred_test, pred_train, model, info = result
    out = {"foreData": pred_test, "foreDataTrain": pred_train, "bestEpoch": info["bestEpoch"],
           "bestValidationLoss": info["bestValidationLoss"]}
    for key in ("probabilityTrain", "probabilityValidation", "probabilityTest", "trainIdx", "valIdx", "testIdx",
                "normalizationMean", "normalizationStd"):
        out[key] = np.asarray(info[key])
    for key, values in info["history"].items():
        out["history." + key] = np.asarray(values)
    for key, value in model.state_dict().items():
        out["state." + key] = value.numpy()
    return out


def _assert_identical(a, b):
    assert a.keys() == b.keys()
    for key in a:
        x, y = np.asarray(a[key]), np.asarray(b[key])
        assert x.dtype == y.dtype and x.shape == y.shape, key
        assert x.tobytes() == y.tobytes(), key


def _quiet(fn, *args, **kwargs):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = fn(*args, **kwargs)
    return result, out.getvalue()


@pytest.fixture(scope="module")
def references():
    """Each configuration run through without a checkpoint."""
    refs = {name: _outcome(_quiet(HybridSeqTrain, X, Y, _options(config))[0]) for name, config in CONFIGS.items()}
    # the BiGRU run stops early, so a resumed run must keep early stopping's counter
    assert len(refs["bigru"]["history.valLoss"]) < BIGRU["maxEpochs"]
    return refs


# A child that trains with a checkpoint and is stopped as `how` says, once the first epoch
# line is printed (the checkpoint of epoch 1 is then being written, beside epoch 2):
#   kill-after-epoch  SIGKILL right there, between two epochs;
#   kill-mid-epoch    SIGKILL from a handler that runs at the next batch boundary;
#   ctrl-c            SIGINT from another thread, as a user's Ctrl-C (KeyboardInterrupt).
CHILD = textwrap.dedent("""
    import json, os, signal, sys, threading
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    from test_checkpoint import X, Y, CONFIGS, _options
    from HybridSeqTrain import HybridSeqClassifier, HybridSeqTrain
    how, name, path, estimator = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5] == "1"
    pid = os.getpid()

    def later(sig):
        # at once: this thread runs when training lets go of the interpreter, and
        # the few epochs left of these small runs take a few milliseconds
        os.kill(pid, sig)

    class Stop:
        fired = False
        def write(self, text):
            sys.__stdout__.write(text)
            if Stop.fired or not text.startswith("Epoch   1 "):
                return
            Stop.fired = True
            sys.__stdout__.flush()
            if how == "kill-after-epoch":
                os.kill(pid, signal.SIGKILL)
            elif how == "kill-mid-epoch":
                signal.signal(signal.SIGUSR1, lambda *a: os.kill(pid, signal.SIGKILL))
                threading.Thread(target=later, args=(signal.SIGUSR1,)).start()
            else:
                threading.Thread(target=later, args=(signal.SIGINT,)).start()
        def flush(self):
            sys.__stdout__.flush()

    sys.stdout = Stop()
    try:
        if estimator:
            HybridSeqClassifier(verbose=True, **_options(CONFIGS[name])).fit(X, Y, checkpointPath=path)
        else:
            HybridSeqTrain(X, Y, _options(CONFIGS[name], path))
    except KeyboardInterrupt:
        print("@@interrupted")
        sys.exit(0)
    print("@@finished")
""")


def _interrupted_child(how, name, path, estimator=False):
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run([sys.executable, "-c", CHILD, here, how, name, str(path), "1" if estimator else "0"],
                          env=child_env(), capture_output=True, text=True, timeout=300)
    if how.startswith("kill"):
        assert proc.returncode == -signal.SIGKILL, proc.stderr[-2000:]
    else:
        assert proc.returncode == 0 and "@@interrupted" in proc.stdout, proc.stderr[-2000:]
    assert os.path.exists(path)
    return proc.stdout


def _resume_line(console):
    lines = [line for line in console.splitlines() if "恢复" in line]
    assert len(lines) == 1, console
    return lines[0]


# SIGKILL between writing the temporary file and renaming it leaves the previous
# checkpoint and a `.tmp` beside it (complete or cut short); a child killed right after an
# epoch, plus such a file, is exactly that state.
POINTS = ["kill-after-epoch", "kill-mid-epoch", "kill-before-rename", "ctrl-c"]


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("name", sorted(CONFIGS))
def test_an_interrupted_run_resumes_bit_identical_to_one_never_interrupted(point, name, references, tmp_path):
    path = tmp_path / "run.ckpt"
    _interrupted_child("kill-after-epoch" if point == "kill-before-rename" else point, name, path)
    if point == "kill-before-rename":
        whole = path.read_bytes()
        (tmp_path / "run.ckpt.tmp").write_bytes(whole[: len(whole) // 2])
    result, console = _quiet(HybridSeqTrain, X, Y, _options(CONFIGS[name], path))
    assert str(path) in _resume_line(console)
    _assert_identical(_outcome(result), references[name])
    assert sorted(os.listdir(tmp_path)) == ["run.ckpt"]


def test_without_the_option_or_with_it_uninterrupted_the_bits_are_the_same(references, tmp_path):
    path = tmp_path / "run.ckpt"
    result, console = _quiet(HybridSeqTrain, X, Y, _options(BIGRU, path))
    assert "恢复" not in console
    _assert_identical(_outcome(result), references["bigru"])
    # a finished checkpoint gives the results again without training, and stays as it was
    written = path.read_bytes()
    again, console = _quiet(HybridSeqTrain, X, Y, _options(BIGRU, path))
    assert "不再训练" in console and "Epoch" not in console
    _assert_identical(_outcome(again), references["bigru"])
    assert path.read_bytes() == written
    assert sorted(os.listdir(tmp_path)) == ["run.ckpt"]


def test_the_estimator_fit_resumes_bit_identical(tmp_path):
    path = tmp_path / "fit.ckpt"
    reference, _ = _quiet(HybridSeqClassifier(**_options(LSTM)).fit, X, Y)
    _interrupted_child("kill-mid-epoch", "lstm", path, estimator=True)
    resumed, _ = _quiet(HybridSeqClassifier(**_options(LSTM)).fit, X, Y, checkpointPath=str(path))
    assert resumed.history_ == reference.history_ and resumed.best_epoch_ == reference.best_epoch_
    for (k, a), (_, b) in zip(resumed.model_.state_dict().items(), reference.model_.state_dict().items()):
        assert a.numpy().tobytes() == b.numpy().tobytes(), k
    assert resumed.predict_proba(X).tobytes() == reference.predict_proba(X).tobytes()
    # a checkpoint of the function is not one of fit's
    with pytest.raises(ValueError, match="call"):
        _quiet(HybridSeqTrain, X, Y, _options(LSTM, path))


@pytest.fixture(scope="module")
def finished_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("finished") / "run.ckpt"
    _quiet(HybridSeqTrain, X, Y, _options(LSTM, path))
    return path.read_bytes()


X_LAST = X.copy()
X_LAST[-1, -1, -1] += 1


@pytest.mark.parametrize("change, field", [
    ({"X": X_LAST}, "X"),
    ({"Y": Y[::-1].copy()}, "Y"),
    ({"maxEpochs": 8}, "options['maxEpochs']"),
    ({"dropout": 0.25}, "options['dropout']"),
])
def test_a_checkpoint_of_other_data_or_options_is_refused_naming_the_field_and_left_untouched(
        change, field, finished_file, tmp_path):
    path = tmp_path / "run.ckpt"
    path.write_bytes(finished_file)
    x, y = change.get("X", X), change.get("Y", Y)
    options = _options(LSTM, path, **{k: v for k, v in change.items() if k not in ("X", "Y")})
    with pytest.raises(ValueError) as err:
        _quiet(HybridSeqTrain, x, y, options)
    assert str(path) in str(err.value) and field in str(err.value)
    assert path.read_bytes() == finished_file


class Payload:
    """Unpickling this runs a shell command that leaves a marker file."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return os.system, ("touch " + self.marker,)


def _damaged(kind, whole, tmp_path):
    if kind == "truncated":
        return whole[: len(whole) - 7]
    if kind == "header only":
        return whole[:28]
    if kind == "bit flipped":
        flipped = bytearray(whole)
        flipped[len(whole) // 2] ^= 0x10
        return bytes(flipped)
    if kind == "empty":
        return b""
    if kind == "pickle payload":
        return pickle.dumps(Payload(str(tmp_path / "marker")))
    if kind == "torch.save payload":
        buffer = io.BytesIO()
        torch.save({"state": Payload(str(tmp_path / "marker"))}, buffer)
        return buffer.getvalue()
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["truncated", "header only", "bit flipped", "empty", "pickle payload",
                                  "torch.save payload"])
def test_a_damaged_or_hostile_file_is_refused_naming_it_and_runs_nothing(kind, finished_file, tmp_path):
    path = tmp_path / "run.ckpt"
    content = _damaged(kind, finished_file, tmp_path)
    path.write_bytes(content)
    with pytest.raises(ValueError, match="已损坏或不完整") as err:
        _quiet(HybridSeqTrain, X, Y, _options(LSTM, path))
    assert str(path) in str(err.value)
    assert not (tmp_path / "marker").exists()
    assert path.read_bytes() == content


def test_a_checkpoint_that_cannot_be_written_fails_the_call(tmp_path):
    with pytest.raises(RuntimeError, match="写入失败"):
        _quiet(HybridSeqTrain, X, Y, _options(LSTM, tmp_path / "missing" / "run.ckpt"))


# ---- torchrun: a rank killed mid-training, the group restarted, the call resumed ----------

TORCHRUN_SCRIPT = textwrap.dedent("""
    import datetime, os, signal, sys, threading, time
    import numpy as np
    import torch.distributed as dist
    sys.path.insert(0, sys.argv[1])
    from test_checkpoint import X, Y, BIGRU, _options, _outcome
    from HybridSeqTrain import HybridSeqTrain
    out, path = sys.argv[2], sys.argv[3]
    # torch 2's torchrun keeps one store across restarts: each attempt meets under keys of its
    # own, or gloo reads the addresses of the attempt that died
    timeout = datetime.timedelta(seconds=120)
    store, rank, world = next(dist.rendezvous("env://", timeout=timeout))
    store = dist.PrefixStore("attempt" + os.environ["TORCHELASTIC_RESTART_COUNT"], store)
    dist.init_process_group("gloo", store=store, rank=rank, world_size=world, timeout=timeout)
    rank = dist.get_rank()
    if path != "-" and rank == 1 and os.environ.get("TORCHELASTIC_RESTART_COUNT") == "0":
        # once the checkpoint has been replaced after an epoch, die at the next batch boundary
        def watch():
            while not os.path.exists(path):
                time.sleep(0.001)
            first = os.stat(path).st_mtime_ns
            while os.stat(path).st_mtime_ns == first:
                time.sleep(0.001)
            os.kill(os.getpid(), signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, lambda *a: os.kill(os.getpid(), signal.SIGKILL))
        threading.Thread(target=watch, daemon=True).start()
    options = _options(dict(BIGRU, earlyStoppingPatience=0, maxEpochs=6), None if path == "-" else path)
    result = HybridSeqTrain(X, Y, options)
    np.savez(out + ".rank%d.npz" % rank, **_outcome(result))
    dist.destroy_process_group()
""")


def _torchrun(tmp_path, out, path):
    script = tmp_path / "script.py"
    script.write_text(TORCHRUN_SCRIPT)
    here = os.path.dirname(os.path.abspath(__file__))
    cmd = [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2", "--max_restarts=1"]
    if int(torch.__version__.split(".")[0]) < 2:
        cmd += ["--redirects=1", "--tee=1"]  # torch 1.13's default redirects do not parse on Python 3.11
    cmd += [str(script), here, str(out), str(path)]
    env = child_env(GLOO_SOCKET_IFNAME="lo", OMP_NUM_THREADS="1", USE_LIBUV="0")
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, (proc.stdout + proc.stderr)[-3000:]
    return proc.stdout + proc.stderr


def test_torchrun_restarts_the_group_after_a_kill_and_every_rank_resumes_bit_identical(tmp_path):
    _torchrun(tmp_path, tmp_path / "reference", "-")
    console = _torchrun(tmp_path, tmp_path / "resumed", tmp_path / "run.ckpt")
    assert "恢复" in console  # the second attempt resumed
    for rank in (0, 1):
        reference = dict(np.load(tmp_path / ("reference.rank%d.npz" % rank)))
        resumed = dict(np.load(tmp_path / ("resumed.rank%d.npz" % rank)))
        _assert_identical(resumed, reference)


# ---- the call's own random streams ---------------------------------------------------------

THREADED = [_options(BIGRU, maxEpochs=4), _options(dict(LSTM, dropout=0.5, seed=11), maxEpochs=4)]


def test_seeded_calls_in_two_threads_equal_the_same_calls_one_after_the_other():
    one_by_one = [_outcome(_quiet(HybridSeqTrain, X, Y, o)[0]) for o in THREADED]
    results = [None, None]

    def run(i):
        results[i] = _outcome(HybridSeqTrain(X, Y, THREADED[i]))

    with contextlib.redirect_stdout(io.StringIO()):
        threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    for got, expected in zip(results, one_by_one):
        _assert_identical(got, expected)


def test_the_process_wide_generators_are_still_seeded():
    import random
    after = []
    for _ in range(2):
        # whatever state the generators were in, a seeded call leaves them the same
        torch.rand(5), np.random.rand(5), random.random()
        _quiet(HybridSeqTrain, X, Y, _options(LSTM, maxEpochs=1))
        after.append((torch.rand(3).numpy(), np.random.rand(3), random.random()))
    for a, b in zip(*after):
        assert np.array_equal(a, b)
