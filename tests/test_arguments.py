"""Argument binding of every function of both modules: a call that does not
fit the parameters fails with the interpreter's own TypeError for a plain
Python function of the same name and signature, and calls that do fit bind
each value to the right parameter, by position or by keyword."""
import random

import numpy as np
import pytest
import torch

import HybridSeqTrain as hst
import RatePredictions as rp_module


# Plain Python twins: same names, qualnames, parameters and defaults. What the
# interpreter raises when calling them is the expected text, on any version
# (a twin that binds returns None, and the test then fails on "DID NOT RAISE").
def HybridSeqTrain(X, Y, options=None): ...


def RatePredictions(realData, foreData, classOrder=None): ...


def _adapt_to_sequence(X, y_count, sequence_axis, sample_dimension): ...


def _split_indices(y_encoded, options): ...


def _set_random_seed(seed): ...


def _metrics_with_display_names(y_true, y_pred, encoded_classes): ...


class _CNNRNNClassifier:
    def __init__(self, input_features, num_classes, conv_channels, kernel_size, pool_size, network_type, rnn_hidden,
                 rnn_layers, dropout): ...

    def forward(self, x, lengths=None): ...


NET_KWARGS = dict(input_features=3, num_classes=2, conv_channels=[4], kernel_size=3, pool_size=2,
                  network_type="LSTM", rnn_hidden=5, rnn_layers=1, dropout=0.1)


def _network():
    return hst._CNNRNNClassifier(**NET_KWARGS)


def _twin_network():
    return _CNNRNNClassifier.__new__(_CNNRNNClassifier)


# (id, our callable, its twin, parameter names the call fills, leaving out self)
FUNCTIONS = [
    ("HybridSeqTrain", lambda: hst.HybridSeqTrain, lambda: HybridSeqTrain, ["X", "Y", "options"]),
    ("RatePredictions", lambda: rp_module.RatePredictions, lambda: RatePredictions,
     ["realData", "foreData", "classOrder"]),
    ("_adapt_to_sequence", lambda: hst._adapt_to_sequence, lambda: _adapt_to_sequence,
     ["X", "y_count", "sequence_axis", "sample_dimension"]),
    ("_split_indices", lambda: hst._split_indices, lambda: _split_indices, ["y_encoded", "options"]),
    ("_set_random_seed", lambda: hst._set_random_seed, lambda: _set_random_seed, ["seed"]),
    ("_metrics_with_display_names", lambda: hst._metrics_with_display_names, lambda: _metrics_with_display_names,
     ["y_true", "y_pred", "encoded_classes"]),
    ("network-constructor", lambda: hst._CNNRNNClassifier, lambda: _CNNRNNClassifier, list(NET_KWARGS)),
    ("forward-method", lambda: _network().forward, lambda: _twin_network().forward, ["x", "lengths"]),
    ("network-call", lambda: _network(), lambda: _twin_network().forward, ["x", "lengths"]),
]
DEFAULTED = {"options", "classOrder", "lengths"}


def _mismatched_calls(names):
    """(kind, args, kwargs) of calls that do not bind, for parameters `names`."""
    required = [n for n in names if n not in DEFAULTED]
    full = [np.zeros((500, 4))] + [object() for _ in names[1:]]  # never looked at: binding fails first
    calls = [
        ("too-many-positional", full + [7], {}),
        ("missing-one", full[:len(required) - 1], {}),
        ("unexpected-keyword", full[:len(required)], {"bogus": 1}),
        # a near miss of a real name (some interpreter versions suggest the real one)
        ("near-miss-keyword", full[:len(required)], {names[-1].swapcase(): 1}),
        ("multiple-values", full[:len(required)], {names[0]: 1}),
        # the keyword error is reported before the count of positional arguments
        ("keyword-and-too-many", full + [7], {"bogus": 1}),
    ]
    if len(required) >= 2:
        calls.append(("missing-all", [], {}))
        calls.append(("keyword-for-missing", [], {names[-1]: 1}))
    if len(required) >= 3:
        calls.append(("missing-two", full[:len(required) - 2], {}))
    return calls


CASES = [pytest.param(ours, twin, args, kwargs, id=f"{name}-{kind}")
         for name, ours, twin, names in FUNCTIONS for kind, args, kwargs in _mismatched_calls(names)]
CASES += [
    # called through the class, where self is an ordinary parameter too
    pytest.param(lambda: hst._CNNRNNClassifier.forward, lambda: _CNNRNNClassifier.forward, [], {},
                 id="forward-unbound-missing-all"),
    pytest.param(lambda: hst._CNNRNNClassifier.__init__, lambda: _CNNRNNClassifier.__init__, [], {"dropout": 0.1},
                 id="init-unbound-missing"),
    pytest.param(lambda: hst._set_random_seed, lambda: _set_random_seed, [], {1: 2}, id="keyword-not-a-text"),
]


