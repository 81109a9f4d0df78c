"""The four results of a run: predictions in index order, the info record,
display names and reproducibility."""
import copy
import random
import re

import numpy as np
import pytest
import torch

import HybridSeqTrain as hst
from conftest import DEFAULTS, fast_options, make_data
from RatePredictions import RatePredictions

INFO_KEYS = ["trainIdx", "valIdx", "testIdx", "YTrain", "YValidation", "YTest", "foreDataValidation",
             "probabilityTrain", "probabilityValidation", "probabilityTest", "metricsTrain", "metricsValidation",
             "metricsTest", "classes", "classNames", "history", "bestEpoch", "bestValidationLoss",
             "normalizationMean", "normalizationStd", "shapeInfo", "device", "options"]
SETS = [("trainIdx", "YTrain", "probabilityTrain", "metricsTrain"),
        ("valIdx", "YValidation", "probabilityValidation", "metricsValidation"),
        ("testIdx", "YTest", "probabilityTest", "metricsTest")]


def network_probabilities(model, sequences, idx):
    with torch.no_grad():
        return torch.softmax(model(torch.from_numpy(sequences[idx])), dim=1).numpy()


@pytest.fixture(scope="module")
def random_run():
    # 192 samples: 39 test, 23 validation and 130 training samples, predicted
    # in batches of 64, 64 and 2.
    rng = np.random.default_rng(3)
    y = np.array([3, 7, 11])[np.arange(192) % 3]
    x = rng.normal(size=(192, 2, 5)) + (y[:, None, None] / 5.0)
    caller = {"maxEpochs": 2, "figflag": False, "convChannels": [4], "rnnHidden": 4, "batchSize": 64,
              "deviceSel": "cpu", "mySetting": {"nested": [1, 2]}}
    snapshot = copy.deepcopy(caller)
    x_before, y_before = x.copy(), y.copy()
    results = hst.HybridSeqTrain(x, y, caller)
    np.testing.assert_array_equal(x, x_before)
    np.testing.assert_array_equal(y, y_before)
    return x, y, caller, snapshot, results


def test_info_record_keys_and_alignment(random_run):
    x, y, _, _, (fore_test, fore_train, model, info) = random_run
    assert list(info) == INFO_KEYS
    assert [len(info[k]) for k in ("trainIdx", "valIdx", "testIdx")] == [130, 23, 39]
    assert np.array_equal(np.sort(np.concatenate([info["trainIdx"], info["valIdx"], info["testIdx"]])),
                          np.arange(192))
    assert np.any(np.diff(info["trainIdx"]) < 0)  # split order, not sorted
    classes = info["classes"]
    np.testing.assert_array_equal(classes, [3, 7, 11])
    codes = np.searchsorted(classes, y)
    predicted = {"trainIdx": fore_train, "valIdx": info["foreDataValidation"], "testIdx": fore_test}
    for idx_key, y_key, prob_key, metrics_key in SETS:
        idx, prob = info[idx_key], info[prob_key]
        np.testing.assert_array_equal(info[y_key], y[idx])
        np.testing.assert_array_equal(classes[codes[idx]], info[y_key])
        assert prob.dtype == np.float32 and prob.shape == (len(idx), 3)
        np.testing.assert_allclose(prob.sum(axis=1), 1.0, rtol=1e-5)
        assert predicted[idx_key].dtype == y.dtype
        np.testing.assert_array_equal(predicted[idx_key], classes[prob.argmax(axis=1)])
        want = RatePredictions(codes[idx], prob.argmax(axis=1), np.arange(3))
        assert list(info[metrics_key]) == list(want)
        for key in want:
            np.testing.assert_array_equal(info[metrics_key][key], want[key], err_msg=f"{metrics_key}.{key}")
        np.testing.assert_array_equal(info[metrics_key]["classes"], [0, 1, 2])


