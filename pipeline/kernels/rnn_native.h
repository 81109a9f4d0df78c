// Hand-written CPU kernels for the recurrent layer (RNN-tanh, LSTM, GRU; one
// or more layers; one or two directions; dropout between layers), with their
// own backward, used for float32 CPU tensors.
#pragma once

#include <ATen/ATen.h>

#include "kernels/layers.h"

namespace hst::kernels {

// True when native_recurrent_forward handles this layer and input.
bool native_recurrent_supported(const RnnLayer& r, const at::Tensor& x);

// Same contract as recurrent_forward: x [B, T, I] batch-first -> [B, T, D*H],
// zero initial state, differentiable with respect to x and every weight.
at::Tensor native_recurrent_forward(const RnnLayer& r, const at::Tensor& x);

}  // namespace hst::kernels
