"""Sequences of unequal length: a list of per-sample arrays as X, every
sample computed as if it stood alone, in the native kernels and in the
submodules' own path, through the pipeline and the estimator."""
import copy

import json

import numpy as np
import pytest
import torch
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

import HybridSeqTrain as H
from conftest import fast_options, require

KINDS = ["LSTM", "GRU", "RNN", "BiLSTM", "BiGRU", "BiRNN"]


def ragged(lengths, features=3, seed=0, classes=2):
    """Per-sample arrays [features, L_i] whose class shows in their mean."""
    rng = np.random.default_rng(seed)
    y = np.arange(len(lengths)) % classes
    X = [rng.normal(size=(features, n)) + y[i] for i, n in enumerate(lengths)]
    return X, y


def padded(X, longest=None, fill=0.0):
    longest = longest or max(x.shape[-1] for x in X)
    out = np.full((len(X), X[0].shape[0], longest), fill, dtype=np.float32)
    for i, x in enumerate(X):
        out[i, :, :x.shape[-1]] = x
    return torch.from_numpy(out)


def network(kind="LSTM", layers=1, channels=(5, 6), kernel=3, pool=2, features=3, seed=0):
    torch.manual_seed(seed)
    return H._CNNRNNClassifier(input_features=features, num_classes=3, conv_channels=list(channels),
                               kernel_size=kernel, pool_size=pool, network_type=kind, rnn_hidden=7,
                               rnn_layers=layers, dropout=0.0)


def observed(model):
    """The same network with a forward hook: model(x) then runs the submodules' own path."""
    twin = copy.deepcopy(model)
    twin.classifier.register_forward_hook(lambda *a: None)
    return twin


# ---- Input ----------------------------------------------------------------

@pytest.mark.parametrize("make, axis, features, lengths", [
    (lambda r: [r.normal(size=n) for n in (5, 9, 7)], -1, 1, [5, 9, 7]),
    (lambda r: [r.normal(size=(3, n)) for n in (4, 8, 6)], -1, 3, [4, 8, 6]),
    (lambda r: [r.normal(size=(n, 3)) for n in (4, 8, 6)], 0, 3, [4, 8, 6]),
    (lambda r: tuple(r.normal(size=(2, n, 2)) for n in (3, 6, 5)), 1, 4, [3, 6, 5]),
    (lambda r: np.array([r.normal(size=(2, n)) for n in (6, 3, 4)] + [None], dtype=object)[:3], -1, 2, [6, 3, 4]),
    (lambda r: [list(r.normal(size=n)) for n in (2, 4, 3)], 0, 1, [2, 4, 3]),
])
def test_ragged_layouts_pad_to_the_longest_and_record_every_length(make, axis, features, lengths):
    X = make(np.random.default_rng(1))
    seqs, info = H._adapt_to_sequence(X, 3, axis, "auto")
    longest = max(lengths)
    assert seqs.shape == (3, features, longest) and seqs.dtype == np.float32
    assert info["adaptedShape"] == (3, features, longest) and info["sequenceLength"] == longest
    np.testing.assert_array_equal(info["sequenceLengths"], lengths)
    for i, n in enumerate(lengths):
        sample = np.moveaxis(np.asarray(X[i], dtype=np.float64), axis, -1).reshape(features, n)
        np.testing.assert_array_equal(seqs[i, :, :n], sample.astype(np.float32))
        assert not seqs[i, :, n:].any()


@pytest.mark.parametrize("X", [
    np.zeros((4, 2, 6)),
    [np.zeros((2, 6))] * 4,                                      # a list of samples of one length
    np.array([np.zeros((2, 6))] * 4 + [None], dtype=object)[:4],  # an object array of them
], ids=["array", "list", "object-array"])
def test_samples_of_one_length_add_no_lengths_to_the_record(X):
    _, info = H._adapt_to_sequence(X, 4, -1, "auto")
    assert "sequenceLengths" not in info and info["adaptedShape"] == (4, 2, 6)


def test_unequal_lengths_are_recorded_as_plain_ints():
    _, info = H._adapt_to_sequence([np.zeros((2, 5)), np.zeros((2, 7))], 2, -1, "auto")
    assert info["sequenceLengths"] == (5, 7) and all(type(n) is int for n in info["sequenceLengths"])
    assert json.loads(json.dumps(info))["sequenceLengths"] == [5, 7]


