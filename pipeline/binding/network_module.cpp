// The `_CNNRNNClassifier` class: its torch.nn structure (built through
// torch.nn classes so state_dict, parameters(), .to() and saving behave as
// usual) and the binding of its forward to the core's forward definition.
#include "binding/stages.h"
#include "core/network.h"

namespace hst {

// A setting of a submodule as a C++ value. A value of another type (say a
// BatchNorm eps set to None) is a TypeError naming the setting, as torch.nn's
// own forward would give, never pybind11's bare cast error.
template <typename T>
static T setting(py::handle owner, const char* name, const char* expected) {
  py::object value = owner.attr(name);
  try {
    return value.cast<T>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(Py_TYPE(owner.ptr())->tp_name) + "." + name + " must be " + expected +
                         ", got " + Py_TYPE(value.ptr())->tp_name);
  }
}

static at::Tensor tensor_or_undefined(py::handle owner, const char* name) {
  if (owner.attr(name).is_none()) return at::Tensor();
  return setting<at::Tensor>(owner, name, "a tensor or None");
}

// An int, or the first entry of a tuple or list of ints (Conv1d keeps sizes as 1-tuples).
static int64_t first_int(py::handle owner, const char* name) {
  py::object v = owner.attr(name);
  try {
    if (py::isinstance<py::tuple>(v) || py::isinstance<py::list>(v)) return py::cast<int64_t>(v[py::int_(0)]);
    return py::cast<int64_t>(v);
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(Py_TYPE(owner.ptr())->tp_name) + "." + name + " must be an int, got " +
                         Py_TYPE(v.ptr())->tp_name);
  }
}

