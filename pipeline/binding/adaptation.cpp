// Input adaptation: any numeric layout -> float32 [samples, features, steps],
// with a record of what was done. X is read once for the finiteness test and
// copied once (the float32 conversion); it is never modified. Real input
// wider than float32 also has its copy checked for overflow to Inf.
// Sequences of unequal length come as a list of per-sample arrays; they are
// padded with zeros to the longest, and the record keeps every length.
#include <algorithm>
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

// Real numbers only: complex values would lose their imaginary part in the
// float32 copy.
void check_numeric(const py::array& a) {
  py::module_ np = py::module_::import("numpy");
  if (!python_bool(np.attr("issubdtype")(a.attr("dtype"), np.attr("number")))) throw py::type_error("X 必须是数值型数组");
  if (a.dtype().kind() == 'c') raise_value_error("X 不能是复数：复数的虚部无法转换为实数特征");
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

// The sequence axis among the `dims` axes of one sample.
int64_t sequence_axis_of(py::object sequence_axis, int64_t dims) {
  py::object seq = to_int(sequence_axis);
  if (py_lt(seq, 0)) seq = seq.attr("__add__")(py::int_(dims));
  if (py_lt(seq, 0) || !py_lt(seq, static_cast<double>(dims)))
    raise_value_error("sequenceAxis 超出单条样本的数据维度范围");
  return seq.cast<int64_t>();
}

std::string shape_string(const py::array& a) { return py::str(shape_tuple(a)).cast<std::string>(); }

// The adaptation record, its keys in their fixed order.
py::dict shape_record(py::tuple original_shape, int64_t sample_axis, py::tuple sample_shape, int64_t sequence_axis,
                      int64_t n, int64_t features, int64_t length) {
  py::dict info;
  info["originalShape"] = original_shape;
  info["sampleAxis"] = py::int_(sample_axis);
  info["sampleShape"] = sample_shape;
  info["sequenceAxis"] = py::int_(sequence_axis);
  info["adaptedShape"] = py::make_tuple(n, features, length);
  info["featureCount"] = py::int_(features);
  info["sequenceLength"] = py::int_(length);
  return info;
}

// Per-sample arrays of unequal length -> zero-padded float32 [n, F, longest].
py::tuple adapt_ragged(const py::list& samples, py::object y_count, py::object sequence_axis,
                       py::object sample_dimension) {
  py::module_ np = py::module_::import("numpy");
  const bool auto_axis = PyUnicode_Check(sample_dimension.ptr()) && python_equal(sample_dimension, py::str("auto"));
  if (!auto_axis && !python_equal(to_int(sample_dimension), py::int_(0)))
    raise_value_error("X 是逐样本数组的列表时，样本即列表的元素：sampleDimension 只能为 \"auto\" 或 0");
  const int64_t n = static_cast<int64_t>(samples.size());
  if (!python_equal(py::int_(n), y_count))
    raise_value_error("X 的样本数 " + std::to_string(n) + " 与 Y 的样本数 " + py::str(y_count).cast<std::string>() +
                      " 不同");
  std::vector<py::array> arrays;
  arrays.reserve(n);
  for (py::handle item : samples) {
    py::array a = np.attr("asarray")(item);
    check_numeric(a);
    arrays.push_back(a);
  }
  const py::array& first = arrays[0];
  const int64_t dims = first.ndim();
  if (dims < 1) raise_value_error("X 至少需要包含样本维和一个数据维");
  const int64_t seq_axis = sequence_axis_of(sequence_axis, dims);

  std::vector<int64_t> lengths(n);
  int64_t longest = 0, features = 1;
  for (int64_t d = 0; d < dims; ++d)
    if (d != seq_axis) features *= first.shape(d);
  for (int64_t i = 0; i < n; ++i) {
    const py::array& a = arrays[i];
    bool same = a.ndim() == dims;
    for (int64_t d = 0; same && d < dims; ++d) same = d == seq_axis || a.shape(d) == first.shape(d);
    if (!same)
      raise_value_error("X[" + std::to_string(i) + "] 的尺寸 " + shape_string(a) + " 与 X[0] 的尺寸 " +
                        shape_string(first) + " 在序列轴以外不同：逐样本的数组只有序列轴（sequenceAxis=" +
                        std::to_string(seq_axis) + "）的长度可以不同");
    if (!finite(a)) raise_value_error("X 中不能包含 NaN 或 Inf（X[" + std::to_string(i) + "]）");
    lengths[i] = a.shape(seq_axis);
    if (lengths[i] < 2)
      raise_value_error("序列轴长度至少为2；请检查 sequenceAxis 是否选对（X[" + std::to_string(i) + "] 的长度为 " +
                        std::to_string(lengths[i]) + "）");
    longest = std::max(longest, lengths[i]);
  }
  if (features == 0) raise_value_error("X 的数据维度中不能有长度为0的轴");

  // One copy per sample into its rows of the padded array, sequence axis last.
  py::array sequences = np.attr("zeros")(py::make_tuple(n, features, longest), py::arg("dtype") = np.attr("float32"));
  bool wide = false;
  for (int64_t i = 0; i < n; ++i) {
    const py::array& a = arrays[i];
    py::object moved = np.attr("moveaxis")(a, seq_axis, -1).attr("reshape")(features, lengths[i]);
    py::object target = sequences[py::make_tuple(i, py::slice(py::none(), py::none(), py::none()),
                                                 py::slice(py::int_(0), py::int_(lengths[i]), py::none()))];
    np.attr("copyto")(target, moved, py::arg("casting") = "unsafe");
    const char kind = a.dtype().kind();
    wide = wide || (kind == 'f' && a.itemsize() > 4);
  }
  if (wide && !finite(sequences)) raise_value_error("X 中不能包含 NaN 或 Inf");

  py::list sample_shape_list;
  for (int64_t d = 0; d < dims; ++d) sample_shape_list.append(py::int_(d == seq_axis ? longest : first.shape(d)));
  py::tuple sample_shape(sample_shape_list);
  py::dict info = shape_record(py::make_tuple(py::int_(n)) + sample_shape, 0, sample_shape, seq_axis, n, features,
                               longest);
  // Only samples of unequal length add their lengths to the record (plain
  // ints, so the record still compares with == and writes as JSON).
  if (std::any_of(lengths.begin(), lengths.end(), [&](int64_t len) { return len != longest; })) {
    py::tuple own(n);
    for (int64_t i = 0; i < n; ++i) own[i] = py::int_(lengths[i]);
    info["sequenceLengths"] = own;
  }
  return py::make_tuple(sequences, info);
}

}  // namespace