@pytest.mark.parametrize("X, options, error, message", [
    ([np.zeros((3, 5)), np.zeros((3, 7)), np.zeros((2, 6))], {}, ValueError, r"X\[2\] 的尺寸 \(2, 6\)"),
    ([np.zeros((3, 5)), np.zeros((3, 7)), np.zeros((3, 6, 1))], {}, ValueError, r"X\[2\]"),
    ([np.zeros((3, 5)), np.zeros((3, 7)), np.zeros((3, 6))], {"sampleDimension": 1}, ValueError, "sampleDimension"),
    ([np.zeros((3, 5)), np.zeros((3, 1)), np.zeros((3, 6))], {}, ValueError, r"X\[1\] 的长度为 1"),
    ([np.zeros((3, 5)), np.full((3, 7), np.nan), np.zeros((3, 6))], {}, ValueError, r"NaN 或 Inf（X\[1\]）"),
    ([np.zeros((3, 5)), np.zeros((3, 7))], {}, ValueError, "X 的样本数 2 与 Y 的样本数 3"),
    ([np.zeros((3, 5)), np.zeros((3, 7)), np.array([["a"] * 6] * 3)], {}, TypeError, "数值型"),
    ([np.zeros((3, 5)), np.zeros((3, 3)), np.zeros((3, 6))], {"poolSize": 4}, ValueError, "最短的样本长 3"),
    ([np.zeros((3, 5)), np.zeros((3, 7)), np.zeros((3, 6))], {"sequenceAxis": 2}, ValueError, "sequenceAxis"),
])
def test_ragged_input_errors_name_the_sample(X, options, error, message):
    with pytest.raises(error, match=message):
        H.HybridSeqTrain(X, np.array([0, 1, 0]), fast_options(**options))


def test_equal_length_list_gives_the_same_bits_as_the_stacked_array():
    X, y = ragged([9] * 30)
    a = H.HybridSeqTrain(X, y, fast_options(maxEpochs=2))
    b = H.HybridSeqTrain(np.stack(X), y, fast_options(maxEpochs=2))
    for name, t in a[2].state_dict().items():
        assert torch.equal(t, b[2].state_dict()[name]), name
    np.testing.assert_array_equal(a[3]["probabilityTest"], b[3]["probabilityTest"])


# ---- Every sample as if it stood alone -------------------------------------

