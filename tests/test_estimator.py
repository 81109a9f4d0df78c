"""HybridSeqClassifier: the scikit-learn estimator over the same native engine."""
import inspect
import io
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
import sklearn
import torch
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, StratifiedKFold, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer

import HybridSeqTrain as H
from conftest import DEFAULTS, child_env, estimator_checks, require

Classifier = H.HybridSeqClassifier
# Small and quick, and still a network that learns the synthetic sets below.
QUICK = dict(convChannels=(8,), rnnHidden=12, maxEpochs=20, batchSize=16, learnRate=0.01, deviceSel="cpu",
             earlyStoppingPatience=5)


def series(n=90, channels=2, length=12, classes=3, seed=0):
    """[n, channels, length] with a class-dependent frequency; labels 0..classes-1."""
    rng = np.random.default_rng(seed)
    y = np.arange(n) % classes
    t = np.linspace(0, 1, length)
    x = rng.normal(scale=0.5, size=(n, channels, length)) + np.sin(2 * np.pi * (y[:, None] + 1) * t)[:, None, :]
    return x, y


def test_parameters_follow_the_options_and_the_estimator_contract():
    names = list(inspect.signature(Classifier).parameters)
    option_names = [k for k, _ in DEFAULTS if k not in ("splitLabels", "rTrain")]
    assert names == option_names + ["dataParallel", "verbose"]
    expected = dict((k, v) for k, v in DEFAULTS if k in option_names)
    expected.update(figflag=False, showFigures=False, dataParallel=False, verbose=False, convChannels=(32, 64))
    assert Classifier().get_params() == expected
    # Stored unchanged, even values fit will refuse; set_params and clone keep them.
    channels = [8, 0]
    clf = Classifier(convChannels=channels, networkType="lstm")
    assert clf.convChannels is channels and clf.get_params()["networkType"] == "lstm"
    assert clone(clf).get_params() == clf.get_params()
    assert clf.set_params(maxEpochs=3).maxEpochs == 3


@pytest.mark.parametrize("params, message", [
    ({"networkType": "lstm"}, "networkType 必须是 RNN/LSTM/GRU/BiRNN/BiLSTM/BiGRU"),
    ({"convChannels": (8, 0)}, "convChannels 必须是由正整数组成的非空序列"),
    ({"kernelSize": 4}, "kernelSize 必须为正奇数"),
    ({"validationRatio": 0.5}, r"validationRatio 必须在\(0,0.5\)范围内"),
    ({"solverName": "bogus"}, "solverName 必须是 adam/sgdm/rmsprop"),
    ({"poolSize": 13}, "poolSize 不能大于序列长度"),
])
def test_fit_validates_with_the_pipelines_messages(params, message):
    x, y = series()
    with pytest.raises(ValueError, match=message):
        Classifier(**dict(QUICK, **params)).fit(x, y)


def test_fit_trains_the_network_the_function_trains_on_the_same_rows():
    x, y = series(n=120)
    clf = Classifier(**QUICK).fit(x, y)
    train, val = clf.train_rows_, clf.validation_rows_
    assert len(val) == round(0.15 * 120) and len(np.intersect1d(train, val)) == 0
    # The function on those rows in that order, plus a test part of its own.
    x_test, y_test = series(n=30, seed=5)
    order = np.concatenate([train, val])
    labels = [1] * len(train) + [2] * len(val) + [3] * len(y_test)
    options = dict(QUICK, convChannels=list(QUICK["convChannels"]), splitLabels=labels, figflag=False)
    fore, _, model, info = H.HybridSeqTrain(np.concatenate([x[order], x_test]), np.concatenate([y[order], y_test]),
                                         options)
    for (k, a), (_, b) in zip(clf.model_.state_dict().items(), model.state_dict().items()):
        assert torch.equal(a, b), k
    assert clf.history_ == info["history"] and clf.best_epoch_ == info["bestEpoch"]
    np.testing.assert_allclose(clf.predict_proba(x_test), info["probabilityTest"], atol=1e-6)
    np.testing.assert_array_equal(clf.predict(x_test), fore)
    # And the function's result as an estimator predicts the same on raw data.
    restored = Classifier.from_result(model, info)
    np.testing.assert_allclose(restored.predict_proba(x_test), info["probabilityTest"], atol=1e-6)
    assert restored.get_params()["maxEpochs"] == QUICK["maxEpochs"]


