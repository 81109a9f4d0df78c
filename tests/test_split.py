"""Data split: predefined through splitLabels, or two seeded stratified splits."""
import math
import os
import re

import numpy as np
import pytest
from sklearn.model_selection import train_test_split

import HybridSeqTrain as hst
from conftest import fast_options, make_data

split = hst._split_indices
LENGTH_MSG = "splitLabels 的长度必须与样本数相同"
CODES_MSG = "splitLabels 必须同时包含1(训练)、2(验证)、3(测试)"


def options(**kw):
    base = {"rTrain": 0.8, "validationRatio": 0.15, "shuffle": True, "seed": 42}
    base.update(kw)
    return base


def reference(y, r_train=0.8, validation_ratio=0.15, seed=42, shuffle=True):
    """The two splitter calls made directly."""
    state1, state2 = (None, None) if seed == 0 else (seed, seed + 1)
    pool, test = train_test_split(np.arange(len(y)), test_size=1.0 - r_train, random_state=state1,
                                  shuffle=shuffle, stratify=y if shuffle else None)
    train, val = train_test_split(pool, test_size=validation_ratio, random_state=state2, shuffle=shuffle,
                                  stratify=y[pool] if shuffle else None)
    return train, val, test


def classes(n, k, seed=0):
    return np.random.default_rng(seed).permutation(np.arange(n) % k)


@pytest.mark.parametrize("n, k, r_train, ratio, seed, counts", [
    (150, 3, 0.8, 0.15, 42, (102, 18, 30)),
    (100, 2, 0.7, 0.15, 42, (58, 11, 31)),  # 1 - 0.7 is 0.30000000000000004: 31 test samples
    (100, 2, 0.8, 0.15, 1, (68, 12, 20)),
    (40, 4, 0.5, 0.49, 123, (10, 10, 20)),
    (57, 3, 0.9, 0.1, 2**31 - 1, (45, 6, 6)),
])
def test_random_split_counts_and_seeded_splitter_calls(n, k, r_train, ratio, seed, counts):
    y = classes(n, k)
    got = split(y, options(rTrain=r_train, validationRatio=ratio, seed=seed))
    assert tuple(len(a) for a in got) == counts
    test_count = math.ceil((1.0 - r_train) * n)
    assert counts[2] == test_count and counts[1] == math.ceil(ratio * (n - test_count))
    for a, b in zip(got, reference(y, r_train, ratio, seed)):
        assert a.dtype == np.intp
        np.testing.assert_array_equal(a, b)
    assert np.array_equal(np.sort(np.concatenate(got)), np.arange(n))
    assert any(np.any(np.diff(a) < 0) for a in got)  # shuffled, not sorted


def test_random_split_is_stratified():
    y = classes(150, 3)
    train, val, test = split(y, options())
    for part, per_class in ((train, 34), (val, 6), (test, 10)):
        assert np.bincount(y[part]).tolist() == [per_class] * 3


def test_nonzero_seed_leaves_the_global_generator_alone_and_repeats():
    y = classes(60, 2)
    np.random.seed(5)
    before = np.random.get_state()[1].copy()
    first = split(y, options(seed=9))
    assert np.array_equal(before, np.random.get_state()[1])
    second = split(y, options(seed=9))
    other = split(y, options(seed=10))
    assert all(np.array_equal(a, b) for a, b in zip(first, second))
    assert not all(np.array_equal(a, b) for a, b in zip(first, other))


def test_seed_zero_draws_from_the_global_generator():
    y = classes(60, 2)
    np.random.seed(77)
    got = split(y, options(seed=0))
    np.random.seed(77)
    for a, b in zip(got, reference(y, seed=0)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("seed", [42.0, "42", np.float64(3)])
def test_non_integer_seed_is_rejected_by_the_splitter(seed):
    # The splitter's own error, whatever its wording in the installed release.
    y = classes(30, 2)
    with pytest.raises(Exception) as expected:
        train_test_split(np.arange(len(y)), test_size=0.2, random_state=seed, shuffle=True, stratify=y)
    with pytest.raises(type(expected.value)) as got:
        split(y, options(seed=seed))
    assert isinstance(got.value, ValueError)
    assert str(got.value) == str(expected.value)
    assert f"{os.sep}sklearn{os.sep}" in str(got.traceback[-1].path)


def test_numpy_integer_seed_works_like_int():
    y = classes(30, 2)
    for a, b in zip(split(y, options(seed=np.int64(8))), split(y, options(seed=8))):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("flag", [False, 0, None, np.False_, 0.0, "", []],
                         ids=["False", "0", "None", "np.False_", "0.0", "empty-str", "empty-list"])
@pytest.mark.parametrize("seed", [0, 1, 42])
def test_no_shuffle_is_a_fixed_ascending_unstratified_split(flag, seed):
    # Class 2 has a single member: a stratified split would be impossible.
    y = np.array([0, 1] * 25 + [2])
    np.random.seed(seed + 100)
    train, val, test = split(y, options(shuffle=flag, seed=seed))
    np.testing.assert_array_equal(test, np.arange(40, 51))
    np.testing.assert_array_equal(val, np.arange(34, 40))
    np.testing.assert_array_equal(train, np.arange(34))


@pytest.mark.parametrize("flag", [1, "yes", np.True_, [0]])
def test_truthy_shuffle_values_stratify_like_true(flag):
    y = classes(80, 4)
    for a, b in zip(split(y, options(shuffle=flag)), split(y, options(shuffle=True))):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError):  # stratification on: a one-member class is refused
        split(np.array([0, 1] * 25 + [2]), options(shuffle=flag))


