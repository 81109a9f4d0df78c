"""The returned model in the uses torch offers for any nn.Module: each use
gives model(x)'s outputs (or torch's own composition of the submodules where
the use changes the computation), or refuses loudly with the way out."""
import contextlib
import copy
import importlib.util
import inspect
import io
import threading
import time

import numpy as np
import pytest
import torch
from torch import nn

import HybridSeqTrain as hst
from conftest import STACK, fast_options, plain_forward, stack_expects

TORCH2 = int(torch.__version__.split(".")[0]) >= 2
HAS_ONNX = all(importlib.util.find_spec(name) is not None for name in ("onnx", "onnxruntime"))
NO_ONNX = "onnx and onnxruntime are not installed on this stack"
if not HAS_ONNX and stack_expects("onnxruntime"):  # a stack meant to have them fails instead of skipping
    raise ImportError("the %s stack should have onnx and onnxruntime" % STACK)
ONNX_HAS_DYNAMO_ARG = "dynamo" in inspect.signature(torch.onnx.export).parameters


@pytest.fixture(scope="module", params=["LSTM", "BiGRU"])
def trained(request):
    """A model trained by HybridSeqTrain (3 epochs on small data), in eval mode."""
    rng = np.random.default_rng(3)
    y = np.arange(90) % 3
    X = rng.normal(size=(90, 3, 12)) + 0.7 * y[:, None, None]
    opts = fast_options(networkType=request.param, maxEpochs=3, convChannels=[6], rnnHidden=8, kernelSize=3,
                        dropout=0.2, seed=1)
    with contextlib.redirect_stdout(io.StringIO()):
        model = hst.HybridSeqTrain(X, y, opts)[2]
    assert not model.training
    return model


def inputs(batch, length=12, seed=0):
    return torch.randn(batch, 3, length, generator=torch.Generator().manual_seed(seed))


def submodule(m, path):
    return m.get_submodule(path) if path else m


# ---- the uses; each gets its own copy of the trained model and x [5, 3, 12] ----

def forward_hook_fires(path):
    def use(m, x, want):
        seen = []
        submodule(m, path).register_forward_hook(lambda mod, args, out: seen.append(out))
        torch.testing.assert_close(m(x), want)
        assert len(seen) == 1
    return use


def pre_hook_fires(path):
    def use(m, x, want):
        seen = []
        submodule(m, path).register_forward_pre_hook(lambda mod, args: seen.append(args[0].shape))
        torch.testing.assert_close(m(x), want)
        assert len(seen) == 1
    return use


def pre_hook_changes_classifier_input(m, x, want):
    m.classifier.register_forward_pre_hook(lambda mod, args: (torch.zeros_like(args[0]),))
    got = m(x)
    torch.testing.assert_close(got, m.classifier.bias.expand_as(got))
    torch.testing.assert_close(got, plain_forward(m, x))
    assert not torch.allclose(got, want)


def forward_hook_replaces_rnn_output(m, x, want):
    m.rnn.register_forward_hook(lambda mod, args, out: (out[0].flip(1), out[1]))
    got = m(x)
    torch.testing.assert_close(got, plain_forward(m, x))
    assert not torch.allclose(got, want)


def global_forward_hook(m, x, want):
    seen = []
    handle = nn.modules.module.register_module_forward_hook(lambda mod, args, out: seen.append(type(mod)))
    try:
        got = m(x)
    finally:
        handle.remove()
    torch.testing.assert_close(got, want)
    assert nn.Conv1d in seen and nn.Linear in seen and type(m.rnn) in seen


def full_backward_hook(m, x, want):
    twin = copy.deepcopy(m)
    grads = []
    m.cnn[0].register_full_backward_hook(lambda mod, gin, gout: grads.append(gout[0]))
    m(x).sum().backward()
    plain_forward(twin, x).sum().backward()
    assert len(grads) == 1
    for p, q in zip(m.parameters(), twin.parameters()):
        torch.testing.assert_close(p.grad, q.grad)


def jit_trace(m, x, want):
    traced = torch.jit.trace(m, x)
    torch.testing.assert_close(traced(x), want)
    for other in (inputs(7, seed=1), inputs(4, length=20, seed=2)):  # another batch size, a longer sequence
        torch.testing.assert_close(traced(other), m(other))


def onnx_export(**kw):
    def use(m, x, want, tmp_path):
        import onnxruntime
        path = str(tmp_path / "model.onnx")
        torch.onnx.export(m, (x,), path, input_names=["x"], output_names=["logits"],
                          dynamic_axes={"x": {0: "batch"}, "logits": {0: "batch"}}, **kw)
        session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
        for batch in (x, inputs(9, seed=1)):
            got = session.run(None, {"x": batch.numpy()})[0]
            np.testing.assert_allclose(got, m(batch).detach().numpy(), rtol=0, atol=1e-4)
    return use


