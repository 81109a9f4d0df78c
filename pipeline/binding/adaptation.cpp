// Input adaptation: any numeric layout -> float32 [samples, features, steps],
// with a record of what was done. X is read once for the finiteness test and
// copied once (the float32 conversion); it is never modified. Real input
// wider than float32 also has its copy checked for overflow to Inf.
#include <cmath>

#include "binding/stages.h"

namespace hst {

namespace {

template <typename T>
bool all_finite(const T* p, int64_t n) {
  bool ok = true;
  for (int64_t i = 0; i < n; ++i) ok &= std::isfinite(p[i]);
  return ok;
}

// True when every element is finite. Contiguous, aligned float32/float64
// input in the machine's byte order is scanned in place; every other real or
// complex layout (byte-swapped or unaligned data included) goes through NumPy.
bool finite(const py::array& data) {
  const char kind = data.dtype().kind();
  if (kind == 'i' || kind == 'u' || data.size() == 0) return true;
  const int flags = data.flags();
  const bool contiguous = (flags & (py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
                                    py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_)) != 0;
  const bool native = data.dtype().byteorder() == '=' && (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
  if (contiguous && native && kind == 'f' && data.itemsize() == 4) {
    const float* p = static_cast<const float*>(data.data());
    const int64_t n = data.size();
    py::gil_scoped_release nogil;
    return all_finite(p, n);
  }
  if (contiguous && native && kind == 'f' && data.itemsize() == 8) {
    const double* p = static_cast<const double*>(data.data());
    const int64_t n = data.size();
    py::gil_scoped_release nogil;
    return all_finite(p, n);
  }
  py::module_ np = py::module_::import("numpy");
  return python_bool(np.attr("isfinite")(data).attr("all")());
}

bool python_equal(py::handle a, py::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::tuple shape_tuple(const py::array& a) {
  py::list l;
  for (py::ssize_t i = 0; i < a.ndim(); ++i) l.append(py::int_(a.shape(i)));
  return py::tuple(l);
}

}  // namespace

py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis, py::object sample_dimension) {
  if (!PyLong_Check(y_count.ptr())) annotated::raise_argument_type("y_count", "int", y_count);
  if (!PyLong_Check(sequence_axis.ptr())) annotated::raise_argument_type("sequence_axis", "int", sequence_axis);
  py::module_ np = py::module_::import("numpy");

  py::array data = np.attr("asarray")(X);
  const int64_t ndim = data.ndim();
  if (ndim < 2) raise_value_error("X 至少需要包含样本维和一个数据维");
  if (!python_bool(np.attr("issubdtype")(data.attr("dtype"), np.attr("number"))))
    throw py::type_error("X 必须是数值型数组");
  if (!finite(data)) raise_value_error("X 中不能包含 NaN 或 Inf");

  // The sample axis.
  int64_t sample_axis = 0;
  if (PyUnicode_Check(sample_dimension.ptr()) && python_equal(sample_dimension, py::str("auto"))) {
    if (python_equal(py::int_(data.shape(0)), y_count)) sample_axis = 0;
    else if (python_equal(py::int_(data.shape(ndim - 1)), y_count)) sample_axis = ndim - 1;
    else raise_value_error("无法根据Y长度识别样本维，请设置 options['sampleDimension']");
  } else {
    py::object axis = to_int(sample_dimension);
    if (py_lt(axis, 0)) axis = axis.attr("__add__")(py::int_(ndim));
    if (py_lt(axis, 0) || !py_lt(axis, static_cast<double>(ndim)))
      raise_value_error("sampleDimension 超出 X 的维度范围");
    sample_axis = axis.cast<int64_t>();
    if (!python_equal(py::int_(data.shape(sample_axis)), y_count))
      raise_value_error("sampleDimension 指向的维度长度必须等于Y的样本数");
  }
  py::array moved = np.attr("moveaxis")(data, sample_axis, 0);
  py::list sample_shape_list;
  for (int64_t i = 1; i < ndim; ++i) sample_shape_list.append(py::int_(moved.shape(i)));
  py::tuple sample_shape(sample_shape_list);

  // The sequence axis, among the axes of one sample.
  py::object seq = to_int(sequence_axis);
  const int64_t sample_dims = ndim - 1;
  if (py_lt(seq, 0)) seq = seq.attr("__add__")(py::int_(sample_dims));
  if (py_lt(seq, 0) || !py_lt(seq, static_cast<double>(sample_dims)))
    raise_value_error("sequenceAxis 超出单条样本的数据维度范围");
  const int64_t seq_axis = seq.cast<int64_t>();
  moved = np.attr("moveaxis")(moved, seq_axis + 1, -1);

  const int64_t n = moved.shape(0);
  const int64_t length = moved.shape(ndim - 1);
  int64_t features = 1;
  for (int64_t i = 1; i < ndim - 1; ++i) features *= moved.shape(i);
  if (length < 2) raise_value_error("序列轴长度至少为2；请检查 sequenceAxis 是否选对");
  // A sample with no features (an axis of length 0 besides the sequence
  // axis) leaves the network nothing to read.
  if (features == 0) raise_value_error("X 的数据维度中不能有长度为0的轴");

  // The one copy: strided read of the moved view, float32 write.
  py::array sequences = np.attr("empty")(py::make_tuple(n, features, length), py::arg("dtype") = np.attr("float32"));
  np.attr("copyto")(sequences.attr("reshape")(moved.attr("shape")), moved, py::arg("casting") = "unsafe");
  // Finite values beyond the float32 range turn into Inf in the copy; they
  // would reach the network as Inf and train it into NaN, so they are refused
  // like Inf given directly.
  const char kind = data.dtype().kind();
  if (((kind == 'f' && data.itemsize() > 4) || kind == 'c') && !finite(sequences))
    raise_value_error("X 中不能包含 NaN 或 Inf");

  py::dict info;
  info["originalShape"] = shape_tuple(data);
  info["sampleAxis"] = py::int_(sample_axis);
  info["sampleShape"] = sample_shape;
  info["sequenceAxis"] = py::int_(seq_axis);
  info["adaptedShape"] = py::make_tuple(n, features, length);
  info["featureCount"] = py::int_(features);
  info["sequenceLength"] = py::int_(length);
  return py::make_tuple(sequences, info);
}

}  // namespace hst
