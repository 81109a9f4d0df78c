// The optimiser and schedule settings as torch.optim sees them. The native
// engine does the stepping, but a run must be refused wherever torch's own
// optimiser or schedule would refuse its settings (Adam and RMSprop reject a
// NaN learning rate, for instance), with torch's own error: so the library
// objects are built here, exactly as the settings name them, and dropped.
#include "binding/stages.h"

namespace hst {

void check_optimiser_settings(py::handle model, const py::dict& options, const std::string& solver) {
  py::module_ optim = py::module_::import("torch.optim");
  py::object lr = to_float(options["learnRate"]);
  py::object optimizer;
  if (solver == "adam") {
    optimizer = optim.attr("Adam")(model.attr("parameters")(), py::arg("lr") = lr);
  } else if (solver == "sgdm") {
    optimizer = optim.attr("SGD")(model.attr("parameters")(), py::arg("lr") = lr, py::arg("momentum") = 0.9);
  } else if (solver == "rmsprop") {
    optimizer = optim.attr("RMSprop")(model.attr("parameters")(), py::arg("lr") = lr);
  } else {
    return;  // the caller reports the unknown solver
  }
  // Any other schedule text is reported by the caller, after this point.
  if (to_lower_text(options["learnRateSchedule"]) == "piecewise") {
    optim.attr("lr_scheduler")
        .attr("StepLR")(optimizer, py::arg("step_size") = to_int(options["learnRateDropPeriod"]),
                        py::arg("gamma") = to_float(options["learnRateDropFactor"]));
  }
}

}  // namespace hst
