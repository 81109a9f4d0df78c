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
// would reject is left to it, so that its own error is raised). With
// lengths: an int64 CPU tensor [B] (any strides) of entries in [1, L], every
// sample long enough to keep at least one position after each step
// (cnn_output_lengths).
bool native_conv_supported(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths = {});

// Same contract as running the steps one by one through ATen: x [B, C, L] ->
// [B, C', L'], differentiable with respect to x and every convolution and
// BatchNorm parameter as one autograd node; BatchNorm in training mode
// updates its running statistics.
//
// lengths (optional, int64 [B]): sample b holds x[b, :, :lengths[b]] and is
// computed as if it stood alone: a convolution pads the sample's own ends
// (what x holds after its length is never read), BatchNorm's batch
// statistics count valid positions only, and the output after the sample's
// own length (cnn_output_length) is zero. Its backward sends no gradient to
// the positions after lengths[b] and ignores the incoming gradient at those
// of the output. Undefined: every sample has L positions. L' is
// cnn_output_length(steps, L) either way.
at::Tensor native_conv_forward(const std::vector<CnnStep>& steps, const at::Tensor& x,
                               const at::Tensor& lengths = {});

}  // namespace hst::kernels
