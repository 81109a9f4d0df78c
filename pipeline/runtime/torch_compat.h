// Every difference between the torch versions we build against (Debian's
// 1.13 and current 2.x) is handled here.
#pragma once

#include <ATen/ATen.h>
#include <torch/version.h>

#define HST_TORCH_AT_LEAST(major, minor) \
  (TORCH_VERSION_MAJOR > (major) || (TORCH_VERSION_MAJOR == (major) && TORCH_VERSION_MINOR >= (minor)))

namespace hst::compat {

// Non-blocking host-to-device copy of a (pinned) host tensor.
inline at::Tensor to_device_async(const at::Tensor& host, const at::Device& device) {
  return host.to(device, /*non_blocking=*/true);
}

}  // namespace hst::compat
