"""Reliability: a real Ctrl-C (SIGINT) in each long phase, steady memory over
repeated calls, and two calls from two threads at once.

Each scenario runs in a child interpreter (this file run as a script), so a
crash, a hang or a stray KeyboardInterrupt fails one test instead of the
session, and resident memory is measured without the rest of the suite.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import FIGURE_SUFFIXES, child_env, fast_options

SMALL = fast_options()


# --- child side ------------------------------------------------------------

class _Console:
    """sys.stdout stand-in that keeps the lines and fires `action` a little
    after the first line containing `marker`."""

    def __init__(self, marker=None, delay=0.0, action=None):
        self.lines, self.marker, self.delay, self.action = [], marker, delay, action

    def write(self, text):
        self.lines.append(text)
        if self.marker is not None and self.marker in text:
            self.marker = None
            threading.Timer(self.delay, self.action).start()
        return len(text)

    def flush(self):
        pass

    def seen(self, text):
        return any(text in line for line in self.lines)


def _valid_png(path):
    from PIL import Image
    try:
        with Image.open(path) as image:
            image.load()
        return True
    except Exception:
        return False


def _child_interrupt(phase, home):
    import matplotlib.pyplot as plt
    import HybridSeqTrain as H

    H.__file__ = os.path.join(home, "HybridSeqTrain.so")  # figures go to home/figure
    folder = os.path.join(home, "figure")
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    rng = np.random.default_rng(0)
    if phase == "training":  # endless epochs, interrupted half a second in
        X, Y = rng.normal(size=(400, 3, 32)), np.arange(400) % 2
        opts = dict(SMALL, maxEpochs=10 ** 9, earlyStoppingPatience=0)
        console = _Console("网络:", 0.5, interrupt)
    elif phase == "prediction":  # one short epoch, then a test set of ~100k rows in batches of 4
        n = 100000
        X, Y = rng.normal(size=(n, 2, 32)).astype(np.float32), np.arange(n) % 2
        split = np.full(n, 3)
        split[:60], split[60:90] = 1, 2
        opts = dict(SMALL, splitLabels=split, batchSize=4)
        console = _Console("Epoch   1", 0.2, interrupt)
    else:  # figures: interrupted as soon as the first file appears
        X, Y = rng.normal(size=(60, 3, 16)), np.arange(60) % 3
        opts = dict(SMALL, figflag=True, caseName="sig")
        console = _Console()
        # A figure of an earlier run under the name of the first one: it must
        # survive an interrupted save intact.
        os.makedirs(folder)
        plt.imsave(os.path.join(folder, "sig" + FIGURE_SUFFIXES[0]), np.zeros((4, 4, 3)))

        def watch():  # fires when the first new file appears
            while len(os.listdir(folder)) < 2:
                time.sleep(0.0005)
            interrupt()

        threading.Thread(target=watch, daemon=True).start()

    rc_before = dict(plt.rcParams)
    sys.stdout = console
    try:
        H.HybridSeqTrain(X, Y, opts)
        interrupted, latency = False, None
    except KeyboardInterrupt:
        interrupted, latency = True, time.monotonic() - sent[0]
    finally:
        sys.stdout = sys.__stdout__
    result = {"interrupted": interrupted, "latency": latency, "summary_printed": console.seen("最佳轮次"),
              "epoch_printed": console.seen("Epoch   1"), "open_figures": len(plt.get_fignums()),
              "rc_restored": dict(plt.rcParams) == rc_before}
    if phase == "figures":
        names = sorted(os.listdir(folder))
        result["files"] = names
        result["bad_files"] = [n for n in names if n[3:] not in FIGURE_SUFFIXES or not _valid_png(os.path.join(folder, n))]
    # The next call in the same process.
    sys.stdout = _Console()
    try:
        small_x, small_y = rng.normal(size=(40, 3, 16)), np.arange(40) % 2
        out = H.HybridSeqTrain(small_x, small_y, dict(SMALL, figflag=phase == "figures", caseName="sig"))
    finally:
        sys.stdout = sys.__stdout__
    result["next_call_results"] = len(out)
    if phase == "figures":
        result["next_call_files"] = sum(_valid_png(os.path.join(folder, "sig" + s)) for s in FIGURE_SUFFIXES)
        result["next_call_open_figures"] = len(plt.get_fignums())
    return result


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _child_memory(calls):
    import HybridSeqTrain as H
    # Big enough that keeping any per-call array (the 2 MB float32 copy, its
    # tensors, the probabilities) alive would add up to more than 50 MB.
    rng = np.random.default_rng(1)
    X, Y = rng.normal(size=(2000, 4, 64)), np.arange(2000) % 3
    rss = []
    sys.stdout = _Console()
    try:
        for _ in range(calls):
            H.HybridSeqTrain(X, Y, dict(SMALL, batchSize=128, seed=5))
            rss.append(_rss_bytes())
    finally:
        sys.stdout = sys.__stdout__
    return {"rss": rss}


def _child_threads():
    import torch
    import HybridSeqTrain as H
    rng = np.random.default_rng(2)
    jobs = [(rng.normal(size=(300, 3, 24)), np.arange(300) % 3, dict(SMALL, maxEpochs=4, networkType="LSTM")),
            (rng.normal(size=(200, 12)), np.array(["a", "b"])[np.arange(200) % 2],
             dict(SMALL, maxEpochs=4, networkType="BiGRU", solverName="sgdm", rnnLayers=2))]
    results, errors = [None, None], [None, None]
    start = threading.Barrier(2)

    def work(i):
        X, Y, opts = jobs[i]
        start.wait()
        try:
            results[i] = H.HybridSeqTrain(X, Y, opts)
        except BaseException as exc:  # reported to the parent
            errors[i] = repr(exc)

    # A third thread makes and checks tensors all along: the loops' caching
    # allocator must neither serve it nor disturb it.
    done, bystander = threading.Event(), {"made": 0, "wrong": 0}

    def allocate():
        while not done.is_set():
            for n in (300, 4096, 70000):
                t = torch.full((n,), 3.0)
                bystander["made"] += 1
                bystander["wrong"] += int(float(t.sum()) != 3.0 * n)

    sys.stdout = _Console()
    threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(2)]
    other = threading.Thread(target=allocate, daemon=True)
    try:
        other.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    finally:
        done.set()
        other.join(30)
        sys.stdout = sys.__stdout__
    report = {"alive": [t.is_alive() for t in threads], "errors": errors, "checks": [], "bystander": bystander}
    for (X, Y, opts), res in zip(jobs, results):
        if res is None:
            continue
        fore_test, fore_train, model, info = res
        x = torch.randn(5, info["shapeInfo"]["featureCount"], info["shapeInfo"]["sequenceLength"])
        report["checks"].append({
            "sizes": [len(fore_test), len(info["testIdx"]), len(fore_train), len(info["trainIdx"])],
            "epochs": len(info["history"]["valLoss"]),
            "labels_known": bool(np.isin(fore_test, Y).all()),
            "probabilities_sum_to_one": bool(np.allclose(info["probabilityTest"].sum(1), 1, atol=1e-5)),
            "model_output": list(model(x).shape),
        })
    return report


# --- parent side -----------------------------------------------------------

def _run_child(*args, timeout=240):
    import HybridSeqTrain
    proc = subprocess.run([sys.executable, os.path.abspath(__file__)] + [str(a) for a in args], env=child_env(),
                          capture_output=True, text=True, timeout=timeout,
                          cwd=os.path.dirname(os.path.abspath(HybridSeqTrain.__file__)))
    assert proc.returncode == 0, f"child {args} exited with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("phase", ["training", "prediction", "figures"])
def test_sigint_stops_the_phase_within_a_second_and_the_next_call_works(phase, tmp_path):
    r = _run_child("interrupt", phase, tmp_path)
    assert r["interrupted"], "the call finished before the signal arrived"
    assert r["latency"] < 1.0
    # The signal landed in the intended phase: prediction starts after the
    # epoch line, the summary comes after prediction and before the figures.
    assert r["summary_printed"] == (phase == "figures")
    if phase == "prediction":
        assert r["epoch_printed"]
    assert r["open_figures"] == 0 and r["rc_restored"]
    assert r["next_call_results"] == 4
    if phase == "figures":
        # No partial or temporary file; the earlier run's file is untouched.
        assert r["files"] == ["sig" + FIGURE_SUFFIXES[0]] and r["bad_files"] == []
        assert r["next_call_files"] == 5 and r["next_call_open_figures"] == 0


def test_resident_memory_stays_flat_over_50_calls():
    rss = _run_child("memory", 50)["rss"]
    growth = max(rss[5:]) - rss[4]
    assert growth < 50 * 2 ** 20, f"grew by {growth / 2 ** 20:.1f} MB after the first 5 calls"


def _cuda_available():
    import torch
    return torch.cuda.is_available()


@pytest.mark.skipif(not _cuda_available(), reason="needs a CUDA device")
def test_cuda_memory_returns_to_its_level_except_the_returned_model():
    import torch
    import HybridSeqTrain as H
    rng = np.random.default_rng(3)
    X, Y = rng.normal(size=(300, 3, 24)), np.arange(300) % 3
    opts = dict(SMALL, deviceSel="gpu", maxEpochs=2)
    H.HybridSeqTrain(X, Y, opts)  # warm-up: context, library workspaces and caches
    torch.cuda.synchronize()
    before = torch.cuda.memory_allocated()
    model = H.HybridSeqTrain(X, Y, opts)[2]
    torch.cuda.synchronize()
    tensors = list(model.parameters()) + list(model.buffers())
    held = sum(t.numel() * t.element_size() for t in tensors)
    # The caching allocator rounds every block up to 512 bytes.
    assert torch.cuda.memory_allocated() - before <= held + 512 * len(tensors)


@pytest.mark.skipif(not _cuda_available(), reason="needs a CUDA device")
@pytest.mark.parametrize("network", ["LSTM", "BiGRU"])
def test_cuda_recurrent_weights_are_one_flat_buffer_after_training(network):
    import warnings
    import torch
    import HybridSeqTrain as H
    rng = np.random.default_rng(4)
    X, Y = rng.normal(size=(120, 3, 16)), np.arange(120) % 3
    model = H.HybridSeqTrain(X, Y, dict(SMALL, deviceSel="gpu", maxEpochs=2, networkType=network))[2]
    storages = {(w.untyped_storage() if hasattr(w, "untyped_storage") else w.storage()).data_ptr()
                for w in model.rnn._flat_weights}
    assert len(storages) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # "... not part of single contiguous chunk of memory" would raise
        with torch.no_grad():
            model.rnn(torch.randn(4, 8, model.rnn.input_size, device="cuda"))


def test_two_threads_calling_at_once_both_finish_beside_a_thread_that_allocates():
    r = _run_child("threads", timeout=300)
    assert r["alive"] == [False, False], "a call did not finish (deadlock?)"
    assert r["errors"] == [None, None]
    sizes = [c["sizes"] for c in r["checks"]]
    assert len(sizes) == 2 and all(s[0] == s[1] > 0 and s[2] == s[3] > 0 for s in sizes)
    assert [c["epochs"] for c in r["checks"]] == [4, 4]
    assert all(c["labels_known"] and c["probabilities_sum_to_one"] for c in r["checks"])
    assert [c["model_output"] for c in r["checks"]] == [[5, 3], [5, 2]]
    assert r["bystander"]["made"] > 0 and r["bystander"]["wrong"] == 0


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "interrupt":
        out = _child_interrupt(sys.argv[2], sys.argv[3])
    elif what == "memory":
        out = _child_memory(int(sys.argv[2]))
    else:
        out = _child_threads()
    print(json.dumps(out))
