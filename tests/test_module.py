"""Module setup: namespace, plotting defaults, the absolute import of the
evaluation function, docstrings and recorded annotation texts."""
import collections
import copy
import inspect
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import typing

import matplotlib.pyplot as plt
import numpy as np
import pytest
import sklearn.model_selection
import torch
import torch.utils.data

import HybridSeqTrain as hst
import RatePredictions as rp_module
from conftest import child_env

NAMESPACE = {
    "copy": copy, "random": random, "Path": pathlib.Path, "Any": typing.Any, "Dict": typing.Dict,
    "Optional": typing.Optional, "Sequence": typing.Sequence, "Tuple": typing.Tuple, "plt": plt, "np": np,
    "torch": torch, "nn": torch.nn, "train_test_split": sklearn.model_selection.train_test_split,
    "DataLoader": torch.utils.data.DataLoader, "TensorDataset": torch.utils.data.TensorDataset,
    "RatePredictions": rp_module.RatePredictions,
}


@pytest.mark.parametrize("name", NAMESPACE)
def test_namespace_binds_the_libraries(name):
    assert getattr(hst, name) is NAMESPACE[name]


def test_module_docstring_and_class():
    assert hst.__doc__ == "CNN-RNN 通用分类核心函数。"
    cls = hst._CNNRNNClassifier
    assert cls.__bases__ == (torch.nn.Module,)
    assert cls.__doc__ == "一维卷积提取局部模式，循环层汇总完整序列，最后输出类别得分。"
    assert {"__init__", "forward"} <= set(vars(cls))


# (function, parameter names with annotation texts, result annotation)
ANNOTATIONS = [
    (lambda: hst._CNNRNNClassifier.__init__,
     [("self", None), ("input_features", "int"), ("num_classes", "int"), ("conv_channels", "Sequence[int]"),
      ("kernel_size", "int"), ("pool_size", "int"), ("network_type", "str"), ("rnn_hidden", "int"),
      ("rnn_layers", "int"), ("dropout", "float")], "None"),
    (lambda: hst._CNNRNNClassifier.forward,
     [("self", None), ("x", "torch.Tensor"), ("lengths", "Optional[torch.Tensor]")], "torch.Tensor"),
    (lambda: hst._set_random_seed, [("seed", "int")], "None"),
    (lambda: hst._adapt_to_sequence,
     [("X", "np.ndarray"), ("y_count", "int"), ("sequence_axis", "int"), ("sample_dimension", "str | int")],
     "Tuple[np.ndarray, Dict[str, Any]]"),
    (lambda: hst._split_indices, [("y_encoded", "np.ndarray"), ("options", "Dict[str, Any]")],
     "Tuple[np.ndarray, np.ndarray, np.ndarray]"),
    (lambda: hst._metrics_with_display_names,
     [("y_true", "np.ndarray"), ("y_pred", "np.ndarray"), ("encoded_classes", "np.ndarray")], "Dict[str, Any]"),
    (lambda: hst.HybridSeqTrain, [("X", "np.ndarray"), ("Y", "Sequence[Any]"), ("options", "Optional[Dict[str, Any]]")],
     "Tuple[np.ndarray, np.ndarray, nn.Module, Dict[str, Any]]"),
]


@pytest.mark.parametrize("get, params, result", ANNOTATIONS,
                         ids=["__init__", "forward", "_set_random_seed", "_adapt_to_sequence", "_split_indices",
                              "_metrics_with_display_names", "HybridSeqTrain"])
def test_recorded_annotation_texts(get, params, result):
    func = get()
    expected = {name: text for name, text in params if text is not None}
    expected["return"] = result
    assert func.__annotations__ == expected
    signature = inspect.signature(func)
    assert [p.name for p in signature.parameters.values()] == [name for name, _ in params]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    defaults = {p.name: p.default for p in signature.parameters.values() if p.default is not inspect.Parameter.empty}
    defaulted = {hst.HybridSeqTrain: {"options": None}, hst._CNNRNNClassifier.forward: {"lengths": None}}
    assert defaults == defaulted.get(func, {})