def jit_script_refused(m, x, want):
    with pytest.raises(RuntimeError, match=r"Use torch\.jit\.trace\(model, example_input\) instead") as info:
        torch.jit.script(m)
    assert "_annotated_function" not in str(info.value)


def torch_compile(m, x, want):
    twin = copy.deepcopy(m)
    compiled = torch.compile(m)
    got = compiled(x)
    torch.testing.assert_close(got, want)
    got.square().sum().backward()
    twin(x).square().sum().backward()
    for p, q in zip(m.parameters(), twin.parameters()):
        torch.testing.assert_close(p.grad, q.grad)


def torch_export(m, x, want):
    # Non-strict export runs the forward with the submodules' own calls and
    # records them (the default from torch 2.7 on; torch 2.6 defaults to
    # strict mode, whose bytecode tracer cannot enter the C++ call and says so).
    program = torch.export.export(m, (x,), dynamic_shapes=({0: torch.export.Dim("batch")},), strict=False)
    torch.testing.assert_close(program.module()(x), want)
    other = inputs(9, seed=1)
    torch.testing.assert_close(program.module()(other), m(other))


def autocast_bfloat16(m, x, want):
    with torch.autocast("cpu", dtype=torch.bfloat16):
        got = m(x)
        composed = plain_forward(m, x)
    assert got.dtype == composed.dtype == torch.bfloat16
    torch.testing.assert_close(got, composed)
    torch.testing.assert_close(got.float(), want, rtol=0, atol=0.05)


def to_double(m, x, want):
    m = m.double()
    got = m(x.double())
    assert got.dtype == torch.float64
    torch.testing.assert_close(got, want.double(), rtol=1e-5, atol=1e-6)


def to_bfloat16(m, x, want):
    m = m.to(torch.bfloat16)
    got = m(x.bfloat16())
    assert got.dtype == torch.bfloat16
    torch.testing.assert_close(got, plain_forward(m, x.bfloat16()))
    torch.testing.assert_close(got.float(), want, rtol=0, atol=0.05)


def to_cuda(m, x, want):
    got = m.cuda()(x.cuda())
    torch.testing.assert_close(got.cpu(), want, rtol=1e-4, atol=1e-4)


def copies_and_state_dict(m, x, want):
    twin = copy.deepcopy(m)
    with torch.no_grad():
        for p in twin.parameters():
            p.normal_()
    assert not torch.allclose(twin(x), want)
    twin.load_state_dict(m.state_dict())
    torch.testing.assert_close(twin(x), want, rtol=0, atol=0)
    buffer = io.BytesIO()
    torch.save(m, buffer)
    buffer.seek(0)
    loaded = torch.load(buffer, weights_only=False) if TORCH2 else torch.load(buffer)
    torch.testing.assert_close(loaded(x), want, rtol=0, atol=0)


def functional_call(m, x, want):
    call = torch.func.functional_call if TORCH2 else nn.utils.stateless.functional_call
    shifted = {"classifier.bias": m.classifier.bias.detach() + 1.0}
    torch.testing.assert_close(call(m, shifted, (x,)), want + 1.0)


def replaced_submodules(m, x, want):
    class Doubled(nn.Linear):
        def forward(self, s):
            return 2.0 * super().forward(s)

    doubled = Doubled(m.classifier.in_features, m.classifier.out_features)
    doubled.load_state_dict(m.classifier.state_dict())
    m.classifier = doubled
    torch.testing.assert_close(m(x), 2.0 * want)
    # Layers of other classes anywhere run as themselves (fine-tuning replaces the head, say).
    m.classifier = nn.Sequential(nn.Linear(m.classifier.in_features, 4), nn.ReLU(), nn.Linear(4, 2))
    m.dropout = nn.Identity()
    m.cnn[2] = nn.LeakyReLU(0.1)
    got = m(x)
    assert got.shape == (5, 2)
    torch.testing.assert_close(got, plain_forward(m, x))


def train_mode_gradients(m, x, want):
    m.train()
    twin = copy.deepcopy(m)
    x1, x2 = x.clone().requires_grad_(), x.clone().requires_grad_()
    torch.manual_seed(7)  # the same dropout mask for both
    got = m(x1)
    torch.manual_seed(7)
    composed = plain_forward(twin, x2)
    torch.testing.assert_close(got, composed)
    weights = torch.randn(got.shape, generator=torch.Generator().manual_seed(3))
    (got * weights).sum().backward()
    (composed * weights).sum().backward()
    torch.testing.assert_close(x1.grad, x2.grad, rtol=1e-4, atol=1e-6)
    for (name, p), q in zip(m.named_parameters(), twin.parameters()):
        torch.testing.assert_close(p.grad, q.grad, rtol=1e-4, atol=1e-6, msg=name)
    for (name, a), b in zip(m.state_dict().items(), twin.state_dict().values()):
        torch.testing.assert_close(a, b, msg=name)  # batch-norm statistics moved alike


