"""Guards the fairness of bench/bench.py: its baselines train the same network on the
same split as HybridSeqTrain. No timings are checked here."""
import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest
import torch

import HybridSeqTrain as hst
from conftest import STACK, stack_expects

_spec = importlib.util.spec_from_file_location(
    "hst_bench", Path(__file__).resolve().parents[1] / "bench" / "bench.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

# (input_features, num_classes, network_type, overrides of the benchmark's defaults)
NETWORKS = [
    (1, 3, "LSTM", {}),            # workload a
    (8, 10, "LSTM", {}),           # workload b
    (9, 6, "GRU", {}),             # workload c
    (9, 6, "BiLSTM", {}),
    (28, 10, "LSTM", {}),          # workload d
    (5, 4, "RNN", {"rnn_layers": 2, "dropout": 0.3}),
    (3, 2, "BiGRU", {"conv_channels": [7], "pool_size": 1, "rnn_hidden": 17}),
]


@pytest.mark.parametrize("features,classes,network_type,overrides", NETWORKS)
def test_baseline_network_matches_ours(features, classes, network_type, overrides):
    args = bench.network_args(features, classes, network_type)
    args.update(overrides)
    torch.manual_seed(0)
    ours = hst._CNNRNNClassifier(**args)
    plain = bench.PlainCNNRNN(**args)
    shapes = lambda m: [(n, tuple(p.shape)) for n, p in m.named_parameters()]
    assert shapes(plain) == shapes(ours)
    assert sum(p.numel() for p in plain.parameters()) == sum(p.numel() for p in ours.parameters())
    # Same weights give the same function (evaluation mode: no dropout, running statistics).
    plain.load_state_dict(ours.state_dict())
    ours.eval()
    plain.eval()
    x = torch.randn(5, features, 12)
    with torch.no_grad():
        torch.testing.assert_close(plain(x), ours(x))


@pytest.mark.parametrize("workload,seed", [("a", 1), ("b", 1), ("c", 7)])
def test_split_reproduces_pipeline(workload, seed):
    _, y = bench.make_workload(workload)
    _, y_enc = np.unique(y, return_inverse=True)
    options = {"splitLabels": None, "rTrain": 0.8, "validationRatio": 0.15, "seed": seed,
               "shuffle": True}
    expected = hst._split_indices(y_enc, options)
    for got, want in zip(bench.split_like_pipeline(y_enc, seed), expected):
        np.testing.assert_array_equal(got, np.asarray(want))


def _iris_split():
    X, y = bench.make_workload("a")
    _, y_enc = np.unique(y, return_inverse=True)
    return X, y, bench.split_like_pipeline(y_enc.reshape(-1), seed=1)


@pytest.mark.parametrize("impl", ["straight", "tuned", "skorch"])
def test_baselines_run_and_report(impl):
    reason = bench.unavailable_reason(impl)
    if reason and stack_expects(impl):
        pytest.fail("the %s stack should run the %s baseline: %s" % (STACK, impl, reason))
    if reason:
        pytest.skip(reason)
    X, y, split = _iris_split()
    acc, ends, total = bench.TRAINERS[impl](X, y, *split, epochs=2, device=torch.device("cpu"),
                                            network_type="LSTM")
    assert 0.0 <= acc <= 1.0
    assert len(ends) == 2 and 0 < ends[0] < ends[1] <= total and math.isfinite(total)


# The straight loop's child differs from the tuned loop's only in the function it calls,
# which test_baselines_run_and_report runs.
@pytest.mark.parametrize("impl", [i for i in bench.IMPLS if i != "straight"])
def test_child_of_each_contestant_reports(impl, tmp_path, request):
    """A contestant's child process runs one epoch of iris and reports an accuracy; one
    that cannot run with this interpreter reports why, and the parent's own check agrees
    with it."""
    X, y, split = _iris_split()
    data = tmp_path / "a.npz"
    np.savez(data, X=X, y=y, train_idx=split[0], val_idx=split[1], test_idx=split[2])
    # The compiler's disk cache lives in pytest's cache, so only the first run of the
    # suite with this torch pays the full compilation.
    env_extra = None
    if impl == "compiled" and hasattr(torch, "compile"):
        store = getattr(request.config, "cache", None)
        cache = (store.mkdir("bench-compiler-" + torch.__version__.replace("+", "-"))
                 if store is not None else tmp_path / "compiler-cache")
        env_extra = bench.compile_cache_env(str(cache))
    res = bench.run_child(str(data), impl, "LSTM", 1, "cpu", timeout=900, threads=1,
                          env_extra=env_extra, import_retries=0)
    assert "error" not in res, res["error"]
    assert res["impl"] == impl
    expected_reason = bench.unavailable_reason(impl)
    if "unavailable" in res:
        assert impl in ("compiled", "skorch") and res["unavailable"]
        # What the parent foresees; a compiler that fails on this machine is only found
        # out by the child.
        if impl == "skorch" or not hasattr(torch, "compile"):
            assert expected_reason
        return
    assert expected_reason is None
    assert 0.0 <= res["acc"] <= 1.0
    assert 0 < res["total"] == pytest.approx(res["per_epoch"]) and res["steady"] is None
    assert res["threads"] == 1 and res["device_used"] == "cpu"
    assert res["rss_peak_mb"] > 0
    if impl == "ours":
        assert res["split_ok"] is True


def _table_rows(text, title):
    """The data rows (cells split at "|") of the table below the line starting `title`."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    body = lines[start + 1:]
    first = next(i for i, line in enumerate(body) if line.startswith("---")) + 1
    rows = []
    for line in body[first:]:
        if not line.strip() or line.startswith(("\u2014", "note:")) or line[0].isupper():
            break
        rows.append([cell.split() for cell in line.split("|")])
    return rows


def test_tables_mark_unavailable_and_failed_contestants(capsys):
    stats = lambda per_epoch, acc: {"per_epoch": per_epoch, "steady": per_epoch and per_epoch / 2,
                                    "acc": acc, "rss_peak_mb": 300.0, "rss_growth_mb": 20.0,
                                    "gpu_peak_mb": None, "split_ok": True}
    summary = {"b digits LSTM": {"flops": 2e9, "ours": stats(0.1, 0.9), "straight": stats(0.3, 0.8),
                                 "tuned": stats(0.25, 0.85), "compiled": None,
                                 "skorch": stats(None, None)}}
    bench.print_tables(["b digits LSTM"], summary, 5, 1e11, torch.device("cpu"),
                       {"compiled": "torch 1.13 has no torch.compile"}, ("avx512", 1e11, 2))
    out = capsys.readouterr().out
    dash = "\u2014"
    (call,) = _table_rows(out, "Seconds per epoch of the whole call")
    assert call[1] == ["0.1000", "0.3000", "0.2500", dash, "-"]
    assert call[2] == ["3.00x", "2.50x", dash, "-"]           # x str, x tun, x cmp, x skr
    (steady,) = _table_rows(out, "Seconds per epoch in steady state")
    assert steady[1] == ["0.0500", "0.1500", "0.1250", dash, "-"]
    (shares,) = _table_rows(out, "Test accuracy and share")
    assert shares[1] == ["0.9000", "0.8000", "0.8500", dash, "-"]
    assert shares[3] == ["20.0%", "6.7%", "8.0%", dash, "-"]  # 2e9 / s per epoch / 1e11
    # 2e9 FLOPs / s per epoch, against the peak of one core x 2 threads
    assert "avx512: 100.0 GFLOP/s a core x 2 thread(s) = 200.0" in out
    (peak,) = _table_rows(out, "Model GFLOP/s of the whole call")
    assert peak[1] == ["20.0", "6.7", "8.0", dash, "-"]
    assert peak[2] == ["10.0%", "3.3%", "4.0%", dash, "-"]
    (memory,) = _table_rows(out, "Memory of the child process")
    assert memory[1] == ["300"] * 3 + [dash, "300"] and memory[2] == ["20"] * 3 + [dash, "20"]
    assert out.count("torch 1.13 has no torch.compile") == 1


PEAK_OUTPUT = "isa sums GFLOP/s\navx512 12 340.5\npeak avx512 344.0\npeak avx2 170.2\n"


@pytest.mark.parametrize("script,choice,kernel_isas,want_peaks,want_isa,why", [
    ("printf '%s'" % PEAK_OUTPUT, "auto", [], {"avx512": 344e9, "avx2": 170.2e9}, "avx512", None),
    ("printf '%s'" % PEAK_OUTPUT, "auto", ["avx2"], {"avx512": 344e9, "avx2": 170.2e9}, "avx2", None),
    ("printf '%s'" % PEAK_OUTPUT, "avx2", [], {"avx512": 344e9, "avx2": 170.2e9}, "avx2", None),
    ("printf 'peak avx2 170.2\n'", "auto", ["load-time (avx512 / avx2 / baseline)"],
     {"avx2": 170.2e9}, "avx2", None),                      # AVX2-only processor
    ("printf 'peak avx2 170.2\n'", "avx512", [], {"avx2": 170.2e9}, None, None),
    ("printf '%s'" % PEAK_OUTPUT, "auto", ["baseline"], {"avx512": 344e9, "avx2": 170.2e9},
     None, None),                                           # kernels built without FMA
    ("echo broken >&2; exit 4", "auto", [], {}, None, "exit 4, broken"),
    ("echo no peak here", "auto", [], {}, None, "no peak line"),
    (None, "auto", [], {}, None, "is not built"),
])
def test_fma_peak_is_read_and_chosen(tmp_path, script, choice, kernel_isas, want_peaks,
                                     want_isa, why):
    binary = tmp_path / "fma_peak_bench"
    if script is not None:
        binary.write_text("#!/bin/sh\n" + script + "\n")
        binary.chmod(0o755)
    peaks, why_not, _ = bench.measure_fma_peak(str(binary))
    assert peaks == pytest.approx(want_peaks)
    assert (why_not is None) if why is None else (why in why_not)
    assert bench.peak_isa(peaks, choice, kernel_isas) == want_isa


def test_flop_count_of_lstm_workload():
    # c with LSTM: conv 9->32 and 32->64 over 128 steps, LSTM over 64 steps, linear 64->6.
    want = (2 * 9 * 32 * 5 * 128 + 2 * 32 * 64 * 5 * 128
            + 64 * 2 * 4 * 64 * (64 + 64) + 2 * 64 * 6)
    assert bench.forward_flops_per_sample(9, 128, 6, "LSTM") == want
    assert bench.forward_flops_per_sample(9, 128, 6, "BiLSTM") == want + 64 * 2 * 4 * 64 * 128 + 2 * 64 * 6


def test_packed_baseline_computes_our_function_on_unequal_lengths():
    found = importlib.util.spec_from_file_location(
        "hst_bench_ragged", Path(__file__).resolve().parents[1] / "bench" / "ragged.py")
    ragged = importlib.util.module_from_spec(found)
    found.loader.exec_module(ragged)
    X, y, lengths = ragged.make_data(12)
    assert all(x.shape == (ragged.FEATURES, n) for x, n in zip(X, lengths))
    # Samples of one length: the same function. (With unequal lengths the plain
    # loop's convolutions also read what the layers before them left in the
    # padding, as plain loops do; ours treats every sample as if alone.)
    X, lengths = [x[:, :8] for x in X], np.full(12, 8)
    torch.manual_seed(0)
    plain = ragged.PackedCNNRNN(ragged.FEATURES, ragged.CLASSES).eval()
    ours = hst._CNNRNNClassifier(**bench.network_args(ragged.FEATURES, ragged.CLASSES, "LSTM")).eval()
    ours.load_state_dict(plain.net.state_dict())
    x, l = torch.from_numpy(ragged.zero_padded(X, longest=8)), torch.from_numpy(lengths)
    with torch.no_grad():
        torch.testing.assert_close(plain(x, l), ours(x, l), rtol=1e-4, atol=1e-5)
