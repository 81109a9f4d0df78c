// Hand-written CPU kernels for the convolution stack (Conv1d, BatchNorm1d,
// ReLU, MaxPool1d in any order), with their own backward, used for float32
// CPU tensors.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "kernels/layers.h"

namespace hst::kernels {

// True when native_conv_forward handles these steps and this input: CPU
// float32 x [B, C, L], convolutions with stride 1, dilation 1, one group,
// pooling without padding, and shapes that the library accepts (anything it
// would reject is left to it, so that its own error is raised).
bool native_conv_supported(const std::vector<CnnStep>& steps, const at::Tensor& x);

// Same contract as running the steps one by one through ATen: x [B, C, L] ->
// [B, C', L'], differentiable with respect to x and every convolution and
// BatchNorm parameter as one autograd node; BatchNorm in training mode
// updates its running statistics.
at::Tensor native_conv_forward(const std::vector<CnnStep>& steps, const at::Tensor& x);

}  // namespace hst::kernels
