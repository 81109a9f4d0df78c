#!/usr/bin/env python3
"""Hostile inputs for HybridSeqTrain and RatePredictions.

    PYTHONPATH=<folder with both modules> python3 tools/fuzz.py --count 3000 --seed 1

Each case is built from (seed, index) alone, so `--start I --count 1` replays case I.
A case ends well when the call returns a sound result or raises one of the exception
types a user should see; it ends badly when it raises anything else (SystemError, a
pybind11 cast error, an internal assertion, ...) or when the caller's X, Y or options
differ afterwards from deep copies taken before the call. A crash or a hang kills the
process: the last "case N" line on stderr names it (faulthandler prints the Python
stack on a crash, and after --case-timeout seconds on a hang).

Prints the count of every outcome; with --json, one JSON line with the counts and
the bad cases. Exits 3 when any case ended badly (1 is faulthandler's status
after a hang).
"""
import argparse
import collections
import contextlib
import copy
import datetime
import decimal
import faulthandler
import fractions
import io
import json
import os
import sys
import warnings

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import torch

import HybridSeqTrain as H
import RatePredictions as R

N, FEATURES, STEPS, CLASSES = 12, 2, 6, 2

# Exception types a caller may see: our own messages (ValueError, TypeError) and
# the libraries' errors passed through unchanged.
EXPECTED = (ValueError, TypeError, KeyError, OverflowError, IndexError, RuntimeError, ZeroDivisionError,
            MemoryError, NotImplementedError, np.ma.MAError)
# RuntimeError texts that point at our binding code rather than at a library.
FOREIGN_RUNTIME = ("Unable to cast", "unable to convert", "could not be converted", "pybind11",
                   "INTERNAL ASSERT FAILED", "Unable to convert")


class Boom(Exception):
    """Raised by the conversions of Hostile; must reach the caller unchanged."""


class Hostile:
    """Every conversion and protocol raises Boom."""

    def _boom(self, *args):
        raise Boom("hostile value used")

    __int__ = __index__ = __float__ = __bool__ = __str__ = __iter__ = __len__ = __lt__ = __gt__ = _boom
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise Boom("hostile value compared")

    def __repr__(self):
        return "Hostile()"


