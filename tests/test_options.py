"""Entry function, options: type check, label checks, validation order and
messages, Python conversion semantics, the late pool-size check and seeding."""
import collections
import contextlib
import io
import random
import re

import numpy as np
import pytest
import torch

import HybridSeqTrain as hst
from conftest import fast_options, make_data

X, Y = make_data(n=24, features=6)
X_1D = np.zeros(24)  # passes no adaptation: proves every option check before it passed
ADAPT_MSG = "X 至少需要包含样本维和一个数据维"
SPLIT_LEN_MSG = "splitLabels 的长度必须与样本数相同"

# Rules in their checking order: (key, a violating value, message).
RULES = [
    ("rTrain", 1.0, "rTrain 必须在[0.5,1)范围内"),
    ("validationRatio", 0.5, "validationRatio 必须在(0,0.5)范围内"),
    ("networkType", "lstm", "networkType 必须是 RNN/LSTM/GRU/BiRNN/BiLSTM/BiGRU"),
    ("convChannels", [], "convChannels 必须是由正整数组成的非空序列"),
    ("kernelSize", 4, "kernelSize 必须为正奇数"),
    ("poolSize", 0, "poolSize 必须为正整数"),
    ("rnnHidden", 0, "rnnHidden 和 rnnLayers 必须为正整数"),
    ("rnnLayers", 0, "rnnHidden 和 rnnLayers 必须为正整数"),
    ("dropout", 1.0, "dropout 必须在[0,1)范围内"),
    ("maxEpochs", 0, "maxEpochs 和 batchSize 必须为正整数"),
    ("batchSize", 0, "maxEpochs 和 batchSize 必须为正整数"),
    ("learnRate", 0, "learnRate 必须大于0"),
    ("earlyStoppingPatience", -1, "earlyStoppingPatience 不能小于0"),
    ("learnRateDropPeriod", 0, "learnRateDropPeriod 必须为正整数"),
    ("learnRateDropFactor", 0, "learnRateDropFactor 必须在(0,1]范围内"),
]


def call(x=X, y=Y, **opts):
    return hst.HybridSeqTrain(x, y, fast_options(**opts))


@pytest.mark.parametrize("position", range(len(RULES)), ids=[r[0] for r in RULES])
def test_first_broken_rule_decides_the_message(position):
    # The rule at `position` and every later rule are broken at once, and X is
    # unusable too: only the message of the earliest broken rule may appear.
    key, _, message = RULES[position]
    bad = {k: v for k, v, _ in RULES[position:]}
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call(x=X_1D, **bad)
    # Alone, the rule gives the same message.
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call(x=X_1D, **{key: RULES[position][1]})


@pytest.mark.parametrize("labels, message", [
    ([0, 1], "Y 至少需要3条样本"),
    ([[1], [2]], "Y 至少需要3条样本"),
    ([5, 5, 5, 5], "分类任务至少需要两个类别"),
    (["a", "a", "a"], "分类任务至少需要两个类别"),
])
def test_label_checks_come_before_option_checks(labels, message):
    bad = {k: v for k, v, _ in RULES}
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call(x=X_1D, y=labels, **bad)


@pytest.mark.parametrize("options, got", [
    (collections.OrderedDict(), "collections.OrderedDict"),
    ([("maxEpochs", 1)], "list"),
    ("maxEpochs", "str"),
    (type("MyDict", (dict,), {})(), "MyDict"),
])
def test_options_must_be_exactly_a_dict(options, got):
    # The type check precedes everything, even the label checks.
    message = f"Argument 'options' has incorrect type (expected dict, got {got})"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        hst.HybridSeqTrain(X_1D, [1], options)


