// The convolutional-recurrent network as plain ATen: parameters held as
// tensors that share storage with the torch.nn submodules, and one forward
// definition used by both model(x) and the training engine.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "kernels/layers.h"
#include "kernels/train_step.h"

namespace hst {

struct NetParams {
  std::vector<CnnStep> cnn;
  RnnLayer rnn;
  bool bidirectional_summary = false;  // the module's `bidirectional` attribute
  double dropout_p = 0.0;
  bool dropout_training = false;
  // Where dropout draws its masks (this one for the classifier's input, the
  // recurrent layer's own for the native kernels); undefined: the default
  // generator of the tensor's device.
  at::Generator dropout_generator;
  at::Tensor fc_weight, fc_bias;  // classifier Linear

  // Sets every training flag (BatchNorm, recurrent dropout, dropout).
  void set_training(bool on);
  // All trainable parameters, in the module's parameters() order.
  std::vector<at::Tensor> parameters() const;
  // All parameters and buffers (the full state), in a fixed order.
  std::vector<at::Tensor> state() const;
};

// The network as the hand-written training step reads it, in its current
// training mode (dropout only while training).
kernels::StepNetwork step_network(const NetParams& p);

// Which kernels the ATen stages run on.
enum class Kernels {
  Native,   // the hand-written float32 CPU kernels wherever they apply, ATen's layers elsewhere
  Library,  // ATen's own layers only (the reference the native kernels are held to)
};

// The stages of the network, in the order the forward pass runs them. One
// implementation runs them over NetParams in ATen (AtenStages, below); the
// binding has another that calls the module's own submodules, so hooks,
// tracers and exporters see torch.nn's layers.
//
// Sequences of unequal length travel as a padded batch with its lengths
// (int64 [B], on any device; undefined: every sample has all the steps).
// Each stage computes every sample as if it stood alone: what lies beyond a
// sample's length is never read, and the stages leave zeros there.
class NetworkStages {
 public:
  virtual ~NetworkStages() = default;
  // The convolution stack: [B, F, L] -> [B, W, L'].
  virtual at::Tensor cnn(const at::Tensor& x, const at::Tensor& lengths) const = 0;
  // Each sample's length after the convolution stack (undefined in, undefined out).
  virtual at::Tensor cnn_lengths(const at::Tensor& lengths) const = 0;
  // The recurrent layer, batch first: [B, T, W] -> top-layer outputs at every step [B, T, D*H].
  virtual at::Tensor rnn(const at::Tensor& x, const at::Tensor& lengths) const = 0;
  // Whether the sequence summary joins the two directions.
  virtual bool bidirectional() const = 0;
  virtual at::Tensor dropout(const at::Tensor& summary) const = 0;
  // The linear classifier: [B, D*H] -> logits [B, K].
  virtual at::Tensor classifier(const at::Tensor& summary) const = 0;
};

// The forward pass, x [B, F, L] (and lengths [B] or undefined) -> logits
// [B, K]: cnn, steps onto dim 1, rnn, sequence summary, dropout, classifier.
// The summary reads each sample's own last step (without lengths it indexes
// steps from the end, select(1, -1), so a recorded trace holds for any
// length) and, for two directions, the backward direction at step 0.
at::Tensor network_forward(const NetworkStages& stages, const at::Tensor& x, const at::Tensor& lengths = {});

// Stage building blocks for batches of unequal length, written with tensor
// operators only (so a tracer records them, lengths included):
// lengths after the convolution stack's steps,
at::Tensor stack_output_lengths(const std::vector<CnnStep>& steps, const at::Tensor& lengths);
// [B, L] true where a step of x [B, C, L] lies within its sample,
at::Tensor valid_steps(const at::Tensor& x, const at::Tensor& lengths);
// x [B, C, L] with zeros beyond each sample's length.
at::Tensor zero_beyond(const at::Tensor& x, const at::Tensor& lengths);
// A layer applied to the valid positions only of x [B, C, L] (as rows
// [N, C]), its results put back in place and zeros elsewhere: BatchNorm's
// batch statistics then count valid positions only.
at::Tensor over_valid_positions(const at::Tensor& x, const at::Tensor& lengths,
                                const std::function<at::Tensor(const at::Tensor&)>& layer);

// The stages in ATen over NetParams. Each follows its part's training flag;
// in training mode BatchNorm updates its running statistics.
class AtenStages final : public NetworkStages {
 public:
  AtenStages(const NetParams& p, Kernels kernels) : p_(p), kernels_(kernels) {}
  at::Tensor cnn(const at::Tensor& x, const at::Tensor& lengths) const override;
  at::Tensor cnn(const at::Tensor& x) const { return cnn(x, at::Tensor()); }
  at::Tensor cnn_lengths(const at::Tensor& lengths) const override;
  at::Tensor rnn(const at::Tensor& x, const at::Tensor& lengths) const override;
  bool bidirectional() const override { return p_.bidirectional_summary; }
  at::Tensor dropout(const at::Tensor& summary) const override;
  at::Tensor classifier(const at::Tensor& summary) const override;

 private:
  const NetParams& p_;
  Kernels kernels_;
};

// network_forward over AtenStages(p, kernels). The C++ reference forward on
// torch's own layers is network_forward(p, x, {}, Kernels::Library).
at::Tensor network_forward(const NetParams& p, const at::Tensor& x, const at::Tensor& lengths, Kernels kernels);
inline at::Tensor network_forward(const NetParams& p, const at::Tensor& x, Kernels kernels) {
  return network_forward(p, x, at::Tensor(), kernels);
}

// The recurrent stage alone: batch-first input [B, T, I] (and lengths [B] or
// undefined) -> top-layer outputs at every step [B, T, D*H], zeros beyond
// each sample's length.
at::Tensor recurrent_forward(const RnnLayer& r, const at::Tensor& x, Kernels kernels,
                             const at::Tensor& lengths = {});

}  // namespace hst
