// Data split: a predefined split from splitLabels, or a two-stage split with
// scikit-learn's train_test_split, stratified whenever samples are shuffled.
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
  py::object split = module.attr("train_test_split");
  py::object seed = options[py::str("seed")];
  int seed_is_zero = PyObject_RichCompareBool(seed.ptr(), py::int_(0).ptr(), Py_EQ);
  if (seed_is_zero < 0) throw py::error_already_set();
  // The flag's truth value: scikit-learn only treats the object False as "no
  // shuffle", so 0 or None would shuffle without stratifying.
  const bool shuffle = python_bool(options[py::str("shuffle")]);

  py::array all_idx = np.attr("arange")(n);
  py::tuple first = split(all_idx, py::arg("test_size") = 1.0 - r_train,
                          py::arg("random_state") = seed_is_zero ? py::object(py::none()) : seed,
                          py::arg("shuffle") = shuffle, py::arg("stratify") = shuffle ? py::object(y) : py::none());
  py::object pool = first[0];
  py::object test = first[1];
  py::object seed2 = seed_is_zero ? py::object(py::none()) : seed.attr("__add__")(py::int_(1));
  if (seed2.is(py::reinterpret_borrow<py::object>(Py_NotImplemented))) seed2 = seed + py::int_(1);
  py::tuple second = split(pool, py::arg("test_size") = validation_ratio, py::arg("random_state") = seed2,
                           py::arg("shuffle") = shuffle,
                           py::arg("stratify") = shuffle ? py::object(y[pool]) : py::none());
  return py::make_tuple(np.attr("asarray")(second[0]), np.attr("asarray")(second[1]), np.attr("asarray")(test));
}

}  // namespace hst