# (key, value, None when the value passes, else the message of its rule)
BOUNDARIES = [
    ("rTrain", 0.5, None), ("rTrain", 0.9999, None), ("rTrain", "0.7", None), ("rTrain", 0.4999, RULES[0][2]),
    ("rTrain", float("nan"), RULES[0][2]), ("rTrain", 1, RULES[0][2]),
    ("validationRatio", 0, RULES[1][2]), ("validationRatio", 0.0001, None), ("validationRatio", 0.4999, None),
    ("validationRatio", float("nan"), RULES[1][2]),
    *[("networkType", t, None) for t in ("RNN", "LSTM", "GRU", "BiRNN", "BiLSTM", "BiGRU")],
    ("networkType", "LSTM ", RULES[2][2]), ("networkType", "Bi", RULES[2][2]), ("networkType", None, RULES[2][2]),
    ("convChannels", (), RULES[3][2]), ("convChannels", [16, 0], RULES[3][2]), ("convChannels", (8,), None),
    ("convChannels", ["8", 4.7], None), ("convChannels", [0.9], RULES[3][2]), ("convChannels", [-3, 4], RULES[3][2]),
    ("convChannels", np.array([4]), None),
    ("kernelSize", 3.0, None), ("kernelSize", "3", None), ("kernelSize", 1, None), ("kernelSize", 3.9, None),
    ("kernelSize", 0, RULES[4][2]), ("kernelSize", -3, RULES[4][2]), ("kernelSize", 4.5, RULES[4][2]),
    ("poolSize", 1, None), ("poolSize", "2", None), ("poolSize", 0.9, RULES[5][2]), ("poolSize", -2, RULES[5][2]),
    ("rnnHidden", "4", None), ("rnnHidden", -1, RULES[6][2]), ("rnnLayers", 2.5, None), ("rnnLayers", 0.5, RULES[7][2]),
    ("dropout", 0, None), ("dropout", 0.999, None), ("dropout", -0.01, RULES[8][2]), ("dropout", float("nan"), RULES[8][2]),
    ("maxEpochs", 5.0, None), ("maxEpochs", "5", None), ("maxEpochs", 0.5, RULES[9][2]),
    ("batchSize", "1", None), ("batchSize", -4, RULES[10][2]),
    ("learnRate", 1e-12, None), ("learnRate", float("nan"), None), ("learnRate", "0.01", None),
    ("learnRate", -1e-3, RULES[11][2]),
    ("earlyStoppingPatience", 0, None), ("earlyStoppingPatience", -0.5, None),
    ("earlyStoppingPatience", "-1", RULES[12][2]),
    ("learnRateDropPeriod", 1, None), ("learnRateDropPeriod", 0.99, RULES[13][2]),
    ("learnRateDropFactor", 1, None), ("learnRateDropFactor", 1e-9, None),
    ("learnRateDropFactor", 1.0000001, RULES[14][2]), ("learnRateDropFactor", float("nan"), RULES[14][2]),
    # Keys the table does not know (a different capitalisation included) are ignored.
    ("maxepochs", 0, None), ("KernelSize", 4, None), ("unknownKey", object(), None),
    # Options checked only in later phases are not looked at here.
    ("solverName", "bogus", None), ("learnRateSchedule", "bogus", None), ("deviceSel", "bogus", None),
    ("classWeight", [0, 0, 0], None), ("classNames", ["only one"], None),
    # Outside a process group the data-parallel modes change nothing; an unknown one is refused.
    ("dataParallel", "sharded", None), ("dataParallel", 0, None),
    ("dataParallel", "shard", 'options["dataParallel"] 只能是 True、False 或 "sharded"，收到 \'shard\''),
]


@pytest.mark.parametrize("key, value, message", BOUNDARIES, ids=[f"{k}={v!r}" for k, v, _ in BOUNDARIES])
def test_rule_boundaries_and_conversions(key, value, message):
    # A passing value lets the call go on to the adaptation of the unusable X.
    with pytest.raises(ValueError, match=f"^{re.escape(message or ADAPT_MSG)}$"):
        call(x=X_1D, **{key: value})


def conversion_error(convert, value):
    try:
        convert(value)
    except Exception as exc:  # the conversion's own error, as Python raises it
        return exc
    raise AssertionError(f"{convert.__name__}({value!r}) converts")


def each_int(values):
    return [int(v) for v in values]


@pytest.mark.parametrize("key, value, convert", [
    ("rTrain", "abc", float), ("rTrain", None, float), ("validationRatio", [0.1], float),
    ("convChannels", [4, "x"], each_int), ("convChannels", [None], each_int), ("convChannels", 5, each_int),
    ("kernelSize", "abc", int), ("kernelSize", "3.0", int), ("poolSize", None, int),
    ("rnnHidden", "", int), ("rnnLayers", {}, int), ("dropout", "none", float),
    ("maxEpochs", None, int), ("batchSize", "64.0", int), ("learnRate", "fast", float),
    ("earlyStoppingPatience", "x", int), ("learnRateDropPeriod", None, int),
    ("learnRateDropFactor", "half", float), ("sequenceAxis", "last", int), ("seed", "s", int),
    ("kernelSize", float("inf"), int), ("maxEpochs", float("nan"), int),
])
def test_unconvertible_values_raise_the_conversions_own_error(key, value, convert):
    expected = conversion_error(convert, value)
    with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
        call(x=np.zeros((24, 4)), **{key: value})


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
    rng = np.random.default_rng(4)
    y = np.repeat([0, 1], [45, 15])  # unbalanced, so the weights change the loss
    x = rng.normal(size=(60, 2, 8)) + y[:, None, None]
    opts = dict(maxEpochs=2, seed=9)
    with contextlib.redirect_stdout(io.StringIO()):
        plain = call(x, y, classWeight=[1.0, 3.0], **opts)[3]["history"]
        other = call(x, y, classWeight=weights, **opts)[3]["history"]
        unweighted = call(x, y, classWeight="none", **opts)[3]["history"]
    assert other == plain
    assert unweighted["trainLoss"] != plain["trainLoss"]


