// Module setup: binds the libraries, sets the two plotting defaults, imports
// the evaluation function, creates the network class and the module's
// functions with their docstrings and annotation texts.
#include <c10/util/Exception.h>

#include "binding/docstrings.h"
#include "binding/stages.h"
#include "kernels/simd.h"
#include "runtime/host_allocator.h"

namespace {

namespace py = pybind11;

// c10 errors raised by our own ATen code reach Python as the matching
// built-in exception, never as a crash.
void translate_errors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const c10::IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
  } catch (const c10::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
  } catch (const c10::TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
  } catch (const c10::NotImplementedError& e) {
    PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
  } catch (const c10::Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
  }
}

}  // namespace

static void init_module(py::module_& m);

// A failed import (a missing library or RatePredictions) reaches the caller
// as the very error that step raised, not wrapped in a generic ImportError
// (as PYBIND11_MODULE would wrap it). The module object comes from the
// interpreter's own single-phase API; pybind11 only fills it.
static PyModuleDef hybrid_module_def = {PyModuleDef_HEAD_INIT, "HybridSeqTrain", nullptr, -1, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};
extern "C" PYBIND11_EXPORT PyObject* PyInit_HybridSeqTrain() {
  PyObject* raw = PyModule_Create(&hybrid_module_def);
  if (raw == nullptr) return nullptr;
  auto m = py::reinterpret_steal<py::module_>(raw);
  try {
    init_module(m);
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}

static void init_module(py::module_& m) {
  using annotated::param;
  using annotated::param_with_default;
  m.doc() = "CNN-RNN 通用分类核心函数。";
  py::register_local_exception_translator(&translate_errors);
  // The loops' caching allocator goes in place now, while no training runs.
  hst::install_host_allocator();
  // The instruction set the kernels were built for: one forced at build time
  // (HST_ISA), or the best of AVX-512, AVX2 and the baseline chosen at load.
#ifdef HST_KERNEL_ISA
  m.attr("_kernel_isa") = py::str(HST_KERNEL_ISA);
#else
  m.attr("_kernel_isa") = py::str(HST_MULTIVERSION ? "load-time (avx512 / avx2 / baseline)" : "compiler default");
#endif

  // Standard library and typing names.
  m.attr("copy") = py::module_::import("copy");
  m.attr("random") = py::module_::import("random");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  py::module_ typing = py::module_::import("typing");
  for (const char* name : {"Any", "Dict", "Optional", "Sequence", "Tuple"}) m.attr(name) = typing.attr(name);

  // Libraries.
  m.attr("plt") = py::module_::import("matplotlib.pyplot");
  m.attr("np") = py::module_::import("numpy");
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("train_test_split") = py::module_::import("sklearn.model_selection").attr("train_test_split");
  py::module_ data = py::module_::import("torch.utils.data");
  m.attr("DataLoader") = data.attr("DataLoader");
  m.attr("TensorDataset") = data.attr("TensorDataset");

  // The evaluation function, by absolute import.
  m.attr("RatePredictions") = py::module_::import("RatePredictions").attr("RatePredictions");

  // Process-wide plotting defaults.
  py::object rc = m.attr("plt").attr("rcParams");
  py::list sans;
  sans.append("SimHei");
  sans.append("Microsoft YaHei");
  sans.append("DejaVu Sans");
  rc["font.sans-serif"] = sans;
  rc["axes.unicode_minus"] = false;

  // The network class.
  annotated::register_type(m);
  hst::register_network(m);
  hst::register_estimator(m);
  hst::register_estimator_cv(m);

  // The module's functions. They hold the module itself, so a copy loaded
  // under another name or from a package path uses its own class and names.
  py::object self = py::reinterpret_borrow<py::object>(m);
  m.attr("_set_random_seed") = annotated::make(
      m, py::cpp_function(&hst::set_random_seed, py::arg("seed")), "_set_random_seed", "_set_random_seed",
      hst::doc::kSetRandomSeed, {param("seed", "int")}, "None");
  m.attr("_adapt_to_sequence") = annotated::make(
      m,
      py::cpp_function(&hst::adapt_to_sequence, py::arg("X"), py::arg("y_count"), py::arg("sequence_axis"),
                       py::arg("sample_dimension")),
      "_adapt_to_sequence", "_adapt_to_sequence", hst::doc::kAdaptToSequence,
      {param("X", "np.ndarray"), param("y_count", "int"), param("sequence_axis", "int"),
       param("sample_dimension", "str | int")},
      "Tuple[np.ndarray, Dict[str, Any]]");
  m.attr("_split_indices") = annotated::make(
      m,
      py::cpp_function([self](py::object y_encoded,
                              py::object options) { return hst::split_indices(self, y_encoded, options); },
                       py::arg("y_encoded"), py::arg("options")),
      "_split_indices",
      "_split_indices", hst::doc::kSplitIndices, {param("y_encoded", "np.ndarray"), param("options", "Dict[str, Any]")},
      "Tuple[np.ndarray, np.ndarray, np.ndarray]");
  m.attr("_metrics_with_display_names") = annotated::make(
      m,
      py::cpp_function(
          [self](py::object y_true, py::object y_pred, py::object encoded_classes) {
            return hst::metrics_with_display_names(self, y_true, y_pred, encoded_classes);
          },
          py::arg("y_true"), py::arg("y_pred"), py::arg("encoded_classes")),
      "_metrics_with_display_names", "_metrics_with_display_names", "对编码标签计算分类指标。",
      {param("y_true", "np.ndarray"), param("y_pred", "np.ndarray"), param("encoded_classes", "np.ndarray")},
      "Dict[str, Any]");
  m.attr("HybridSeqTrain") = annotated::make(
      m,
      py::cpp_function(
          [self](py::object X, py::object Y, py::object options) {
            return hst::hybrid_seq_train(self, X, Y, options);
          },
          py::arg("X"), py::arg("Y"), py::arg("options") = py::none()),
      "HybridSeqTrain", "HybridSeqTrain", hst::doc::kHybridSeqTrain,
      {param("X", "np.ndarray"), param("Y", "Sequence[Any]"),
       param_with_default("options", "Optional[Dict[str, Any]]", py::none())},
      "Tuple[np.ndarray, np.ndarray, nn.Module, Dict[str, Any]]");
}
