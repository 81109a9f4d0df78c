// Data split: a predefined split from splitLabels, or a two-stage split with
// scikit-learn's train_test_split, stratified whenever samples are shuffled.
// The estimator's hold-out is one such stage, made by the same helper.
#include "binding/stages.h"

namespace hst {

namespace {

py::array positions_equal(const py::array& labels, int code) {
  py::module_ np = py::module_::import("numpy");
  const char kind = labels.dtype().kind();
  if (kind == 'U' || kind == 'S') return np.attr("array")(py::list(), py::arg("dtype") = np.attr("intp"));
  py::object eq = labels.attr("__eq__")(py::int_(code));
  py::array mask = np.attr("asarray")(eq, py::arg("dtype") = np.attr("bool_"));
  if (mask.ndim() == 0) return np.attr("array")(py::list(), py::arg("dtype") = np.attr("intp"));
  return np.attr("flatnonzero")(mask);
}

}  // namespace

py::tuple split_stage(py::object module, py::object items, py::object labels, double test_size, py::object seed,
                      int offset, bool shuffle) {
  // The seed as given (the splitter refuses what is not an integer), 0
  // meaning the process-wide generator.
  const int seed_is_zero = PyObject_RichCompareBool(seed.ptr(), py::int_(0).ptr(), Py_EQ);
  if (seed_is_zero < 0) throw py::error_already_set();
  py::object state = py::none();
  if (!seed_is_zero) {
    state = seed;
    if (offset != 0) {
      state = seed.attr("__add__")(py::int_(offset));
      if (state.is(py::reinterpret_borrow<py::object>(Py_NotImplemented))) state = seed + py::int_(offset);
    }
  }
  return module.attr("train_test_split")(items, py::arg("test_size") = test_size, py::arg("random_state") = state,
                                         py::arg("shuffle") = shuffle,
                                         py::arg("stratify") = shuffle ? labels : py::object(py::none()));
}

py::tuple split_indices(py::object module, py::object y_encoded, py::object options_obj) {
  if (!PyDict_Check(options_obj.ptr())) annotated::raise_argument_type("options", "dict", options_obj);
  py::dict options = py::reinterpret_borrow<py::dict>(options_obj);
  py::module_ np = py::module_::import("numpy");
  py::array y = np.attr("asarray")(y_encoded);
  const py::ssize_t n = y.size();

  py::object predefined = options.attr("get")("splitLabels");
  if (!predefined.is_none()) {
    py::array labels = np.attr("asarray")(predefined).attr("reshape")(-1);
    if (labels.size() != n) raise_value_error("splitLabels 的长度必须与样本数相同");
    py::array train = positions_equal(labels, 1);
    py::array val = positions_equal(labels, 2);
    py::array test = positions_equal(labels, 3);
    if (train.size() == 0 || val.size() == 0 || test.size() == 0)
      raise_value_error("splitLabels 必须同时包含1(训练)、2(验证)、3(测试)");
    return py::make_tuple(train, val, test);
  }

  const double r_train = as_double(to_float(options[py::str("rTrain")]));
  const double validation_ratio = as_double(to_float(options[py::str("validationRatio")]));
  py::object seed = options[py::str("seed")];
  // The flag's truth value: scikit-learn only treats the object False as "no
  // shuffle", so 0 or None would shuffle without stratifying.
  const bool shuffle = python_bool(options[py::str("shuffle")]);

  py::tuple first = split_stage(module, np.attr("arange")(n), y, 1.0 - r_train, seed, 0, shuffle);
  py::object pool = first[0];
  py::object test = first[1];
  py::tuple second = split_stage(module, pool, y[pool], validation_ratio, seed, 1, shuffle);
  return py::make_tuple(np.attr("asarray")(second[0]), np.attr("asarray")(second[1]), np.attr("asarray")(test));
}

}  // namespace hst
