#include "binding/py_semantics.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace hst {

py::object to_int(py::handle v) { return py::module_::import("builtins").attr("int")(v); }
py::object to_float(py::handle v) { return py::module_::import("builtins").attr("float")(v); }
py::str to_str(py::handle v) { return py::str(v); }

// UTF-8 of a Python text. Characters UTF-8 cannot hold (lone surrogates such
// as U+D800) become backslash escapes instead of failing the conversion; such
// a text then simply matches no keyword.
static std::string utf8(py::handle text) {
  return std::string(py::bytes(text.attr("encode")("utf-8", "backslashreplace")));
}

std::string to_lower_text(py::handle v) { return utf8(py::str(v).attr("lower")()); }

bool python_bool(py::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

static bool compare_with_double(py::handle a, double b, int op) {
  py::object rhs = py::float_(b);
  if (std::floor(b) == b && std::fabs(b) < 9e15) rhs = py::int_(static_cast<long long>(b));
  int r = PyObject_RichCompareBool(a.ptr(), rhs.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}
bool py_lt(py::handle a, double b) { return compare_with_double(a, b, Py_LT); }
bool py_le(py::handle a, double b) { return compare_with_double(a, b, Py_LE); }

int64_t int64_saturating(py::handle pyint) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(pyint.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) return std::numeric_limits<int64_t>::max();
  if (overflow < 0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

double as_double(py::handle pyfloat) {
  double v = PyFloat_AsDouble(pyfloat.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

void raise_value_error(const std::string& message) { throw py::value_error(message); }

void print_line(const std::string& text) {
  py::module_ builtins = py::module_::import("builtins");
  builtins.attr("print")(py::str(text), py::arg("flush") = true);
}

std::string text_of(py::handle obj) { return utf8(py::str(obj)); }

}  // namespace hst
