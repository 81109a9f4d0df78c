// The convolution stack run step by step through the library's operators
// (conv1d, batch_norm, relu, max_pool1d), with BatchNorm's bookkeeping as
// torch.nn.BatchNorm1d does it: the oracle of the kernel tests and the
// baseline of the kernel benchmark.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "core/network.h"

namespace hst_reference {

using hst::CnnStep;

inline at::Tensor reference_forward(const std::vector<CnnStep>& steps, at::Tensor x) {
  for (const auto& s : steps) {
    switch (s.kind) {
      case CnnStep::CONV:
        x = at::conv1d(x, s.conv.weight, s.conv.bias, {s.conv.stride}, {s.conv.padding}, {s.conv.dilation},
                       s.conv.groups);
        break;
      case CnnStep::BATCH_NORM: {
        const auto& bn = s.bn;
        double factor = bn.momentum < 0 ? 0.0 : bn.momentum;
        if (bn.training && bn.track_running_stats && bn.num_batches_tracked.defined()) {
          {
            at::NoGradGuard no_grad;
            bn.num_batches_tracked.add_(1);
          }
          if (bn.momentum < 0) factor = 1.0 / bn.num_batches_tracked.item<double>();
        }
        const bool use_batch = bn.training || !bn.running_mean.defined();
        x = at::batch_norm(x, bn.weight, bn.bias, bn.running_mean, bn.running_var, use_batch, factor, bn.eps, false);
        break;
      }
      case CnnStep::RELU:
        x = at::relu(x);
        break;
      case CnnStep::MAX_POOL:
        x = at::max_pool1d(x, {s.pool_kernel}, {s.pool_stride});
        break;
    }
  }
  return x;
}

}  // namespace hst_reference

