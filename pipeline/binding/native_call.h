// Calling the native engine from the binding: the GIL released around it,
// console lines and Ctrl-C reaching Python through the engine's hooks, and a
// Python error raised in a hook coming back out as that very error.
#pragma once

#include <functional>
#include <type_traits>

#include "binding/py_semantics.h"
#include "core/engine.h"

namespace hst {

// A Python error raised in an engine hook, on its way through the native
// loop that runs without the GIL: it holds no Python object; the error
// itself stays set in the thread's error indicator.
struct PendingPythonError final : std::exception {
  const char* what() const noexcept override { return "a Python error is pending"; }
};
// Inside a catch handler, with the GIL held: raises a PendingPythonError's
// Python error again; any other exception propagates as it is.
[[noreturn]] void rethrow_pending();

// A CPU tensor the engine returned, as a NumPy array sharing its storage.
inline py::array numpy_of(const at::Tensor& t) {
  return py::module_::import("torch").attr("Tensor").attr("numpy")(py::cast(t));
}

// Engine hooks that print through Python (unless `printing` is false) and
// turn Ctrl-C into KeyboardInterrupt; safe to call with the GIL released.
EngineHooks python_hooks(bool printing = true);

// body(hooks) with the GIL released; whatever it throws leaves as it was
// (a Python error from a hook as that Python error), after `on_error` has
// run with the GIL held and the pending error put aside.
template <typename F>
std::invoke_result_t<F&, const EngineHooks&> call_native(bool printing, F&& body,
                                                         const std::function<void()>& on_error = {}) {
  try {
    const EngineHooks hooks = python_hooks(printing);
    py::gil_scoped_release nogil;
    return body(hooks);
  } catch (...) {
    if (on_error) {
      py::error_scope pending;
      on_error();
    }
    rethrow_pending();
  }
}

}  // namespace hst
