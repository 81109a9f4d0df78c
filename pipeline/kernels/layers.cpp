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

int64_t cnn_output_length(const std::vector<CnnStep>& steps, int64_t length) {
  for (const CnnStep& s : steps) {
    if (length < 1) return length;
    if (s.kind == CnnStep::CONV) length = conv_output_length(length, s.conv);
    else if (s.kind == CnnStep::MAX_POOL) length = pool_output_length(length, s.pool_kernel, s.pool_stride);
  }
  return length;
}

at::Tensor cnn_output_lengths(const std::vector<CnnStep>& steps, const at::Tensor& lengths) {
  TORCH_CHECK(lengths.dim() == 1 && lengths.scalar_type() == at::kLong && lengths.device().is_cpu(),
              "cnn_output_lengths: expected int64 CPU lengths [B]");
  const at::Tensor in = lengths.contiguous();
  at::Tensor out = at::empty_like(in);
  const int64_t* src = in.data_ptr<int64_t>();
  int64_t* dst = out.data_ptr<int64_t>();
  for (int64_t b = 0; b < in.numel(); ++b) dst[b] = cnn_output_length(steps, src[b]);
  return out;
}

}  // namespace hst
