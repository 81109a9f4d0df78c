// The `_RawInputClassifier` class that HybridSeqClassifier.to_module returns
// (and `_EnsembleClassifier`, the mean of several, for the search's ensemble):
// raw samples-first input -> class probabilities (layout, standardisation,
// the network, softmax) as one torch.nn.Module, written in torch operators
// only, so that tracing and export record the whole mapping. Every size in
// the recorded graph comes from the input tensors themselves: a trace or an
// export taken at one batch size (and one padded length) holds at any other.
#include <torch/csrc/autograd/python_variable.h>

#include "binding/stages.h"

namespace hst {

namespace {

void raw_init(py::object self, py::object network, py::object sample_shape, py::object sequence_axis, py::object mean,
              py::object stdev) {
  py::module_ torch = py::module_::import("torch");
  py::module_::import("torch.nn").attr("Module").attr("__init__")(self);
  self.attr("network") = network;
  self.attr("sample_shape") = py::tuple(sample_shape);
  self.attr("sequence_axis") = to_int(sequence_axis);
  auto buffer = [&](const char* name, py::object value) {
    py::object t = torch.attr("as_tensor")(value, py::arg("dtype") = torch.attr("float32"));
    self.attr("register_buffer")(name, t.attr("reshape")(1, -1, 1));
  };
  buffer("mean", mean);
  buffer("std", stdev);
}

// Raw samples-first input -> class probabilities. Samples of unequal length
// come zero-padded along the sequence axis, with their lengths.
at::Tensor raw_forward(py::object self, py::object x, py::object lengths) {
  if (!THPVariable_Check(x.ptr()))
    throw py::type_error(std::string("forward() expected x to be a torch.Tensor, got ") + Py_TYPE(x.ptr())->tp_name);
  const at::Tensor input = x.cast<at::Tensor>();
  const std::vector<int64_t> sample = self.attr("sample_shape").cast<std::vector<int64_t>>();
  const int64_t seq = self.attr("sequence_axis").cast<int64_t>();
  const int64_t d = static_cast<int64_t>(sample.size());
  // A sample's fixed axes are compared (symbolic sizes too: an exporter then
  // keeps them fixed); the batch, and with lengths the padded length, never.
  bool fits = input.dim() == d + 1;
  for (int64_t i = 0; fits && i < d; ++i)
    fits = (i == seq && !lengths.is_none()) || input.sym_size(i + 1) == sample[i];
  if (!fits)
    throw py::value_error("x 的尺寸 " + py::str(py::tuple(x.attr("shape"))).cast<std::string>() +
                          " 不符：应为 [样本数] 加上单条样本尺寸 " + py::str(py::tuple(self.attr("sample_shape"))).cast<std::string>() +
                          (lengths.is_none() ? "" : "（序列轴可为任意补齐后的长度）"));
  // The sequence axis last, the other axes of a sample merged into features
  // (in the order the adaptation merged them) by flatten, which reads no size.
  std::vector<int64_t> order{0};
  for (int64_t i = 0; i < d; ++i)
    if (i != seq) order.push_back(i + 1);
  order.push_back(seq + 1);
  at::Tensor t = input.permute(order);
  t = d == 1 ? t.unsqueeze(1) : t.flatten(/*start_dim=*/1, /*end_dim=*/d - 1);
  t = (t.to(at::kFloat) - self.attr("mean").cast<at::Tensor>()) / self.attr("std").cast<at::Tensor>();
  at::Tensor logits = self.attr("network")(t, lengths).cast<at::Tensor>();
  return at::softmax(logits, 1);
}

void ensemble_init(py::object self, py::object members) {
  py::module_ nn = py::module_::import("torch.nn");
  nn.attr("Module").attr("__init__")(self);
  self.attr("members") = nn.attr("ModuleList")(members);
}

// The mean of the members' class probabilities.
at::Tensor ensemble_forward(py::object self, py::object x, py::object lengths) {
  std::vector<at::Tensor> probabilities;
  for (py::handle member : self.attr("members")) probabilities.push_back(member(x, lengths).cast<at::Tensor>());
  return at::stack(probabilities).mean(0);
}

}  // namespace

namespace {

// A torch.nn.Module subclass `name` whose __init__ and forward(self, x,
// lengths=None) are the given functions, registered on m.
void register_module_class(py::module_& m, const char* name, const char* doc, const char* init_signature,
                           py::cpp_function init, py::cpp_function forward) {
  const py::object module_name = m.attr("__name__");
  const std::string qualified(name);
  py::dict ns;
  ns["__doc__"] = py::str(doc);
  ns["__init__"] =
      annotated::python_function_calling(module_name, qualified + ".__init__", init_signature, std::move(init));
  ns["forward"] = annotated::python_function_calling(module_name, qualified + ".forward", "self, x, lengths=None",
                                                     std::move(forward), "self, x, lengths");
  m.attr(name) = annotated::python_class(module_name, name,
                                         py::make_tuple(py::module_::import("torch.nn").attr("Module")), ns);
}

}  // namespace

void register_raw_input_classifier(py::module_& m) {
  register_module_class(m, "_RawInputClassifier",
                        "原始样本（样本在第0维）-> 类别概率：布局变换、标准化、CNN-RNN 网络与 softmax。",
                        "self, network, sample_shape, sequence_axis, mean, std", py::cpp_function(&raw_init),
                        py::cpp_function(&raw_forward));
  register_module_class(m, "_EnsembleClassifier",
                        "几个 _RawInputClassifier 的平均：原始样本（样本在第0维）-> 各成员类别概率的均值。",
                        "self, members", py::cpp_function(&ensemble_init), py::cpp_function(&ensemble_forward));
}

}  // namespace hst
