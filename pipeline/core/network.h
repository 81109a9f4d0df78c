// The convolutional-recurrent network as plain ATen: parameters held as
// tensors that share storage with the torch.nn submodules, and one forward
// definition used by both model(x) and the training engine.
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
};

struct NetParams {
  std::vector<CnnStep> cnn;
  RnnLayer rnn;
  bool bidirectional_summary = false;  // the module's `bidirectional` attribute
  double dropout_p = 0.0;
  bool dropout_training = false;
  at::Tensor fc_weight, fc_bias;  // classifier Linear

  // Sets every training flag (BatchNorm, recurrent dropout, dropout).
  void set_training(bool on);
  // All trainable parameters, in the module's parameters() order.
  std::vector<at::Tensor> parameters() const;
  // All parameters and buffers (the full state), in a fixed order.
  std::vector<at::Tensor> state() const;
};

// Whether the engine may use the hand-written CPU recurrent kernels.
bool native_kernels_enabled();
void set_native_kernels_enabled(bool on);

// Forward pass: x [B, F, L] -> logits [B, K]. Follows each part's training
// flag; in training mode BatchNorm updates its running statistics.
at::Tensor network_forward(const NetParams& p, const at::Tensor& x);

// The recurrent stage alone: batch-first input [B, T, I] -> top-layer
// outputs at every step [B, T, D*H].
at::Tensor recurrent_forward(const RnnLayer& r, const at::Tensor& x);

}  // namespace hst
