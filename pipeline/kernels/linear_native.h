// The classifier's linear layer on float32 CPU tensors with a weight gradient
// that is the same to the bit at any number of threads.
#pragma once

#include <ATen/ATen.h>

namespace hst::kernels {

// True for float32 CPU x [B, D], weight [K, D] and bias [K].
bool native_linear_supported(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias);

// x W^T + b, as at::linear computes it; its backward sums the weight's and
// the bias's gradients over the rows in row order, each output element on
// one thread (a library product may split that sum by its thread count).
at::Tensor native_linear(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias);

}  // namespace hst::kernels
