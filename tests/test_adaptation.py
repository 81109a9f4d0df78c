"""Input adaptation: any numeric layout to float32 [samples, features, steps]."""
import json
import re

import numpy as np
import pytest

import HybridSeqTrain as hst


adapt = hst._adapt_to_sequence
INFO_KEYS = ["originalShape", "sampleAxis", "sampleShape", "sequenceAxis", "adaptedShape", "featureCount",
             "sequenceLength"]


def reference(x, sample_axis, sequence_axis):
    """Samples first, the sequence axis last, the other sample axes merged row-major."""
    moved = np.moveaxis(np.moveaxis(x, sample_axis, 0), sequence_axis + 1, -1)
    return moved.reshape(moved.shape[0], -1, moved.shape[-1]).astype(np.float32)


# (X shape, labels, sample_dimension, sequence_axis, sample axis, sampleShape, sequence axis, adaptedShape)
WORKED = [
    ((150, 4), 150, "auto", -1, 0, (4,), 0, (150, 1, 4)),
    ((2700, 9, 128), 2700, "auto", -1, 0, (9, 128), 1, (2700, 9, 128)),
    ((5000, 28, 28), 5000, "auto", -1, 0, (28, 28), 1, (5000, 28, 28)),
    ((6, 3, 32, 32), 6, "auto", -1, 0, (3, 32, 32), 2, (6, 96, 32)),
    ((6, 3, 32, 32), 6, "auto", 1, 0, (3, 32, 32), 1, (6, 96, 32)),
    ((4, 150), 150, "auto", -1, 1, (4,), 0, (150, 1, 4)),
    ((9, 128, 2700), 2700, 2, -1, 2, (9, 128), 1, (2700, 9, 128)),
    # further layouts
    ((100, 100), 100, "auto", -1, 0, (100,), 0, (100, 1, 100)),
    ((7, 9, 16), 7, "auto", 0, 0, (9, 16), 0, (7, 16, 9)),
    ((5, 3), 5, "auto", 0, 0, (3,), 0, (5, 1, 3)),
    ((5, 8, 4), 8, 1, -2, 1, (5, 4), 0, (8, 4, 5)),
    ((2, 5, 3, 4), 5, -3, 0, 1, (2, 3, 4), 0, (5, 12, 2)),
    ((3, 4, 5), 5, -1, -1, 2, (3, 4), 1, (5, 3, 4)),
    ((3, 4, 5), 3, "0", 1, 0, (4, 5), 1, (3, 4, 5)),
    ((3, 4, 5), 4, 1.0, 0, 1, (3, 5), 0, (4, 5, 3)),
]


@pytest.mark.parametrize("shape, labels, sample_dim, seq_axis, axis, sample_shape, seq, adapted", WORKED,
                         ids=[f"{w[0]}-{w[2]!r}-{w[3]}" for w in WORKED])
def test_worked_examples(shape, labels, sample_dim, seq_axis, axis, sample_shape, seq, adapted):
    x = np.arange(np.prod(shape), dtype=np.float64).reshape(shape) % 1001 - 500.25
    before = x.copy()
    sequences, info = adapt(x, labels, seq_axis, sample_dim)
    assert list(info) == INFO_KEYS
    assert json.loads(json.dumps(info)) == {k: list(v) if type(v) is tuple else v for k, v in info.items()}
    assert info == {"originalShape": shape, "sampleAxis": axis, "sampleShape": sample_shape, "sequenceAxis": seq,
                    "adaptedShape": adapted, "featureCount": adapted[1], "sequenceLength": adapted[2]}
    assert all(type(v) is int for k, v in info.items() if k in ("sampleAxis", "sequenceAxis", "featureCount",
                                                                 "sequenceLength"))
    assert all(type(info[k]) is tuple and all(type(e) is int for e in info[k])
               for k in ("originalShape", "sampleShape", "adaptedShape"))
    assert sequences.dtype == np.float32 and sequences.shape == adapted and sequences.flags.c_contiguous
    np.testing.assert_array_equal(sequences, reference(x, axis, seq))
    assert not np.shares_memory(sequences, x)
    np.testing.assert_array_equal(x, before)


def test_colour_image_feature_layout():
    x = np.random.default_rng(0).normal(size=(2, 3, 4, 5))
    rows_as_features, _ = adapt(x, 2, -1, "auto")
    cols_as_features, _ = adapt(x, 2, 1, "auto")
    for n, c, r, t in np.ndindex(2, 3, 4, 5):
        assert rows_as_features[n, c * 4 + r, t] == np.float32(x[n, c, r, t])
        assert cols_as_features[n, c * 5 + t, r] == np.float32(x[n, c, r, t])


