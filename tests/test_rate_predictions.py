import inspect
import itertools
import subprocess
import sys
import typing

import numpy as np
import pytest
from sklearn import metrics

import RatePredictions as rp_module
from RatePredictions import RatePredictions

KEYS = ["accuracy", "macroPrecision", "macroRecall", "macroF1", "precisionPerClass",
        "recallPerClass", "f1PerClass", "confusionMatrix", "classes"]
NAMESPACE = ["Any", "Dict", "Sequence", "np", "accuracy_score", "confusion_matrix",
             "f1_score", "precision_score", "recall_score"]
MISMATCH, EMPTY = "realData 与 foreData 的样本数量必须相同", "评价数据不能为空"

LABEL_SETS = {"int": ([3, 0, 7, 1], 99), "float": ([1.0, 0.0, -2.0, 3.0], 9.0),
              "str": (["dog", "cat", "eel", "fox"], "zebra")}
ORDERS = {
    "derived": lambda v, absent: None,
    "absent_class": lambda v, absent: sorted(v) + [absent],
    "reversed": lambda v, absent: sorted(v)[::-1],
    "duplicates": lambda v, absent: [v[1], v[0], v[1]],
    "subset": lambda v, absent: v[:2],
}


def sklearn_reference(y_true, y_pred, order):
    t, p = np.asarray(y_true).reshape(-1), np.asarray(y_pred).reshape(-1)
    labels = np.unique(np.concatenate([t, p])) if order is None else np.asarray(order).reshape(-1)
    kw = dict(labels=labels, average=None, zero_division=0)
    per = [metrics.precision_score(t, p, **kw), metrics.recall_score(t, p, **kw), metrics.f1_score(t, p, **kw)]
    return dict(zip(KEYS, [metrics.accuracy_score(t, p)] + [np.mean(a) for a in per] + per
                    + [metrics.confusion_matrix(t, p, labels=labels), labels]))


@pytest.mark.parametrize("kind, order_name", itertools.product(LABEL_SETS, ORDERS))
def test_matches_sklearn_on_random_labels(kind, order_name):
    values, absent = LABEL_SETS[kind]
    rng = np.random.default_rng(len(kind) * 31 + len(order_name))
    y_true = [values[i] for i in rng.integers(0, 4, 60)]
    y_pred = np.array([values[i] for i in rng.integers(0, 4, 60)]).reshape(-1, 1)
    order = ORDERS[order_name](values, absent)
    got, want = RatePredictions(y_true, y_pred, order), sklearn_reference(y_true, y_pred, order)
    assert list(got) == KEYS
    for key in KEYS:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)
    assert got["classes"].dtype == want["classes"].dtype


EXAMPLE = ([0, 1, 1, 2], [0, 1, 2, 2])
CM3 = [[1, 0, 0], [0, 1, 1], [0, 0, 1]]


@pytest.mark.parametrize("real, fore, order, classes, acc, prec, rec, f1, cm", [
    (*EXAMPLE, None, [0, 1, 2], 0.75, [1, 1, .5], [1, .5, 1], [1, 2 / 3, 2 / 3], CM3),
    (*EXAMPLE, [2, 1, 0], [2, 1, 0], 0.75, [.5, 1, 1], [1, .5, 1], [2 / 3, 2 / 3, 1],
     np.array(CM3)[::-1, ::-1]),
    (*EXAMPLE, [0, 1, 2, 3], [0, 1, 2, 3], 0.75, [1, 1, .5, 0], [1, .5, 1, 0], [1, 2 / 3, 2 / 3, 0],
     np.pad(CM3, ((0, 1), (0, 1)))),
    ([0, 0, 1], [0, 2, 1], None, [0, 1, 2], 2 / 3, [1, 1, 0], [.5, 1, 0], [2 / 3, 1, 0],
     [[1, 0, 1], [0, 1, 0], [0, 0, 0]]),
    (["dog", "cat", "cat"], ["dog", "cat", "cat"], None, ["cat", "dog"], 1.0, [1, 1], [1, 1], [1, 1],
     [[2, 0], [0, 1]]),
    (np.array([[1], [0], [1]]), [1, 1, 1], None, [0, 1], 2 / 3, [0, 2 / 3], [0, 1], [0, .8],
     [[0, 1], [0, 2]]),
])
def test_worked_examples(real, fore, order, classes, acc, prec, rec, f1, cm):
    r = RatePredictions(real, fore, order)
    assert r["classes"].tolist() == classes
    assert r["accuracy"] == pytest.approx(acc)
    for key, expected in (("precision", prec), ("recall", rec), ("f1", f1)):
        np.testing.assert_allclose(r[key + "PerClass"], expected, rtol=0, atol=1e-12)
        assert r["macro" + key[0].upper() + key[1:]] == pytest.approx(np.mean(expected))
    np.testing.assert_array_equal(r["confusionMatrix"], cm)