class AlwaysEqual:
    """Equal to everything; its text is not a network name."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__

    def __str__(self):
        return "always-equal"


class ArrayView:
    """Array-like whose __array__ hands out a strided or reversed view."""

    def __init__(self, values, step):
        base = np.zeros(len(values) * abs(step), dtype=np.float32)
        base[::step] = values  # base[::step] reads back the values, from a strided or reversed view
        self.base, self.step = base, step

    def __array__(self, dtype=None):
        return self.base[::self.step] if dtype is None else self.base[::self.step].astype(dtype)

    def __repr__(self):
        return f"ArrayView({self.base[::self.step].tolist()}, step={self.step})"


class FloatSub(float):
    pass


class IntSub(int):
    pass


def plain_values():
    """Values of every kind, including ones that convert to sensible numbers."""
    nan, inf = float("nan"), float("inf")
    return [
        None, True, False, 0, 1, -1, 2, 3, 5, 7, 0.5, 0.99, 1.0, 1.5, 2.9, -0.0, 1e-300, nan, inf, -inf,
        2 ** 31, 2 ** 63 - 1, 2 ** 63, 2 ** 64 + 1, -(2 ** 63) - 1, 10 ** 30 + 1, 10 ** 400, 1e300, -1e300,
        "5", "0.5", "abc", "", " 3 ", "nan", "inf", "auto", "none", "AUTO", "LSTM", "lstm", "adam", "cpu",
        "piecewise", "\x00", "\ud800", b"5", bytearray(b"1"), [], [1], [1, 2], [[1]], (3,), {}, {"a": 1},
        range(3), {1}, frozenset(), np.int8(3), np.uint64(2 ** 64 - 1), np.int64(-5), np.float32(nan),
        np.float16(0.5), np.float64(0.25), np.longdouble(2.5), np.bool_(True), np.bool_(False), np.array(5),
        np.array(0.3), np.array("x"), np.array([1, 2]), np.array([]), np.array(np.nan),
        np.datetime64("2020-01-01"), np.timedelta64(3, "s"), complex(1, 2), np.complex64(1 + 1j),
        fractions.Fraction(1, 3), decimal.Decimal("0.5"), decimal.Decimal("nan"), decimal.Decimal("1e999"),
        Hostile(), AlwaysEqual(), object(), FloatSub(0.3), IntSub(3), datetime.date(2020, 1, 1),
        np.str_("GRU"), np.ma.masked, slice(1, 2), Ellipsis, lambda: 1,
    ]


def int_of(v):
    try:
        return int(v)
    except BaseException:
        return None


# Options whose valid-but-large values run long by design (epochs, recurrent
# layer count) or allocate a few GB (sizes of the network): their large values
# are left out unless they are too large to allocate at all.
def acceptable(key, value):
    n = int_of(value)
    if n is None:
        return True
    if key in ("maxEpochs", "rnnLayers"):
        return n <= 3
    if key in ("rnnHidden", "kernelSize", "convChannels"):
        return n <= 64 or n >= 2 ** 40
    return True


SPECIAL = {
    "sampleDimension": ["auto", "AUTO", 0, -1, 2, 3, -4, 1.5, "0", np.int64(0), 2 ** 70],
    "sequenceAxis": [-1, 0, 1, 2, -3, "1", 1.9, np.int8(-1), 2 ** 70],
    "splitLabels": [
        [1] * 6 + [2] * 3 + [3] * 3, [1] * 12, [1, 2, 3] * 4, [1, 2, 3], np.array([1.0, 2.0, 3.0] * 4),
        ["1", "2", "3"] * 4, [1, 2, 3, None] * 3, np.array([[1, 2, 3]] * 4), [np.nan] * 12,
        np.array([1, 1, 2, 2, 3, 3] * 2, dtype=np.int8), [True, 2, 3] * 4, [1, 2, 3, 1 + 0j] * 3,
        np.array([1, 2, 3] * 4, dtype=object), [1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 3],
    ],
    "networkType": ["RNN", "LSTM", "GRU", "BiRNN", "BiLSTM", "BiGRU", "lstm", np.str_("GRU"), b"LSTM",
                    AlwaysEqual(), " LSTM"],
    "convChannels": [[4], (4,), [], [0], [4, -1], "4", np.array([4]), [np.int64(3)], [4.9], ["4"], [None],
                     [[4]], [2 ** 40], 5, {4: 1}, range(1, 3), [Hostile()], [3, 2], np.array([[2]])],
    "classWeight": ["auto", "none", "AUTO", "None", [1, 2], [1], [0, 1], [float("nan"), 1], [float("inf"), 1],
                    [-1, 1], np.array([1, 2], dtype=np.float16), ["1", "2"], [[1, 2]], "abc", [1e300, 1],
                    {1: 2}, [1 + 1j, 1], np.array([1.0, 2.0, 3.0, 4.0])[::2], np.array([2.0, 1.0], ">f4"),
                    [Hostile(), 1], [3, 4, 5], ArrayView([1.0, 2.0], -1), ArrayView([1.0, 2.0], 3)],
    "classNames": [["a", "b"], ["a"], "ab", [1, None], [Hostile(), "b"], np.array(["x", "y"]), ("甲", "乙"),
                   [b"a", b"b"], {"a": 1, "b": 2}, 7],
    "solverName": ["adam", "SGDM", "rmsprop", "sgd", Hostile(), np.str_("Adam")],
    "learnRateSchedule": ["none", "PIECEWISE", "step", np.str_("none")],
    "deviceSel": ["auto", "CPU", "gpu", "cuda", np.str_("cpu")],
    "batchSize": [1, 2, 7, 8, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 10 ** 30, "16"],
    "poolSize": [1, 2, 5, 6, 7, 2 ** 63, "3"],
    "learnRate": [float("nan"), float("inf"), 1e300, 1e-300, 10.0],
}

KEYS = ["sampleDimension", "sequenceAxis", "splitLabels", "rTrain", "validationRatio", "shuffle", "seed",
        "networkType", "convChannels", "kernelSize", "poolSize", "rnnHidden", "rnnLayers", "dropout",
        "solverName", "maxEpochs", "learnRate", "batchSize", "earlyStoppingPatience", "learnRateSchedule",
        "learnRateDropPeriod", "learnRateDropFactor", "classWeight", "deviceSel", "mapflag", "caseName",
        "classNames"]

FAST = {"figflag": False, "showFigures": False, "maxEpochs": 1, "convChannels": [4], "rnnHidden": 4,
        "batchSize": 8, "deviceSel": "cpu", "seed": 1}

DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
          np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128, np.clongdouble,
          object, "U5", "S5", "datetime64[ns]", "timedelta64[s]", [("a", "f4")]]


def base_x(rng, shape=(N, FEATURES, STEPS)):
    y = np.arange(shape[0]) % CLASSES
    x = rng.normal(size=shape)
    return x + y.reshape((-1,) + (1,) * (len(shape) - 1))


def pick(rng, items):
    return items[int(rng.integers(len(items)))]


# --- X ---------------------------------------------------------------------

def x_dtype(rng, x):
    dt = pick(rng, DTYPES)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dt is object:
            return x.astype(object), "dtype=object"
        if dt == "U5" or dt == "S5":
            return x.astype(dt), f"dtype={dt}"
        if isinstance(dt, list):
            out = np.zeros(x.shape, dtype=dt)
            out["a"] = x
            return out, "dtype=structured"
        scale = 1 if np.dtype(dt).kind in "fc" else 50
        return (x * scale).astype(dt), f"dtype={np.dtype(dt).name}"


def x_layout(rng, x):
    kind = pick(rng, ["fortran", "strided", "reversed", "readonly", "byteswapped", "unaligned", "broadcast",
                      "transposed-copy"])
    if kind == "fortran":
        return np.asfortranarray(x), kind
    if kind == "strided":
        big = np.repeat(x, 2, axis=-1)
        return big[..., ::2], kind
    if kind == "reversed":
        return x[::-1, ::-1].copy()[::-1, ::-1], kind
    if kind == "readonly":
        y = x.copy()
        y.setflags(write=False)
        return y, kind
    if kind == "byteswapped":
        if x.dtype.kind not in "iufc":
            return x, "byteswapped(skipped)"
        return x.astype(x.dtype.newbyteorder()), kind
    if kind == "unaligned":
        if x.dtype.kind not in "iufc" or x.dtype.itemsize == 1:
            return x, "unaligned(skipped)"
        raw = np.zeros(x.nbytes + 1, dtype=np.uint8)
        view = np.frombuffer(raw.data, dtype=x.dtype, count=x.size, offset=1).reshape(x.shape)
        view[...] = x
        return view, kind
    if kind == "broadcast":
        return np.broadcast_to(x[:, :1], x.shape), kind
    return np.ascontiguousarray(np.swapaxes(x, 1, -1)).swapaxes(1, -1), kind


def x_values(rng, x):
    kind = pick(rng, ["nan", "inf", "-inf", "1e300", "1e39", "zeros", "denormal", "uint64max", "-0"])
    x = np.array(x, dtype=np.float64)
    pos = tuple(int(rng.integers(s)) for s in x.shape)
    if kind == "nan":
        x[pos] = np.nan
    elif kind == "inf":
        x[pos] = np.inf
    elif kind == "-inf":
        x[pos] = -np.inf
    elif kind == "1e300":
        x[pos] = 1e300
    elif kind == "1e39":
        x[pos] = 1e39
    elif kind == "zeros":
        x[...] = 0
    elif kind == "denormal":
        x *= 1e-320
    elif kind == "uint64max":
        return np.full(x.shape, 2 ** 64 - 1, dtype=np.uint64), kind
    else:
        x[...] = -0.0
    return x, f"value={kind}"


def x_shape(rng, y_count):
    shapes = [(y_count, FEATURES, STEPS), (y_count, 12), (FEATURES, STEPS, y_count), (y_count,), (),
              (0, FEATURES, STEPS), (y_count, 0, STEPS), (y_count, FEATURES, 0), (y_count, FEATURES, 1),
              (y_count, 1, 1, STEPS), (y_count, 3, 4, 4), (y_count,) + (1,) * 10 + (STEPS,), (y_count, 2),
              (y_count - 1, FEATURES, STEPS), (y_count, y_count)]
    shape = pick(rng, shapes)
    if not shape or 0 in shape:
        return np.zeros(shape), f"shape={shape}"
    return base_x(rng, shape) if shape[0] == y_count else rng.normal(size=shape), f"shape={shape}"


def x_other(rng, x):
    kind = pick(rng, ["list", "ragged", "None", "str", "int", "dict", "tensor", "masked", "matrix", "generator",
                      "nested-object", "tensor-f64-noncontig"])
    if kind == "list":
        return x.tolist(), kind
    if kind == "ragged":
        return [[1.0, 2.0], [3.0]] * 6, kind
    if kind == "None":
        return None, kind
    if kind == "str":
        return "abcdefghijkl", kind
    if kind == "int":
        return 12, kind
    if kind == "dict":
        return {"X": x}, kind
    if kind == "tensor":
        return torch.from_numpy(x.astype(np.float32)), kind
    if kind == "masked":
        return np.ma.masked_array(x, mask=x > 1), kind
    if kind == "matrix":
        return np.asmatrix(x.reshape(N, -1)), kind
    if kind == "generator":
        return (row for row in x), kind
    if kind == "nested-object":
        out = np.empty((N, 2), dtype=object)
        out[:, 0] = [list(r) for r in x[:, 0]]
        out[:, 1] = 1.0
        return out, kind
    return torch.from_numpy(x).transpose(1, 2), kind


# --- Y ---------------------------------------------------------------------

def y_variant(rng):
    codes = np.arange(N) % CLASSES
    kinds = {
        "int": lambda: codes.copy(),
        "float": lambda: codes * 0.5,
        "str": lambda: np.array(["cat", "dog"])[codes],
        "bytes": lambda: np.array([b"a", b"b"])[codes],
        "bool": lambda: codes.astype(bool),
        "complex": lambda: codes + 1j,
        "datetime": lambda: np.array(["2020-01-01", "2021-01-01"], dtype="datetime64[D]")[codes],
        "mixed-list": lambda: [1 if c else "a" for c in codes],
        "mixed-num": lambda: [1 if c else 2.5 for c in codes],
        "none-entry": lambda: [None if i == 3 else int(c) for i, c in enumerate(codes)],
        "nan-label": lambda: np.where(codes == 0, np.nan, 1.0),
        "object-int": lambda: codes.astype(object),
        "column": lambda: codes.reshape(-1, 1),
        "two-columns": lambda: np.stack([codes, codes], 1),
        "short": lambda: codes[:-1],
        "long": lambda: np.append(codes, 0),
        "three": lambda: codes[:3],
        "one-class": lambda: np.zeros(N, dtype=int),
        "scalar": lambda: 5,
        "None": lambda: None,
        "hostile-entry": lambda: [Hostile() if i == 2 else int(c) for i, c in enumerate(codes)],
        "huge-int": lambda: [2 ** 70 if c else -(2 ** 70) for c in codes],
        "all-classes": lambda: np.arange(N),
        "int8": lambda: codes.astype(np.int8) - 100,
        "uint64": lambda: codes.astype(np.uint64) + np.uint64(2 ** 64 - 3),
        "tuple-labels": lambda: [(1, 2) if c else (3, 4) for c in codes],
        "str-object": lambda: np.array(["x", "y"], dtype=object)[codes],
        "readonly": lambda: np.broadcast_to(codes, (N,)),
        "tensor": lambda: torch.as_tensor(codes),
        "list-of-lists": lambda: [[int(c)] for c in codes],
        "float16": lambda: codes.astype(np.float16),
        "dict": lambda: {i: int(c) for i, c in enumerate(codes)},
    }
    name = pick(rng, sorted(kinds))
    return kinds[name](), f"Y={name}"


# --- options -----------------------------------------------------------------

def option_value(rng, key):
    pool = plain_values()
    if key in SPECIAL and rng.random() < 0.6:
        pool = SPECIAL[key]
    for _ in range(50):
        v = pick(rng, pool)
        if key == "convChannels" and isinstance(v, (list, tuple)):
            if all(acceptable(key, e) for e in v):
                return v
            continue
        if acceptable(key, v):
            return v
    return FAST.get(key, 1)


def describe(v):
    text = repr(v) if not isinstance(v, np.ndarray) else f"array({v.tolist()!r}, {v.dtype})"
    return text if len(text) <= 60 else text[:57] + "..."


def options_variant(rng, options):
    kind = pick(rng, ["keys"] * 8 + ["not-dict", "unknown-keys"])
    if kind == "not-dict":
        choices = [("list", [("maxEpochs", 1)]), ("OrderedDict", collections.OrderedDict(FAST)),
                   ("defaultdict", collections.defaultdict(int, FAST)), ("tuple", ()), ("str", "abc"),
                   ("array", np.array([1])), ("mappingproxy", type(options).__dict__), ("int", 0)]
        name, value = pick(rng, choices)
        return value, f"options={name}"
    if kind == "unknown-keys":
        options = dict(options)
        options.update({1: 2, None: "x", (1, 2): [3], "maxepochs": 10 ** 9, "MAXEPOCHS": -1, "": None})
        return options, "options+unknown-keys"
    options = dict(options)
    notes = []
    for _ in range(int(rng.integers(1, 4))):
        key = pick(rng, KEYS)
        value = option_value(rng, key)
        options[key] = value
        notes.append(f"{key}={describe(value)}")
    return options, "options[" + "; ".join(notes) + "]"


# --- cases -------------------------------------------------------------------

def hst_case(rng):
    x = base_x(rng)
    y = np.arange(N) % CLASSES
    options = dict(FAST)
    notes = []
    for kind in rng.choice(["x-dtype", "x-layout", "x-values", "x-shape", "x-other", "y", "options"],
                           size=int(rng.integers(1, 4)), replace=False):
        plain = isinstance(x, np.ndarray) and x.dtype == np.float64
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                if kind == "x-dtype" and plain:
                    x, note = x_dtype(rng, x)
                elif kind == "x-layout" and isinstance(x, np.ndarray) and x.ndim >= 2:
                    x, note = x_layout(rng, x)
                elif kind == "x-values" and plain and x.size:
                    x, note = x_values(rng, x)
                elif kind == "x-shape":
                    x, note = x_shape(rng, N)
                elif kind == "x-other" and plain and x.shape == (N, FEATURES, STEPS):
                    x, note = x_other(rng, x)
                elif kind == "y":
                    y, note = y_variant(rng)
                elif kind == "options":
                    options, note = options_variant(rng, options)
                else:
                    continue
        except (ValueError, TypeError):  # a combination the generator cannot build
            continue
        notes.append(note)
    return ("HybridSeqTrain", (x, y, options), ", ".join(notes) or "plain")


LABEL_POOL = [
    lambda r: [0, 1, 1, 2], lambda r: ["a", "b", "b", "c"], lambda r: [0.5, 1.5, 0.5, 0.5], lambda r: [],
    lambda r: [1, "a", 2.0, None], lambda r: [float("nan"), 1.0, 2.0, float("nan")],
    lambda r: np.array([[0, 1], [1, 0]]), lambda r: np.array(3), lambda r: None, lambda r: 5,
    lambda r: np.array(["2020-01-01", "2020-01-02", "2020-01-01", "2020-01-02"], dtype="datetime64[D]"),
    lambda r: [1 + 1j, 2 + 0j, 1 + 1j, 2 + 0j], lambda r: [True, False, True, True],
    lambda r: [Hostile(), 1, 2, 3], lambda r: [{}, {}, {}, {}], lambda r: (i for i in range(4)),
    lambda r: r.integers(0, 3, size=4), lambda r: r.integers(0, 3, size=5), lambda r: np.zeros((4, 1)),
    lambda r: np.array([0, 1, 1, 2], dtype=np.uint64), lambda r: np.array([0, 1, 1, 2], ">i4"),
    lambda r: [b"x", b"y", b"x", b"y"], lambda r: [[1], [2, 3]], lambda r: [2 ** 70, 1, 1, 2 ** 70],
    lambda r: np.array([0, 1, 1, 2], dtype=object), lambda r: torch.tensor([0, 1, 1, 2]),
    lambda r: "abcd", lambda r: {"a": 1}, lambda r: [(1, 2), (1, 2), (3, 4), (5, 6)],
]
ORDER_POOL = [lambda r: None, lambda r: [0, 1, 2], lambda r: [2, 1, 0], lambda r: [], lambda r: ["a", "b"],
              lambda r: [0, 0, 1], lambda r: np.array([[0, 1], [2, 3]]), lambda r: 1,
              lambda r: [float("nan")], lambda r: [Hostile()], lambda r: "abc", lambda r: [None, 1]]


def rate_case(rng):
    a = int(rng.integers(len(LABEL_POOL)))
    b = a if rng.random() < 0.4 else int(rng.integers(len(LABEL_POOL)))
    c = int(rng.integers(len(ORDER_POOL))) if rng.random() < 0.6 else 0
    args = (LABEL_POOL[a](rng), LABEL_POOL[b](rng), ORDER_POOL[c](rng))
    return ("RatePredictions", args, f"realData#{a}, foreData#{b}, classOrder#{c}")


# Inputs for the returned network's forward.
MODEL_INPUTS = [
    ("tensor", lambda f, l: torch.randn(3, f, l)),
    ("numpy", lambda f, l: np.zeros((3, f, l), np.float32)),
    ("list", lambda f, l: [[[0.0] * l] * f] * 3),
    ("None", lambda f, l: None),
    ("float64", lambda f, l: torch.randn(3, f, l, dtype=torch.float64)),
    ("int64", lambda f, l: torch.ones(3, f, l, dtype=torch.int64)),
    ("features+1", lambda f, l: torch.randn(3, f + 1, l)),
    ("2-d", lambda f, l: torch.randn(f, l)),
    ("empty-batch", lambda f, l: torch.randn(0, f, l)),
    ("length-1", lambda f, l: torch.randn(3, f, 1)),
    ("strided", lambda f, l: torch.randn(3, l, f).transpose(1, 2)),
    ("requires-grad", lambda f, l: torch.randn(3, f, l, requires_grad=True)),
    ("scalar", lambda f, l: torch.tensor(1.0)),
]


def _tamper(attr_path, value):
    def change(model):
        *owner, name = attr_path.split(".")
        target = model
        for part in owner:
            target = target[int(part)] if part.isdigit() else getattr(target, part)
        setattr(target, name, value)
    return change


# The returned network changed the way users change torch.nn modules.
MODEL_CHANGES = [
    ("double", lambda m: m.double()),
    ("half", lambda m: m.half()),
    ("train", lambda m: m.train()),
    ("requires_grad_(False)", lambda m: m.requires_grad_(False)),
    ("dropout.p=str", _tamper("dropout.p", "0.5")),
    ("cnn.1.eps=None", _tamper("cnn.1.eps", None)),
    ("cnn.1.momentum=None", _tamper("cnn.1.momentum", None)),
    ("cnn.1.running_mean=None", _tamper("cnn.1.running_mean", None)),
    ("cnn.0.padding=same", _tamper("cnn.0.padding", "same")),
    ("cnn.0.stride=(2,)", _tamper("cnn.0.stride", (2,))),
    ("classifier=Identity", _tamper("classifier", torch.nn.Identity())),
    ("rnn.hidden_size=str", _tamper("rnn.hidden_size", "4")),
    ("rnn.dropout=None", _tamper("rnn.dropout", None)),
    ("bidirectional=None", _tamper("bidirectional", None)),
]


def make_case(seed, index):
    rng = np.random.default_rng([seed, index])
    if rng.random() < 0.2:
        return rate_case(rng)
    return hst_case(rng)


# --- running -----------------------------------------------------------------

def same(a, b, depth=0):
    """Deep equality that treats NaN as equal to itself and checks types and layouts."""
    if depth > 50:
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind == "O":
            return all(same(p, q, depth + 1) for p, q in zip(a.ravel().tolist(), b.ravel().tolist()))
        return np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()
    if isinstance(a, torch.Tensor):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        return bool(torch.equal(a, b) or (torch.isnan(a) == torch.isnan(b)).all() and torch.equal(
            torch.nan_to_num(a), torch.nan_to_num(b)))
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    if isinstance(a, dict):
        return list(a.keys()) == list(b.keys()) and all(same(a[k], b[k], depth + 1) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(p, q, depth + 1) for p, q in zip(a, b))
    if isinstance(a, (int, str, bytes, bytearray, complex, bool, type(None))):
        return a == b
    if isinstance(a, (np.generic, decimal.Decimal, fractions.Fraction)):
        try:
            return bool(a == b) or (a != a and b != b)
        except Exception:
            return repr(a) == repr(b)
    return True  # other objects: the type is all that is compared


def snapshot(value):
    """(deep copy, whether one could be made, the array flags that must not change)."""
    flags = (value.flags.writeable, value.flags.c_contiguous, value.flags.f_contiguous) \
        if isinstance(value, np.ndarray) else None
    try:
        return copy.deepcopy(value), True, flags
    except Exception:
        return None, False, flags


def unchanged(value, snap):
    copied, ok, flags = snap
    if isinstance(value, np.ndarray) and flags != (value.flags.writeable, value.flags.c_contiguous,
                                                   value.flags.f_contiguous):
        return False
    return not ok or same(value, copied)


def check_result(kind, result):
    """Problems with a returned result, as text; empty when it is sound."""
    if kind == "RatePredictions":
        keys = ["accuracy", "macroPrecision", "macroRecall", "macroF1", "precisionPerClass", "recallPerClass",
                "f1PerClass", "confusionMatrix", "classes"]
        return "" if isinstance(result, dict) and list(result) == keys else "result is not a metrics dictionary"
    if not isinstance(result, tuple) or len(result) != 4:
        return "result is not a 4-tuple"
    fore_test, fore_train, model, info = result
    if len(info) != 23:
        return "info has %d keys" % len(info)
    tr, va, te = info["trainIdx"], info["valIdx"], info["testIdx"]
    if len(np.intersect1d(tr, va)) or len(np.intersect1d(tr, te)) or len(np.intersect1d(va, te)):
        return "split sets overlap"
    k = len(info["classes"])
    if len(fore_test) != len(te) or len(fore_train) != len(tr):
        return "prediction count differs from the set size"
    if info["probabilityTest"].shape != (len(te), k):
        return "probability shape %r" % (info["probabilityTest"].shape,)
    if model.training:
        return "model returned in training mode"
    return ""


def outcome_of(exc):
    if isinstance(exc, Boom):
        return "ok:propagated-Boom", str(exc)
    if isinstance(exc, RuntimeError) and any(s in str(exc) for s in FOREIGN_RUNTIME):
        return "BAD:RuntimeError", str(exc)[:300]
    if isinstance(exc, SystemError) or not isinstance(exc, EXPECTED):
        return "BAD:" + type(exc).__name__, str(exc)[:300]
    return "raised:" + type(exc).__name__, str(exc).splitlines()[0][:200] if str(exc) else ""


def probe_model(rng, model, info):
    """Calls the returned network on a hostile input; returns (outcome, detail)."""
    f, l = info["shapeInfo"]["featureCount"], info["shapeInfo"]["sequenceLength"]
    name, make = MODEL_INPUTS[int(rng.integers(len(MODEL_INPUTS)))]
    if rng.random() < 0.3:
        change, apply = MODEL_CHANGES[int(rng.integers(len(MODEL_CHANGES)))]
        name = f"{name}, {change}"
    else:
        apply = None
    try:
        if apply is not None:
            apply(model)
        x = make(f, l)
        if isinstance(x, torch.Tensor) and x.is_floating_point() and apply is not None and "double" in name:
            x = x.double()
        out = model(x)
    except BaseException as exc:  # noqa: B902 - every type is classified
        if isinstance(exc, KeyboardInterrupt):
            raise
        o, d = outcome_of(exc)
        return "model(%s) %s" % (name, o), d
    if not isinstance(out, torch.Tensor):
        return "model(%s) BAD:result" % name, repr(type(out))
    return "model(%s) ok" % name, ""


def run_case(seed, index):
    kind, args, desc = make_case(seed, index)
    before = [snapshot(a) for a in args]
    detail = ""
    result = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                result = (H.HybridSeqTrain if kind == "HybridSeqTrain" else R.RatePredictions)(*args)
            outcome = "ok:result"
            problem = check_result(kind, result)
            if problem:
                outcome, detail = "BAD:result", problem
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # noqa: B902 - every type is classified
            outcome, detail = outcome_of(exc)
    names = ("X", "Y", "options") if kind == "HybridSeqTrain" else ("realData", "foreData", "classOrder")
    changed = [n for n, a, snap in zip(names, args, before) if not unchanged(a, snap)]
    if changed and not outcome.startswith("BAD"):
        outcome, detail = "BAD:changed-argument", ", ".join(changed)
    extra = None
    if kind == "HybridSeqTrain" and outcome == "ok:result":
        rng = np.random.default_rng([seed, index, 1])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            extra = probe_model(rng, result[2], result[3])
    return kind, desc, outcome, detail, extra


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--start", type=int, default=0, help="first case index")
    parser.add_argument("--case-timeout", type=float, default=60.0, help="seconds before a case counts as hung")
    parser.add_argument("--json", action="store_true", help="print one JSON summary line")
    parser.add_argument("--verbose", action="store_true", help="print every case with its outcome")
    a = parser.parse_args(argv)
    faulthandler.enable()
    torch.set_num_threads(1)
    counts = collections.Counter()
    bad = []
    for index in range(a.start, a.start + a.count):
        print(f"case {index}", file=sys.stderr, flush=True)
        faulthandler.dump_traceback_later(a.case_timeout, exit=True)
        kind, desc, outcome, detail, extra = run_case(a.seed, index)
        faulthandler.cancel_dump_traceback_later()
        counts[f"{kind} {outcome}"] += 1
        if extra is not None:  # counted by outcome; --verbose names the input and change
            counts[f"{kind} model-call {extra[0].split(') ', 1)[1]}"] += 1
        for o, d in [(outcome, detail)] + ([extra] if extra else []):
            if o.split()[-1].startswith("BAD"):
                bad.append({"index": index, "kind": kind, "case": desc, "outcome": o, "detail": d})
        if a.verbose:
            print(f"{index}\t{kind}\t{outcome}\t{desc}\t{detail}", flush=True)
            if extra is not None:
                print(f"{index}\t{kind}\t{extra[0]}\t\t{extra[1]}", flush=True)
    for key in sorted(counts):
        print(f"{counts[key]:6d}  {key}")
    for b in bad:
        print(f"BAD case {b['index']} ({b['kind']}: {b['case']}): {b['outcome']} {b['detail']}")
    if a.json:
        print(json.dumps({"counts": counts, "bad": bad}, ensure_ascii=False))
    return 3 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