def test_entry_function_docstring():
    doc = hst.HybridSeqTrain.__doc__
    assert doc.startswith("使用 CNN-RNN 对一维数组、多通道序列、灰度图或彩色图进行分类。")
    sections = ["Parameters", "输入适配：", "数据划分：", "网络结构：", "训练过程：", "数据处理与绘图：", "Returns", "Example"]
    positions = [doc.index(s) for s in sections]
    assert positions == sorted(positions)
    for example in ("[150, 4]", "[2700, 9, 128]", "[5000, 28, 28]"):
        assert example in doc
    groups = re.split("输入适配：|数据划分：|网络结构：|训练过程：|数据处理与绘图：|Returns", doc)[1:6]
    keys = [re.findall(r"^\s+(\w+) :", g, flags=re.M) for g in groups]
    assert keys == [
        ["sampleDimension", "sequenceAxis"], ["splitLabels", "rTrain", "validationRatio", "shuffle", "seed"],
        ["networkType", "convChannels", "kernelSize", "poolSize", "rnnHidden", "rnnLayers", "dropout"],
        ["solverName", "maxEpochs", "learnRate", "batchSize", "earlyStoppingPatience", "learnRateSchedule",
         "learnRateDropPeriod", "learnRateDropFactor", "classWeight", "deviceSel"],
        ["mapflag", "figflag", "showFigures", "caseName", "classNames"]]
    assert re.search(r"maxEpochs : int，默认 40", doc)
    for line in ("测试集预测标签，使用与Y一致的原始类别值。", "训练集预测标签。", "已恢复到最佳验证损失状态的 CNN-RNN 模型。",
                 "包含训练/验证/测试索引和真实标签、验证集预测、类别得分、",
                 "Accuracy/Precision/Recall/F1、混淆矩阵、训练历史、归一化参数、",
                 "输入尺寸适配记录、最佳轮次、训练设备和完整options。",
                 "pred_test, pred_train, model, info = HybridSeqTrain(X, Y, options)"):
        assert line in doc
    assert hst._metrics_with_display_names.__doc__ == "对编码标签计算分类指标。"


def test_rc_params_after_import():
    assert plt.rcParams["font.sans-serif"] == ["SimHei", "Microsoft YaHei", "DejaVu Sans"]
    assert plt.rcParams["axes.unicode_minus"] is False


def test_metrics_go_through_rate_predictions():
    y_true, y_pred, order = np.array([0, 1, 2, 1]), np.array([0, 2, 2, 1]), np.arange(4)
    got = hst._metrics_with_display_names(y_true, y_pred, order)
    want = rp_module.RatePredictions(y_true, y_pred, order)
    assert list(got) == list(want)
    for key in want:
        np.testing.assert_array_equal(got[key], want[key])
    with pytest.raises(TypeError):
        hst._metrics_with_display_names(y_true, y_pred)


@pytest.mark.parametrize("call", [
    lambda x, y: hst.HybridSeqTrain(x, y),
    lambda x, y: hst.HybridSeqTrain(x, y, None),
    lambda x, y: hst.HybridSeqTrain(X=x, Y=y, options=None),
    lambda x, y: hst.HybridSeqTrain(options={}, Y=y, X=x),
])
def test_argument_passing(call):
    # A one-dimensional X fails in the adaptation, after the options were completed and checked.
    with pytest.raises(ValueError, match="^X 至少需要包含样本维和一个数据维$"):
        call(np.zeros(5), [0, 1, 0, 1, 1])


@pytest.mark.parametrize("value, got", [
    (collections.OrderedDict(maxEpochs=1), "collections.OrderedDict"), ([], "list"), (3, "int"),
    (np.int64(3), "numpy.int64"), (collections.defaultdict(int), "collections.defaultdict"),
])
def test_argument_type_message_uses_the_full_type_name(value, got):
    message = f"Argument 'options' has incorrect type (expected dict, got {got})"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        hst.HybridSeqTrain(np.zeros((5, 4)), [0, 1, 0, 1, 1], value)


