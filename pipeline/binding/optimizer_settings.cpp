// The optimiser settings as torch.optim sees them. The native engine does the
// stepping, but a run must be refused wherever torch's own optimiser would
// refuse its settings (Adam and RMSprop reject a NaN learning rate, for
// instance), with torch's own error: so the library's optimiser class is
// constructed here, exactly as the settings name it.
//
// It is constructed over one throwaway parameter, so that neither the order of
// torch's checks nor the wording of any of its messages matters: the settings
// pass exactly when the constructor returns. The class is a subclass whose
// add_param_group keeps nothing: over real parameters torch 2 runs that method
// through its compiler's disable wrapper, which imports torch._dynamo on the
// first optimiser of the process (1 to 3 s) for an object that is never
// stepped; the settings are checked by the constructor itself.
// The StepLR of a "piecewise" schedule checks nothing of its step size or
// factor when it is built (they are used only as it steps), so it is not built.
#include "binding/stages.h"

namespace hst {

namespace {

// `optimiser` with an add_param_group that only records nothing.
py::object settings_probe(py::handle optimiser) {
  py::object probe = annotated::python_class(py::str("HybridSeqTrain"), "_SettingsProbe", py::make_tuple(optimiser), py::dict());
  probe.attr("add_param_group") =
      py::cpp_function([](py::object, py::object) {}, py::name("add_param_group"), py::is_method(probe));
  return probe;
}

}  // namespace

void check_optimiser_settings(double learn_rate, const std::string& solver) {
  py::module_ torch = py::module_::import("torch");
  py::module_ optim = py::module_::import("torch.optim");
  py::float_ lr(learn_rate);
  py::list params;
  params.append(torch.attr("nn").attr("Parameter")(torch.attr("zeros")(1)));
  if (solver == "adam")
    settings_probe(optim.attr("Adam"))(params, py::arg("lr") = lr);
  else if (solver == "sgdm")
    settings_probe(optim.attr("SGD"))(params, py::arg("lr") = lr, py::arg("momentum") = 0.9);
  else if (solver == "rmsprop")
    settings_probe(optim.attr("RMSprop"))(params, py::arg("lr") = lr);
}

}  // namespace hst
