"""Data-parallel training through torch.distributed: every rank is a process
started here (gloo over 127.0.0.1, short timeouts, each child bounded by a
timeout so no test can hang)."""
import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import torch

from conftest import require
from rank_group import WORKER_HEADER, free_port, rank_env, run_ranks

@pytest.fixture(autouse=True)
def _gloo():
    # skipped where this stack is not meant to have gloo; failed where it is
    require("gloo")

# One rank: runs the listed calls of HybridSeqTrain in order and pickles what
# each returned or raised. The process group (world 0: none) is set up before
# the first call marked "group"; calls before it run without one. The worker
# prints nothing itself, so its standard output is the module's.
WORKER = WORKER_HEADER + r"""


# X that NumPy cannot read: raises `error` on its first reading (or on every
# reading with `always`), then reads as a small valid data set.
class Unreadable:
    def __init__(self, error, always):
        self.error, self.always, self.reads = error, always, 0

    def __array__(self, dtype=None, copy=None):
        self.reads += 1
        if self.always or self.reads == 1:
            raise self.error
        return np.random.default_rng(0).normal(size=(30, 2, 8))


def data(call):
    if call["data"] == "digits":
        from sklearn.datasets import load_digits
        return load_digits(return_X_y=True)
    if call["data"] == "bytes":  # one row of bytes; rank r flips the byte at flip[r]
        x = (np.arange(call["size"]) % 251).astype(np.uint8)
        at = call.get("flip", {}).get(str(rank))
        if at is not None:
            x[at] ^= 1
        return x, np.arange(30) % 3
    if call["data"] == "unreadable":
        error = {"interrupt": KeyboardInterrupt(), "memory": MemoryError(),
                 # the text of a default repr, whose address differs from rank to rank
                 "address": ValueError("cannot read <Reader object at 0x%x>" % (0x7f3a5c00 + 0x40 * rank))}
        return Unreadable(error[call["error"]], call["error"] == "address"), np.arange(30) % 3
    rng = np.random.default_rng(0)
    n, length = call["n"], call.get("length", 16)
    y = np.arange(n) % 3
    t = np.linspace(0, 1, length)
    x = rng.normal(scale=0.6, size=(n, 2, length)) + np.sin(2 * np.pi * (y[:, None] + 1) * t)[:, None, :]
    return x, y


results = []
for call in job["calls"]:
    if call.get("group") and world > 0 and not dist.is_initialized():
        dist.init_process_group("gloo", init_method="tcp://127.0.0.1:%d" % port, rank=rank, world_size=world,
                                timeout=datetime.timedelta(seconds=job["timeout"]))
        if job.get("store_timeout"):  # bounds the handshake, not the collectives
            dist.distributed_c10d._get_default_store().set_timeout(datetime.timedelta(seconds=job["store_timeout"]))
    sys.stdout.write("@@call %d\n" % len(results))
    sys.stdout.flush()
    if call.get("barrier"):
        dist.barrier()
        results.append({})
        continue
    if rank not in call.get("ranks", range(max(world, 1))):
        results.append({"skipped": True})
        with open(out_path, "wb") as f:
            pickle.dump(results, f)
        continue
    X, Y = data(call)
    if call.get("ragged"):  # per-sample arrays of unequal length
        X = [x[:, : x.shape[1] - i % 5] for i, x in enumerate(X)]
    change = call.get("perturb", {}).get(str(rank))
    if change == "x":
        X = [x.copy() for x in X] if isinstance(X, list) else X.copy()
        (X[0] if isinstance(X, list) else X).flat[0] += 1.0
    elif change == "y":
        Y = Y.copy()
        Y[0] = (Y[0] + 1) % 3
    elif change == "shard":
        X, Y = X[rank::world], Y[rank::world]
    options = dict(call["options"], **call.get("rank_options", {}).get(str(rank), {}))
    result = {}
    start, wall_start = time.process_time(), time.monotonic()
    try:
        fore, fore_train, model, info = H.HybridSeqTrain(X, Y, options)
    except BaseException as exc:  # KeyboardInterrupt and MemoryError too
        result["error"] = (type(exc).__name__, str(exc).splitlines()[0] if str(exc) else "")
        result["wall"] = time.monotonic() - wall_start
    else:
        result["cpu"] = time.process_time() - start
        result["fore"] = fore
        result["fore_train"] = fore_train
        result["history"] = info["history"]
        result["best"] = (info["bestEpoch"], info["bestValidationLoss"])
        result["prob"] = [info[k] for k in ("probabilityTrain", "probabilityValidation", "probabilityTest")]
        result["state"] = {k: v.detach().cpu().numpy().tobytes() for k, v in model.state_dict().items()}
        result["accuracy"] = info["metricsTest"]["accuracy"]
        result["test_idx"] = info["testIdx"]
        if call["data"] == "synthetic":
            # The returned network's own output on the rank's own test rows,
            # against the probabilities the call reported for them.
            x = (X[info["testIdx"]] - info["normalizationMean"]) / info["normalizationStd"]
            with torch.no_grad():
                own = torch.softmax(model(torch.as_tensor(x, dtype=torch.float32)), dim=1).numpy()
            result["own_gap"] = float(np.abs(own - info["probabilityTest"]).max())
    sys.stdout.flush()
    results.append(result)
    with open(out_path, "wb") as f:
        pickle.dump(results, f)
"""