@pytest.mark.parametrize("layout", ["table", "samples last", "images", "text labels", "real labels"])
def test_layouts_and_labels_round_trip_through_predict(layout):
    x, y = series(n=90, channels=3)
    if layout == "table":
        x = x[:, 0, :]
    elif layout == "samples last":
        x = np.moveaxis(x, 0, -1)
    elif layout == "images":
        x = np.repeat(x[:, :, None, :], 2, axis=2)  # [n, 3, 2, 12]
    elif layout == "text labels":
        y = np.array(["cat", "ant", "bee"])[y]
    else:
        y = y * 0.5 - 1.0
    clf = Classifier(**QUICK).fit(x, y)
    assert clf.classes_.dtype == np.asarray(y).dtype
    np.testing.assert_array_equal(clf.classes_, np.unique(y))
    pred, proba = clf.predict(x), clf.predict_proba(x)
    assert pred.dtype == np.asarray(y).dtype and proba.shape == (90, 3)
    np.testing.assert_array_equal(pred, clf.classes_[proba.argmax(1)])
    np.testing.assert_allclose(proba.sum(1), 1, atol=1e-5)
    assert clf.score(x, y) > 0.8
    assert hasattr(clf, "n_features_in_") == (layout == "table")
    # Another number of samples in the same layout works; another per-sample shape does not.
    few = x[..., :7] if layout == "samples last" else x[:7]
    assert clf.predict(few).shape == (7,)
    wrong = x[:, :-1] if layout == "samples last" else x[..., :-1]
    with pytest.raises(ValueError, match="与训练时的布局不符"):
        clf.predict(wrong)


@pytest.mark.parametrize("layout, one, axis", [
    ("table", lambda x: x[0], 0),                  # [24]: one row of a table
    ("sequences", lambda x: x[0], 0),              # [2, 12]
    ("samples last", lambda x: x[..., 0], 2),      # [2, 12] of [2, 12, n]
])
def test_one_sample_without_its_sample_axis_is_refused_saying_so(layout, one, axis):
    x, y = series(n=60)
    if layout == "table":
        x = x.reshape(60, 24)
    elif layout == "samples last":
        x = np.moveaxis(x, 0, -1)
    clf = Classifier(**dict(QUICK, maxEpochs=1)).fit(x, y)
    sample = one(x)
    dims = sample.ndim + 1
    with pytest.raises(ValueError, match=rf"只有 {sample.ndim} 维，少了样本轴.*np\.expand_dims\(X, {axis}\)"
                                         rf".*Expected {dims}D array, got {sample.ndim}D array instead"):
        clf.predict(sample)
    assert clf.predict(np.expand_dims(sample, axis)).shape == (1,)


class Frame:
    """A table with named columns, as data-frame libraries give them."""

    def __init__(self, values, columns):
        self.values, self.columns = np.asarray(values), list(columns)

    def __array__(self, dtype=None, copy=None):
        return self.values if dtype is None else self.values.astype(dtype)

    def __len__(self):
        return len(self.values)


NAMES = ["a", "b", "c", "d", "e", "f"]