def test_probabilities_follow_the_index_order(random_run):
    # The returned network, applied to the standardised sequences in the order
    # of each index array, reproduces every probability row.
    x, _, _, _, (_, _, model, info) = random_run
    sequences, shape_info = hst._adapt_to_sequence(x, 192, -1, "auto")
    assert info["shapeInfo"] == shape_info and list(info["shapeInfo"]) == list(shape_info)
    mean, std = info["normalizationMean"], info["normalizationStd"]
    assert mean.shape == std.shape == (1, 2, 1) and mean.dtype == std.dtype == np.float32
    train = sequences[info["trainIdx"]]
    np.testing.assert_allclose(mean, train.mean(axis=(0, 2), keepdims=True), rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(std, train.std(axis=(0, 2), keepdims=True), rtol=1e-4, atol=1e-6)
    scaled = ((sequences - mean) / std).astype(np.float32)
    assert not model.training and not any(m.training for m in model.modules())
    for idx_key, _, prob_key, _ in SETS:
        np.testing.assert_allclose(info[prob_key], network_probabilities(model, scaled, info[idx_key]),
                                   rtol=1e-4, atol=1e-6)


def test_history_best_epoch_and_device(random_run):
    _, _, _, _, (_, _, _, info) = random_run
    history = info["history"]
    assert list(history) == ["trainLoss", "valLoss", "trainAccuracy", "valAccuracy"]
    assert all(len(v) == 2 and all(type(e) is float for e in v) for v in history.values())
    assert type(info["bestEpoch"]) is int and 0 <= info["bestEpoch"] <= 2
    assert type(info["bestValidationLoss"]) is float
    if info["bestEpoch"]:
        assert info["bestValidationLoss"] == history["valLoss"][info["bestEpoch"] - 1]
    assert info["device"] == "cpu"


def test_options_in_info_are_the_completed_copy(random_run):
    _, _, caller, snapshot, (_, _, _, info) = random_run
    assert caller == snapshot and len(caller) == 7  # the caller's dictionary gains nothing
    options = info["options"]
    assert options is not caller and options["mySetting"] is not caller["mySetting"]
    defaults = dict(DEFAULTS)
    assert list(options) == list(caller) + [k for k, _ in DEFAULTS if k not in caller]
    for key, value in options.items():
        assert value == (caller[key] if key in caller else defaults[key]), key
    assert options["convChannels"] is not caller["convChannels"]


def test_text_labels_and_auto_device():
    # cat, ant, bee in sample order: classes ant, bee, cat and codes 2, 0, 1.
    x, y = make_data(n=30, classes=3, labels=["cat", "ant", "bee"])
    fore_test, fore_train, model, info = hst.HybridSeqTrain(x, y, fast_options(deviceSel="auto"))
    np.testing.assert_array_equal(info["classes"], ["ant", "bee", "cat"])
    assert info["classNames"] == ["ant", "bee", "cat"]
    for values in (fore_test, fore_train, info["foreDataValidation"], info["YTest"]):
        assert values.dtype.kind == "U" and set(values) <= {"ant", "bee", "cat"}
    np.testing.assert_array_equal(info["YTrain"], y[info["trainIdx"]])
    np.testing.assert_array_equal(info["metricsTest"]["classes"], [0, 1, 2])
    assert info["device"] == ("cuda" if torch.cuda.is_available() else "cpu")
    assert next(model.parameters()).device.type == info["device"]


@pytest.mark.parametrize("labels, names, expected", [
    ([1.0, 2.0], None, ["1.0", "2.0"]),
    ([3, 7], None, ["3", "7"]),
    ([3, 7], ("three", 7), ["three", "7"]),
    (["x", "y", "z"], "XYZ", ["X", "Y", "Z"]),  # a single text is read character by character
    ([0, 1], np.array(["no", "yes"]), ["no", "yes"]),
    ([0, 1], iter(["off", "on"]), ["off", "on"]),
])
def test_class_display_names(labels, names, expected):
    x, y = make_data(n=24, classes=len(labels), labels=labels)
    _, _, _, info = hst.HybridSeqTrain(x, y, fast_options(classNames=names))
    assert info["classNames"] == expected


@pytest.mark.parametrize("labels, names", [([0, 1], ["a", "b", "c"]), ([0, 1], "abc"), ([0, 1, 2], ["a", "b"]),
                                           ([0, 1], [])])
def test_class_name_count_is_checked_after_training(labels, names, capsys):
    x, y = make_data(n=24, classes=len(labels), labels=labels)
    with pytest.raises(ValueError, match="^classNames 的数量必须等于类别数$"):
        hst.HybridSeqTrain(x, y, fast_options(classNames=names))
    out = capsys.readouterr().out
    assert re.search(r"^最佳轮次: \d+$", out, flags=re.M)
    assert re.search(r"^测试集: Accuracy=\d\.\d{4}, Precision=\d\.\d{4}, Recall=\d\.\d{4}, F1=\d\.\d{4}$", out,
                     flags=re.M)


def test_unscaled_data_and_one_batch_for_all():
    x, y = make_data(n=30, features=5)
    _, _, model, info = hst.HybridSeqTrain(x, y, fast_options(mapflag=False, batchSize=1000))
    assert info["normalizationMean"].shape == (1, 1, 1)  # one feature per step for [n, 5]
    np.testing.assert_array_equal(info["normalizationMean"], np.zeros((1, 1, 1), np.float32))
    np.testing.assert_array_equal(info["normalizationStd"], np.ones((1, 1, 1), np.float32))
    assert info["normalizationMean"].dtype == info["normalizationStd"].dtype == np.float32
    sequences, _ = hst._adapt_to_sequence(x, 30, -1, "auto")
    for idx_key, _, prob_key, _ in SETS:
        np.testing.assert_allclose(info[prob_key], network_probabilities(model, sequences, info[idx_key]),
                                   rtol=1e-4, atol=1e-6)


def test_predefined_split_with_a_class_absent_from_the_test_set():
    x, y = make_data(n=24, classes=3)  # labels 0, 1, 2, 0, 1, 2, ...
    split = np.ones(24, dtype=int)
    split[[1, 2, 4, 5]] = 2
    split[[6, 7, 9, 10, 12]] = 3  # classes 0 and 1 only
    split[23] = 0  # used nowhere
    _, _, _, info = hst.HybridSeqTrain(x, y.reshape(-1, 1), fast_options(splitLabels=split.tolist(), shuffle=False))
    np.testing.assert_array_equal(info["testIdx"], [6, 7, 9, 10, 12])
    np.testing.assert_array_equal(info["trainIdx"], [i for i in range(23) if split[i] == 1])
    assert info["YTrain"].ndim == 1
    metrics = info["metricsTest"]
    for key in ("precisionPerClass", "recallPerClass", "f1PerClass"):
        assert len(metrics[key]) == 3 and metrics[key][2] == 0
    assert metrics["confusionMatrix"].shape == (3, 3) and not metrics["confusionMatrix"][2].any()
    assert metrics["confusionMatrix"].sum() == 5


def test_same_seed_twice_gives_identical_runs():
    x, y = make_data(n=40, features=6, classes=2)

    def run(seed, disturb):
        random.seed(disturb)
        np.random.seed(disturb)
        torch.manual_seed(disturb)
        return hst.HybridSeqTrain(x, y, fast_options(seed=seed, maxEpochs=2, dropout=0.3))[3]

    first, second, other = run(7, 1), run(7, 2), run(8, 1)
    for key in ("trainIdx", "valIdx", "testIdx", "probabilityTrain", "probabilityValidation", "probabilityTest"):
        np.testing.assert_array_equal(first[key], second[key], err_msg=key)
    assert first["history"] == second["history"]
    assert not np.array_equal(first["trainIdx"], other["trainIdx"])


def summary_lines(info):
    names = {"metricsTrain": "训练集", "metricsValidation": "验证集", "metricsTest": "测试集"}
    lines = [f"最佳轮次: {info['bestEpoch']}"]
    for key, name in names.items():
        m = info[key]
        lines.append(f"{name}: Accuracy={m['accuracy']:.4f}, Precision={m['macroPrecision']:.4f}, "
                     f"Recall={m['macroRecall']:.4f}, F1={m['macroF1']:.4f}")
    return lines


def test_console_summary_is_the_last_four_lines(capsys, data):
    x, y = data
    _, _, _, info = hst.HybridSeqTrain(x, y, fast_options(maxEpochs=2))
    out = capsys.readouterr().out.splitlines()
    assert out[-4:] == summary_lines(info)


def test_no_accepted_epoch_predicts_with_the_initial_state(capsys, data):
    # An infinite learning rate passes every check, ours and torch's, and turns every validation loss into NaN.
    x, y = data
    _, _, model, info = hst.HybridSeqTrain(x, y, fast_options(learnRate=float("inf"), maxEpochs=2))
    assert info["bestEpoch"] == 0 and info["bestValidationLoss"] == float("inf")
    assert all(np.isnan(v) for v in info["history"]["valLoss"])
    assert all(torch.isfinite(p).all() for p in model.state_dict().values())
    for _, _, prob_key, _ in SETS:
        assert np.isfinite(info[prob_key]).all()
    out = capsys.readouterr().out.splitlines()
    assert out[-4] == "最佳轮次: 0" and out[-4:] == summary_lines(info)


def test_default_conv_channels_are_a_fresh_list_each_call(fast, data):
    x, y = data
    del fast["convChannels"]
    first = hst.HybridSeqTrain(x, y, fast)[3]["options"]
    assert first["convChannels"] == [32, 64]
    first["convChannels"].append(1)
    model, info = hst.HybridSeqTrain(x, y, fast)[2:]
    assert info["options"]["convChannels"] == [32, 64] and "convChannels" not in fast
    assert [m.out_channels for m in model.cnn if isinstance(m, torch.nn.Conv1d)] == [32, 64]
