"""Shared fixtures of the pipeline tests: small data and fast options."""
import os

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest
import torch

# The 29 option keys in the order their defaults are inserted, with the defaults.
DEFAULTS = [
    ("sampleDimension", "auto"), ("sequenceAxis", -1), ("splitLabels", None), ("rTrain", 0.8),
    ("validationRatio", 0.15), ("shuffle", True), ("seed", 42), ("networkType", "LSTM"),
    ("convChannels", [32, 64]), ("kernelSize", 5), ("poolSize", 2), ("rnnHidden", 64), ("rnnLayers", 1),
    ("dropout", 0.2), ("solverName", "adam"), ("maxEpochs", 40), ("learnRate", 0.001), ("batchSize", 64),
    ("earlyStoppingPatience", 8), ("learnRateSchedule", "none"), ("learnRateDropPeriod", 15),
    ("learnRateDropFactor", 0.5), ("classWeight", "auto"), ("deviceSel", "auto"), ("mapflag", True),
    ("figflag", True), ("showFigures", True), ("caseName", "CNN-RNN"), ("classNames", None),
]


# The five figure files of a run are "<caseName>" followed by these.
FIGURE_SUFFIXES = ["_图1-收敛过程.png", "_图2-混淆矩阵.png", "_图3-各类别指标.png",
                   "_图4-分类结果对比.png", "_图5-数据集指标.png"]


def child_env(paths=None, **extra):
    """Environment for a child interpreter: no figure windows, and `paths`
    (default: the folders of the built modules under test) ahead of
    PYTHONPATH; `extra` adds or replaces variables (PYTHONPATH="" isolates the
    child from every module folder)."""
    if paths is None:
        import HybridSeqTrain
        import RatePredictions
        paths = [os.path.dirname(os.path.abspath(m.__file__)) for m in (HybridSeqTrain, RatePredictions)]
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join([str(p) for p in paths] + [os.environ.get("PYTHONPATH", "")]))
    env.update(extra)
    return env


# What each stack is meant to have (make test sets HST_STACK): there a missing
# piece fails the test that needs it instead of skipping it unseen.
STACK = os.environ.get("HST_STACK", "")
STACK_HAS = {"debian": {"gloo"}, "current": {"gloo", "onnx", "onnxruntime", "skorch"}}


def stack_expects(what):
    return what in STACK_HAS.get(STACK, set())


def require(what):
    """The module `what` ("gloo": torch.distributed's gloo backend, returned as
    torch.distributed), skipping the test where this stack is not meant to
    have it and failing it where it is."""
    try:
        if what == "gloo":
            import torch.distributed as dist
            if not (dist.is_available() and dist.is_gloo_available()):
                raise ImportError("torch.distributed with gloo is not available")
            return dist
        import importlib
        return importlib.import_module(what)
    except ImportError as exc:
        if stack_expects(what):
            pytest.fail("the %s stack should have %s: %s" % (STACK, what, exc))
        pytest.skip("%s is not available: %s" % (what, exc))


def estimator_checks(estimator):
    """scikit-learn's own checks of `estimator` as a pytest parametrisation;
    the checks it declares expected to fail (each with its reason) count as such
    where scikit-learn takes that list (1.6+)."""
    import inspect
    from sklearn.utils.estimator_checks import parametrize_with_checks
    if "expected_failed_checks" in inspect.signature(parametrize_with_checks).parameters:
        return parametrize_with_checks([estimator], expected_failed_checks=lambda e: e._expected_failed_checks)
    return parametrize_with_checks([estimator])


def fast_options(**extra):
    """Options for a quick CPU run without figures: a tiny network, few epochs."""
    opts = {"figflag": False, "showFigures": False, "maxEpochs": 1, "convChannels": [4], "rnnHidden": 4,
            "batchSize": 16, "deviceSel": "cpu"}
    opts.update(extra)
    return opts


def make_data(n=40, features=6, classes=2, seed=0, labels=None):
    """X [n, features] with a class-dependent offset; Y cycles through the classes."""
    rng = np.random.default_rng(seed)
    y = np.arange(n) % classes
    x = rng.normal(size=(n, features)) + y[:, None]
    if labels is not None:
        y = np.asarray(labels)[y]
    return x, y


@pytest.fixture
def fast():
    return fast_options()


@pytest.fixture
def data():
    return make_data()


def plain_forward(module, x):
    """The network's forward written in Python over the module's torch.nn submodules: the
    reference the native forward is held to."""
    out = module.rnn(module.cnn(x).transpose(1, 2))[0]
    if module.bidirectional:
        h = out.shape[-1] // 2
        summary = torch.cat([out[:, -1, :h], out[:, 0, h:]], dim=1)
    else:
        summary = out[:, -1, :]
    return module.classifier(module.dropout(summary))