@pytest.mark.parametrize("columns, error", [
    (NAMES, None),
    (["b", "a", "c", "d", "e", "f"], "Feature names must be in the same order as they were in fit"),
    (["a", "b", "c", "d", "e", "g"], "Feature names unseen at fit time:\n- g\nFeature names seen at fit time, yet "
                                     "now missing:\n- f\n"),
])
def test_a_table_fitted_with_column_names_refuses_other_names(columns, error):
    x, y = series(n=60, channels=1, length=6)
    table = x[:, 0, :]
    clf = Classifier(**dict(QUICK, maxEpochs=1)).fit(Frame(table, NAMES), y)
    np.testing.assert_array_equal(clf.feature_names_in_, NAMES)
    assert clf.feature_names_in_.dtype == object
    if error is None:
        assert clf.predict(Frame(table, columns)).shape == (60,)
    else:
        with pytest.raises(ValueError, match=error):
            clf.predict_proba(Frame(table, columns))


def test_column_names_given_on_one_side_only_warn_as_scikit_learn_does():
    x, y = series(n=60, channels=1, length=6)
    table = x[:, 0, :]
    named = Classifier(**dict(QUICK, maxEpochs=1)).fit(Frame(table, NAMES), y)
    with pytest.warns(UserWarning, match="X does not have valid feature names, but HybridSeqClassifier was fitted "
                                         "with feature names"):
        named.predict(table)
    named.fit(table, y)  # refitted without names: none kept
    assert not hasattr(named, "feature_names_in_")
    with pytest.warns(UserWarning, match="X has feature names, but HybridSeqClassifier was fitted without"):
        named.predict(Frame(table, NAMES))
    with pytest.raises(TypeError, match="Feature names are only supported if all input features have string names"):
        Classifier(**dict(QUICK, maxEpochs=1)).fit(Frame(table, ["a", 1, "c", "d", "e", "f"]), y)


def test_unfitted_estimator_refuses_to_predict():
    from sklearn.exceptions import NotFittedError
    for method in ("predict", "predict_proba", "to_module"):
        with pytest.raises(NotFittedError):
            getattr(Classifier(), method)(*([] if method == "to_module" else [np.zeros((3, 4))]))


CHILD = r"""
import pickle, sys, joblib, numpy as np
data = pickle.load(open(sys.argv[1], "rb"))
for name in ("pickle", "joblib"):
    clf = pickle.loads(data["pickle"]) if name == "pickle" else joblib.load(sys.argv[2])
    proba = clf.predict_proba(data["x"])
    assert proba.tobytes() == data["proba"].tobytes(), name
    assert (clf.predict(data["x"]) == data["pred"]).all(), name
print("ok")
"""


def test_pickle_and_joblib_round_trip_bit_for_bit_in_a_fresh_process(tmp_path):
    import joblib
    x, y = series()
    clf = Classifier(**QUICK).fit(x, np.array(["a", "b", "c"])[y])
    x_new = series(n=20, seed=9)[0]
    with open(tmp_path / "data.pkl", "wb") as f:
        pickle.dump({"pickle": pickle.dumps(clf), "x": x_new, "proba": clf.predict_proba(x_new),
                     "pred": clf.predict(x_new)}, f)
    joblib.dump(clf, tmp_path / "clf.joblib")
    del clf
    out = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "data.pkl"), str(tmp_path / "clf.joblib")],
                         env=child_env(), capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_an_estimator_fitted_on_a_gpu_loads_and_predicts_without_one(tmp_path):
    x, y = series()
    clf = Classifier(**dict(QUICK, deviceSel="gpu")).fit(x, y)
    assert next(clf.model_.parameters()).is_cuda
    x_new = series(n=20, seed=9)[0]
    with open(tmp_path / "data.pkl", "wb") as f:
        pickle.dump({"pickle": pickle.dumps(clf), "x": x_new, "proba": clf.to_module().cpu()(
            torch.as_tensor(x_new, dtype=torch.float32)).detach().numpy(), "pred": clf.predict(x_new)}, f)
    import joblib
    joblib.dump(clf, tmp_path / "clf.joblib")
    check = CHILD.replace("proba.tobytes() == data[\"proba\"].tobytes()",
                          "np.allclose(proba, data[\"proba\"], atol=1e-5)")
    out = subprocess.run([sys.executable, "-c", check, str(tmp_path / "data.pkl"), str(tmp_path / "clf.joblib")],
                         env=child_env(CUDA_VISIBLE_DEVICES=""), capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]


