// The differences between the torch versions we build against (Debian's 1.13,
// the index's 2.x) that our code has to spell differently. Nothing else.
#pragma once

#include <ATen/PythonTorchFunctionTLS.h>
#include <torch/version.h>

// c10::Allocator: torch 2.3 made allocate() non-const and added the pure
// virtual copy_data().
#if TORCH_VERSION_MAJOR > 2 || (TORCH_VERSION_MAJOR == 2 && TORCH_VERSION_MINOR >= 3)
#define HST_ALLOCATE_CONST
#define HST_ALLOCATOR_HAS_COPY_DATA 1
#else
#define HST_ALLOCATE_CONST const
#define HST_ALLOCATOR_HAS_COPY_DATA 0
#endif

namespace hst::compat {

// Whether a Python torch-function mode is active on this thread: torch 2
// renamed the query (1.13: at::impl::function_mode_enabled).
inline bool torch_function_mode_active() {
#if TORCH_VERSION_MAJOR >= 2
  return at::impl::torch_function_mode_enabled();
#else
  return at::impl::function_mode_enabled();
#endif
}

}  // namespace hst::compat
