"""The native training engine against a plain PyTorch loop over the same
torch.nn modules, plus interruption and console behaviour."""
import _thread
import copy
import threading
import time

import numpy as np
import pytest
import torch
from torch import nn

import HybridSeqTrain as H
from conftest import plain_forward as _reference_forward


def _data(n=90, channels=3, length=12, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    y = np.arange(n) % classes
    t = np.linspace(0, 1, length)
    X = rng.normal(scale=0.5, size=(n, channels, length))
    X += np.sin(2 * np.pi * (y[:, None] + 1) * t)[:, None, :] * np.arange(1, channels + 1)[None, :, None]
    return X.astype(np.float64), y


def _reference_run(X, y, opts, info, forward=_reference_forward):
    """Plain PyTorch training with the same seed, split, statistics and order."""
    seed = opts["seed"]
    H._set_random_seed(seed)
    seqs, _ = H._adapt_to_sequence(np.asarray(X), len(y), -1, "auto")
    classes, y_enc = np.unique(y, return_inverse=True)
    full = dict(info["options"])
    tr, va, te = H._split_indices(y_enc, full)
    np.testing.assert_array_equal(tr, info["trainIdx"])
    seqs = (seqs - info["normalizationMean"]) / info["normalizationStd"]
    k = len(classes)
    model = H._CNNRNNClassifier(
        input_features=seqs.shape[1], num_classes=k, conv_channels=list(full["convChannels"]),
        kernel_size=full["kernelSize"], pool_size=full["poolSize"], network_type=full["networkType"],
        rnn_hidden=full["rnnHidden"], rnn_layers=full["rnnLayers"], dropout=full["dropout"])
    x_all = torch.from_numpy(seqs.astype(np.float32))
    y_all = torch.as_tensor(y_enc, dtype=torch.int64)
    weight = None
    if str(full["classWeight"]).lower() == "auto":
        counts = np.bincount(y_enc[tr], minlength=k).astype(np.float32)
        weight = torch.tensor(counts.sum() / np.maximum(counts * k, 1.0), dtype=torch.float32)
    crit = nn.CrossEntropyLoss(weight=weight)
    lr = float(full["learnRate"])
    solver = full["solverName"].lower()
    if solver == "adam":
        opt = torch.optim.Adam(model.parameters(), lr=lr)
    elif solver == "sgdm":
        opt = torch.optim.SGD(model.parameters(), lr=lr, momentum=0.9)
    else:
        opt = torch.optim.RMSprop(model.parameters(), lr=lr)
    sched = None
    if full["learnRateSchedule"].lower() == "piecewise":
        sched = torch.optim.lr_scheduler.StepLR(opt, step_size=int(full["learnRateDropPeriod"]),
                                                gamma=float(full["learnRateDropFactor"]))
    bs = int(full["batchSize"])
    history = {"trainLoss": [], "valLoss": [], "trainAccuracy": [], "valAccuracy": []}
    best, best_state = float("inf"), copy.deepcopy(model.state_dict())
    for _ in range(int(full["maxEpochs"])):
        model.train()
        order = torch.as_tensor(tr)[torch.randperm(len(tr))]
        loss_sum, correct = 0.0, 0
        for s in range(0, len(order), bs):
            idx = order[s:s + bs]
            bx, by = x_all[idx], y_all[idx]
            opt.zero_grad()
            logits = forward(model, bx)
            loss = crit(logits, by)
            loss.backward()
            nn.utils.clip_grad_norm_(model.parameters(), max_norm=5.0)
            opt.step()
            loss_sum += loss.item() * len(idx)
            correct += int((logits.argmax(1) == by).sum())
        model.eval()
        vloss, vcorrect = 0.0, 0
        with torch.no_grad():
            for s in range(0, len(va), bs):
                idx = torch.as_tensor(va[s:s + bs])
                logits = forward(model, x_all[idx])
                vloss += crit(logits, y_all[idx]).item() * len(idx)
                vcorrect += int((logits.argmax(1) == y_all[idx]).sum())
        history["trainLoss"].append(loss_sum / len(tr))
        history["trainAccuracy"].append(correct / len(tr))
        history["valLoss"].append(vloss / len(va))
        history["valAccuracy"].append(vcorrect / len(va))
        if history["valLoss"][-1] < best - 1e-6:
            best, best_state = history["valLoss"][-1], copy.deepcopy(model.state_dict())
        if sched is not None:
            sched.step()
    return history, best_state


ENGINE_CASES = [
    # networkType, solver, classWeight, schedule, rnnLayers, dropout
    ("LSTM", "adam", "auto", "none", 1, 0.2),
    ("GRU", "adam", "none", "none", 1, 0.0),
    ("RNN", "sgdm", "auto", "none", 1, 0.2),
    ("BiLSTM", "rmsprop", "none", "none", 1, 0.2),
    ("GRU", "rmsprop", "auto", "piecewise", 1, 0.0),
    ("BiGRU", "sgdm", "none", "piecewise", 2, 0.0),
    ("LSTM", "Adam", "AUTO", "Piecewise", 2, 0.3),
]


@pytest.mark.parametrize("network,solver,weight,schedule,layers,dropout", ENGINE_CASES)
def test_engine_matches_plain_pytorch_loop(network, solver, weight, schedule, layers, dropout):
    X, y = _data(n=90, classes=3)
    y = np.where(y == 2, 1, y) if weight == "auto" else y  # unbalanced classes make the weights matter
    opts = {"figflag": False, "seed": 7, "networkType": network, "solverName": solver, "classWeight": weight,
            "learnRateSchedule": schedule, "learnRateDropPeriod": 1, "learnRateDropFactor": 0.5,
            "rnnLayers": layers, "dropout": dropout, "maxEpochs": 3, "earlyStoppingPatience": 0,
            "batchSize": 16, "convChannels": [8, 6], "rnnHidden": 10, "learnRate": 0.01}
    _, _, model, info = H.HybridSeqTrain(X, y, opts)
    ref_history, ref_best = _reference_run(X, y, opts, info)
    adaptive = solver.lower() != "sgdm"
    # A convolution bias right before BatchNorm has a true gradient of zero:
    # its gradient is rounding noise, which Adam and RMSprop scale up to
    # full-size steps. It cannot change the training loss (BatchNorm removes
    # it in training mode), but it enters the running means and with them the
    # validation loss. So with those solvers the convolution biases and running
    # means are left out and the validation loss is compared more loosely.
    np.testing.assert_allclose(info["history"]["trainLoss"], ref_history["trainLoss"], rtol=2e-4, atol=1e-5)
    np.testing.assert_allclose(info["history"]["valLoss"], ref_history["valLoss"],
                               rtol=5e-2 if adaptive else 2e-4, atol=1e-5)
    np.testing.assert_allclose(info["history"]["trainAccuracy"], ref_history["trainAccuracy"], atol=1.5 / 60)
    state = model.state_dict()
    assert list(state) == list(ref_best)
    noisy = {f"cnn.{i}.bias" for i, m in enumerate(model.cnn) if isinstance(m, nn.Conv1d)}
    noisy |= {f"cnn.{i}.running_mean" for i, m in enumerate(model.cnn) if isinstance(m, nn.BatchNorm1d)}
    compared = 0
    for name, value in ref_best.items():
        if adaptive and name in noisy:
            continue
        torch.testing.assert_close(state[name], value, rtol=1e-3, atol=2e-4, msg=name)
        compared += 1
    assert compared >= len(ref_best) - len(noisy)


def test_model_returned_in_eval_mode_with_best_state_and_usable():
    X, y = _data()
    _, _, model, info = H.HybridSeqTrain(X, y, {"figflag": False, "maxEpochs": 3, "seed": 3})
    assert not model.training and all(not m.training for m in model.modules())
    x = torch.from_numpy(((H._adapt_to_sequence(X, len(y), -1, "auto")[0] - info["normalizationMean"])
                          / info["normalizationStd"]).astype(np.float32))
    test_idx = torch.as_tensor(info["testIdx"])
    with torch.no_grad():
        probs = torch.softmax(model(x[test_idx]), 1).numpy()
    np.testing.assert_allclose(probs, info["probabilityTest"], rtol=1e-4, atol=1e-6)
    assert 1 <= info["bestEpoch"] <= 3
    assert info["bestValidationLoss"] == pytest.approx(min(info["history"]["valLoss"]), rel=1e-12)


def test_console_lines_and_early_stop(capsys):
    X, y = _data(n=60)
    # A learning rate of ~0 keeps the validation loss flat: no epoch after the
    # first improves by more than 1e-6, so patience 2 stops after epoch 3.
    _, _, _, info = H.HybridSeqTrain(X, y, {"figflag": False, "maxEpochs": 20, "earlyStoppingPatience": 2,
                                            "learnRate": 1e-30, "dropout": 0.0, "solverName": "sgdm"})
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "" and out[1] == "CNN-RNN 通用分类开始训练"
    assert out[2] == "原始尺寸: (60, 3, 12) -> 适配尺寸: (60, 3, 12)"
    assert out[3] == "训练集/验证集/测试集: %d/%d/%d" % (len(info["trainIdx"]), len(info["valIdx"]), len(info["testIdx"]))
    assert out[4] == "网络: LSTM | 设备: cpu | 类别数: 3"
    assert out[5].startswith("Epoch   1 | train loss ")
    assert out[6] == "验证损失连续 2 轮未改善，提前停止。"
    assert len(info["history"]["trainLoss"]) == 3
    assert out[7] == "最佳轮次: 1"
    assert out[8].startswith("训练集: Accuracy=") and out[10].startswith("测试集: Accuracy=")


def test_ctrl_c_interrupts_training_promptly_and_next_call_works():
    X, y = _data(n=300, length=32)
    opts = {"figflag": False, "maxEpochs": 10 ** 9, "earlyStoppingPatience": 0}
    timer = threading.Timer(1.0, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        H.HybridSeqTrain(X, y, opts)
    elapsed = time.monotonic() - start
    timer.join()
    assert elapsed < 3.0
    _, _, _, info = H.HybridSeqTrain(X[:60], y[:60], {"figflag": False, "maxEpochs": 1})
    assert len(info["history"]["valLoss"]) == 1


def test_constant_feature_and_no_scaling():
    X, y = _data(n=60)
    X[:, 1, :] = 5.0
    _, _, _, info = H.HybridSeqTrain(X, y, {"figflag": False, "maxEpochs": 1})
    assert info["normalizationStd"][0, 1, 0] == 1.0
    seqs = H._adapt_to_sequence(X, len(y), -1, "auto")[0][info["trainIdx"]]
    np.testing.assert_allclose(info["normalizationMean"][0, :, 0], seqs.mean(axis=(0, 2)), rtol=1e-5)
    np.testing.assert_allclose(info["normalizationStd"][0, [0, 2], 0], seqs.std(axis=(0, 2))[[0, 2]], rtol=1e-5)


CLASS_WEIGHT_MSG = "自定义 classWeight 必须为长度等于类别数的正数序列"


# (options, exception, message) — the late checks, each after what runs before it
LATE_CHECKS = [
    ({"deviceSel": "tpu", "classWeight": [1, 2, 3], "solverName": "x"}, ValueError, "deviceSel 必须是 auto/cpu/gpu"),
    ({"deviceSel": None}, ValueError, "deviceSel 必须是 auto/cpu/gpu"),
    ({"classWeight": [1.0, 2.0, 3.0], "solverName": "x"}, ValueError, CLASS_WEIGHT_MSG),
    ({"classWeight": [1.0, 0.0]}, ValueError, CLASS_WEIGHT_MSG),
    ({"classWeight": [1.0, -2.0]}, ValueError, CLASS_WEIGHT_MSG),
    ({"classWeight": [1.0, float("nan")]}, ValueError, CLASS_WEIGHT_MSG),
    ({"classWeight": [1.0, float("inf")]}, ValueError, CLASS_WEIGHT_MSG),  # would train into NaN losses
    ({"classWeight": np.array([1.0, 1e300])}, ValueError, CLASS_WEIGHT_MSG),  # inf in float32
    ({"classWeight": np.array([[1.0], [1e-50]])}, ValueError, CLASS_WEIGHT_MSG),  # 0 in float32
    ({"classWeight": "balanced"}, ValueError, "could not convert string to float: 'balanced'"),
    ({"classWeight": "NONE", "solverName": "lbfgs"}, ValueError, "solverName 必须是 adam/sgdm/rmsprop"),
    ({"classWeight": [2, 1], "learnRateSchedule": "cosine"}, ValueError, "learnRateSchedule 必须是 none 或 piecewise"),
]


@pytest.mark.parametrize("extra, exc, message", LATE_CHECKS, ids=[m[:14] for _, _, m in LATE_CHECKS])
def test_late_checks_in_their_order_before_the_header(extra, exc, message, capsys):
    import re

    from conftest import fast_options, make_data
    X, y = make_data(n=30, classes=2)
    opts = fast_options(**extra)
    before = copy.deepcopy(opts)
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        H.HybridSeqTrain(X, y, opts)
    assert "CNN-RNN 通用分类开始训练" not in capsys.readouterr().out
    assert repr(opts) == repr(before)


@pytest.mark.parametrize("weights", [[1.0, 3.0], (1, 3), np.array([1.0, 3.0]), ["1", "3"], np.float32([[1], [3]])])
def test_custom_class_weights_accepted_in_any_sequence_form(weights):
    from conftest import fast_options, make_data
    X, y = make_data(n=30, classes=2)
    info = H.HybridSeqTrain(X, y, fast_options(classWeight=weights))[3]
    assert len(info["history"]["trainLoss"]) == 1 and np.isfinite(info["history"]["trainLoss"][0])


@pytest.mark.parametrize("classes, extra", [
    (2, {}),
    # the classifier's weight gradient is a product a library may split by threads
    (6, {}),
    # 108 training rows in batches of 17 end with one of 6 rows, a product shape
    # whose bits a library's GEMM changes with its thread count; a bidirectional
    # GRU after three layers and a long pool
    (6, {"batchSize": 17, "convChannels": [16, 32, 64], "poolSize": 16, "networkType": "BiGRU", "rnnHidden": 32}),
])
def test_results_do_not_depend_on_the_thread_count(classes, extra):
    # Long sequences with the default channels make the convolution products
    # large enough to be split over threads; the split is by whole rows, so
    # every number must come out bit for bit the same.
    rng = np.random.default_rng(3)
    y = np.arange(160) % classes
    X = 2 * rng.normal(size=(160, 9, 128)) + np.sin(np.linspace(0, 6, 128) * (1 + y[:, None, None]))
    opts = {"figflag": False, "maxEpochs": 2, "earlyStoppingPatience": 0, "seed": 5, "deviceSel": "cpu", **extra}
    before = torch.get_num_threads()
    runs = []
    try:
        for threads in (1, 2):
            torch.set_num_threads(threads)
            runs.append(H.HybridSeqTrain(X, y, opts)[3])
    finally:
        torch.set_num_threads(before)
    one, two = runs
    assert one["history"] == two["history"]
    np.testing.assert_array_equal(one["probabilityTest"], two["probabilityTest"])


@pytest.mark.skipif(torch.cuda.is_available(), reason="needs a machine without CUDA")
def test_gpu_requested_without_cuda_says_so_and_trains_on_the_cpu(capsys):
    from conftest import fast_options, make_data
    X, y = make_data(n=30, classes=2)
    _, _, model, info = H.HybridSeqTrain(X, y, fast_options(deviceSel="GPU"))
    out = capsys.readouterr().out
    assert "指定了GPU，但当前PyTorch未检测到可用GPU，已自动改用CPU。" in out.splitlines()
    assert out.index("指定了GPU") < out.index("CNN-RNN 通用分类开始训练")
    assert "设备: cpu" in out
    assert next(model.parameters()).device.type == "cpu"