def test_works_inside_scikit_learns_tools():
    x, y = series(n=90)
    table = x.reshape(90, -1)  # a Pipeline's transformers see tables
    # A transformer in front: back to [n, 2, 12] sequences.
    pipe = make_pipeline(FunctionTransformer(lambda t: t.reshape(len(t), 2, 12)), Classifier(**QUICK))
    assert pipe.fit(table, y).score(table, y) > 0.8
    scores = cross_val_score(Classifier(**QUICK), x, y, cv=StratifiedKFold(3, shuffle=True, random_state=0))
    assert scores.shape == (3,) and scores.mean() > 0.7
    fitted = Classifier(**QUICK).fit(x, y)
    copy = clone(fitted)
    assert not hasattr(copy, "model_") and copy.get_params() == fitted.get_params()
    grid = {"rnnHidden": [4, 12], "networkType": ["GRU", "LSTM"]}
    results = []
    for jobs in (1, 2):
        search = GridSearchCV(Classifier(**QUICK), grid, cv=3, n_jobs=jobs).fit(x, y)
        results.append((search.best_params_, search.cv_results_["mean_test_score"]))
        assert search.best_estimator_.predict(x).shape == (90,)
    # The same fits in worker processes: the same scores.
    assert results[0][0] == results[1][0]
    np.testing.assert_allclose(results[0][1], results[1][1])


def test_the_deployable_module_maps_raw_samples_to_predict_probas_values():
    x, y = series(n=90, channels=3)
    x = np.moveaxis(x, 1, 2)  # samples [12 steps, 3 channels]: sequenceAxis 0
    clf = Classifier(**dict(QUICK, sequenceAxis=0)).fit(x, y)
    module = clf.to_module()
    raw = torch.as_tensor(x[:10], dtype=torch.float32)
    want = clf.predict_proba(x[:10])
    with torch.no_grad():
        np.testing.assert_allclose(module(raw).numpy(), want, atol=1e-5)
        traced = torch.jit.trace(module, raw[:4])
        np.testing.assert_allclose(traced(raw).numpy(), want, atol=1e-5)  # another batch size
    with pytest.raises(ValueError, match="单条样本尺寸"):
        module(raw[:, :, :2])
    # The deployed module is a copy: training it further leaves the estimator as it was.
    assert module.network is not clf.model_


# ---- Traced and exported deployable modules ------------------------------

# Debian's torch comes without onnxruntime; the current stack installs it, so
# there a missing onnxruntime fails the tests that need it.
SYSTEM_TORCH = os.path.realpath(torch.__file__).startswith("/usr/lib/python3/")
TORCH2 = int(torch.__version__.split(".")[0]) >= 2
ONNX_HAS_DYNAMO_ARG = "dynamo" in inspect.signature(torch.onnx.export).parameters


def onnxruntime():
    return require("onnxruntime")


def request(batch, steps, seed, ragged=True):
    """`batch` raw samples [L_i, 3] (the longest `steps` long; all of them when
    not ragged), zero-padded to [batch, steps, 3], with their lengths."""
    rng = np.random.default_rng(seed)
    lengths = rng.integers(4, steps + 1, size=batch) if ragged else np.full(batch, steps)
    lengths[0] = steps
    samples = [rng.normal(size=(n, 3)) for n in lengths]
    x = np.zeros((batch, steps, 3), np.float32)
    for i, s in enumerate(samples):
        x[i, :len(s)] = s
    return samples, torch.from_numpy(x), torch.as_tensor(lengths)


