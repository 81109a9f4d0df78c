// Module RatePredictions: scores a multi-class prediction (accuracy, macro
// and per-class precision / recall / F1, confusion matrix).
//
// Plain pybind11, no torch. The numerical work is left to NumPy and
// scikit-learn, reached through the names this module binds at load time;
// they are looked up in the module's namespace on every call, the way a
// Python function reads its globals, so nothing is cached between calls.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "annotated_function.h"

namespace py = pybind11;

namespace {

const char* const kModuleDoc = "分类效果评价函数。";

const char* const kFunctionDoc =
    "\n"
    "    计算多分类任务的整体指标、逐类别指标和混淆矩阵。\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    realData : sequence\n"
    "        真实类别标签，长度必须与 foreData 相同。\n"
    "    foreData : sequence\n"
    "        模型预测类别标签。\n"
    "    classOrder : sequence, optional\n"
    "        指标和混淆矩阵使用的类别顺序；不提供时按 realData 和 foreData\n"
    "        中出现的类别自动排序。\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    metrics : dict\n"
    "        accuracy、macroPrecision、macroRecall、macroF1 为整体指标；\n"
    "        precisionPerClass、recallPerClass、f1PerClass 为逐类别指标；\n"
    "        confusionMatrix 为混淆矩阵；classes 为对应类别顺序。\n"
    "    ";

const char* const kSequenceAny = "Sequence[Any]";

// A module-level name, read at call time; a missing one fails like an
// unbound global in Python code.
py::object global(const py::dict& globals, const char* name) {
  py::str key(name);
  if (!globals.contains(key)) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return globals[key];  // a reference of our own
}

// Python's float(x): always a built-in float, also for NumPy scalars (which
// subclass float and would otherwise pass through unchanged).
py::object builtin_float(const py::object& x) {
  PyObject* r = PyNumber_Float(x.ptr());
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// Flattened array view of an array-like: np.asarray(x).reshape(-1).
py::object flat_array(const py::object& np, const py::object& x) {
  return np.attr("asarray")(x).attr("reshape")(-1);
}

py::dict rate_predictions(const py::dict& globals, const py::object& real_data, const py::object& fore_data,
                          const py::object& class_order) {
  py::object np = global(globals, "np");

  py::object y_true = flat_array(np, real_data);
  py::object y_pred = flat_array(np, fore_data);

  const auto n_true = y_true.attr("size").cast<py::ssize_t>();
  const auto n_pred = y_pred.attr("size").cast<py::ssize_t>();
  // The count check comes first: one empty and one non-empty input is a
  // count mismatch, not empty data.
  if (n_true != n_pred) throw py::value_error("realData 与 foreData 的样本数量必须相同");
  if (n_true == 0) throw py::value_error("评价数据不能为空");

  py::object classes;
  if (class_order.is_none()) {
    classes = np.attr("unique")(np.attr("concatenate")(py::make_tuple(y_true, y_pred)));
  } else {
    // The caller's order, as given: no sorting, no de-duplication.
    classes = flat_array(np, class_order);
  }

  py::object precision_per_class = global(globals, "precision_score")(
      y_true, y_pred, py::arg("labels") = classes, py::arg("average") = py::none(), py::arg("zero_division") = 0);
  py::object recall_per_class = global(globals, "recall_score")(
      y_true, y_pred, py::arg("labels") = classes, py::arg("average") = py::none(), py::arg("zero_division") = 0);
  py::object f1_per_class = global(globals, "f1_score")(
      y_true, y_pred, py::arg("labels") = classes, py::arg("average") = py::none(), py::arg("zero_division") = 0);

  py::dict metrics;
  metrics["accuracy"] = builtin_float(global(globals, "accuracy_score")(y_true, y_pred));
  py::object mean = np.attr("mean");
  metrics["macroPrecision"] = builtin_float(mean(precision_per_class));
  metrics["macroRecall"] = builtin_float(mean(recall_per_class));
  metrics["macroF1"] = builtin_float(mean(f1_per_class));
  metrics["precisionPerClass"] = precision_per_class;
  metrics["recallPerClass"] = recall_per_class;
  metrics["f1PerClass"] = f1_per_class;
  metrics["confusionMatrix"] = global(globals, "confusion_matrix")(y_true, y_pred, py::arg("labels") = classes);
  metrics["classes"] = classes;
  return metrics;
}

}  // namespace

PYBIND11_MODULE(RatePredictions, m) {
  m.doc() = kModuleDoc;

  // The module's namespace, bound in this order; a missing library fails the import.
  py::module_ typing = py::module_::import("typing");
  m.attr("Any") = typing.attr("Any");
  m.attr("Dict") = typing.attr("Dict");
  m.attr("Sequence") = typing.attr("Sequence");
  m.attr("np") = py::module_::import("numpy");
  py::module_ metrics = py::module_::import("sklearn.metrics");
  for (const char* name : {"accuracy_score", "confusion_matrix", "f1_score", "precision_score", "recall_score"}) {
    m.attr(name) = metrics.attr(name);
  }

  annotated::register_type(m);

  // The function reads the routines from the module's namespace (its
  // globals) at call time, so it holds the namespace, as a Python function
  // holds its __globals__.
  py::dict globals = py::reinterpret_borrow<py::dict>(m.attr("__dict__"));
  py::cpp_function impl(
      [globals](const py::object& realData, const py::object& foreData, const py::object& classOrder) {
        return rate_predictions(globals, realData, foreData, classOrder);
      },
      py::name("RatePredictions"), py::arg("realData"), py::arg("foreData"), py::arg("classOrder") = py::none());

  m.attr("RatePredictions") = annotated::make(
      m, std::move(impl), "RatePredictions", "RatePredictions", kFunctionDoc,
      {annotated::param("realData", kSequenceAny), annotated::param("foreData", kSequenceAny),
       annotated::param_with_default("classOrder", "Sequence[Any] | None", py::none())},
      "Dict[str, Any]");
}
