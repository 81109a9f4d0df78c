// Hand-written CPU kernels for the recurrent layer (RNN-tanh, LSTM, GRU; one
// or more layers; one or two directions; dropout between layers), with their
// own backward, used for float32 CPU tensors.
#pragma once

#include <ATen/ATen.h>

#include "kernels/layers.h"

namespace hst::kernels {

// True when native_recurrent_forward handles this layer, input and lengths:
// lengths undefined, or an int64 CPU tensor [B] (any strides) whose entries
// all lie in [1, T].
bool native_recurrent_supported(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths = {});
// Its part that concerns the layer alone: settings and float32 CPU weights
// that the kernels run, for inputs of `input_width` features.
bool native_recurrent_weights_fit(const RnnLayer& r, int64_t input_width);

// Same contract as recurrent_forward: x [B, T, I] batch-first -> [B, T, D*H],
// zero initial state, differentiable with respect to x and every weight.
//
// With lengths, sample b has lengths[b] valid steps and is computed as if it
// stood alone with those steps (a reverse direction starts at its last valid
// step); its outputs at steps >= lengths[b] are 0, and the gradients ignore
// the incoming gradient there and give x a zero gradient there. The work
// follows the sum of the lengths, not B * T.
at::Tensor native_recurrent_forward(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths = {});

}  // namespace hst::kernels