def test_value_types_and_exact_calls(monkeypatch):
    calls = []
    for name in NAMESPACE[4:]:
        real = getattr(metrics, name)
        monkeypatch.setattr(rp_module, name, lambda *a, _n=name, _f=real, **kw: calls.append((_n, a, kw)) or _f(*a, **kw))
    r = RatePredictions(realData=np.array([[2, 1], [2, 2]]), foreData=[2, 1, 1, 2], classOrder=(1, 2))
    assert [(n, list(kw)) for n, _, kw in calls] == [
        ("precision_score", ["labels", "average", "zero_division"]), ("recall_score", ["labels", "average", "zero_division"]),
        ("f1_score", ["labels", "average", "zero_division"]), ("accuracy_score", []), ("confusion_matrix", ["labels"])]
    for _, args, kw in calls:
        assert [a.tolist() for a in args] == [[2, 1, 2, 2], [2, 1, 1, 2]]
        assert kw.get("labels", r["classes"]) is r["classes"]
        assert kw.get("average") is None and kw.get("zero_division", 0) == 0
    assert list(r) == KEYS and all(type(r[k]) is float for k in KEYS[:4])
    assert all(type(r[k]) is np.ndarray and r[k].dtype == np.float64 and r[k].ndim == 1 for k in KEYS[4:7])
    assert r["confusionMatrix"].dtype == np.int64 and r["confusionMatrix"].shape == (2, 2)


@pytest.mark.parametrize("real, fore, order, message", [
    ([1, 2, 3], [1, 2, 3, 4], None, MISMATCH), ([], [], None, EMPTY), ([], [1], None, MISMATCH),
    (np.zeros((3, 2)), [0, 0, 0], None, MISMATCH), ([1, 2], [1], [], MISMATCH), ([], [], [], EMPTY),
])
def test_own_errors_and_their_precedence(real, fore, order, message):
    with pytest.raises(ValueError) as info:
        RatePredictions(real, fore, order)
    assert str(info.value) == message


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("args, direct", [
    (([1, 2], ["a", "b"]), lambda: metrics.precision_score([1, 2], ["a", "b"], average=None)),
    (([[1], [1, 2]], [1, 2, 3]), lambda: np.asarray([[1], [1, 2]])),
    (([0.5, 1.0], [0.5, 0.5]), lambda: metrics.precision_score([0.5, 1.0], [0.5, 0.5], average=None)),
    (([0, 1], [1, 0], []), lambda: metrics.confusion_matrix([0, 1], [1, 0], labels=[])),
])
def test_library_errors_propagate_unchanged(args, direct):
    with pytest.raises(Exception) as expected:
        direct()
    with pytest.raises(type(expected.value)) as got:
        RatePredictions(*args)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (([1],), {}), (([1], [1], None, None), {}), (([1], [1]), {"labels": None}),
    (([1], [1]), {"realData": [1]}),
])
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        RatePredictions(*args, **kwargs)


def test_metadata_and_namespace():
    assert rp_module.__doc__ == "分类效果评价函数。"
    names = [n for n in vars(rp_module) if n in NAMESPACE]
    assert names == NAMESPACE and rp_module.Dict is typing.Dict and rp_module.np is np
    assert all(getattr(rp_module, n) is getattr(metrics, n) for n in NAMESPACE[4:])
    assert RatePredictions.__annotations__ == {"realData": "Sequence[Any]", "foreData": "Sequence[Any]",
                                               "classOrder": "Sequence[Any] | None", "return": "Dict[str, Any]"}
    params = inspect.signature(RatePredictions).parameters
    assert [(p.name, p.default) for p in params.values()][2] == ("classOrder", None)
    doc = RatePredictions.__doc__
    assert doc.startswith("\n    计算多分类任务的整体指标、逐类别指标和混淆矩阵。\n")
    assert "\n    Parameters\n    ----------\n    realData : sequence\n        真实类别标签" in doc
    assert "\n    Returns\n    -------\n    metrics : dict\n        accuracy、" in doc
    assert "realData 和 foreData\n        中出现的类别自动排序。" in doc


@pytest.mark.parametrize("missing", ["numpy", "sklearn.metrics"])
def test_missing_library_fails_the_import(missing):
    code = f"import sys; sys.modules[{missing!r}] = None; import RatePredictions"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode != 0 and "ModuleNotFoundError" in done.stderr