NetParams extract_net_params(py::handle module) {
  py::module_ nn = py::module_::import("torch.nn");
  NetParams p;
  py::object cnn = module.attr("cnn");
  for (py::handle layer : cnn) {
    CnnStep s;
    if (py::isinstance(layer, nn.attr("Conv1d"))) {
      TORCH_CHECK_VALUE(!py::isinstance<py::str>(layer.attr("padding")) &&
                            setting<std::string>(layer, "padding_mode", "str") == "zeros",
                        "only zero padding given as a number is supported in cnn");
      s.kind = CnnStep::CONV;
      s.conv.weight = setting<at::Tensor>(layer, "weight", "a tensor");
      s.conv.bias = tensor_or_undefined(layer, "bias");
      s.conv.padding = first_int(layer, "padding");
      s.conv.stride = first_int(layer, "stride");
      s.conv.dilation = first_int(layer, "dilation");
      s.conv.groups = setting<int64_t>(layer, "groups", "an int");
    } else if (py::isinstance(layer, nn.attr("BatchNorm1d"))) {
      s.kind = CnnStep::BATCH_NORM;
      s.bn.weight = tensor_or_undefined(layer, "weight");
      s.bn.bias = tensor_or_undefined(layer, "bias");
      s.bn.running_mean = tensor_or_undefined(layer, "running_mean");
      s.bn.running_var = tensor_or_undefined(layer, "running_var");
      s.bn.num_batches_tracked = tensor_or_undefined(layer, "num_batches_tracked");
      s.bn.eps = setting<double>(layer, "eps", "a float");
      s.bn.momentum = layer.attr("momentum").is_none() ? -1.0 : setting<double>(layer, "momentum", "a float or None");
      s.bn.training = truth(layer.attr("training"));
      s.bn.track_running_stats = truth(layer.attr("track_running_stats"));
    } else if (py::isinstance(layer, nn.attr("ReLU"))) {
      s.kind = CnnStep::RELU;
    } else if (py::isinstance(layer, nn.attr("MaxPool1d"))) {
      s.kind = CnnStep::MAX_POOL;
      s.pool_kernel = first_int(layer, "kernel_size");
      s.pool_stride = layer.attr("stride").is_none() ? s.pool_kernel : first_int(layer, "stride");
      TORCH_CHECK_VALUE(first_int(layer, "padding") == 0 && first_int(layer, "dilation") == 1 &&
                            !truth(layer.attr("ceil_mode")),
                        "only plain max pooling is supported in cnn");
    } else {
      throw py::type_error("unsupported layer in cnn: " + std::string(Py_TYPE(layer.ptr())->tp_name));
    }
    p.cnn.push_back(std::move(s));
  }

  py::object rnn = module.attr("rnn");
  if (!py::isinstance(rnn, nn.attr("RNNBase")))
    throw py::type_error("unsupported recurrent layer: " + std::string(Py_TYPE(rnn.ptr())->tp_name));
  const std::string mode = setting<std::string>(rnn, "mode", "str");
  if (mode == "LSTM") p.rnn.kind = RnnKind::LSTM;
  else if (mode == "GRU") p.rnn.kind = RnnKind::GRU;
  else if (mode == "RNN_TANH") p.rnn.kind = RnnKind::RNN_TANH;
  else if (mode == "RNN_RELU") p.rnn.kind = RnnKind::RNN_RELU;
  else throw py::value_error("unsupported recurrent mode: " + mode);
  if (py::hasattr(rnn, "proj_size"))
    TORCH_CHECK_VALUE(setting<int64_t>(rnn, "proj_size", "an int") == 0, "projected LSTM layers are not supported");
  for (py::handle w : rnn.attr("_flat_weights")) {
    if (!THPVariable_Check(w.ptr()))
      throw py::type_error(std::string("RNN._flat_weights must hold tensors, got ") + Py_TYPE(w.ptr())->tp_name);
    p.rnn.flat_weights.push_back(w.cast<at::Tensor>());
  }
  p.rnn.hidden_size = setting<int64_t>(rnn, "hidden_size", "an int");
  p.rnn.num_layers = setting<int64_t>(rnn, "num_layers", "an int");
  p.rnn.bidirectional = truth(rnn.attr("bidirectional"));
  p.rnn.has_biases = truth(rnn.attr("bias"));
  p.rnn.batch_first = truth(rnn.attr("batch_first"));
  p.rnn.dropout = setting<double>(rnn, "dropout", "a float");
  p.rnn.training = truth(rnn.attr("training"));

  p.bidirectional_summary = truth(module.attr("bidirectional"));
  py::object drop = module.attr("dropout");
  if (!py::isinstance(drop, nn.attr("Dropout")))
    throw py::type_error("unsupported dropout layer: " + std::string(Py_TYPE(drop.ptr())->tp_name));
  p.dropout_p = setting<double>(drop, "p", "a float");
  p.dropout_training = truth(drop.attr("training"));
  py::object fc = module.attr("classifier");
  if (!py::isinstance(fc, nn.attr("Linear")))
    throw py::type_error("unsupported classifier: " + std::string(Py_TYPE(fc.ptr())->tp_name));
  p.fc_weight = setting<at::Tensor>(fc, "weight", "a tensor");
  p.fc_bias = tensor_or_undefined(fc, "bias");
  return p;
}

static void require_int(const char* name, py::handle v) {
  if (!PyLong_Check(v.ptr())) annotated::raise_argument_type(name, "int", v);
}

