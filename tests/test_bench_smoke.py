"""Guards the fairness of bench/bench.py: its baselines train the same network on the
same split as HybridSeqTrain. No timings are checked here."""
import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest
import torch

import HybridSeqTrain as hst

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


@pytest.mark.parametrize("train", [bench.train_straight, bench.train_tuned])
def test_baselines_run_and_report(train):
    X, y = bench.make_workload("a")
    _, y_enc = np.unique(y, return_inverse=True)
    split = bench.split_like_pipeline(y_enc, seed=1)
    acc, ends, total = train(X, y, *split, epochs=2, device=torch.device("cpu"),
                             network_type="LSTM")
    assert 0.0 <= acc <= 1.0
    assert len(ends) == 2 and 0 < ends[0] < ends[1] <= total and math.isfinite(total)


def test_flop_count_of_lstm_workload():
    # c with LSTM: conv 9->32 and 32->64 over 128 steps, LSTM over 64 steps, linear 64->6.
    want = (2 * 9 * 32 * 5 * 128 + 2 * 32 * 64 * 5 * 128
            + 64 * 2 * 4 * 64 * (64 + 64) + 2 * 64 * 6)
    assert bench.forward_flops_per_sample(9, 128, 6, "LSTM") == want
    assert bench.forward_flops_per_sample(9, 128, 6, "BiLSTM") == want + 64 * 2 * 4 * 64 * 128 + 2 * 64 * 6