@pytest.mark.parametrize("n, r_train, shuffle", [(3, 0.5, True), (3, 0.5, False), (5, 0.5, True), (4, 0.9, True)])
def test_impossible_splits_raise_the_splitters_error(n, r_train, shuffle):
    y = np.arange(n) % 2
    try:
        reference(y, r_train, 0.15, 42, shuffle)
    except ValueError as expected:
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected))}$"):
            split(y, options(rTrain=r_train, shuffle=shuffle))
    else:
        raise AssertionError("the splitter accepted this split")


# (splitLabels, expected train/val/test, or the message)
PREDEFINED = [
    ([1, 2, 3, 1, 1, 3], ([0, 3, 4], [1], [2, 5])),
    ([[1, 2], [3, 1], [1, 3]], ([0, 3, 4], [1], [2, 5])),
    (np.array([[1, 3, 1], [2, 1, 3]]).T, ([0, 3, 4], [1], [2, 5])),  # row-major over the transposed layout
    ((1.0, 2.0, 3.0, 1.0, 1.0, 3.0), ([0, 3, 4], [1], [2, 5])),
    ([True, 2, 3, 0, 4, np.nan], ([0], [1], [2])),
    ([1, 2, 3, 1.5, -1, 2.0], ([0], [1, 5], [2])),
    (np.array([3, 3, 2, 2, 1, 1], dtype=np.uint8), ([4, 5], [2, 3], [0, 1])),
    (np.array([1, 2, 3, 1, 2, 3], dtype=object), ([0, 3], [1, 4], [2, 5])),
    (["1", "2", "3", "1", "2", "3"], CODES_MSG),
    ([b"1", b"2", b"3", b"1", b"2", b"3"], CODES_MSG),
    ([1, 2, 1, 2, 1, 2], CODES_MSG),
    ([0, 0, 0, 0, 0, 0], CODES_MSG),
    ([1, 2, 3], LENGTH_MSG),
    ([1, 2, 3, 1, 2, 3, 1], LENGTH_MSG),
    ([5, 5, 5, 5, 5, 5, 5], LENGTH_MSG),  # the length is checked before the codes
    ([[1, 2, 3], [1, 2, 3]], ([0, 3], [1, 4], [2, 5])),
    (7, LENGTH_MSG),
]


@pytest.mark.parametrize("labels, expected", PREDEFINED, ids=[str(i) for i in range(len(PREDEFINED))])
def test_predefined_split(labels, expected):
    # Random-mode options are not read at all in predefined mode.
    opts = {"splitLabels": labels, "rTrain": "not a number", "shuffle": None}
    y = np.array([0, 1, 0, 1, 0, 1])
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
            split(y, opts)
        return
    got = split(y, opts)
    for a, b in zip(got, expected):
        assert np.issubdtype(a.dtype, np.integer)
        np.testing.assert_array_equal(a, b)


def test_split_labels_none_is_random_mode():
    y = classes(50, 2)
    for a, b in zip(split(y, options(splitLabels=None)), split(y, options())):
        np.testing.assert_array_equal(a, b)


def test_random_mode_needs_its_options():
    with pytest.raises(KeyError):
        split(classes(30, 2), {"validationRatio": 0.15, "shuffle": True, "seed": 1})


@pytest.mark.parametrize("opts, got", [([("splitLabels", None)], "list"), (None, "NoneType")])
def test_options_must_be_a_dict(opts, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument 'options' has incorrect type (expected dict, got {got})")):
        split(np.zeros(6, dtype=int), opts)


def test_keyword_call_and_caller_options_untouched():
    opts = options(seed=3)
    snapshot = dict(opts)
    a = split(y_encoded=classes(40, 2), options=opts)
    assert opts == snapshot and sum(map(len, a)) == 40


@pytest.mark.parametrize("labels, message", [([1, 2, 3], LENGTH_MSG), ([1, 1] * 12, CODES_MSG)])
def test_entry_function_reports_split_rules(labels, message):
    x, y = make_data(n=24)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        hst.HybridSeqTrain(x, y, fast_options(splitLabels=labels))


def test_the_split_calls_the_splitter_the_module_bound(monkeypatch):
    # Like every other library name, the splitter is the module's own binding:
    # replacing it there reaches the split (an import by name would not).
    calls = []

    def recording(*args, **kwargs):
        calls.append(kwargs.get("random_state"))
        return train_test_split(*args, **kwargs)

    monkeypatch.setattr(hst, "train_test_split", recording)
    y = np.arange(60) % 3
    split(y, options(seed=7))
    assert calls == [7, 8]


@pytest.mark.parametrize("seed", [42, np.int64(42), 7, 42.0, "42", np.float64(3), 0.5],
                         ids=["int", "np.int64", "7", "42.0", "str", "np.float64", "0.5"])
def test_the_estimators_hold_out_reads_seed_as_the_functions_split(seed):
    # Accepted or refused alike, with the splitter's own error; an accepted
    # seed draws the hold-out as the first stage of the function's split.
    y = classes(60, 3)
    X = np.random.default_rng(0).normal(size=(60, 2, 8)) + y[:, None, None]
    clf = hst.HybridSeqClassifier(maxEpochs=1, convChannels=(4,), rnnHidden=4, deviceSel="cpu", seed=seed)
    try:
        split(y, options(seed=seed))
    except ValueError as refused:
        with pytest.raises(ValueError) as got:
            clf.fit(X, y)
        assert str(got.value) == str(refused)
        return
    clf.fit(X, y)
    train, val = train_test_split(np.arange(60), test_size=0.15, random_state=seed, shuffle=True, stratify=y)
    np.testing.assert_array_equal(clf.validation_rows_, val)
    np.testing.assert_array_equal(clf.train_rows_, train)
