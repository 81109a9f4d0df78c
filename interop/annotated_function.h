// A small callable type that carries a docstring, annotation texts and a
// signature, so functions written in C++ look like ordinary Python functions
// to help(), inspect and __annotations__. pybind11's own function objects are
// builtins: they take no new attributes and have no __annotations__.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace annotated {

namespace py = pybind11;

struct Function {
  py::object impl;  // the pybind11 function that does the work
};

// One parameter: name, annotation text and, when it has one, its default.
struct Param {
  std::string name;
  std::string annotation;
  bool has_default = false;
  py::object default_value = py::none();
};

inline Param param(std::string name, std::string annotation) {
  return Param{std::move(name), std::move(annotation), false, py::none()};
}

inline Param param_with_default(std::string name, std::string annotation, py::object def) {
  return Param{std::move(name), std::move(annotation), true, std::move(def)};
}

// Registers the callable type in module `m` (module-local, so both extension
// modules can register it). Methods are supported through __get__.
inline void register_type(py::module_& m) {
  py::class_<Function>(m, "_annotated_function", py::dynamic_attr(), py::module_local())
      .def("__call__",
           [](const Function& f, py::args args, py::kwargs kwargs) { return f.impl(*args, **kwargs); })
      .def(
          "__get__",
          [](py::object self, py::object obj, py::object /*objtype*/) -> py::object {
            if (obj.is_none()) return self;
            return py::module_::import("types").attr("MethodType")(self, obj);
          },
          py::arg("obj"), py::arg("objtype") = py::none())
      .def("__repr__", [](py::object self) {
        return py::str("<function {}>").format(self.attr("__qualname__"));
      });
}

// Wraps `impl` into an annotated function object. `params` lists every
// parameter in order (a leading `self` of a method included, with an empty
// annotation, which is then not recorded).
inline py::object make(py::module_& m, py::cpp_function impl, const std::string& name,
                       const std::string& qualname, const std::string& doc,
                       const std::vector<Param>& params, const std::string& return_annotation) {
  py::object type = m.attr("_annotated_function");
  py::object obj = py::cast(Function{std::move(impl)});
  (void)type;
  py::dict annotations;
  py::module_ inspect = py::module_::import("inspect");
  py::object Parameter = inspect.attr("Parameter");
  py::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
  py::list sig_params;
  for (const auto& p : params) {
    py::dict kw;
    kw["kind"] = kind;
    if (!p.annotation.empty()) {
      annotations[py::str(p.name)] = py::str(p.annotation);
      kw["annotation"] = py::str(p.annotation);
    }
    if (p.has_default) kw["default"] = p.default_value;
    sig_params.append(Parameter(py::str(p.name), **kw));
  }
  annotations["return"] = py::str(return_annotation);
  obj.attr("__name__") = py::str(name);
  obj.attr("__qualname__") = py::str(qualname);
  obj.attr("__module__") = m.attr("__name__");
  obj.attr("__doc__") = py::str(doc);
  obj.attr("__annotations__") = annotations;
  obj.attr("__signature__") =
      inspect.attr("Signature")(sig_params, py::arg("return_annotation") = py::str(return_annotation));
  return obj;
}

// "Argument 'x' has incorrect type (expected int, got str)", the value's type
// written as the interpreter's C-level type name.
[[noreturn]] inline void raise_argument_type(const char* argument, const char* expected, py::handle value) {
  std::string msg = std::string("Argument '") + argument + "' has incorrect type (expected " + expected +
                    ", got " + Py_TYPE(value.ptr())->tp_name + ")";
  throw py::type_error(msg);
}

}  // namespace annotated
