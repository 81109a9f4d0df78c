#include "binding/native_call.h"

#include <string>

namespace hst {

namespace {

// Epoch lines are printed for epoch 1 and every this many epochs.
constexpr int64_t kEpochLinePeriod = 5;

// Runs `body` with the GIL from a thread that released it. A Python error
// raised there leaves as PendingPythonError, which holds no Python object and
// so may unwind through code running without the GIL; the error stays set in
// this thread's indicator until rethrow_pending() raises it again.
template <typename F>
void with_python(F&& body) {
  py::gil_scoped_acquire gil;
  try {
    body();
  } catch (py::error_already_set& e) {
    e.restore();
    throw PendingPythonError();
  }
}

}  // namespace

void rethrow_pending() {
  try {
    throw;
  } catch (const PendingPythonError&) {
    throw py::error_already_set();
  }
}

EngineHooks python_hooks(bool printing) {
  EngineHooks hooks;
  hooks.check_interrupt = [] {
    with_python([] {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    });
  };
  if (!printing) return hooks;
  hooks.on_epoch = [](int64_t epoch, const EpochStats& s) {
    if (epoch != 1 && epoch % kEpochLinePeriod != 0) return;
    with_python([&] {
      print_line(py::str("Epoch {:3d} | train loss {:.4f} acc {:.4f} | val loss {:.4f} acc {:.4f}")
                     .format(epoch, s.train_loss, s.train_accuracy, s.val_loss, s.val_accuracy)
                     .cast<std::string>());
    });
  };
  hooks.on_early_stop = [](int64_t patience) {
    with_python([&] { print_line("验证损失连续 " + std::to_string(patience) + " 轮未改善，提前停止。"); });
  };
  return hooks;
}

}  // namespace hst