FAST = {"figflag": False, "showFigures": False, "deviceSel": "cpu", "convChannels": [4], "rnnHidden": 6,
        "batchSize": 16, "maxEpochs": 3, "earlyStoppingPatience": 0}
# Digits, every epoch run (no early stop, so no run ends on a lucky or
# unlucky plateau; the state of the best validation loss is kept), for a few
# seeds: one run's test accuracy on 360 rows varies by about 1.5 points from
# seed to seed, so single runs of two configurations cannot be compared to
# within 2 points; their means over the seeds can.
DIGITS_SEEDS = [1, 2, 3, 4, 5]
DIGITS_RATE = 0.005


def _digits(seed, world):
    """The digits call for `world` ranks. batchSize is per rank, so an epoch
    has 1/world of the steps of one process; the learning rate grows with the
    effective batch (the linear scaling rule the README gives users)."""
    return {"data": "digits", "options": dict(FAST, convChannels=[8], rnnHidden=24, batchSize=32, maxEpochs=60,
                                              seed=seed, learnRate=DIGITS_RATE * world)}


# Enough arithmetic per step (a wider network, batches of 128 rows) that the
# work divided among the ranks outweighs what each step's exchange costs here
# (gloo over loopback: about 0.8 ms of CPU per all-reduce with 2 ranks, 1.5 ms
# with 3 on two cores).
HEAVY = {"data": "synthetic", "n": 2000, "length": 64,
         "options": dict(FAST, convChannels=[16, 32], rnnHidden=48, batchSize=128, maxEpochs=15)}
# 150 samples: 102/18/30 rows, which 3 ranks do not divide evenly (the
# training share is padded, the validation shares are uneven).
SMALL = {"data": "synthetic", "n": 150, "options": FAST}
# SGD with a rate dropping every epoch and early stopping, a GRU.
SMALL_SGD = {"data": "synthetic", "n": 150,
             "options": dict(FAST, solverName="sgdm", learnRateSchedule="piecewise", learnRateDropPeriod=1,
                             earlyStoppingPatience=1, maxEpochs=4, networkType="GRU")}
BAD_INPUTS = [
    ({"solverName": "bogus"}, "ValueError", "solverName 必须是 adam/sgdm/rmsprop"),
    ({"classWeight": [1.0, -1.0, 1.0]}, "ValueError", "自定义 classWeight 必须为长度等于类别数的正数序列"),
    ({"learnRateSchedule": "cosine"}, "ValueError", "learnRateSchedule 必须是 none 或 piecewise"),
]


# The 1-minute load average when each group of processes started: CPU times
# of ranks that wait on each other compare only without much other work.
LOAD_BEFORE_RUNS = []


def _run(world, calls, tmp_path, timeout=240, group_timeout=20, store_timeout=None):
    """Starts `world` ranks (world 0: one process, never a process group) on the
    calls; returns per rank (the results of its calls, its standard output of
    each call)."""
    LOAD_BEFORE_RUNS.append(os.getloadavg()[0])
    job = json.dumps({"timeout": group_timeout, "store_timeout": store_timeout, "calls": calls})
    return [(results, [o.split("\n", 1)[1] for o in stdout.split("@@call ")[1:]])
            for results, stdout in run_ranks(WORKER, world, job, tmp_path, timeout)]