@pytest.mark.parametrize("ours, twin, args, kwargs", CASES)
def test_mismatched_calls_raise_the_interpreters_own_error(ours, twin, args, kwargs):
    with pytest.raises(TypeError) as expected:
        twin()(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ours()(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("call, message", [
    (lambda X: hst.HybridSeqTrain(X, [0, 1] * 250, None, 5),
     "HybridSeqTrain() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda X: hst.HybridSeqTrain(X), "HybridSeqTrain() missing 1 required positional argument: 'Y'"),
    (lambda X: hst.HybridSeqTrain(), "HybridSeqTrain() missing 2 required positional arguments: 'X' and 'Y'"),
    (lambda X: hst.HybridSeqTrain(X, X, X=X), "HybridSeqTrain() got multiple values for argument 'X'"),
    (lambda X: rp_module.RatePredictions(5, 5, labels=None),
     "RatePredictions() got an unexpected keyword argument 'labels'"),
    (lambda X: hst._CNNRNNClassifier(1, 2),
     "_CNNRNNClassifier.__init__() missing 7 required positional arguments: 'conv_channels', 'kernel_size', "
     "'pool_size', 'network_type', 'rnn_hidden', 'rnn_layers', and 'dropout'"),
    (lambda X: _network()(X, X, X),
     "_CNNRNNClassifier.forward() takes from 2 to 3 positional arguments but 4 were given"),
])
def test_messages_name_the_function_and_never_the_values(call, message):
    with pytest.raises(TypeError) as got:
        call(np.zeros((500, 4)))
    assert str(got.value) == message


class _Text(str):
    """A str subclass as a keyword name: the interpreter binds it like the plain text."""


def _same(a, b):
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, torch.Tensor):
        return torch.equal(a, b)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


def _seeded_draws(seed_call):
    seed_call()
    return random.random(), np.random.random(), torch.rand(1).item()


_y = np.array([0, 1, 2, 1, 0, 2, 1, 0, 2, 0, 1, 2, 2, 1, 0])
_p = np.array([0, 2, 2, 1, 0, 1, 1, 0, 2, 1, 1, 2, 0, 1, 0])
_split_opts = {"splitLabels": None, "rTrain": 0.8, "validationRatio": 0.2, "shuffle": True, "seed": 3}


def _constructed(make):
    torch.manual_seed(5)
    return make().state_dict()


# (id, call by position, the same call with keywords in another order or a default left out)
EQUIVALENT = [
    ("RatePredictions", lambda: rp_module.RatePredictions(_y, _p, [2, 1, 0]),
     lambda: rp_module.RatePredictions(classOrder=[2, 1, 0], foreData=_p, realData=_y)),
    ("RatePredictions-default", lambda: rp_module.RatePredictions(_y, _p, None),
     lambda: rp_module.RatePredictions(foreData=_p, realData=_y)),
    ("RatePredictions-mixed", lambda: rp_module.RatePredictions(_y, _p, [0, 1, 2]),
     lambda: rp_module.RatePredictions(_y, classOrder=[0, 1, 2], foreData=_p)),
    ("_adapt_to_sequence", lambda: hst._adapt_to_sequence(np.arange(24.0).reshape(2, 3, 4), 2, 0, "auto"),
     lambda: hst._adapt_to_sequence(sample_dimension="auto", sequence_axis=0, y_count=2,
                                    X=np.arange(24.0).reshape(2, 3, 4))),
    ("_split_indices", lambda: hst._split_indices(_y, dict(_split_opts)),
     lambda: hst._split_indices(options=dict(_split_opts), y_encoded=_y)),
    ("_metrics_with_display_names", lambda: hst._metrics_with_display_names(_y, _p, np.arange(3)),
     lambda: hst._metrics_with_display_names(encoded_classes=np.arange(3), y_pred=_p, y_true=_y)),
    ("_set_random_seed", lambda: _seeded_draws(lambda: hst._set_random_seed(11)),
     lambda: _seeded_draws(lambda: hst._set_random_seed(seed=11))),
    ("_set_random_seed-str-subclass-keyword", lambda: _seeded_draws(lambda: hst._set_random_seed(11)),
     lambda: _seeded_draws(lambda: hst._set_random_seed(**{_Text("seed"): 11}))),
    ("network-constructor", lambda: _constructed(lambda: hst._CNNRNNClassifier(*NET_KWARGS.values())),
     lambda: _constructed(lambda: hst._CNNRNNClassifier(**dict(reversed(list(NET_KWARGS.items())))))),
]


@pytest.mark.parametrize("positional, keywords", [pytest.param(a, b, id=i) for i, a, b in EQUIVALENT])
def test_keywords_bind_like_positions(positional, keywords):
    assert _same(keywords(), positional())


def test_forward_binds_its_input_by_position_or_keyword():
    model = _network().eval()
    x = torch.randn(4, 3, 8)
    with torch.no_grad():
        want = model(x)
        assert torch.equal(model(x=x), want)
        assert torch.equal(model.forward(x=x), want)
        assert torch.equal(hst._CNNRNNClassifier.forward(x=x, self=model), want)