@pytest.mark.parametrize("make", [
    lambda x: x.astype(np.int64), lambda x: x.astype(np.uint8), lambda x: x.astype(np.float16),
    lambda x: np.asfortranarray(x), lambda x: x[:, ::-1][:, ::-1], lambda x: x.tolist(),
    lambda x: x.astype(">f8"), lambda x: x.astype(">f4"), lambda x: x.astype("<f4"),
], ids=["int64", "uint8", "float16", "fortran", "strided", "list", "big-endian-f8", "big-endian-f4", "f4"])
def test_any_numeric_layout_is_converted(make):
    x = np.arange(24, dtype=np.float64).reshape(6, 4) % 7
    sequences, info = adapt(make(x), 6, -1, "auto")
    assert sequences.dtype == np.float32 and info["adaptedShape"] == (6, 1, 4)
    np.testing.assert_array_equal(sequences[:, 0, :], x.astype(np.float32))


def unaligned(values):
    """A float64 array whose data pointer is not 8-byte aligned."""
    raw = bytearray(1) + bytearray(np.ascontiguousarray(values, dtype=np.float64).tobytes())
    out = np.frombuffer(raw, dtype=np.float64, offset=1).reshape(values.shape)
    assert not out.flags.aligned
    return out


NONFINITE = "X 中不能包含 NaN 或 Inf"


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("make", [
    lambda x: x, lambda x: x.astype(np.float32), lambda x: x.astype(np.float16), lambda x: np.asfortranarray(x),
    lambda x: x[::-1], lambda x: x.astype(">f8"), lambda x: x.astype(">f4"), unaligned, lambda x: x.tolist(),
], ids=["f8", "f4", "f2", "fortran", "reversed", "big-endian-f8", "big-endian-f4", "unaligned", "list"])
def test_non_finite_values_are_found_in_every_layout(make, bad):
    x = np.ones((6, 5))
    x[4, 3] = bad
    with pytest.raises(ValueError, match=f"^{re.escape(NONFINITE)}$"):
        adapt(make(x), 6, -1, "auto")


@pytest.mark.parametrize("X", [
    np.ones((6, 5), dtype=np.complex64),
    np.ones((6, 5)) + 0j,                                # imaginary parts all zero: still complex data
    [np.ones((2, 4)), np.ones((2, 6), dtype=np.complex128), np.ones((2, 5))] * 2,  # one complex sample of a list
], ids=["complex64", "zero-imaginary", "ragged-list"])
def test_complex_input_is_refused_not_cut_to_its_real_part(X):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # before: only NumPy's ComplexWarning, then training on the real parts
        with pytest.raises(ValueError, match="^X 不能是复数"):
            hst.HybridSeqTrain(X, np.arange(6) % 2, {"figflag": False, "maxEpochs": 1})


def test_finite_values_with_odd_bit_patterns_pass():
    # Read with the wrong byte order these would look like NaN or Inf.
    x = np.ones((4, 3))
    x[0, 0] = np.frombuffer(np.array([np.nan]).tobytes(), dtype=">f8")[0]
    x[1, 1] = np.frombuffer(np.array([np.inf]).tobytes(), dtype=">f8")[0]
    assert np.isfinite(x).all()
    for arr in (x.astype(">f8"), unaligned(x)):
        sequences, _ = adapt(arr, 4, -1, "auto")
        np.testing.assert_array_equal(sequences[:, 0, :], x.astype(np.float32))


F32_MAX = float(np.finfo(np.float32).max)


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@pytest.mark.parametrize("value, dtype", [(1e300, np.float64), (-1e39, np.float64), (F32_MAX * 1.0001, np.float64),
                                          (1e300, np.longdouble)])
def test_values_beyond_float32_are_refused(value, dtype):
    # Finite in X but Inf after the conversion: refused like Inf itself.
    x = np.ones((6, 5), dtype=dtype)
    x[2, 1] = value
    with pytest.raises(ValueError, match=f"^{re.escape(NONFINITE)}$"):
        adapt(x, 6, -1, "auto")


def test_float32_extremes_still_pass():
    x = np.ones((6, 5))
    x[0, 0], x[1, 1] = F32_MAX, -F32_MAX
    x[2, 2] = np.finfo(np.float32).tiny / 4  # underflows towards zero: no reason to refuse
    sequences, _ = adapt(x, 6, -1, "auto")
    np.testing.assert_array_equal(sequences[:, 0, :], x.astype(np.float32))
    big = np.full((6, 5), np.iinfo(np.uint64).max, dtype=np.uint64)
    assert np.isfinite(adapt(big, 6, -1, "auto")[0]).all()


NO_FEATURES = "X 的数据维度中不能有长度为0的轴"