def _group(call):
    return dict(call, group=True)


# Calls of every rank: a small warm-up (the first call of a process pays
# one-time costs, the first touch of code and memory among them), the heavy
# case without a process group (every rank doing all the work, side by side:
# what one process costs here with as many processes beside it, measured next
# to the call it is compared with, since CPU time charged for the same work
# drifts on a shared machine), the heavy case in the group, digits; the rest
# follow from AFTER.
ALONE_AT, HEAVY_AT, DIGITS_AT = 1, 2, 3
AFTER = DIGITS_AT + len(DIGITS_SEEDS)


def _rank_calls(world):
    return [SMALL, HEAVY, _group(HEAVY)] + [_group(_digits(seed, world)) for seed in DIGITS_SEEDS]


# One process: digits, then the small case without and with a process group
# of one.
SINGLE_DIGITS_AT = 0
SINGLE_AFTER = SINGLE_DIGITS_AT + len(DIGITS_SEEDS)


@pytest.fixture(scope="module")
def single(tmp_path_factory):
    return _run(1, [_digits(seed, 1) for seed in DIGITS_SEEDS] + [SMALL, _group(SMALL)],
                tmp_path_factory.mktemp("single"))[0]


# What a rank is given unlike rank 0, and the field every rank's refusal
# names. Shards are what sharded loading hands each rank.
DIFFERENCES = [
    ({"perturb": {"1": "x"}}, "X"),
    ({"ragged": True, "perturb": {"1": "x"}}, "X"),
    ({"perturb": {"1": "y"}}, "Y"),
    ({"perturb": {"0": "shard", "1": "shard"}}, "X"),
    ({"rank_options": {"1": {"seed": 7}}}, "options['seed']"),
    ({"rank_options": {"1": {"convChannels": [4, 4]}}}, "options['convChannels']"),
]
SEED_0_AT = AFTER + 1 + len(BAD_INPUTS)
DIFFERENCES_AT = SEED_0_AT + 1


@pytest.fixture(scope="module")
def two_ranks(tmp_path_factory):
    bad = [_group(dict(SMALL, options=dict(FAST, **options))) for options, _, _ in BAD_INPUTS]
    # seed 0: every generator unfixed, so each rank draws its own split,
    # weights and orders unless rank 0's are shared.
    seed_0 = _group(dict(SMALL, options=dict(FAST, seed=0)))
    differ = [_group(dict(SMALL, **change)) for change, _ in DIFFERENCES]
    return _run(2, _rank_calls(2) + [_group(SMALL)] + bad + [seed_0] + differ, tmp_path_factory.mktemp("two"))


# Calls made on some ranks only, in a group of two whose handshake waits 3 s
# (its collectives 20 s): the ranks meet again at a barrier after each.
HANDSHAKE_WAIT = 3
LOCAL = dict(SMALL, options=dict(FAST, dataParallel=False))
ALONE_CALLS = [
    SMALL,                                   # 0: no group yet, every rank
    _group(dict(SMALL, ranks=[0])),          # 1: rank 0 alone
    {"barrier": True},
    _group(dict(LOCAL, ranks=[0])),          # 3: rank 0 alone, trained locally
    {"barrier": True},
    _group(dict(SMALL, ranks=[1])),          # 5: rank 1 alone
    {"barrier": True},
    _group(SMALL),                           # 7: both again
]


@pytest.fixture(scope="module")
def alone(tmp_path_factory):
    return _run(2, ALONE_CALLS, tmp_path_factory.mktemp("alone"), store_timeout=HANDSHAKE_WAIT)


@pytest.fixture(scope="module")
def three_ranks(tmp_path_factory):
    # Last: rank 1 alone is given options the others are not.
    fails_alone = _group(dict(SMALL, options=dict(FAST, maxEpochs=50), rank_options={"1": {"solverName": "bogus"}}))
    return _run(3, _rank_calls(3) + [_group(SMALL_SGD), fails_alone], tmp_path_factory.mktemp("three"),
                group_timeout=10)


