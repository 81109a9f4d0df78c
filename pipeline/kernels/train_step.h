// One training batch of the whole network on the hand-written kernels,
// without an autograd graph: the convolution stack, the recurrent layer, the
// sequence summary, dropout, the classifier and the softmax cross-entropy run
// forward, then their backward passes in reverse, and every parameter's
// gradient is written where the optimiser reads it. The same arithmetic as
// those kernels' autograd nodes; what it saves is the graph: the nodes, the
// views, the gradient accumulation and the operators around them, which on
// small batches cost as much as a kernel and run on one thread.
#pragma once

#include <ATen/ATen.h>

#include <optional>
#include <vector>

#include "kernels/classifier_loss.h"
#include "kernels/layers.h"

namespace hst::kernels {

// The network as the step reads it (the core's parameters, not owned).
struct StepNetwork {
  const std::vector<CnnStep>* cnn = nullptr;
  const RnnLayer* rnn = nullptr;
  bool bidirectional_summary = false;  // the summary joins the backward direction at step 0
  double dropout_p = 0.0;              // on the summary, in training
  at::Generator dropout_generator;     // its draws; undefined: the default CPU generator
  at::Tensor fc_weight, fc_bias;
};

// Forward and backward of one batch in training mode (BatchNorm updates its
// running statistics; dropout draws as at::dropout does from the same
// generator), each sample computed as if it stood alone with its own
// length. Each parameter's .grad() is overwritten with its gradient of the
// loss (softmax_cross_entropy's, with this denominator); returns the loss
// and the rows classified right.
//
// Runs when the kernels run this network on this batch: float32 CPU input
// [B, F, L], lengths undefined (every sample has L steps) or int64 CPU [B]
// that the convolution stack accepts, every stage on the hand-written
// kernels, class weights undefined or float32 CPU [K]. Otherwise it returns
// nothing and changes nothing.
std::optional<LossResult> native_training_step(const StepNetwork& net, const at::Tensor& x, const at::Tensor& lengths,
                                               const at::Tensor& target, const at::Tensor& class_weights,
                                               double denominator);

}  // namespace hst::kernels
