"""The convolutional-recurrent network against plain torch.nn references."""
import copy
import io
import re

import pytest
import torch
from torch import nn

import HybridSeqTrain as hst
from conftest import plain_forward as python_forward

Net = hst._CNNRNNClassifier
RNN_CLASSES = {"RNN": nn.RNN, "LSTM": nn.LSTM, "GRU": nn.GRU}


class Reference(nn.Module):
    """The same network written with plain torch.nn modules."""

    def __init__(self, input_features, num_classes, conv_channels, kernel_size, pool_size, network_type, rnn_hidden,
                 rnn_layers, dropout):
        super().__init__()
        layers, in_channels = [], input_features
        for out_channels in conv_channels:
            layers += [nn.Conv1d(in_channels, int(out_channels), kernel_size=kernel_size, padding=kernel_size // 2),
                       nn.BatchNorm1d(int(out_channels)), nn.ReLU()]
            in_channels = int(out_channels)
        if pool_size > 1:
            layers.append(nn.MaxPool1d(kernel_size=pool_size, stride=pool_size))
        self.cnn = nn.Sequential(*layers)
        bidirectional = network_type.startswith("Bi")
        self.rnn = RNN_CLASSES[network_type.replace("Bi", "")](
            input_size=in_channels, hidden_size=rnn_hidden, num_layers=rnn_layers, batch_first=True,
            bidirectional=bidirectional, dropout=dropout if rnn_layers > 1 else 0.0)
        self.bidirectional = bidirectional
        self.dropout = nn.Dropout(dropout)
        self.classifier = nn.Linear(rnn_hidden * (2 if bidirectional else 1), num_classes)

    def forward(self, x):
        return python_forward(self, x)


def build(**kw):
    args = dict(input_features=3, num_classes=4, conv_channels=[5, 6], kernel_size=3, pool_size=2,
                network_type="LSTM", rnn_hidden=7, rnn_layers=1, dropout=0.0)
    args.update(kw)
    torch.manual_seed(0)
    return Net(**args), args


CONFIGS = [
    dict(),
    dict(network_type="GRU", pool_size=1),
    dict(network_type="RNN", rnn_layers=2),
    dict(network_type="BiLSTM", conv_channels=[4]),
    dict(network_type="BiGRU", rnn_layers=2, kernel_size=5),
    dict(network_type="BiRNN", pool_size=3, conv_channels=(8, 2, 3)),
    dict(network_type="LSTM", rnn_layers=3, conv_channels=[9], kernel_size=1),
    dict(network_type="GRU", conv_channels=[], pool_size=2),
]
CONFIG_IDS = [c.get("network_type", "LSTM") + str(i) for i, c in enumerate(CONFIGS)]


@pytest.mark.parametrize("config", CONFIGS, ids=CONFIG_IDS)
def test_structure_matches_a_plain_reference(config):
    model, args = build(**config)
    ref = Reference(**args)
    assert isinstance(model, nn.Module) and list(model._modules) == ["cnn", "rnn", "dropout", "classifier"]
    assert model.bidirectional is args["network_type"].startswith("Bi")
    got, want = model.state_dict(), ref.state_dict()
    assert list(got) == list(want)
    assert [t.shape for t in got.values()] == [t.shape for t in want.values()]
    assert sum(p.numel() for p in model.parameters()) == sum(p.numel() for p in ref.parameters())
    assert repr(model).split("\n", 1)[1] == repr(ref).split("\n", 1)[1]


@pytest.mark.parametrize("config", CONFIGS, ids=CONFIG_IDS)
@pytest.mark.parametrize("mode", ["train", "eval"])
def test_forward_equals_python_forward_over_the_same_submodules(config, mode):
    model, _ = build(**config)
    with torch.no_grad():  # non-trivial batch-norm statistics and affine terms
        for layer in model.cnn:
            if isinstance(layer, nn.BatchNorm1d):
                layer.running_mean.uniform_(-0.5, 0.5)
                layer.running_var.uniform_(0.5, 2.0)
                layer.weight.uniform_(0.5, 1.5)
                layer.bias.uniform_(-0.2, 0.2)
    model.train(mode == "train")
    twin = copy.deepcopy(model)
    x = torch.randn(5, 3, 9, generator=torch.Generator().manual_seed(1))
    x_ref = x.clone().requires_grad_(True)
    x.requires_grad_(True)
    out = model(x)
    want = python_forward(twin, x_ref)
    assert out.shape == (5, 4)
    torch.testing.assert_close(out, want, rtol=1e-5, atol=1e-6)
    # Running statistics and the batch counter move exactly as torch.nn moves them.
    for (name, a), b in zip(model.state_dict().items(), twin.state_dict().values()):
        torch.testing.assert_close(a, b, rtol=1e-6, atol=1e-7, msg=name)
    # Gradients reach the parameters and the input as through the Python forward.
    weights = torch.randn(5, 4, generator=torch.Generator().manual_seed(2))
    (out * weights).sum().backward()
    (want * weights).sum().backward()
    torch.testing.assert_close(x.grad, x_ref.grad, rtol=1e-4, atol=1e-6)
    for (name, p), q in zip(model.named_parameters(), twin.parameters()):
        torch.testing.assert_close(p.grad, q.grad, rtol=1e-4, atol=1e-6, msg=name)


def outcome(forward, x):
    try:
        out = forward(x)
    except Exception as exc:
        return type(exc), None
    return None, out


@pytest.mark.parametrize("train, make", [
    (True, lambda: torch.randn(1, 3, 9)),
    (False, lambda: torch.randn(1, 3, 9)),
    (False, lambda: torch.randn(0, 3, 9)),
    (True, lambda: torch.randn(0, 3, 9)),
    (True, lambda: torch.randn(1, 3, 1)),
    (False, lambda: torch.randn(3, 9)),
    (False, lambda: torch.randn(2, 3, 9, 1)),
    (False, lambda: torch.randn(2, 4, 9)),
    (False, lambda: torch.randn(2, 3, 0)),
    (False, lambda: torch.ones(2, 3, 9, dtype=torch.long)),
    (False, lambda: torch.randn(2, 3, 9, dtype=torch.float64)),
    (True, lambda: torch.randn(2, 9, 3).transpose(1, 2)),
    (False, lambda: torch.randn(2, 3, 9).numpy()),
], ids=["batch1-train", "batch1-eval", "empty-eval", "empty-train", "one-step-train", "2d", "4d", "features",
        "no-steps", "long", "double", "non-contiguous", "numpy"])
def test_unusual_inputs_behave_as_in_torch_nn(train, make):
    model, _ = build()
    model.train(train)
    twin = copy.deepcopy(model)
    x = make()
    got_error, got = outcome(model, x)
    want_error, want = outcome(lambda v: python_forward(twin, v), x)
    assert got_error is want_error
    if want is not None:
        torch.testing.assert_close(got, want)


def test_default_pipeline_network():
    model = Net(input_features=1, num_classes=3, conv_channels=[32, 64], kernel_size=5, pool_size=2,
                network_type="LSTM", rnn_hidden=64, rnn_layers=1, dropout=0.2)
    kinds = [type(m) for m in model.cnn]
    assert kinds == [nn.Conv1d, nn.BatchNorm1d, nn.ReLU] * 2 + [nn.MaxPool1d]
    c1, b1, _, c2, b2, _, pool = model.cnn
    assert (c1.in_channels, c1.out_channels, c1.kernel_size, c1.padding, c1.stride) == (1, 32, (5,), (2,), (1,))
    assert (c2.in_channels, c2.out_channels, c2.kernel_size, c2.padding) == (32, 64, (5,), (2,))
    assert c1.bias is not None and b1.num_features == 32 and b2.num_features == 64
    assert (pool.kernel_size, pool.stride) == (2, 2)
    rnn = model.rnn
    assert type(rnn) is nn.LSTM and (rnn.input_size, rnn.hidden_size, rnn.num_layers) == (64, 64, 1)
    assert rnn.batch_first and not rnn.bidirectional and rnn.dropout == 0.0
    assert model.dropout.p == 0.2 and (model.classifier.in_features, model.classifier.out_features) == (64, 3)
    model.eval()
    assert model(torch.randn(2, 1, 4)).shape == (2, 3)
    # [B, 1, 4] reaches the recurrent layer as [B, 2, 64]
    assert model.cnn(torch.randn(2, 1, 4)).transpose(1, 2).shape == (2, 2, 64)


@pytest.mark.parametrize("layers, dropout, rnn_dropout", [(1, 0.5, 0.0), (2, 0.3, 0.3), (3, 0.0, 0.0)])
def test_recurrent_dropout_only_between_layers(layers, dropout, rnn_dropout):
    model, _ = build(rnn_layers=layers, dropout=dropout)
    assert model.rnn.dropout == rnn_dropout and model.dropout.p == dropout


def test_rnn_is_tanh_and_bidirectional_widths():
    model, _ = build(network_type="BiRNN", rnn_hidden=32)
    assert model.rnn.nonlinearity == "tanh" and model.rnn.bidirectional
    assert model.classifier.in_features == 64
    model, _ = build(network_type="BiGRU", rnn_hidden=32)
    assert type(model.rnn) is nn.GRU and model.classifier.in_features == 64


def test_bidirectional_summary_takes_forward_last_and_backward_first():
    model, _ = build(network_type="BiGRU", rnn_hidden=6, pool_size=1)
    model.eval()
    x = torch.randn(3, 3, 8)
    with torch.no_grad():
        out, _ = model.rnn(model.cnn(x).transpose(1, 2))
        manual = model.classifier(torch.cat([out[:, 7, :6], out[:, 0, 6:]], dim=1))
        wrong = model.classifier(out[:, 7, :])  # the plain last step mixes in the backward start
        got = model(x)
    torch.testing.assert_close(got, manual, rtol=1e-5, atol=1e-6)
    assert not torch.allclose(got, wrong)


@pytest.mark.parametrize("length, pool", [(4, 4), (9, 9), (7, 1)])
def test_pooling_window_up_to_the_sequence_length(length, pool):
    model, args = build(pool_size=pool, conv_channels=[3])
    assert (len(model.cnn) == 4) == (pool > 1)
    model.eval()
    x = torch.randn(2, 3, length)
    assert model.cnn(x).shape == (2, 3, length // pool)
    torch.testing.assert_close(model(x), python_forward(model, x))


def test_empty_conv_channels():
    model, _ = build(conv_channels=[], pool_size=1)
    assert len(model.cnn) == 0 and model.rnn.input_size == 3
    model, _ = build(conv_channels=(), pool_size=3)
    assert [type(m) for m in model.cnn] == [nn.MaxPool1d] and model.rnn.input_size == 3


@pytest.mark.parametrize("channels", [(4, 6), iter([4, 6]), ["4", 6.9], torch.tensor([4, 6]), range(4, 7, 2)],
                         ids=["tuple", "iterator", "convertible", "tensor", "range"])
def test_conv_channels_any_iterable_converted_to_int(channels):
    model, _ = build(conv_channels=channels)
    assert [m.out_channels for m in model.cnn if isinstance(m, nn.Conv1d)] == [4, 6]
    assert model.rnn.input_size == 6


@pytest.mark.parametrize("name, value, got", [
    ("input_features", 3.0, "float"), ("num_classes", "4", "str"), ("kernel_size", torch.tensor(3), "Tensor"),
    ("pool_size", None, "NoneType"), ("network_type", 5, "int"), ("rnn_hidden", 7.5, "float"),
    ("rnn_layers", [1], "list"),
])
def test_typed_constructor_arguments(name, value, got):
    expected = "str" if name == "network_type" else "int"
    message = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        build(**{name: value})


def test_unknown_kind_and_dropout_conversion():
    with pytest.raises(KeyError):
        build(network_type="Transformer")
    model, _ = build(dropout="0.25")
    assert model.dropout.p == 0.25
    with pytest.raises(ValueError):
        build(dropout="high")


@pytest.mark.parametrize("path, value, message", [
    ("cnn.1.eps", None, "BatchNorm1d.eps must be a float, got NoneType"),
    ("cnn.1.momentum", "0.1", "BatchNorm1d.momentum must be a float or None, got str"),
    ("cnn.0.stride", "1", "Conv1d.stride must be an int, got str"),
    ("cnn.0.groups", 1.0, "Conv1d.groups must be an int, got float"),
    ("rnn.hidden_size", "5", "LSTM.hidden_size must be an int, got str"),
    ("rnn.dropout", None, "LSTM.dropout must be a float, got NoneType"),
    ("dropout.p", "0.1", "Dropout.p must be a float, got str"),
])
def test_changed_network_settings_raise_type_errors_naming_them(path, value, message):
    model, _ = build(dropout=0.1)
    *owner, name = path.split(".")
    target = model
    for part in owner:
        target = target[int(part)] if part.isdigit() else getattr(target, part)
    setattr(target, name, value)
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        model(torch.randn(2, 3, 8))


def test_dropout_acts_only_in_training_mode():
    model, _ = build(dropout=0.5)
    x = torch.randn(64, 3, 6)
    model.eval()
    torch.testing.assert_close(model(x), model(x))
    model.train()
    assert not torch.allclose(model(x), model(x))


def test_save_load_and_copy_keep_the_network():
    model, _ = build(network_type="BiLSTM")
    model.eval()
    x = torch.randn(2, 3, 6)
    buffer = io.BytesIO()
    torch.save(model, buffer)
    buffer.seek(0)
    loaded = torch.load(buffer, weights_only=False)
    assert type(loaded) is Net
    torch.testing.assert_close(loaded(x), model(x))
    fresh, _ = build(network_type="BiLSTM")
    fresh.load_state_dict(model.state_dict())
    fresh.eval()
    torch.testing.assert_close(fresh(x), model(x))
    doubled = model.to(torch.float64)
    assert doubled(x.double()).dtype == torch.float64


def test_gradients_of_gradients_need_float64_and_say_so():
    torch.manual_seed(0)
    model = hst._CNNRNNClassifier(input_features=3, num_classes=2, conv_channels=[4], kernel_size=3, pool_size=2,
                                  network_type="GRU", rnn_hidden=5, rnn_layers=1, dropout=0.0)
    x = torch.randn(6, 3, 8, requires_grad=True)
    # Refused (never silently wrong) on the native float32 kernels, with the way out.
    with pytest.raises(RuntimeError, match=r"no double backward.*model\.double\(\)"):
        (g,) = torch.autograd.grad(model(x).sum(), x, create_graph=True)
        g.pow(2).sum().backward()
    # The float64 model runs on torch's own layers, which differentiate twice.
    model = model.double()
    x64 = x.detach().double().requires_grad_()
    (g,) = torch.autograd.grad(model(x64).sum(), x64, create_graph=True)
    g.pow(2).sum().backward()
    assert x64.grad is not None and torch.isfinite(x64.grad).all() and x64.grad.abs().sum() > 0
