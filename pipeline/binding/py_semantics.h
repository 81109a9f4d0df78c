// Shared helpers of the pipeline's binding layer: Python-semantics value
// conversions, error raising and console output. Everything here runs with
// the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <torch/extension.h>

#include <cstdint>
#include <string>

#include "annotated_function.h"

namespace hst {

namespace py = pybind11;

// Python's own int(v), float(v), str(v): same acceptance, same errors.
py::object to_int(py::handle v);
py::object to_float(py::handle v);
py::str to_str(py::handle v);
// str(v).lower()
std::string to_lower_text(py::handle v);
// The truth value of v (bool(v)); errors of __bool__ propagate.
bool python_bool(py::handle v);
// Python comparison of a Python number with a C++ number.
bool py_lt(py::handle a, double b);
bool py_le(py::handle a, double b);
// A Python int converted to int64, saturating at the int64 range (used for
// sizes and counts after validation, where only "very large" matters).
int64_t int64_saturating(py::handle pyint);
double as_double(py::handle pyfloat);

[[noreturn]] void raise_value_error(const std::string& message);

// Writes one console line through Python's print (so sys.stdout redirection
// and capture work) and flushes it.
void print_line(const std::string& text);

// Python's repr-like text of an object (str(obj)).
std::string text_of(py::handle obj);

}  // namespace hst
