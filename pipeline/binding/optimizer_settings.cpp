// The optimiser settings as torch.optim sees them. The native engine does the
// stepping, but a run must be refused wherever torch's own optimiser would
// refuse its settings (Adam and RMSprop reject a NaN learning rate, for
// instance), with torch's own error: so the library's optimiser class is
// constructed here, exactly as the settings name it.
//
// It is constructed over an empty parameter list. Every optimiser checks its
// settings before it looks at the parameters, and then torch.optim's base
// class refuses the empty list, which here means that the settings passed (the
// model's own parameters, leaf float tensors, pass every check of theirs).
// Over real parameters, torch 2 would import torch._dynamo on the first
// optimiser of the process, 1 to 3 s, for an object that is never stepped.
// The StepLR of a "piecewise" schedule checks nothing of its step size or
// factor when it is built (they are used only as it steps), so it is not built.
#include "binding/stages.h"

namespace hst {

namespace {

// What torch.optim's base class says of an empty parameter list.
std::string empty_list_refusal(const py::module_& optim) {
  try {
    optim.attr("Optimizer")(py::list(), py::dict());
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) return py::str(e.value());
    throw;
  }
  return std::string();  // a torch that accepts it: nothing to tell apart
}

}  // namespace

void check_optimiser_settings(const py::dict& options, const std::string& solver) {
  py::module_ optim = py::module_::import("torch.optim");
  py::object lr = to_float(options["learnRate"]);
  try {
    if (solver == "adam")
      optim.attr("Adam")(py::list(), py::arg("lr") = lr);
    else if (solver == "sgdm")
      optim.attr("SGD")(py::list(), py::arg("lr") = lr, py::arg("momentum") = 0.9);
    else if (solver == "rmsprop")
      optim.attr("RMSprop")(py::list(), py::arg("lr") = lr);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) {
      const std::string passed = empty_list_refusal(optim);
      if (!passed.empty() && std::string(py::str(e.value())) == passed) return;
    }
    throw;
  }
}

}  // namespace hst
