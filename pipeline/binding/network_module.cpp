// The `_CNNRNNClassifier` class: its torch.nn structure (built through
// torch.nn classes so state_dict, parameters(), .to() and saving behave as
// usual) and the binding of its forward to the core's forward definition.
#include <algorithm>
#include <vector>

#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/jit/frontend/tracer.h>

#include "binding/stages.h"
#include "core/network.h"
#include "runtime/torch_compat.h"

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
      s.bn.training = python_bool(layer.attr("training"));
      s.bn.track_running_stats = python_bool(layer.attr("track_running_stats"));
    } else if (py::isinstance(layer, nn.attr("ReLU"))) {
      s.kind = CnnStep::RELU;
    } else if (py::isinstance(layer, nn.attr("MaxPool1d"))) {
      s.kind = CnnStep::MAX_POOL;
      s.pool_kernel = first_int(layer, "kernel_size");
      s.pool_stride = layer.attr("stride").is_none() ? s.pool_kernel : first_int(layer, "stride");
      TORCH_CHECK_VALUE(first_int(layer, "padding") == 0 && first_int(layer, "dilation") == 1 &&
                            !python_bool(layer.attr("ceil_mode")),
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
  p.rnn.bidirectional = python_bool(rnn.attr("bidirectional"));
  p.rnn.has_biases = python_bool(rnn.attr("bias"));
  p.rnn.batch_first = python_bool(rnn.attr("batch_first"));
  p.rnn.dropout = setting<double>(rnn, "dropout", "a float");
  p.rnn.training = python_bool(rnn.attr("training"));

  p.bidirectional_summary = python_bool(module.attr("bidirectional"));
  py::object drop = module.attr("dropout");
  if (!py::isinstance(drop, nn.attr("Dropout")))
    throw py::type_error("unsupported dropout layer: " + std::string(Py_TYPE(drop.ptr())->tp_name));
  p.dropout_p = setting<double>(drop, "p", "a float");
  p.dropout_training = python_bool(drop.attr("training"));
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

namespace {

at::Tensor exported_recurrent(py::handle rnn, const at::Tensor& x, const at::Tensor& lengths);
bool export_recurrence_applies(py::handle rnn);

// The stages as calls of the module's own submodules (self.cnn(x),
// self.rnn(x)[0], ...), so their hooks fire and tracers, exporters and
// compilers record torch.nn's layers. Runs with the GIL held. With lengths
// the convolution stack's layers are called one by one (each sample padded
// at its own ends, BatchNorm's batch statistics over valid positions) and the
// recurrent layer reads a PackedSequence.
class ModuleStages final : public NetworkStages {
 public:
  explicit ModuleStages(py::handle self) : self_(self) {}
  at::Tensor cnn(const at::Tensor& x, const at::Tensor& lengths) const override {
    py::object cnn = self_.attr("cnn");
    if (!lengths.defined()) return tensor_from("cnn", cnn(x));
    const std::vector<CnnStep>& steps = structure();
    at::Tensor out = x, l = lengths;
    size_t i = 0;
    for (py::handle layer : cnn) {
      const CnnStep& s = steps.at(i++);
      switch (s.kind) {
        case CnnStep::CONV:
          out = tensor_from("cnn", layer(zero_beyond(out, l)));
          break;
        case CnnStep::BATCH_NORM:
          // batch statistics (training, or no running statistics kept) over valid positions only
          if (python_bool(layer.attr("training")) || layer.attr("running_mean").is_none())
            out = over_valid_positions(out, l, [&](const at::Tensor& rows) { return tensor_from("cnn", layer(rows)); });
          else
            out = zero_beyond(tensor_from("cnn", layer(out)), l);
          break;
        case CnnStep::RELU:
          out = tensor_from("cnn", layer(out));
          break;
        case CnnStep::MAX_POOL:
          out = tensor_from("cnn", layer(out));
          break;
      }
      if (s.kind == CnnStep::CONV || s.kind == CnnStep::MAX_POOL) {
        l = stack_output_lengths({s}, l);
        out = zero_beyond(out, l);
      }
    }
    return out;
  }
  at::Tensor cnn_lengths(const at::Tensor& lengths) const override {
    return lengths.defined() ? stack_output_lengths(structure(), lengths) : lengths;
  }
  at::Tensor rnn(const at::Tensor& x, const at::Tensor& lengths) const override {
    if (!lengths.defined()) return tensor_from("rnn", self_.attr("rnn")(x)[py::int_(0)]);
    if (export_recurrence_applies(self_.attr("rnn"))) return exported_recurrent(self_.attr("rnn"), x, lengths);
    py::module_ utils = py::module_::import("torch.nn.utils.rnn");
    py::object rnn = self_.attr("rnn");
    py::object packed = utils.attr("pack_padded_sequence")(x, lengths.to(at::kCPU), py::arg("batch_first") = true,
                                                           py::arg("enforce_sorted") = false);
    // The zero initial state sized from x by operators (not by a number read
    // off the batch), so that a trace holds for any batch size.
    const int64_t layers = setting<int64_t>(rnn, "num_layers", "an int") * (python_bool(rnn.attr("bidirectional")) ? 2 : 1);
    const at::Tensor h0 =
        at::zeros_like(x.select(1, 0).narrow(1, 0, 1)).unsqueeze(0).expand({layers, -1, setting<int64_t>(rnn, "hidden_size", "an int")});
    py::object state = setting<std::string>(rnn, "mode", "str") == "LSTM" ? py::object(py::make_tuple(h0, h0)) : py::cast(h0);
    py::object out = rnn(packed, state)[py::int_(0)];
    // padded to the batch's longest sample: every step the summary reads
    py::object padded = utils.attr("pad_packed_sequence")(out, py::arg("batch_first") = true)[py::int_(0)];
    return tensor_from("rnn", padded);
  }
  bool bidirectional() const override { return python_bool(self_.attr("bidirectional")); }
  at::Tensor dropout(const at::Tensor& s) const override { return tensor_from("dropout", self_.attr("dropout")(s)); }
  at::Tensor classifier(const at::Tensor& s) const override {
    return tensor_from("classifier", self_.attr("classifier")(s));
  }

 private:
  static at::Tensor tensor_from(const char* stage, const py::object& value) {
    if (!THPVariable_Check(value.ptr()))
      throw py::type_error(std::string("_CNNRNNClassifier.forward: the ") + stage + " stage gave " +
                           Py_TYPE(value.ptr())->tp_name + ", expected a Tensor");
    return value.cast<at::Tensor>();
  }
  // The convolution stack's steps (torch.nn's layer classes only), read once.
  const std::vector<CnnStep>& structure() const {
    if (!steps_read_) {
      steps_ = extract_net_params(self_).cnn;
      steps_read_ = true;
    }
    return steps_;
  }
  py::handle self_;
  mutable std::vector<CnnStep> steps_;
  mutable bool steps_read_ = false;
};

// The entry `key` of `dict`, a reference of our own; None when missing.
py::object dict_entry(const py::dict& dict, const char* key) {
  py::str name(key);
  return dict.contains(name) ? py::object(dict[name]) : py::object(py::none());
}

bool nonempty_entry(const py::dict& dict, const char* key) {
  py::object value = dict_entry(dict, key);
  if (value.is_none()) return false;
  const Py_ssize_t n = PyObject_Length(value.ptr());
  if (n < 0) throw py::error_already_set();
  return n > 0;
}

// Forward, forward-pre and backward hooks on `module` or any module below it
// (each module looked at once, as modules() does).
bool hooks_below(py::handle module, std::vector<PyObject*>& seen) {
  if (std::find(seen.begin(), seen.end(), module.ptr()) != seen.end()) return false;
  seen.push_back(module.ptr());
  py::object attrs = py::getattr(module, "__dict__", py::none());
  if (!PyDict_Check(attrs.ptr())) return true;  // not a plain module: let torch.nn decide
  py::dict dict = py::reinterpret_borrow<py::dict>(attrs);
  for (const char* key : {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks"})
    if (nonempty_entry(dict, key)) return true;
  py::object children = dict_entry(dict, "_modules");
  if (!PyDict_Check(children.ptr())) return false;
  // A list of the children, each held by it: a hook looked at below may
  // change the dictionary without leaving a child unowned.
  py::list owned(py::reinterpret_borrow<py::dict>(children).attr("values")());
  for (py::handle child : owned)
    if (!child.is_none() && hooks_below(child, seen)) return true;
  return false;
}

// A loaded module by name (sys.modules), or None: what is not loaded cannot be running.
py::object loaded_module(const char* name) {
  return dict_entry(py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict()), name);
}

// Calls `module.name()` where the module is loaded and has the function.
bool flag_of(const char* module, const char* name) {
  py::object m = loaded_module(module);
  if (m.is_none()) return false;
  if (!py::hasattr(m, name)) return false;
  return python_bool(m.attr(name)());
}

// ---- The recurrent layer as torch.export records it -----------------------
//
// A packed sequence has data-dependent sizes, and torch's recurrent layers
// are recorded by torch.export one step at a time (the padded length becomes
// a constant). With lengths, an export therefore runs each layer and
// direction as torch's cell over a scan of the steps, which keeps both the
// batch and the padded length free. Each sample is exact: the forward
// direction reads the valid steps first, and the backward direction runs
// over the sample reversed within its own length. The module's recurrent
// layer is not called (its hooks do not fire) on this path.

// torch's scan over the steps where this torch has it (torch 2.x), or None.
py::object scan_function() {
  try {
    return py::module_::import("torch._higher_order_ops.scan").attr("scan");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
    return py::none();
  }
}

bool export_recurrence_applies(py::handle rnn) {
  if (!flag_of("torch.compiler", "is_exporting")) return false;
  if (py::hasattr(rnn, "proj_size") && setting<int64_t>(rnn, "proj_size", "an int") != 0) return false;
  return !scan_function().is_none();
}

// Step numbers 0..T-1 of x [B, T, ...] mapped so that each sample's valid
// steps run backwards (t -> length-1-t); padding steps stay where they are.
// Applying it twice gives x back.
at::Tensor reversed_within(const at::Tensor& x, const at::Tensor& lengths) {
  const at::Tensor t = at::ones_like(x.select(2, 0), at::kLong).cumsum(1) - 1;  // [B, T]
  const at::Tensor l = lengths.to(x.device()).unsqueeze(1);
  const at::Tensor order = at::where(t < l, l - 1 - t, t);
  return x.gather(1, order.unsqueeze(2).expand_as(x));
}

at::Tensor exported_recurrent(py::handle rnn, const at::Tensor& x, const at::Tensor& lengths) {
  const std::string mode = setting<std::string>(rnn, "mode", "str");
  const int64_t layers = setting<int64_t>(rnn, "num_layers", "an int");
  const int64_t hidden = setting<int64_t>(rnn, "hidden_size", "an int");
  const int64_t dirs = python_bool(rnn.attr("bidirectional")) ? 2 : 1;
  const bool biases = python_bool(rnn.attr("bias"));
  const double dropout = setting<double>(rnn, "dropout", "a float");
  const bool training = python_bool(rnn.attr("training"));
  py::list weights = rnn.attr("_flat_weights");
  const int64_t per_direction = biases ? 4 : 2;
  py::module_ torch = py::module_::import("torch");
  const bool lstm = mode == "LSTM";
  py::object cell = torch.attr(lstm ? "lstm_cell" : mode == "GRU" ? "gru_cell" : mode == "RNN_TANH" ? "rnn_tanh_cell"
                                                                                               : "rnn_relu_cell");
  py::object scan = scan_function();
  at::Tensor input = x;
  for (int64_t layer = 0; layer < layers; ++layer) {
    std::vector<at::Tensor> outputs;
    for (int64_t dir = 0; dir < dirs; ++dir) {
      py::tuple w(4);
      for (int64_t k = 0; k < 4; ++k)
        w[k] = k < per_direction ? weights[(layer * dirs + dir) * per_direction + k] : py::none();
      // step(carry, x_t) -> (new carry, output at the step), the cell's own arithmetic
      py::dict globals;
      globals["_cell"] = cell;
      globals["_w"] = w;
      py::object step = annotated::python_function(
          py::str("HybridSeqTrain"), "_CNNRNNClassifier.rnn_step", "carry, x",
          lstm ? "(lambda hc: (hc, hc[0].clone()))(tuple(_cell(x, carry, *_w)))"
               : "(lambda h: (h, h.clone()))(_cell(x, carry, *_w))",
          globals);
      const at::Tensor steps = (dir == 0 ? input : reversed_within(input, lengths)).transpose(0, 1);  // [T, B, I]
      const at::Tensor h0 = at::zeros_like(input.select(1, 0).narrow(1, 0, 1)).expand({-1, hidden}).contiguous();
      py::object init = lstm ? py::object(py::make_tuple(h0, h0.clone())) : py::cast(h0);
      at::Tensor out = scan(step, init, steps)[py::int_(1)].cast<at::Tensor>().transpose(0, 1);  // [B, T, H]
      outputs.push_back(dir == 0 ? out : reversed_within(out, lengths));
    }
    input = dirs == 1 ? outputs[0] : at::cat(outputs, 2);
    if (training && dropout > 0 && layer + 1 < layers) input = at::dropout(input, dropout, true);
  }
  return input.masked_fill(valid_steps(input.transpose(1, 2), lengths).logical_not().unsqueeze(2), 0);
}

// Exactly torch.nn's own class (a subclass may run another forward).
bool exactly(py::handle obj, const py::object& cls) { return Py_TYPE(obj.ptr()) == (PyTypeObject*)cls.ptr(); }

// The module has the structure AtenStages runs: torch.nn's own classes, exactly.
bool plain_structure(py::handle self) {
  py::module_ nn = py::module_::import("torch.nn");
  py::object cnn = self.attr("cnn");
  if (!exactly(cnn, nn.attr("Sequential"))) return false;
  const py::object kinds[] = {nn.attr("Conv1d"), nn.attr("BatchNorm1d"), nn.attr("ReLU"), nn.attr("MaxPool1d")};
  for (py::handle layer : cnn) {
    bool known = false;
    for (const auto& k : kinds) known = known || exactly(layer, k);
    if (!known) return false;
  }
  py::object rnn = self.attr("rnn");
  return (exactly(rnn, nn.attr("LSTM")) || exactly(rnn, nn.attr("GRU")) || exactly(rnn, nn.attr("RNN"))) &&
         exactly(self.attr("dropout"), nn.attr("Dropout")) && exactly(self.attr("classifier"), nn.attr("Linear"));
}

// A tensor whose operators reach the dense CPU kernels and autograd only: no
// Python subclass or mode (fake, functional, proxy tensors), no autocast, no
// functorch transform, in this thread's current dispatch state.
bool plain_dispatch(const at::Tensor& t, const c10::impl::LocalDispatchKeySet& tls) {
  for (c10::DispatchKey k : t.key_set() | tls.included_) {
    if (tls.excluded_.has(k)) continue;
    switch (k) {
      case c10::DispatchKey::CPU:
      case c10::DispatchKey::AutogradCPU:
      case c10::DispatchKey::ADInplaceOrView:
      case c10::DispatchKey::BackendSelect:
        continue;
      default:
        return false;
    }
  }
  return true;
}

bool plain_cpu_float(const at::Tensor& t, const c10::impl::LocalDispatchKeySet& tls) {
  return t.defined() && t.layout() == at::kStrided && t.device().is_cpu() && t.scalar_type() == at::kFloat &&
         plain_dispatch(t, tls);
}

// Whether something could tell the native kernels from torch.nn's layers in
// this call: a hook, a tracer or exporter, a compiler, a torch-function mode,
// a tensor subclass, another dtype or device, or a module of another class.
bool observable(py::handle self, py::handle x_obj, const at::Tensor& x) {
  if (!THPVariable_CheckExact(x_obj.ptr())) return true;
  if (torch::jit::tracer::isTracing() || compat::torch_function_mode_active()) return true;
  const auto tls = c10::impl::tls_local_dispatch_key_set();
  if (x.dim() != 3 || !plain_cpu_float(x, tls)) return true;
  py::object nn_module = loaded_module("torch.nn.modules.module");
  if (!nn_module.is_none()) {
    py::dict globals = nn_module.attr("__dict__");
    for (const char* key : {"_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks",
                            "_global_backward_pre_hooks"})
      if (nonempty_entry(globals, key)) return true;
  }
  std::vector<PyObject*> seen;
  if (hooks_below(self, seen)) return true;
  if (flag_of("torch.onnx", "is_in_onnx_export") || flag_of("torch.compiler", "is_compiling") ||
      flag_of("torch.compiler", "is_exporting"))
    return true;
  return !plain_structure(self);
}

// The parameters and buffers the native kernels would read are plain CPU float32.
bool native_ready(const NetParams& p) {
  const auto tls = c10::impl::tls_local_dispatch_key_set();
  for (const at::Tensor& t : p.state()) {
    if (t.defined() && t.scalar_type() == at::kLong) {  // BatchNorm's batch counter
      if (!t.device().is_cpu() || !plain_dispatch(t, tls)) return false;
    } else if (!plain_cpu_float(t, tls)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// The lengths argument of model(x, lengths) as an int64 tensor [B], checked
// where its values can be read (not while a tracer or compiler records).
static at::Tensor lengths_argument(py::handle self, py::handle lengths_obj, const at::Tensor& x, bool recording) {
  py::module_ torch = py::module_::import("torch");
  at::Tensor lengths = THPVariable_Check(lengths_obj.ptr()) ? lengths_obj.cast<at::Tensor>()
                                                            : torch.attr("as_tensor")(lengths_obj).cast<at::Tensor>();
  if (!THPVariable_Check(lengths_obj.ptr()) && lengths.numel() == 0) lengths = lengths.to(at::kLong);  // []
  if (x.dim() != 3)
    throw py::value_error("forward(x, lengths): x must be [batch, features, steps] padded to the longest sample, got " +
                          std::to_string(x.dim()) + " dimensions");
  // sizes compared as symbols: an exporter keeps the batch free
  if (lengths.dim() != 1 || lengths.sym_size(0) != x.sym_size(0) || at::isFloatingType(lengths.scalar_type()) ||
      at::isComplexType(lengths.scalar_type()) || lengths.scalar_type() == at::kBool)
    throw py::value_error("forward(x, lengths): lengths must hold one integer per sample (" +
                          py::str(py::cast(x).attr("shape")[py::int_(0)]).cast<std::string>() + "), got " +
                          py::str(py::cast(lengths).attr("shape")).cast<std::string>() + " " +
                          std::string(c10::toString(lengths.scalar_type())));
  lengths = lengths.to(at::kLong);
  if (recording || lengths.numel() == 0) return lengths;
  const int64_t steps = x.size(2);
  const int64_t lo = lengths.min().item<int64_t>(), hi = lengths.max().item<int64_t>();
  if (lo < 1 || hi > steps)
    throw py::value_error("forward(x, lengths): every length must lie in 1.." + std::to_string(steps) +
                          " (the padded steps of x), got " + std::to_string(lo) + ".." + std::to_string(hi));
  const int64_t kept = cnn_output_length(extract_net_params(self).cnn, lo);
  if (kept < 1)
    throw py::value_error("forward(x, lengths): a sample of " + std::to_string(lo) +
                          " steps leaves no step after the convolution and pooling layers");
  return lengths;
}

// model(x, lengths=None): the core's one forward definition, over the native
// kernels where nothing can observe the difference (then without the GIL),
// over the module's own submodules everywhere else.
static at::Tensor classifier_forward(py::object self, py::object x, py::object lengths_obj) {
  if (!THPVariable_Check(x.ptr()))
    throw py::type_error(std::string("forward() expected x to be a torch.Tensor, got ") + Py_TYPE(x.ptr())->tp_name);
  const at::Tensor input = x.cast<at::Tensor>();
  const bool seen = observable(self, x, input);
  at::Tensor lengths;
  if (!lengths_obj.is_none()) {
    const bool recording = torch::jit::tracer::isTracing() || flag_of("torch.onnx", "is_in_onnx_export") ||
                           flag_of("torch.compiler", "is_compiling") || flag_of("torch.compiler", "is_exporting");
    lengths = lengths_argument(self, lengths_obj, input, recording);
    if (!recording && lengths.numel() == 0) lengths = at::Tensor();  // no samples: nothing to tell apart
  }
  if (seen) return network_forward(ModuleStages(self), input, lengths);
  const NetParams p = extract_net_params(self);
  if (!native_ready(p)) return network_forward(ModuleStages(self), input, lengths);
  if (lengths.defined()) {
    lengths = lengths.to(at::kCPU).contiguous();
    // every sample as long as x: nothing differs from a call without lengths
    if (lengths.numel() == 0 || lengths.min().item<int64_t>() == input.size(2)) lengths = at::Tensor();
  }
  py::gil_scoped_release nogil;
  return network_forward(p, input, lengths, Kernels::Native);
}

// torch.jit.script asks a module for a scriptable version first: this one has
// none, as its forward is C++; tracing records the same layers.
static py::object refuse_scripting(py::object /*self*/) {
  throw std::runtime_error(
      "torch.jit.script cannot compile _CNNRNNClassifier: its forward is C++ code, which TorchScript cannot "
      "read. Use torch.jit.trace(model, example_input) instead: the traced module records the same torch.nn "
      "layers and runs any batch size and sequence length.");
}

// forward as a Python function whose body calls the C++ forward: torch's
// compiler and exporter read a module's forward as a function (its __code__,
// its source file), and the interpreter binds its arguments.
static py::object forward_function(py::module_& m, py::cpp_function impl) {
  py::object fn = annotated::python_function_calling(m.attr("__name__"), "_CNNRNNClassifier.forward",
                                                     "self, x, lengths=None", std::move(impl), "self, x, lengths");
  fn.attr("__doc__") = py::str("");
  py::dict annotations;
  annotations["x"] = py::str("torch.Tensor");
  annotations["lengths"] = py::str("Optional[torch.Tensor]");
  annotations["return"] = py::str("torch.Tensor");
  fn.attr("__annotations__") = annotations;
  return fn;
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
  py::object forward = forward_function(m, py::cpp_function(&classifier_forward, py::arg("self"), py::arg("x"), py::arg("lengths")));
  py::dict ns;
  ns["__doc__"] = py::str("一维卷积提取局部模式，循环层汇总完整序列，最后输出类别得分。");
  ns["__init__"] = init;
  ns["forward"] = forward;
  py::object cls = annotated::python_class(m.attr("__name__"), "_CNNRNNClassifier", py::make_tuple(nn.attr("Module")), ns);
  cls.attr("__prepare_scriptable__") = py::cpp_function(&refuse_scripting, py::name("__prepare_scriptable__"),
                                                        py::is_method(cls));
  m.attr("_CNNRNNClassifier") = cls;
}

}  // namespace hst