def torch_function_mode(m, x, want):
    seen = []

    class Recorder(torch.overrides.TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            seen.append(getattr(func, "__name__", str(func)))
            return func(*args, **(kwargs or {}))

    with Recorder():
        got = m(x)
    torch.testing.assert_close(got, want)
    assert "conv1d" in seen and "linear" in seen


def torch_dispatch_mode(m, x, want):
    from torch.utils._python_dispatch import TorchDispatchMode
    seen = []

    class Recorder(TorchDispatchMode):
        def __torch_dispatch__(self, func, types, args=(), kwargs=None):
            seen.append(str(func))
            return func(*args, **(kwargs or {}))

    with Recorder():
        got = m(x)
    torch.testing.assert_close(got, want)
    assert any("convolution" in op for op in seen) and any("addmm" in op or "linear" in op for op in seen)


needs_torch2 = pytest.mark.skipif(not TORCH2, reason="torch.compile, torch.export and torch.func need torch 2")
needs_onnx = pytest.mark.skipif(not HAS_ONNX, reason=NO_ONNX)
needs_cuda = pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")
HOOK_TARGETS = {"module": "", "cnn0": "cnn.0", "cnn": "cnn", "rnn": "rnn", "classifier": "classifier"}

USES = (
    [pytest.param(forward_hook_fires(p), id=f"forward-hook-{name}") for name, p in HOOK_TARGETS.items()]
    + [pytest.param(pre_hook_fires(p), id=f"forward-pre-hook-{name}") for name, p in HOOK_TARGETS.items()]
    + [
        pytest.param(pre_hook_changes_classifier_input, id="pre-hook-changes-classifier-input"),
        pytest.param(forward_hook_replaces_rnn_output, id="forward-hook-replaces-rnn-output"),
        pytest.param(global_forward_hook, id="global-forward-hook"),
        pytest.param(full_backward_hook, id="full-backward-hook-cnn0"),
        pytest.param(jit_trace, id="jit-trace"),
        # torch 2.9+ exports through torch.export by default (the dynamo exporter); older ones trace.
        pytest.param(onnx_export(), id="onnx-export-default", marks=needs_onnx),
        pytest.param(onnx_export(dynamo=False), id="onnx-export-torchscript", marks=[
            needs_onnx, pytest.mark.skipif(not ONNX_HAS_DYNAMO_ARG, reason="this torch has one ONNX exporter")]),
        pytest.param(jit_script_refused, id="jit-script-refused"),
        pytest.param(torch_compile, id="torch-compile", marks=needs_torch2),
        pytest.param(torch_export, id="torch-export", marks=needs_torch2),
        pytest.param(autocast_bfloat16, id="autocast-bfloat16"),
        pytest.param(to_double, id="double"),
        pytest.param(to_bfloat16, id="to-bfloat16"),
        pytest.param(to_cuda, id="cuda", marks=needs_cuda),
        pytest.param(copies_and_state_dict, id="deepcopy-state-dict-save"),
        pytest.param(functional_call, id="functional-call"),
        pytest.param(replaced_submodules, id="replaced-submodules"),
        pytest.param(train_mode_gradients, id="train-mode-gradients"),
        pytest.param(torch_function_mode, id="torch-function-mode"),
        pytest.param(torch_dispatch_mode, id="torch-dispatch-mode"),
    ]
)


@pytest.mark.parametrize("use", USES)
def test_use_gives_the_models_outputs_or_refuses(trained, use, tmp_path):
    x = inputs(5)
    with torch.no_grad():
        want = trained(x)
    model = copy.deepcopy(trained)
    if "tmp_path" in inspect.signature(use).parameters:
        use(model, x, want, tmp_path)
    else:
        use(model, x, want)


def test_forward_lets_other_python_threads_run(trained):
    # A thread stamping the time in a loop runs through the middle of a large
    # forward only when the forward has released the GIL.
    model = copy.deepcopy(trained)
    x = inputs(60000)
    stamps, stop = [], threading.Event()

    def stamp():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    worker = threading.Thread(target=stamp)
    worker.start()
    try:
        time.sleep(0.02)
        with torch.no_grad():
            start = time.perf_counter()
            model(x)
            end = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    quarter = (end - start) / 4
    middle = [t for t in stamps if start + quarter < t < end - quarter]
    assert middle, f"no other thread ran during the middle half of a {end - start:.3f} s forward"
