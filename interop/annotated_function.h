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
  py::object impl;      // the pybind11 function that does the work, called positionally
  py::tuple names;      // parameter names, in order (a method's `self` included)
  py::tuple defaults;   // defaults of the last len(defaults) parameters
  py::object binder;    // plain Python function with the same parameters and qualname
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

namespace detail {

// Binds a call's arguments to the parameters the way the interpreter does for
// a plain function. Returns false, leaving `bound` unusable, whenever the call
// does not bind cleanly with exact-str keywords; the caller then lets the
// interpreter itself decide (and word the error).
inline bool bind_fast(const Function& f, PyObject* args, PyObject* kwargs, py::tuple& bound) {
  PyObject* names = f.names.ptr();
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given > n) return false;
  bound = py::reinterpret_steal<py::tuple>(PyTuple_New(n));
  if (!bound) throw py::error_already_set();
  PyObject* out = bound.ptr();
  for (Py_ssize_t i = 0; i < given; ++i) {
    PyObject* v = PyTuple_GET_ITEM(args, i);
    Py_INCREF(v);
    PyTuple_SET_ITEM(out, i, v);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) return false;
      Py_ssize_t slot = -1;
      for (Py_ssize_t i = 0; i < n && slot < 0; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (name == key || PyUnicode_Compare(name, key) == 0) slot = i;
      }
      if (slot < 0 || PyTuple_GET_ITEM(out, slot) != nullptr) return false;
      Py_INCREF(value);
      PyTuple_SET_ITEM(out, slot, value);
    }
  }
  PyObject* defaults = f.defaults.ptr();
  const Py_ssize_t first_default = n - PyTuple_GET_SIZE(defaults);
  for (Py_ssize_t i = given; i < n; ++i) {
    if (PyTuple_GET_ITEM(out, i) != nullptr) continue;
    if (i < first_default) return false;  // a required parameter is missing
    PyObject* v = PyTuple_GET_ITEM(defaults, i - first_default);
    Py_INCREF(v);
    PyTuple_SET_ITEM(out, i, v);
  }
  return true;
}

}  // namespace detail

// Calls the function: arguments are bound to the parameters as for a plain
// Python function of the same name and signature, and the implementation
// receives them all positionally. A call that does not bind (too many or
// missing positional arguments, an unknown keyword, a value given twice, a
// keyword that is not a str) goes through the interpreter's own binding of a
// plain function with the same parameters and qualname, so the TypeError is
// the interpreter's own, word for word, on every Python version.
inline py::object call(const Function& f, const py::args& args, const py::kwargs& kwargs) {
  PyObject* kw = (kwargs && PyDict_GET_SIZE(kwargs.ptr()) > 0) ? kwargs.ptr() : nullptr;
  PyObject* result = nullptr;
  if (kw == nullptr && PyTuple_GET_SIZE(args.ptr()) == PyTuple_GET_SIZE(f.names.ptr())) {
    result = PyObject_Call(f.impl.ptr(), args.ptr(), nullptr);
  } else {
    py::tuple bound;
    if (!detail::bind_fast(f, args.ptr(), kw, bound)) {
      py::object via = py::reinterpret_steal<py::object>(PyObject_Call(f.binder.ptr(), args.ptr(), kw));
      if (!via) throw py::error_already_set();
      bound = py::reinterpret_borrow<py::tuple>(via);
    }
    result = PyObject_Call(f.impl.ptr(), bound.ptr(), nullptr);
  }
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// A plain Python function `def <name>(<params>): return <body>`, compiled
// from source (file name "<qualname>") with `globals` (plus the builtins and
// `__name__` = module_name) as its globals; its __name__ is the last part of
// `qualname`. The interpreter binds its arguments and words their errors,
// and torch's compiler and exporter read it as any Python function (its
// __code__, its source file). Every function of both modules that is not a
// pybind11 builtin is made here.
inline py::object python_function(const py::object& module_name, const std::string& qualname,
                                  const std::string& params, const std::string& body, py::dict globals = py::dict()) {
  py::module_ builtins = py::module_::import("builtins");
  globals["__builtins__"] = builtins;
  globals["__name__"] = module_name;
  const std::string source = "def f(" + params + "):\n    return " + body + "\n";
  builtins.attr("exec")(builtins.attr("compile")(source, "<" + qualname + ">", "exec"), globals);
  py::object fn = globals["f"];
  fn.attr("__name__") = py::str(qualname.substr(qualname.rfind('.') + 1));
  fn.attr("__qualname__") = py::str(qualname);
  fn.attr("__module__") = module_name;
  return fn;
}

// A Python function with `params` whose body calls `impl` with `args` (by
// default the parameter names as they stand, which suits parameters without
// defaults).
inline py::object python_function_calling(const py::object& module_name, const std::string& qualname,
                                          const std::string& params, py::object impl, const std::string& args = "") {
  py::dict globals;
  globals["_impl"] = std::move(impl);
  return python_function(module_name, qualname, params, "_impl(" + (args.empty() ? params : args) + ")", globals);
}

// A class made as `type(name, bases, namespace)` makes one, in module
// `module_name` (its __module__ and __qualname__ set here).
inline py::object python_class(const py::object& module_name, const std::string& name, const py::tuple& bases,
                               py::dict ns) {
  ns["__module__"] = module_name;
  ns["__qualname__"] = py::str(name);
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(py::str(name), bases, ns);
}

// A plain Python function `def binder(p1, p2, ...): return (p1, p2, ...)`
// carrying the given defaults, name, qualname and module: the interpreter binds its
// arguments and words its argument errors with that qualname.
inline py::object make_binder(const std::vector<std::string>& names, const py::tuple& defaults,
                              const std::string& qualname, const py::object& module) {
  std::string list;
  for (const auto& p : names) list += (list.empty() ? "" : ", ") + p;
  const std::string values = names.size() == 1 ? list + "," : list;
  py::object fn = python_function(module, qualname, list, "(" + values + ")");
  fn.attr("__defaults__") = defaults.size() ? py::object(defaults) : py::object(py::none());
  return fn;
}

// Registers the callable type in module `m` (module-local, so both extension
// modules can register it). Methods are supported through __get__.
inline void register_type(py::module_& m) {
  py::class_<Function>(m, "_annotated_function", py::dynamic_attr(), py::module_local())
      .def("__call__", &call)
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
  std::vector<std::string> names;
  py::list defaults;
  for (const auto& p : params) {
    names.push_back(p.name);
    if (p.has_default) defaults.append(p.default_value);
  }
  py::tuple name_tuple(names.size());
  for (size_t i = 0; i < names.size(); ++i) name_tuple[i] = py::str(names[i]);
  py::tuple default_tuple(defaults);
  py::object binder = make_binder(names, default_tuple, qualname, m.attr("__name__"));
  py::object obj = py::cast(Function{std::move(impl), name_tuple, default_tuple, binder});
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