at::Tensor recorded_lengths(const py::dict& shape_info) {
  if (!shape_info.contains("sequenceLengths")) return at::Tensor();
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> own(shape_info["sequenceLengths"]);
  const int64_t* p = own.data();
  const int64_t n = own.size(), longest = shape_info["sequenceLength"].cast<int64_t>();
  // (a record of an earlier release lists the lengths of equal rows too)
  if (std::all_of(p, p + n, [&](int64_t len) { return len == longest; })) return at::Tensor();
  return at::from_blob(const_cast<int64_t*>(p), {n}, at::kLong).clone();
}

py::object sample_list(py::handle X) {
  py::module_ np = py::module_::import("numpy");
  py::list items;
  if (py::isinstance<py::array>(X)) {
    py::array a = py::reinterpret_borrow<py::array>(X);
    if (a.dtype().kind() != 'O' || a.ndim() != 1) return py::none();
    for (py::handle item : a) items.append(item);
  } else if (PyList_Check(X.ptr()) || PyTuple_Check(X.ptr())) {
    for (py::handle item : X) items.append(item);
  } else {
    return py::none();
  }
  if (items.empty()) return py::none();
  py::list arrays;
  for (py::handle item : items) {
    if (!py::isinstance<py::array>(item) && !PyList_Check(item.ptr()) && !PyTuple_Check(item.ptr()))
      return py::none();  // numbers or other objects: read as one array
    arrays.append(np.attr("asarray")(item));
  }
  return arrays;
}

py::object ragged_samples(py::handle X) {
  py::object samples = sample_list(X);
  // an object array holds its samples one by one, whatever their shapes
  if (samples.is_none() || py::isinstance<py::array>(X)) return samples;
  // samples of one shape stack into one array: they take the ordinary path
  py::object first_shape;
  for (py::handle a : samples) {
    py::object shape = a.attr("shape");
    if (!first_shape) first_shape = shape;
    else if (!python_equal(shape, first_shape)) return samples;
  }
  return py::none();
}

py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis, py::object sample_dimension) {
  if (!PyLong_Check(y_count.ptr())) annotated::raise_argument_type("y_count", "int", y_count);
  if (!PyLong_Check(sequence_axis.ptr())) annotated::raise_argument_type("sequence_axis", "int", sequence_axis);
  py::module_ np = py::module_::import("numpy");
  py::object ragged = ragged_samples(X);
  if (!ragged.is_none()) return adapt_ragged(ragged, y_count, sequence_axis, sample_dimension);

  py::array data = np.attr("asarray")(X);
  const int64_t ndim = data.ndim();
  if (ndim < 2) raise_value_error("X 至少需要包含样本维和一个数据维");
  check_numeric(data);
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
  const int64_t seq_axis = sequence_axis_of(sequence_axis, ndim - 1);
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
  if (kind == 'f' && data.itemsize() > 4 && !finite(sequences))
    raise_value_error("X 中不能包含 NaN 或 Inf");

  py::dict info = shape_record(shape_tuple(data), sample_axis, sample_shape, seq_axis, n, features, length);
  return py::make_tuple(sequences, info);
}

}  // namespace hst
