"""Result figures: files, names, contents, failure handling and Chinese fonts.

Every test points the module's __file__ into tmp_path, so the "figure" folder
beside it is a throw-away one; one subprocess test uses real copies of the
built modules instead.
"""
import json
import os
import shutil
import subprocess
import sys
import textwrap
import warnings

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib import font_manager
from PIL import Image

import HybridSeqTrain as hst_module
import RatePredictions as rp_module
from HybridSeqTrain import HybridSeqTrain
from conftest import FIGURE_SUFFIXES, child_env

FAST = {"maxEpochs": 1, "convChannels": [4], "rnnHidden": 4, "batchSize": 32, "showFigures": False}
FONTS = {f.name for f in font_manager.fontManager.ttflist}
MODULE_FILES = [hst_module.__file__, rp_module.__file__]


def records(n=45, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    y = np.arange(n) % classes
    return rng.normal(size=(n, 6)) + y[:, None], y


def run(**options):
    X, y = records(options.pop("n", 45))
    return HybridSeqTrain(X, y, {**FAST, **options})


@pytest.fixture
def home(tmp_path, monkeypatch):
    """The module's file as seen by the call; figures go to home / "figure"."""
    lib = tmp_path / "lib"
    lib.mkdir()
    monkeypatch.setattr(hst_module, "__file__", str(lib / "HybridSeqTrain.so"))
    monkeypatch.chdir(tmp_path)
    plt.close("all")
    yield lib
    plt.close("all")


def written(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


@pytest.mark.parametrize("case_name, prefix", [("  demo\t", "demo"), ("", "CNN-RNN"), ("   ", "CNN-RNN"), (7, "7")])
def test_five_files_named_by_prefix_and_figures_left_open(home, case_name, prefix):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # Agg cannot show windows
        run(caseName=case_name, showFigures=True)
    assert written(home.parent) == sorted(["lib", "lib/figure"]
                                          + [f"lib/figure/{prefix}{s}" for s in FIGURE_SUFFIXES])
    for suffix in FIGURE_SUFFIXES:
        dpi = Image.open(home / "figure" / (prefix + suffix)).info["dpi"]
        assert dpi == pytest.approx((300, 300), abs=0.01)
    figs = [plt.figure(n) for n in plt.get_fignums()]
    assert len(figs) == 5
    assert figs[0]._suptitle.get_text() == f"{prefix} CNN-RNN 收敛过程"
    assert [f.axes[0].get_title() for f in figs[1:]] == [
        f"{prefix} 测试集混淆矩阵", f"{prefix} 各类别性能指标", f"{prefix} 测试集真实类别与预测类别", f"{prefix} 各数据集指标对比"]


def test_figure_contents_follow_the_results(home):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        _, _, _, info = run(n=2600, maxEpochs=2, batchSize=512, showFigures=True, classNames=["a", "b", "c"])
    fig1, fig2, fig3, fig4, fig5 = (plt.figure(n) for n in plt.get_fignums())
    assert fig1.axes[0].lines[2].get_xdata()[0] == info["bestEpoch"]
    np.testing.assert_array_equal(fig1.axes[0].lines[0].get_ydata(), info["history"]["trainLoss"])
    conf = info["metricsTest"]["confusionMatrix"]
    cells = fig2.axes[0].texts
    assert [int(t.get_text()) for t in cells] == conf.ravel().tolist()
    assert [t.get_color() for t in cells] == ["white" if v > conf.max() / 2.0 else "black" for v in conf.ravel()]
    assert [t.get_text() for t in fig3.axes[0].get_xticklabels()] == ["a", "b", "c"]
    true_line, points = fig4.axes[0].lines[0], fig4.axes[0].collections[0]
    assert len(info["testIdx"]) > 500 and len(points.get_offsets()) == 500
    y_test = info["YTest"]
    np.testing.assert_array_equal(true_line.get_ydata(), np.sort(y_test)[:500])
    heights = [round(p.get_height(), 12) for p in fig5.axes[0].patches]
    expected = [info[k][m] for m in ("accuracy", "macroF1") for k in ("metricsTrain", "metricsValidation", "metricsTest")]
    assert heights == [round(v, 12) for v in expected]
    assert [t.get_text() for t in fig5.axes[0].texts] == [format(v, ".3f") for v in expected]


def test_figflag_false_writes_and_opens_nothing(home):
    class Unreadable:
        def __bool__(self):
            raise AssertionError("showFigures was read")

    kept = plt.figure()
    run(figflag=False, showFigures=Unreadable())
    assert written(home.parent) == ["lib"] and plt.get_fignums() == [kept.number]


@pytest.mark.parametrize("show", [False, True])
@pytest.mark.parametrize("blocker, failing, saved", [("figure", "figure", 0), ("figure/x_图3-各类别指标.png", None, 2)])
def test_unwritable_figure_returns_results(home, capsys, show, blocker, failing, saved):
    if failing is None:  # a directory where figure 3 goes: savefig fails
        (home / blocker).mkdir(parents=True)
        failing, reason = blocker, "Is a directory"
    else:  # a plain file where the folder goes: mkdir fails
        (home / blocker).write_text("")
        reason = "File exists"
    callers = plt.figure()
    results = run(caseName="x", showFigures=show)
    assert len(results) == 4 and "accuracy" in results[3]["metricsTest"]
    lines = [ln for ln in capsys.readouterr().out.splitlines() if "结果图保存失败" in ln]
    assert len(lines) == 1 and str(home / failing) in lines[0] and reason in lines[0]
    folder = home / "figure"
    assert (len([p for p in folder.iterdir() if p.is_file()]) if folder.is_dir() else 0) == saved
    assert plt.get_fignums() == ([callers.number] if show else [])


def test_real_module_location_in_subprocess(tmp_path):
    lib = tmp_path / "lib"
    lib.mkdir()
    for f in MODULE_FILES:
        shutil.copy(f, lib)
    (lib / "figure").write_text("not a folder")
    script = textwrap.dedent("""
        import json, os, numpy as np
        from HybridSeqTrain import HybridSeqTrain
        X = np.random.default_rng(0).normal(size=(30, 6)); y = np.arange(30) % 3
        opts = dict(maxEpochs=1, convChannels=[4], rnnHidden=4, showFigures=False, caseName="sub")
        first = HybridSeqTrain(X, y, opts)
        os.remove(os.path.join(os.environ["LIB"], "figure"))
        second = HybridSeqTrain(X, y, opts)
        print(json.dumps([len(first), len(second)]))
    """)
    proc = subprocess.run([sys.executable, "-c", script], cwd=tmp_path,
                          env=child_env(PYTHONPATH=str(lib), LIB=str(lib)),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert json.loads(out[-1]) == [4, 4]
    assert sum("结果图保存失败" in ln and str(lib / "figure") in ln for ln in out) == 1
    assert sorted(p.name for p in (lib / "figure").iterdir()) == sorted("sub" + s for s in FIGURE_SUFFIXES)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["lib"]


@pytest.mark.skipif("WenQuanYi Micro Hei" not in FONTS, reason="CJK font fonts-wqy-microhei not installed")
def test_chinese_text_needs_no_missing_glyphs_and_settings_come_back(home):
    before = dict(plt.rcParams)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if not FONTS & {"SimHei", "Microsoft YaHei"}:  # the warning is detectable at all
            probe = plt.figure()
            probe.text(0.5, 0.5, "训练")
            probe.canvas.draw()
            assert any("missing from" in str(w.message) for w in caught)
            plt.close(probe)
            caught.clear()
        run(caseName="glyphs")
    assert len(list((home / "figure").glob("glyphs_*.png"))) == 5
    assert [str(w.message) for w in caught if "missing from" in str(w.message)] == []
    assert dict(plt.rcParams) == before
    assert plt.rcParams["font.sans-serif"] == ["SimHei", "Microsoft YaHei", "DejaVu Sans"]
    assert plt.get_fignums() == []