@pytest.fixture(scope="module")
def deployable():
    """Estimators fitted on samples [steps, 3] (sequence axis first, so the
    module moves axes): of unequal lengths ("lengths") and all 30 long ("fixed")."""
    rng = np.random.default_rng(4)
    y = np.arange(72) % 3
    ragged = [rng.normal(size=(n, 3)) + 0.6 * y[i] for i, n in enumerate(rng.integers(8, 40, size=72))]
    fixed = np.moveaxis(series(n=72, channels=3, length=30)[0], 1, 2)
    options = dict(QUICK, maxEpochs=3, sequenceAxis=0, networkType="BiLSTM")
    return {"lengths": Classifier(**options).fit(ragged, y), "fixed": Classifier(**options).fit(fixed, y)}


def with_lengths(x, lengths):
    return (x,) if lengths is None else (x, lengths)


def jit_trace(module, x, lengths, tmp_path):
    traced = torch.jit.trace(module, with_lengths(x, lengths), check_trace=False)
    return lambda x, lengths: traced(*with_lengths(x, lengths)).numpy()


def onnx_session(**kwargs):
    def export(module, x, lengths, tmp_path):
        ort = onnxruntime()
        names = ["x"] if lengths is None else ["x", "lengths"]
        axes = {"x": {0: "batch"}, "proba": {0: "batch"}}
        if lengths is not None:
            axes.update(x={0: "batch", 1: "steps"}, lengths={0: "batch"})
        path = str(tmp_path / "module.onnx")
        torch.onnx.export(module, with_lengths(x, lengths), path, input_names=names, output_names=["proba"],
                          dynamic_axes=axes, **kwargs)
        session = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
        return lambda x, lengths: session.run(None, dict(zip(names, (t.numpy() for t in with_lengths(x, lengths)))))[0]
    return export


def exported_program(module, x, lengths, tmp_path):
    batch, steps = torch.export.Dim("batch"), torch.export.Dim("steps", min=4)
    shapes = ({0: batch},) if lengths is None else ({0: batch, 1: steps}, {0: batch})
    program = torch.export.export(module, with_lengths(x, lengths), dynamic_shapes=shapes)
    return lambda x, lengths: program.module()(*with_lengths(x, lengths)).numpy()


needs_torch2 = pytest.mark.skipif(not TORCH2, reason="torch.export needs torch 2")
DEPLOYMENTS = [
    pytest.param(jit_trace, id="jit-trace"),
    pytest.param(onnx_session(**({"dynamo": False} if ONNX_HAS_DYNAMO_ARG else {})), id="onnx-traced"),
    # torch 2.9+ exports through torch.export by default (the dynamo exporter).
    pytest.param(onnx_session(), id="onnx-default", marks=pytest.mark.skipif(
        not ONNX_HAS_DYNAMO_ARG, reason="this torch has one ONNX exporter")),
    pytest.param(exported_program, id="torch-export", marks=needs_torch2),
]


@pytest.mark.parametrize("form", ["lengths", "fixed"])
@pytest.mark.parametrize("deploy", DEPLOYMENTS)
def test_a_module_traced_or_exported_at_one_size_gives_predict_probas_values_at_others(deployable, deploy, form,
                                                                                       tmp_path):
    clf = deployable[form]
    _, x, lengths = request(4, 30, seed=0, ragged=form == "lengths")
    with torch.no_grad():
        run = deploy(clf.to_module(), x, lengths if form == "lengths" else None, tmp_path)
        for batch in (1, 7):
            for steps in (13, 30, 60) if form == "lengths" else (30,):
                samples, x, lengths = request(batch, steps, seed=batch * steps, ragged=form == "lengths")
                want = clf.predict_proba(samples if form == "lengths" else np.stack(samples))
                got = run(x, lengths if form == "lengths" else None)
                np.testing.assert_allclose(got, want, atol=1e-5, err_msg=f"batch {batch}, steps {steps}")


# scikit-learn's own estimator checks, on a quick configuration. Checks it
# declares expected to fail are listed with their reason by the estimator.
CHECKED = Classifier(**dict(QUICK, maxEpochs=8, validationRatio=0.2))


@estimator_checks(CHECKED)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)