LENGTH_TABLE = {
    "mixed": [9, 4, 12, 6, 2],
    "one short among long": [12, 12, 2, 12],
    "all one length": [7, 7, 7],
    "window length": [2, 3, 2, 5],
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case", list(LENGTH_TABLE))
@pytest.mark.parametrize("path", ["native", "submodules"])
def test_eval_mixed_batch_equals_each_sample_alone(kind, case, path):
    lengths = LENGTH_TABLE[case]
    model = network(kind, layers=2 if kind in ("GRU", "BiLSTM") else 1).eval()
    if path == "submodules":
        model = observed(model)
    X, _ = ragged(lengths, seed=3)
    x = padded(X, longest=max(lengths) + 2, fill=1e3).requires_grad_(True)  # garbage beyond every sample
    lengths_t = torch.tensor(lengths)
    out = model(x, lengths_t)
    weights = torch.randn_like(out)
    (out * weights).sum().backward()
    for b, n in enumerate(lengths):
        alone = torch.from_numpy(X[b].astype(np.float32))[None].requires_grad_(True)
        ref = model(alone)
        torch.testing.assert_close(out[b], ref[0], rtol=1e-4, atol=1e-5)
        (ref * weights[b]).sum().backward()
        torch.testing.assert_close(x.grad[b, :, :n], alone.grad[0], rtol=1e-4, atol=1e-5)
        assert not x.grad[b, :, n:].any()


def reference_training_forward(model, x, lengths):
    """torch.nn's layers with pack_padded_sequence and BatchNorm statistics over valid positions only."""
    out, l = x, lengths.clone()
    for layer in model.cnn:
        mask = (torch.arange(out.shape[2])[None, :] < l[:, None]).float()[:, None, :]
        if isinstance(layer, nn.Conv1d):
            out = layer(out * mask)
            k, p = layer.kernel_size[0], layer.padding[0]
            l = l + 2 * p - k + 1
        elif isinstance(layer, nn.BatchNorm1d):
            count = mask.sum() * 1.0
            mean = (out * mask).sum((0, 2)) / count
            var = (((out - mean[None, :, None]) * mask) ** 2).sum((0, 2)) / count
            with torch.no_grad():
                m = layer.momentum
                layer.running_mean.mul_(1 - m).add_(m * mean)
                layer.running_var.mul_(1 - m).add_(m * var * count / (count - 1))
                layer.num_batches_tracked += 1
            out = (out - mean[None, :, None]) / torch.sqrt(var[None, :, None] + layer.eps)
            out = out * layer.weight[None, :, None] + layer.bias[None, :, None]
        elif isinstance(layer, nn.MaxPool1d):
            out = layer(out)
            l = (l - layer.kernel_size) // layer.stride + 1
        else:
            out = layer(out)
    mask = (torch.arange(out.shape[2])[None, :] < l[:, None]).float()[:, None, :]
    out = out * mask
    packed = pack_padded_sequence(out.transpose(1, 2), l, batch_first=True, enforce_sorted=False)
    seq = pad_packed_sequence(model.rnn(packed)[0], batch_first=True, total_length=out.shape[2])[0]
    last = seq[torch.arange(len(l)), l - 1]
    if model.bidirectional:
        h = seq.shape[-1] // 2
        summary = torch.cat([last[:, :h], seq[:, 0, h:]], 1)
    else:
        summary = last
    return model.classifier(model.dropout(summary))


@pytest.mark.parametrize("kind, layers, kernel, pool", [
    ("LSTM", 1, 3, 2), ("GRU", 2, 4, 2), ("RNN", 1, 5, 3), ("BiLSTM", 2, 3, 1), ("BiGRU", 1, 3, 2),
    ("BiRNN", 1, 4, 3),
])
@pytest.mark.parametrize("path", ["native", "submodules"])
def test_training_mixed_batch_equals_packed_torch_layers(kind, layers, kernel, pool, path):
    lengths = torch.tensor([11, 5, 14, 3, 8, 14])
    model = network(kind, layers=layers, kernel=kernel, pool=pool).train()
    reference = copy.deepcopy(model)
    if path == "submodules":
        model = observed(model)
    X, _ = ragged(lengths.tolist(), seed=5)
    x = padded(X, fill=-50.0)
    out = model(x, lengths)
    ref = reference_training_forward(reference, padded(X), lengths)
    torch.testing.assert_close(out, ref, rtol=1e-4, atol=1e-5)
    g = torch.randn_like(out)
    (out * g).sum().backward()
    (ref * g).sum().backward()
    for (name, p), q in zip(model.named_parameters(), reference.parameters()):
        torch.testing.assert_close(p.grad, q.grad, rtol=1e-3, atol=1e-5, msg=name)
    for (name, b), c in zip(model.named_buffers(), reference.buffers()):
        torch.testing.assert_close(b, c, rtol=1e-5, atol=1e-6, msg=name)


@pytest.mark.parametrize("lengths, message", [
    (torch.tensor([3, 0]), "1..8"),
    (torch.tensor([3, 9]), "1..8"),
    (torch.tensor([3, 4, 5]), "one integer per sample"),
    (torch.tensor([3.0, 4.0]), "one integer per sample"),
    (torch.tensor([1, 4]), "leaves no step"),
])
def test_bad_lengths_are_refused(lengths, message):
    model = network(pool=2).eval()
    with pytest.raises(ValueError, match=message):
        model(torch.zeros(2, 3, 8), lengths)


def test_lengths_as_long_as_x_change_nothing():
    model = network("BiGRU").eval()
    x = torch.randn(4, 3, 10)
    assert torch.equal(model(x, torch.full((4,), 10)), model(x))
    assert torch.equal(model(x, [10, 10, 10, 10]), model(x))


@pytest.mark.parametrize("kind", ["LSTM", "BiGRU"])
def test_trace_with_lengths_gives_the_native_outputs(kind):
    model = network(kind).eval()
    X, _ = ragged([9, 4, 12, 6], seed=2)
    x, lengths = padded(X), torch.tensor([9, 4, 12, 6])
    traced = torch.jit.trace(model, (x, lengths), check_trace=False)
    torch.testing.assert_close(traced(x, lengths), model(x, lengths), rtol=1e-4, atol=1e-5)
    X2, _ = ragged([5, 15, 7], seed=4)  # another batch size and padded length
    x2, l2 = padded(X2), torch.tensor([5, 15, 7])
    torch.testing.assert_close(traced(x2, l2), model(x2, l2), rtol=1e-4, atol=1e-5)


# ---- The pipeline and the estimator ----------------------------------------

def test_pipeline_trains_on_ragged_input_and_its_model_reproduces_the_probabilities():
    lengths = np.random.default_rng(0).integers(4, 20, size=60)
    X, y = ragged(lengths, seed=1)
    _, _, model, info = H.HybridSeqTrain(X, y, fast_options(maxEpochs=2))
    np.testing.assert_array_equal(info["shapeInfo"]["sequenceLengths"], lengths)
    assert info["shapeInfo"]["adaptedShape"] == (60, 3, lengths.max())
    test = info["testIdx"]
    mean, std = info["normalizationMean"], info["normalizationStd"]
    xs = [(X[i] - mean[0]) / std[0] for i in test]
    with torch.no_grad():
        prob = torch.softmax(model(padded(xs), torch.tensor(lengths[test])), 1).numpy()
    np.testing.assert_allclose(prob, info["probabilityTest"], rtol=1e-5, atol=1e-6)


def test_statistics_count_valid_steps_only():
    X = [np.full((1, 2), 1.0), np.full((1, 6), 3.0), np.full((1, 4), 5.0)] * 4
    y = np.arange(12) % 2
    _, _, _, info = H.HybridSeqTrain(X, y, fast_options(poolSize=1, splitLabels=np.array([1] * 10 + [2, 3]),
                                                        convChannels=[2]))
    values = np.concatenate([X[i].ravel() for i in range(10)])
    np.testing.assert_allclose(info["normalizationMean"].ravel(), [values.mean()], rtol=1e-6)
    np.testing.assert_allclose(info["normalizationStd"].ravel(), [values.std()], rtol=1e-6)


def test_estimator_fits_and_predicts_ragged_lists_and_its_module_takes_lengths():
    lengths = np.random.default_rng(2).integers(4, 16, size=50)
    X, y = ragged(lengths, seed=6)
    clf = H.HybridSeqClassifier(maxEpochs=2, convChannels=(4,), rnnHidden=5, seed=1).fit(X, y)
    new_lengths = [3, 17, 9]
    new, _ = ragged(new_lengths, seed=7)
    proba = clf.predict_proba(new)
    assert proba.shape == (3, 2)
    assert set(clf.predict(new)) <= set(y)
    module = clf.to_module()
    raw = padded(new)
    with torch.no_grad():
        torch.testing.assert_close(module(raw, torch.tensor(new_lengths)), torch.from_numpy(proba),
                                   rtol=1e-5, atol=1e-6)
    with pytest.raises(ValueError, match=r"X\[1\] 的尺寸"):
        clf.predict([np.zeros((3, 5)), np.zeros((2, 5))])


def test_onnx_export_takes_lengths_as_an_input():
    ort = require("onnxruntime")
    import io
    import inspect
    model = network("BiLSTM").eval()
    X, _ = ragged([9, 4, 12, 6], seed=2)
    x, lengths = padded(X), torch.tensor([9, 4, 12, 6])
    kwargs = {"dynamo": False} if "dynamo" in inspect.signature(torch.onnx.export).parameters else {}
    buf = io.BytesIO()
    torch.onnx.export(model, (x, lengths), buf, input_names=["x", "lengths"],
                      dynamic_axes={"x": {0: "batch", 2: "steps"}, "lengths": {0: "batch"}}, **kwargs)
    session = ort.InferenceSession(buf.getvalue())
    X2, _ = ragged([5, 15, 7], seed=4)
    x2, l2 = padded(X2), torch.tensor([5, 15, 7])
    got = session.run(None, {"x": x2.numpy(), "lengths": l2.numpy()})[0]
    np.testing.assert_allclose(got, model(x2, l2).detach().numpy(), rtol=1e-4, atol=1e-5)


def test_submodule_path_ignores_nan_padding_and_empty_batches():
    model = network("BiLSTM").eval()
    X, _ = ragged([9, 4, 12], seed=2)
    x, lengths = padded(X, fill=float("nan")), torch.tensor([9, 4, 12])
    native = model(x, lengths)
    assert torch.isfinite(native).all()
    torch.testing.assert_close(observed(model)(x, lengths), native, rtol=1e-4, atol=1e-5)
    for m in (model, observed(model)):
        assert m(torch.zeros(0, 3, 8), []).shape == (0, 3)


def test_estimator_predict_lengths_rules():
    X, y = ragged([10] * 40, seed=3)
    clf = H.HybridSeqClassifier(maxEpochs=1, convChannels=(4,), rnnHidden=5, poolSize=4).fit(np.stack(X), y)
    assert clf.predict([np.zeros((3, 6)), np.zeros((3, 6))]).shape == (2,)  # a list: any length
    with pytest.raises(ValueError, match="与训练时的布局不符"):
        clf.predict(np.zeros((2, 3, 6)))                                     # an array: fit's layout
    with pytest.raises(ValueError, match="最短的样本只有 3 步"):
        clf.predict([np.zeros((3, 3)), np.zeros((3, 9))])
