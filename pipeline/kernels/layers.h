// What the hand-written kernels know of the network's layers: the settings
// and tensors of each, as torch.nn holds them. The core's network and the
// kernels both build on these descriptions, which sit below both.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <vector>

namespace hst {

enum class RnnKind { RNN_TANH, RNN_RELU, LSTM, GRU };

struct ConvLayer {
  at::Tensor weight, bias;  // Conv1d [out, in, k], [out] (bias may be undefined)
  int64_t padding = 0, stride = 1, dilation = 1, groups = 1;
};

struct BatchNormLayer {
  at::Tensor weight, bias, running_mean, running_var, num_batches_tracked;
  double eps = 1e-5;
  double momentum = 0.1;  // < 0: cumulative average (momentum None)
  bool training = false;
  bool track_running_stats = true;
};

// One entry of the convolution stack, applied in order.
struct CnnStep {
  enum Kind { CONV, BATCH_NORM, RELU, MAX_POOL } kind = CONV;
  ConvLayer conv;
  BatchNormLayer bn;
  int64_t pool_kernel = 0, pool_stride = 0;
};

struct RnnLayer {
  RnnKind kind = RnnKind::LSTM;
  std::vector<at::Tensor> flat_weights;  // torch.nn order: w_ih, w_hh, b_ih, b_hh per layer/direction
  int64_t hidden_size = 0, num_layers = 1;
  bool bidirectional = false, has_biases = true, batch_first = true;
  double dropout = 0.0;  // between layers
  bool training = false;
  at::Generator generator;  // dropout's draws in the native kernels; undefined: the default generator
};

// One training-mode step of a BatchNorm layer's bookkeeping, shared by the
// library forward and the native stack: counts the batch in
// num_batches_tracked (when it tracks running statistics), refuses a channel
// with a single value as torch.nn does, and returns the weight of this batch
// in the running averages (the momentum, or 1/n for a cumulative average).
// Outside training it changes nothing and returns the momentum.
double batch_norm_step_factor(const BatchNormLayer& bn, at::IntArrayRef input_sizes);

// The length one layer of the convolution stack leaves of `length` steps: a
// convolution pads the sequence's own two ends, pooling covers whole windows
// only; 0 when the layer does not fit. For plain counts and for int64
// tensors of counts alike (a tensor keeps the lengths free in a trace).
inline int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
inline at::Tensor floor_div(const at::Tensor& a, int64_t b) { return at::div(a, b, "floor"); }
inline int64_t at_least_zero(int64_t v) { return v < 0 ? 0 : v; }
inline at::Tensor at_least_zero(const at::Tensor& v) { return v.clamp_min(0); }
template <typename T>
T conv_output_length(const T& length, const ConvLayer& c) {
  const int64_t span = c.dilation * (c.weight.size(2) - 1) + 1;
  return at_least_zero(floor_div(length + (2 * c.padding - span), c.stride) + 1);
}
template <typename T>
T pool_output_length(const T& length, int64_t kernel, int64_t stride) {
  return at_least_zero(floor_div(length - kernel, stride) + 1);
}

// The length a sequence of `length` steps has after the convolution stack
// (each convolution pads the sequence's own two ends; pooling covers whole
// windows only). 0 when the stack does not fit the sequence.
int64_t cnn_output_length(const std::vector<CnnStep>& steps, int64_t length);

// cnn_output_length of every entry of `lengths` (int64 [B] on the CPU):
// what each sample of a batch of unequal lengths keeps after the stack.
at::Tensor cnn_output_lengths(const std::vector<CnnStep>& steps, const at::Tensor& lengths);

namespace kernels {

// A dense float32 CPU tensor: what the hand-written kernels read and write.
inline bool is_cpu_float(const at::Tensor& t) {
  return t.defined() && t.device().is_cpu() && t.layout() == at::kStrided && t.scalar_type() == at::kFloat;
}

}  // namespace kernels

}  // namespace hst