@pytest.mark.parametrize("key, message", [
    ("solverName", "solverName 必须是 adam/sgdm/rmsprop"),
    ("learnRateSchedule", "learnRateSchedule 必须是 none 或 piecewise"),
    ("deviceSel", "deviceSel 必须是 auto/cpu/gpu"),
    ("classWeight", "could not convert string to float"),
])
def test_texts_with_lone_surrogates_get_the_options_own_errors(key, message):
    x, y = np.random.default_rng(5).normal(size=(30, 2, 6)), np.arange(30) % 2
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(ValueError, match=message):
        call(x, y, **{key: "\ud800"})
    with pytest.raises(KeyError):  # not a recurrent layer name
        hst._CNNRNNClassifier(input_features=2, num_classes=2, conv_channels=[4], kernel_size=3, pool_size=2,
                              network_type="Bi\ud800", rnn_hidden=4, rnn_layers=1, dropout=0.0)


@pytest.mark.parametrize("options, expected", [
    # A rule that fails stops before anything later is converted ...
    ({"convChannels": [0, "x"]}, ValueError(RULES[3][2])),
    ({"rnnHidden": 0, "rnnLayers": "abc"}, ValueError(RULES[6][2])),
    ({"maxEpochs": -1, "batchSize": None}, ValueError(RULES[9][2])),
    ({"rTrain": 1.0, "kernelSize": "abc"}, ValueError(RULES[0][2])),
    # ... and a conversion that fails stops before any later rule.
    ({"convChannels": ["x", 0]}, conversion_error(int, "x")),
    ({"rnnHidden": "abc", "rnnLayers": 0}, conversion_error(int, "abc")),
    ({"kernelSize": "abc", "maxEpochs": 0}, conversion_error(int, "abc")),
    ({"dropout": None, "learnRateDropFactor": 0}, conversion_error(float, None)),
])
def test_checks_stop_at_the_first_failure(options, expected):
    with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
        call(x=X_1D, **options)


@pytest.mark.parametrize("pool, length, message", [
    (5, 4, "poolSize 不能大于序列长度"),
    (5, 5, SPLIT_LEN_MSG),
    (4.9, 4, SPLIT_LEN_MSG),  # converted to 4: equal to the length passes
    (3, 2, "poolSize 不能大于序列长度"),
])
def test_pool_size_against_the_adapted_sequence_length(pool, length, message):
    # A splitLabels of the wrong length fails right after the pool check.
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call(x=np.zeros((24, length)), poolSize=pool, splitLabels=[1, 2, 3])


def test_pool_check_runs_after_adaptation():
    with pytest.raises(ValueError, match="^" + re.escape("X 中不能包含 NaN 或 Inf")):
        call(x=np.full((24, 2), np.nan), poolSize=50)


def test_sample_dimension_and_sequence_axis_reach_the_adaptation():
    # Samples on the last axis, sequenceAxis given as text: the adapted length is 3.
    x = np.zeros((3, 5, 24))
    with pytest.raises(ValueError, match="^poolSize 不能大于序列长度$"):
        call(x=x, sampleDimension=-1, sequenceAxis="0", poolSize=4)
    with pytest.raises(ValueError, match=f"^{re.escape(SPLIT_LEN_MSG)}$"):
        call(x=x, sampleDimension="2", sequenceAxis=0.0, poolSize=3, splitLabels=[1])


def test_caller_options_are_never_modified():
    opts = fast_options(convChannels=[4, 0], splitLabels=None)
    nested = opts["convChannels"]
    snapshot = dict(opts)
    with pytest.raises(ValueError):
        hst.HybridSeqTrain(X, Y, opts)
    assert opts == snapshot and opts["convChannels"] is nested and nested == [4, 0]


def generator_states():
    return (random.getstate(), np.random.get_state()[1].copy(), torch.get_rng_state().clone())


def same_states(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and torch.equal(a[2], b[2])


@pytest.mark.parametrize("seed", [1, 7, 2**32 - 1])
def test_set_random_seed_seeds_python_numpy_and_torch(seed):
    random.seed(99)
    np.random.seed(99)
    torch.manual_seed(99)
    assert hst._set_random_seed(seed) is None
    got = generator_states()
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)
    assert same_states(got, generator_states())


def test_seed_zero_leaves_every_generator_alone():
    random.seed(3)
    np.random.seed(4)
    torch.manual_seed(5)
    before = generator_states()
    hst._set_random_seed(0)
    assert same_states(before, generator_states())


def test_seed_numpy_rejects_fails_after_python_was_seeded():
    random.seed(11)
    with pytest.raises(ValueError):
        hst._set_random_seed(-5)
    state = random.getstate()
    random.seed(-5)
    assert state == random.getstate()


@pytest.mark.parametrize("seed, got", [(42.0, "float"), ("42", "str"), (np.int64(3), "numpy.int64"), (None, "NoneType")])
def test_set_random_seed_takes_only_int_objects(seed, got):
    message = f"Argument 'seed' has incorrect type (expected int, got {got})"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        hst._set_random_seed(seed)