def _assert_same_run(a, b):
    assert a["state"].keys() == b["state"].keys()
    for key in a["state"]:
        assert a["state"][key] == b["state"][key], key
    assert a["history"] == b["history"]
    assert a["best"] == b["best"]
    np.testing.assert_array_equal(a["fore"], b["fore"])
    np.testing.assert_array_equal(a["fore_train"], b["fore_train"])
    for pa, pb in zip(a["prob"], b["prob"]):
        assert pa.dtype == pb.dtype and pa.shape == pb.shape
        assert pa.tobytes() == pb.tobytes()


@pytest.mark.parametrize("ranks, call", [("two_ranks", HEAVY_AT), ("two_ranks", DIGITS_AT),
                                         ("two_ranks", AFTER), ("three_ranks", DIGITS_AT),
                                         ("three_ranks", AFTER)])
def test_every_rank_ends_with_the_same_network_and_results_and_only_rank_0_prints(ranks, call, request):
    runs = request.getfixturevalue(ranks)
    first = runs[0][0][call]
    assert "error" not in first, first.get("error")
    for results, _ in runs[1:]:
        assert "error" not in results[call], results[call].get("error")
        _assert_same_run(first, results[call])
    lines = runs[0][1][call].splitlines()
    assert "CNN-RNN 通用分类开始训练" in lines and any(l.startswith("Epoch   1 |") for l in lines)
    assert any(l.startswith("测试集: Accuracy=") for l in lines)
    for _, outputs in runs[1:]:
        assert outputs[call] == ""
    n_epochs = len(first["history"]["valLoss"])
    assert all(len(v) == n_epochs for v in first["history"].values())
    assert first["prob"][2].shape[0] == first["fore"].shape[0]


@pytest.mark.parametrize("case", range(len(BAD_INPUTS)))
def test_bad_input_raises_the_same_error_on_every_rank_without_waiting(case, two_ranks):
    _, exc, message = BAD_INPUTS[case]
    for results, outputs in two_ranks:
        assert results[AFTER + 1 + case].get("error") == (exc, message)
        # Refused before any exchange: nobody waited for the group's timeout.
        assert results[AFTER + 1 + case]["wall"] < 5
        assert "Epoch" not in outputs[AFTER + 1 + case]


def _refusal(field, other=1):
    return "%s 在进程 0 与进程 %d 之间不同" % (field, other)


def test_ranks_given_different_data_or_options_all_refuse_alike_within_seconds(two_ranks, three_ranks):
    cases = [(two_ranks, DIFFERENCES_AT + i, field) for i, (_, field) in enumerate(DIFFERENCES)]
    # A bad option on rank 1 alone is a difference too: every rank says so,
    # none is left waiting for the others.
    cases.append((three_ranks, -1, "options['solverName']"))
    for runs, call, field in cases:
        for results, outputs in runs:
            error = results[call].get("error")
            assert error is not None and error[0] == "ValueError", (field, error)
            assert error[1].startswith(_refusal(field)), (field, error)
            assert "dataParallel" in error[1]
            assert results[call]["wall"] < 5
            assert "Epoch" not in outputs[call]


