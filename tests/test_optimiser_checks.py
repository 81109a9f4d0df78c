"""Settings that torch.optim itself refuses refuse the run where the optimiser
is built, with torch's own exception, before the header is printed; settings
it accepts train as usual. The expected outcome is asked of the installed
torch, so the tests follow its version."""
import math
import os
import warnings

import pytest
import torch

import HybridSeqTrain as H
from conftest import fast_options, make_data

SOLVERS = {
    "adam": lambda params, lr: torch.optim.Adam(params, lr=lr),
    "sgdm": lambda params, lr: torch.optim.SGD(params, lr=lr, momentum=0.9),
    "rmsprop": lambda params, lr: torch.optim.RMSprop(params, lr=lr),
}
# Learning rates that pass our own check (> 0, or NaN): torch decides the rest.
LEARN_RATES = [math.nan, "nan", math.inf, "1e300", 0.01]


def _torch_refusal(solver, learn_rate, schedule):
    """The exception torch raises for these settings, or None when it accepts them."""
    params = [torch.nn.Parameter(torch.zeros(3))]
    try:
        optimizer = SOLVERS[solver](params, float(learn_rate))
        if schedule == "piecewise":
            torch.optim.lr_scheduler.StepLR(optimizer, step_size=1, gamma=0.5)
    except Exception as exc:  # whatever torch raises is what the run must raise
        return exc
    return None


def _options(solver, learn_rate, schedule, **extra):
    return fast_options(solverName=solver, learnRate=learn_rate, learnRateSchedule=schedule, learnRateDropPeriod=1,
                        learnRateDropFactor=0.5, **extra)


@pytest.mark.parametrize("schedule", ["none", "piecewise"])
@pytest.mark.parametrize("learn_rate", LEARN_RATES, ids=repr)
@pytest.mark.parametrize("solver", SOLVERS)
def test_the_run_refuses_exactly_what_torch_refuses(solver, learn_rate, schedule, capsys):
    X, y = make_data()
    refusal = _torch_refusal(solver, learn_rate, schedule)
    if refusal is not None:
        with pytest.raises(type(refusal)) as got:
            H.HybridSeqTrain(X, y, _options(solver, learn_rate, schedule))
        assert str(got.value) == str(refusal)
        assert capsys.readouterr().out == ""  # refused before the header
    else:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            results = H.HybridSeqTrain(X, y, _options(solver, learn_rate, schedule))
        assert len(results[3]["history"]["trainLoss"]) == 1
        assert "CNN-RNN 通用分类开始训练" in capsys.readouterr().out
        # building torch's optimiser and schedule on the side leaves no warnings of theirs
        optim_dir = os.path.dirname(torch.optim.__file__)
        assert [str(w.message) for w in caught if w.filename.startswith(optim_dir)] == []


def test_the_installed_torch_refuses_some_learning_rate():
    # Keeps the table above honest: its refusal branch runs on this torch.
    assert any(_torch_refusal(s, lr, "none") is not None for s in SOLVERS for lr in LEARN_RATES)


@pytest.mark.parametrize("extra, expected", [
    # checks that come before the optimiser win over torch's refusal
    ({"deviceSel": "tpu"}, ValueError("deviceSel 必须是 auto/cpu/gpu")),
    ({"classWeight": [1.0]}, ValueError("自定义 classWeight 必须为长度等于类别数的正数序列")),
    ({"solverName": "lbfgs"}, ValueError("solverName 必须是 adam/sgdm/rmsprop")),
    # the schedule is checked after the optimiser was built
    ({"learnRateSchedule": "cosine"}, "torch"),
])
def test_refusal_comes_between_the_solver_and_the_schedule_checks(extra, expected, capsys):
    X, y = make_data()
    if expected == "torch":
        expected = _torch_refusal("adam", math.nan, "none")
        if expected is None:
            pytest.skip("this torch accepts a NaN learning rate for Adam")
    opts = _options("adam", math.nan, "none")
    opts.update(extra)
    with pytest.raises(type(expected)) as got:
        H.HybridSeqTrain(X, y, opts)
    assert str(got.value) == str(expected)
    assert capsys.readouterr().out == ""


def _checks_the_list_first(original):
    def init(self, params, *args, **kwargs):
        params = list(params)
        if not params:
            raise ValueError("optimizer got an empty parameter list")
        original(self, params, *args, **kwargs)
    return init


def _rewords_the_empty_list(original):
    def init(self, params, *args, **kwargs):
        try:
            original(self, params, *args, **kwargs)
        except ValueError as exc:
            raise ValueError(str(exc).replace("empty", "an empty (reworded)")) from None
    return init


@pytest.mark.parametrize("change", [_checks_the_list_first, _rewords_the_empty_list])
@pytest.mark.parametrize("solver", ["adam", "rmsprop"])  # the two that refuse a NaN rate
def test_refusals_do_not_depend_on_the_order_or_wording_of_torchs_checks(solver, change, monkeypatch, capsys):
    # A torch whose optimiser checked its parameter list before the settings,
    # or worded that complaint otherwise: invalid settings are still refused.
    refusal = _torch_refusal(solver, math.nan, "none")
    assert refusal is not None
    cls = {"adam": torch.optim.Adam, "rmsprop": torch.optim.RMSprop}[solver]
    monkeypatch.setattr(cls, "__init__", change(cls.__init__))
    X, y = make_data()
    with pytest.raises(type(refusal)) as got:
        H.HybridSeqTrain(X, y, _options(solver, math.nan, "none"))
    assert str(got.value) == str(refusal)
    assert capsys.readouterr().out == ""