# (X, labels, sample_dimension, sequence_axis, exception, message) in the order of the checks
ERRORS = [
    (np.zeros(150), 150, "auto", -1, ValueError, "X 至少需要包含样本维和一个数据维"),
    (np.array(5.0), 1, "auto", -1, ValueError, "X 至少需要包含样本维和一个数据维"),
    (np.array([True, False]), 2, "auto", -1, ValueError, "X 至少需要包含样本维和一个数据维"),
    (np.zeros((6, 4), dtype=bool), 6, "auto", -1, TypeError, "X 必须是数值型数组"),
    (np.array([["a", "b"]] * 6), 6, "auto", -1, TypeError, "X 必须是数值型数组"),
    (np.full((6, 4), np.nan, dtype=object), 6, "auto", -1, TypeError, "X 必须是数值型数组"),
    (np.zeros((6, 4), dtype="datetime64[s]"), 6, "auto", -1, TypeError, "X 必须是数值型数组"),
    (np.full((30, 40), np.nan), 50, "auto", -1, ValueError, NONFINITE),
    (np.zeros((30, 40)), 50, "auto", -1, ValueError, "无法根据Y长度识别样本维，请设置 options['sampleDimension']"),
    (np.zeros((30, 40)), 50, 0, 7, ValueError, "sampleDimension 指向的维度长度必须等于Y的样本数"),
    (np.zeros((5, 4, 3)), 5, 3, -1, ValueError, "sampleDimension 超出 X 的维度范围"),
    (np.zeros((5, 4, 3)), 5, -4, -1, ValueError, "sampleDimension 超出 X 的维度范围"),
    (np.zeros((5, 4, 3)), 5, 2**70, -1, ValueError, "sampleDimension 超出 X 的维度范围"),
    (np.zeros((5, 4, 3)), 4, 0, 9, ValueError, "sampleDimension 指向的维度长度必须等于Y的样本数"),
    (np.zeros((150, 4)), 150, "auto", 1, ValueError, "sequenceAxis 超出单条样本的数据维度范围"),
    (np.zeros((150, 4)), 150, "auto", -2, ValueError, "sequenceAxis 超出单条样本的数据维度范围"),
    (np.zeros((5, 4, 3)), 5, "auto", 2**70, ValueError, "sequenceAxis 超出单条样本的数据维度范围"),
    (np.zeros((5, 4, 3)), 5, "auto", -3, ValueError, "sequenceAxis 超出单条样本的数据维度范围"),
    (np.zeros((8, 5, 1)), 8, "auto", -1, ValueError, "序列轴长度至少为2；请检查 sequenceAxis 是否选对"),
    (np.zeros((8, 1)), 8, "auto", 0, ValueError, "序列轴长度至少为2；请检查 sequenceAxis 是否选对"),
    (np.zeros((3, 0)), 3, "auto", -1, ValueError, "序列轴长度至少为2；请检查 sequenceAxis 是否选对"),
    (np.zeros((0, 4)), 5, "auto", -1, ValueError, "无法根据Y长度识别样本维，请设置 options['sampleDimension']"),
    # no features: an empty axis besides the sequence axis
    (np.zeros((12, 0, 6)), 12, "auto", -1, ValueError, NO_FEATURES),
    (np.zeros((12, 2, 0, 3)), 12, "auto", -1, ValueError, NO_FEATURES),
    (np.zeros((12, 0, 1)), 12, "auto", -1, ValueError, "序列轴长度至少为2；请检查 sequenceAxis 是否选对"),
]


@pytest.mark.parametrize("x, labels, sample_dim, seq_axis, exc, message", ERRORS,
                         ids=[f"{i}-{e[5][:12]}" for i, e in enumerate(ERRORS)])
def test_rules_and_their_messages(x, labels, sample_dim, seq_axis, exc, message):
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        adapt(x, labels, seq_axis, sample_dim)


def test_auto_prefers_the_first_axis_and_reads_the_last():
    x = np.arange(5 * 4 * 5.0).reshape(5, 4, 5)
    sequences, info = adapt(x, 5, -1, "auto")
    assert info["sampleAxis"] == 0
    np.testing.assert_array_equal(sequences, x.astype(np.float32))
    last = np.moveaxis(x, 0, -1).copy()
    sequences, info = adapt(last, 5, -1, "auto")
    assert info["sampleAxis"] == 2 and info["originalShape"] == (4, 5, 5)
    np.testing.assert_array_equal(sequences, x.astype(np.float32))


@pytest.mark.parametrize("value, convert", [("AUTO", int), ("Auto", int), (None, int), ("1.5", int), ([0], int)])
def test_sample_dimension_is_auto_or_an_integer(value, convert):
    try:
        convert(value)
    except Exception as expected:
        with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
            adapt(np.zeros((5, 4)), 5, -1, value)
    else:
        raise AssertionError("conversion succeeded")


@pytest.mark.parametrize("args, message", [
    ((5.0, -1), "Argument 'y_count' has incorrect type (expected int, got float)"),
    ((np.int64(5), -1), "Argument 'y_count' has incorrect type (expected int, got numpy.int64)"),
    (("5", "x"), "Argument 'y_count' has incorrect type (expected int, got str)"),
    ((5, -1.0), "Argument 'sequence_axis' has incorrect type (expected int, got float)"),
    ((5, None), "Argument 'sequence_axis' has incorrect type (expected int, got NoneType)"),
])
def test_integer_arguments_are_type_checked(args, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        adapt(np.zeros((5, 4)), *args, "auto")


def test_keywords_and_read_only_input():
    x = np.arange(20.0).reshape(5, 4)
    x.setflags(write=False)
    sequences, info = adapt(X=x, y_count=5, sequence_axis=0, sample_dimension="auto")
    assert info["adaptedShape"] == (5, 1, 4) and sequences.flags.writeable
    sequences[:] = 0
    assert x[1, 1] == 5.0
