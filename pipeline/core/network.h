// The convolutional-recurrent network as plain ATen: parameters held as
// tensors that share storage with the torch.nn submodules, and one forward
// definition used by both model(x) and the training engine.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <vector>

#include "kernels/layers.h"

namespace hst {

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

// Which kernels the ATen stages run on.
enum class Kernels {
  Native,   // the hand-written float32 CPU kernels wherever they apply, ATen's layers elsewhere
  Library,  // ATen's own layers only (the reference the native kernels are held to)
};

// The stages of the network, in the order the forward pass runs them. One
// implementation runs them over NetParams in ATen (AtenStages, below); the
// binding has another that calls the module's own submodules, so hooks,
// tracers and exporters see torch.nn's layers.
class NetworkStages {
 public:
  virtual ~NetworkStages() = default;
  // The convolution stack: [B, F, L] -> [B, W, L'].
  virtual at::Tensor cnn(const at::Tensor& x) const = 0;
  // The recurrent layer, batch first: [B, T, W] -> top-layer outputs at every step [B, T, D*H].
  virtual at::Tensor rnn(const at::Tensor& x) const = 0;
  // Whether the sequence summary joins the two directions.
  virtual bool bidirectional() const = 0;
  virtual at::Tensor dropout(const at::Tensor& summary) const = 0;
  // The linear classifier: [B, D*H] -> logits [B, K].
  virtual at::Tensor classifier(const at::Tensor& summary) const = 0;
};

// The forward pass, x [B, F, L] -> logits [B, K]: cnn, steps onto dim 1,
// rnn, sequence summary, dropout, classifier. The summary indexes steps from
// the end (select(1, -1)), so a recorded trace holds for any length.
at::Tensor network_forward(const NetworkStages& stages, const at::Tensor& x);

// The stages in ATen over NetParams. Each follows its part's training flag;
// in training mode BatchNorm updates its running statistics.
class AtenStages final : public NetworkStages {
 public:
  AtenStages(const NetParams& p, Kernels kernels) : p_(p), kernels_(kernels) {}
  at::Tensor cnn(const at::Tensor& x) const override;
  at::Tensor rnn(const at::Tensor& x) const override;
  bool bidirectional() const override { return p_.bidirectional_summary; }
  at::Tensor dropout(const at::Tensor& summary) const override;
  at::Tensor classifier(const at::Tensor& summary) const override;

 private:
  const NetParams& p_;
  Kernels kernels_;
};

// network_forward over AtenStages(p, kernels). The C++ reference forward on
// torch's own layers is network_forward(p, x, Kernels::Library).
at::Tensor network_forward(const NetParams& p, const at::Tensor& x, Kernels kernels);

// The recurrent stage alone: batch-first input [B, T, I] -> top-layer
// outputs at every step [B, T, D*H].
at::Tensor recurrent_forward(const RnnLayer& r, const at::Tensor& x, Kernels kernels);

}  // namespace hst
