#include "kernels/layers.h"

#include <ATen/core/grad_mode.h>

namespace hst {

double batch_norm_step_factor(const BatchNormLayer& bn, at::IntArrayRef input_sizes) {
  double factor = bn.momentum < 0 ? 0.0 : bn.momentum;
  if (!bn.training) return factor;
  if (bn.track_running_stats && bn.num_batches_tracked.defined()) {
    {
      at::NoGradGuard no_grad;
      bn.num_batches_tracked.add_(1);
    }
    if (bn.momentum < 0) factor = 1.0 / bn.num_batches_tracked.item<double>();
  }
  int64_t per_channel = input_sizes[0];
  for (size_t d = 2; d < input_sizes.size(); ++d) per_channel *= input_sizes[d];
  TORCH_CHECK_VALUE(per_channel != 1, "Expected more than 1 value per channel when training, got input size ",
                    input_sizes);
  return factor;
}

}  // namespace hst