IMPORT_CHECK = r"""
import json, sys
import matplotlib
matplotlib.rcParams["font.sans-serif"] = ["Bogus"]
matplotlib.rcParams["axes.unicode_minus"] = True
lonely, home = sys.argv[1], sys.argv[2]
sys.path[:] = [lonely] + [p for p in sys.path if p not in ("", ".", home)]
result = {}
try:
    import HybridSeqTrain
    result["first"] = "imported"
except ImportError as exc:
    chain, e = [], exc
    while e is not None:
        chain.append([type(e).__name__, getattr(e, "name", None)])
        e = e.__cause__ or e.__context__
    result["first"] = chain
result["rc_after_failure"] = [matplotlib.rcParams["font.sans-serif"], matplotlib.rcParams["axes.unicode_minus"]]
sys.path.insert(0, home)
import HybridSeqTrain
result["second"] = HybridSeqTrain.RatePredictions.__module__
result["rc"] = [matplotlib.rcParams["font.sans-serif"], matplotlib.rcParams["axes.unicode_minus"]]
print(json.dumps(result))
"""


@pytest.fixture(scope="module")
def import_check(tmp_path_factory):
    # A directory holding only the pipeline module: the evaluation module is
    # missing from the search path, so the import itself fails.
    lonely = tmp_path_factory.mktemp("lonely")
    home = os.path.dirname(hst.__file__)
    shutil.copy(hst.__file__, lonely)
    proc = subprocess.run([sys.executable, "-c", IMPORT_CHECK, str(lonely), home], capture_output=True, text=True,
                          env=child_env(PYTHONPATH=""), cwd=lonely, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_import_fails_without_rate_predictions_and_sets_rc_params(import_check):
    chain = import_check["first"]
    assert chain != "imported" and ["ModuleNotFoundError", "RatePredictions"] in chain
    assert import_check["rc_after_failure"] == [["Bogus"], True]  # the import stopped before the defaults
    assert import_check["second"] == "RatePredictions"
    assert import_check["rc"] == [["SimHei", "Microsoft YaHei", "DejaVu Sans"], False]


def test_import_error_is_the_missing_modules_own(import_check):
    assert import_check["first"][0] == ["ModuleNotFoundError", "RatePredictions"]


PACKAGE_CHECK = r"""
import json, sys
import numpy as np
pkg_parent, rate_home = sys.argv[1], sys.argv[2]
# Only the package and the evaluation module are on the search path: no
# top-level HybridSeqTrain is importable by name.
sys.path[:] = [pkg_parent, rate_home] + [p for p in sys.path[1:] if "build" not in p]
import importlib
mod = importlib.import_module("vendored.HybridSeqTrain")
try:
    importlib.import_module("HybridSeqTrain")
    top_level = True
except ImportError:
    top_level = False
y = np.arange(30) % 2
X = np.random.default_rng(0).normal(size=(30, 6)) + y[:, None]
opts = {"figflag": False, "maxEpochs": 1, "convChannels": [4], "rnnHidden": 4, "deviceSel": "cpu"}
model = mod.HybridSeqTrain(X, y, opts)[2]
print(json.dumps({"top_level": top_level, "model_class": type(model).__module__ + "." + type(model).__name__,
                  "same_class": type(model) is mod._CNNRNNClassifier}))
"""


def test_works_when_loaded_under_a_package_path(tmp_path):
    # The module looks up its own class and names on itself, never by
    # importing "HybridSeqTrain" again (which may be absent or another copy).
    import RatePredictions as rp
    pkg = tmp_path / "vendored"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    shutil.copy(hst.__file__, pkg / os.path.basename(hst.__file__))
    rate_home = tmp_path / "rate"
    rate_home.mkdir()
    shutil.copy(rp.__file__, rate_home)
    proc = subprocess.run([sys.executable, "-c", PACKAGE_CHECK, str(tmp_path), str(rate_home)], capture_output=True,
                          text=True, env=child_env(PYTHONPATH=""), cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result == {"top_level": False, "model_class": "vendored.HybridSeqTrain._CNNRNNClassifier",
                      "same_class": True}