# X as bytes whose count leaves every remainder of 8 (and of 32) that the
# checksum reads in its tail: ranks differing in one byte, first, middle
# or last, must be told apart.
BYTE_SIZES = [32, 33, 42, 51, 60, 69, 78, 87]
BYTE_CASES = [(size, at) for size in BYTE_SIZES for at in (0, size // 2, size - 1)]
# X that cannot be read: the error it raises and what every rank then
# raises (its first line); the interrupt and the memory error are raised on
# the first reading only, so a fingerprint that swallowed them would train.
UNREADABLE = [("interrupt", "KeyboardInterrupt", ""), ("memory", "MemoryError", ""),
              ("address", "ValueError", "cannot read <Reader object at 0x")]


@pytest.fixture(scope="module")
def fingerprints(tmp_path_factory):
    calls = [_group({"data": "bytes", "size": size, "flip": {"1": at}, "options": FAST}) for size, at in BYTE_CASES]
    calls.append(_group({"data": "bytes", "size": BYTE_SIZES[-1], "options": FAST}))
    calls += [_group({"data": "unreadable", "error": error, "options": FAST}) for error, _, _ in UNREADABLE]
    return _run(2, calls + [_group(SMALL)], tmp_path_factory.mktemp("fingerprints"))


def test_ranks_whose_x_differ_in_one_byte_anywhere_are_refused(fingerprints):
    for results, _ in fingerprints:
        for call, (size, at) in enumerate(BYTE_CASES):
            error = results[call].get("error")
            assert error is not None and error[1].startswith(_refusal("X")), (size, at, error)
        # The same bytes on both ranks pass the handshake (and fail the
        # adaptation of a single row, alike).
        error = results[len(BYTE_CASES)].get("error")
        assert error == ("ValueError", "X 至少需要包含样本维和一个数据维"), error


def test_unreadable_x_raises_its_own_error_and_interrupts_propagate(fingerprints):
    first = len(BYTE_CASES) + 1
    for results, _ in fingerprints:
        for call, (kind, exc, text) in enumerate(UNREADABLE, start=first):
            error = results[call].get("error")
            assert error is not None and error[0] == exc and error[1].startswith(text), (kind, error)
            assert results[call]["wall"] < 5, kind
        # None of them left the group waiting: the next call trains.
        assert "error" not in results[-1], results[-1].get("error")
    _assert_same_run(fingerprints[0][0][-1], fingerprints[1][0][-1])


def test_seed_0_trains_one_network_on_one_split_on_every_rank(two_ranks):
    first, second = two_ranks[0][0][SEED_0_AT], two_ranks[1][0][SEED_0_AT]
    assert "error" not in first and "error" not in second
    _assert_same_run(first, second)
    np.testing.assert_array_equal(first["test_idx"], second["test_idx"])
    # Each rank's reported probabilities are its returned network's own.
    for result in (first, second):
        assert result["own_gap"] < 1e-5


def test_calls_on_some_ranks_only_end_within_the_wait_and_the_group_recovers(alone):
    (rank0, out0), (rank1, out1) = alone
    for results, call, missing in ((rank0, 1, "{1}"), (rank1, 5, "{0}")):
        error = results[call].get("error")
        assert error is not None and error[0] == "RuntimeError", error
        assert "进程组共有 2 个进程" in error[1] and "进程 %s 未在 %g 秒内调用 HybridSeqTrain" % (missing, HANDSHAKE_WAIT) in error[1]
        assert '"dataParallel": False' in error[1]
        assert HANDSHAKE_WAIT - 0.5 < results[call]["wall"] < HANDSHAKE_WAIT + 5
    assert rank1[1] == {"skipped": True} and rank0[5] == {"skipped": True}
    # "dataParallel": False inside the group is a plain call of one process.
    assert "error" not in rank0[3], rank0[3].get("error")
    _assert_same_run(rank0[0], rank0[3])
    assert out0[3] == out0[0]
    # After calls that were abandoned, the ranks meet again in the next one.
    assert "error" not in rank0[7] and "error" not in rank1[7], (rank0[7].get("error"), rank1[7].get("error"))
    _assert_same_run(rank0[7], rank1[7])


def test_world_size_1_gives_exactly_the_results_of_no_process_group(single):
    results, outputs = single
    _assert_same_run(results[SINGLE_AFTER], results[SINGLE_AFTER + 1])
    assert outputs[SINGLE_AFTER] == outputs[SINGLE_AFTER + 1]


def test_digits_accuracy_against_one_process(single, two_ranks, three_ranks, capsys):
    alone = [r["accuracy"] for r in single[0][SINGLE_DIGITS_AT:SINGLE_AFTER]]
    report = ["digits, seeds %s: test accuracy of one process %s, mean %.4f"
              % (DIGITS_SEEDS, " ".join("%.4f" % a for a in alone), np.mean(alone))]
    means = []
    for world, runs in ((2, two_ranks), (3, three_ranks)):
        first = runs[0][0][DIGITS_AT:AFTER]
        assert all("error" not in r for r in first), [r.get("error") for r in first]
        accuracy = [r["accuracy"] for r in first]
        report.append("digits, %d ranks (learnRate x %d): %s, mean %.4f"
                      % (world, world, " ".join("%.4f" % a for a in accuracy), np.mean(accuracy)))
        means.append((world, np.mean(accuracy)))
    with capsys.disabled():
        print("\n" + "\n".join(report))
    for world, mean in means:
        assert mean >= np.mean(alone) - 0.02, (world, mean)


# Two ranks train for as long as the test lets them; each makes a second
# call after its first ends, then waits (rank 0 keeps the group's store up).
INTERRUPT_WORKER = r"""
import datetime, sys, time
import numpy as np
import torch.distributed as dist
import HybridSeqTrain as H

rank, port, timeout = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
dist.init_process_group("gloo", init_method="tcp://127.0.0.1:%d" % port, rank=rank, world_size=2,
                        timeout=datetime.timedelta(seconds=timeout))
x, y = np.random.default_rng(0).normal(size=(400, 2, 16)), np.arange(400) % 3
options = {"figflag": False, "showFigures": False, "deviceSel": "cpu", "convChannels": [4], "rnnHidden": 6,
           "batchSize": 8, "maxEpochs": 100000, "earlyStoppingPatience": 0}
for name in ("first", "second"):
    start = time.monotonic()
    try:
        H.HybridSeqTrain(x, y, options)
        outcome = "finished"
    except BaseException as exc:
        outcome = "%s: %s" % (type(exc).__name__, str(exc).splitlines()[0] if str(exc) else "")
    print("@@%s %.2f %s" % (name, time.monotonic() - start, outcome), flush=True)
time.sleep(600)
"""


class _Lines:
    """A child's output, line by line, read by a thread of its own."""

    def __init__(self, proc):
        self.lines, self.seen = queue.Queue(), []
        threading.Thread(target=lambda: [self.lines.put(l) for l in iter(proc.stdout.readline, "")],
                         daemon=True).start()

    def wait_for(self, start, timeout):
        """The first line that starts with `start`, or None after `timeout` seconds."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(line)
            if line.startswith(start):
                return line
        return None


def test_ctrl_c_ends_a_rank_waiting_for_a_stopped_one_and_every_rank_then_fails(capsys):
    # The group would wait 120 s for a rank that stopped taking part; Ctrl-C
    # must end the waiting rank long before.
    group_timeout, port = 120, free_port()
    procs = [subprocess.Popen([sys.executable, "-c", INTERRUPT_WORKER, str(rank), str(port), str(group_timeout)],
                              env=rank_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
             for rank in (0, 1)]
    out = [_Lines(p) for p in procs]
    try:
        assert out[0].wait_for("Epoch   1 |", 120), out[0].seen
        # Rank 1 stops taking part (alive, never answering), so rank 0 is soon
        # waiting in an exchange; then Ctrl-C on rank 0.
        os.kill(procs[1].pid, signal.SIGSTOP)
        time.sleep(1.5)
        os.kill(procs[0].pid, signal.SIGINT)
        interrupted = time.monotonic()
        line = out[0].wait_for("@@first", 20)
        assert line is not None, "rank 0 still waiting 20 s after Ctrl-C: %s" % out[0].seen[-5:]
        assert line.split(" ", 2)[2].startswith("KeyboardInterrupt"), line
        stopped = time.monotonic() - interrupted
        # Rank 1 goes on and finds rank 0 gone from the exchange: it fails
        # instead of waiting out the group's timeout.
        os.kill(procs[1].pid, signal.SIGCONT)
        resumed = time.monotonic()
        line = out[1].wait_for("@@first", 20)
        failed = time.monotonic() - resumed
        assert line is not None and "RuntimeError: torch.distributed 进程组已不可用：进程 0 " in line, (line, out[1].seen)
        # Later calls on either rank refuse at once: the exchange rank 0 left
        # half done can never be completed over this group.
        for rank in (0, 1):
            line = out[rank].wait_for("@@second", 20)
            assert line is not None and "RuntimeError: torch.distributed 进程组已不可用" in line, (rank, line)
            assert '"dataParallel": False' in line
        assert float(line.split()[1]) < 5, line
        with capsys.disabled():
            print("\nCtrl-C to KeyboardInterrupt on the waiting rank: %.2f s; the stopped rank resumed to its "
                  "RuntimeError: %.2f s (group timeout %d s)" % (stopped, failed, group_timeout))
    finally:
        for p in procs:
            p.kill()
            p.wait()