static void classifier_init(py::object self, py::object input_features, py::object num_classes,
                            py::object conv_channels, py::object kernel_size, py::object pool_size,
                            py::object network_type, py::object rnn_hidden, py::object rnn_layers,
                            py::object dropout) {
  require_int("input_features", input_features);
  require_int("num_classes", num_classes);
  require_int("kernel_size", kernel_size);
  require_int("pool_size", pool_size);
  if (!PyUnicode_Check(network_type.ptr())) annotated::raise_argument_type("network_type", "str", network_type);
  require_int("rnn_hidden", rnn_hidden);
  require_int("rnn_layers", rnn_layers);
  py::object drop = to_float(dropout);

  py::module_ nn = py::module_::import("torch.nn");
  nn.attr("Module").attr("__init__")(self);

  py::list layers;
  py::object in_channels = input_features;
  py::object padding = kernel_size.attr("__floordiv__")(py::int_(2));
  for (py::handle ch : conv_channels) {
    py::object out_channels = to_int(ch);
    layers.append(nn.attr("Conv1d")(in_channels, out_channels, py::arg("kernel_size") = kernel_size,
                                    py::arg("padding") = padding));
    layers.append(nn.attr("BatchNorm1d")(out_channels));
    layers.append(nn.attr("ReLU")());
    in_channels = out_channels;
  }
  if (!py_le(pool_size, 1))
    layers.append(nn.attr("MaxPool1d")(py::arg("kernel_size") = pool_size, py::arg("stride") = pool_size));
  self.attr("cnn") = nn.attr("Sequential")(*layers);

  // Compared as Python texts: any str, lone surrogates included, compares.
  auto is = [&](const char* name) { return network_type.equal(py::str(name)); };
  const bool bidirectional = is("BiLSTM") || is("BiGRU") || is("BiRNN");
  py::dict classes;
  classes["RNN"] = nn.attr("RNN");
  classes["LSTM"] = nn.attr("LSTM");
  classes["GRU"] = nn.attr("GRU");
  py::object base = network_type.attr("replace")("Bi", "");
  py::object rnn_class = classes[base];  // a missing key raises KeyError
  py::object rnn_dropout = py_le(rnn_layers, 1) ? py::object(py::float_(0.0)) : drop;
  self.attr("rnn") = rnn_class(py::arg("input_size") = in_channels, py::arg("hidden_size") = rnn_hidden,
                               py::arg("num_layers") = rnn_layers, py::arg("batch_first") = true,
                               py::arg("bidirectional") = bidirectional, py::arg("dropout") = rnn_dropout);
  self.attr("bidirectional") = py::bool_(bidirectional);
  self.attr("dropout") = nn.attr("Dropout")(drop);
  py::object rnn_output_size = bidirectional ? rnn_hidden.attr("__mul__")(py::int_(2)) : rnn_hidden;
  self.attr("classifier") = nn.attr("Linear")(rnn_output_size, num_classes);
}

static at::Tensor classifier_forward(py::object self, py::object x) {
  if (!py::isinstance(x, py::module_::import("torch").attr("Tensor")))
    throw py::type_error(std::string("forward() expected x to be a torch.Tensor, got ") + Py_TYPE(x.ptr())->tp_name);
  NetParams p = extract_net_params(self);
  at::Tensor input = x.cast<at::Tensor>();
  return network_forward(p, input);
}

void register_network(py::module_& m) {
  using annotated::param;
  py::module_ nn = py::module_::import("torch.nn");
  py::object init = annotated::make(
      m,
      py::cpp_function(&classifier_init, py::arg("self"), py::arg("input_features"), py::arg("num_classes"),
                       py::arg("conv_channels"), py::arg("kernel_size"), py::arg("pool_size"),
                       py::arg("network_type"), py::arg("rnn_hidden"), py::arg("rnn_layers"), py::arg("dropout")),
      "__init__", "_CNNRNNClassifier.__init__", "",
      {param("self", ""), param("input_features", "int"), param("num_classes", "int"),
       param("conv_channels", "Sequence[int]"), param("kernel_size", "int"), param("pool_size", "int"),
       param("network_type", "str"), param("rnn_hidden", "int"), param("rnn_layers", "int"),
       param("dropout", "float")},
      "None");
  py::object forward = annotated::make(
      m, py::cpp_function(&classifier_forward, py::arg("self"), py::arg("x")), "forward",
      "_CNNRNNClassifier.forward", "", {param("self", ""), param("x", "torch.Tensor")}, "torch.Tensor");
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = py::str("_CNNRNNClassifier");
  ns["__doc__"] = py::str("一维卷积提取局部模式，循环层汇总完整序列，最后输出类别得分。");
  ns["__init__"] = init;
  ns["forward"] = forward;
  py::object cls = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)(
      "_CNNRNNClassifier", py::make_tuple(nn.attr("Module")), ns);
  m.attr("_CNNRNNClassifier") = cls;
}

}  // namespace hst
