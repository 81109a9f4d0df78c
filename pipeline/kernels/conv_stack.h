// The convolution stack's forward and backward passes over a plan: all its
// steps run as one autograd node whose backward is written out by hand,
// instead of a graph of ATen operators (each with its own layout conversions
// and passes). conv_forward.cpp and conv_backward.cpp hold the passes,
// conv_autograd.cpp the node.
//
// Layout: activations are channels-last, rows of C floats, one row per
// (sample, position). A buffer is described by a Layout: `lead` rows before
// the first sample, then S rows per sample of which rows off..off+L-1 hold
// values. That lets a convolution read its input without an im2col copy:
//   input  per sample [p zero rows, L rows, p zero rows] (S = L + 2p); the
//          window of output row (b, l) is the contiguous span of k*Cin floats
//          from input row (b, l), so the whole convolution is one product
//          with A(m, :) = x[m * Cin .. m * Cin + k * Cin), rows overlapping;
//   output S rows per sample as well, the first L+2p-k+1 valid (the rows in
//          between straddle two samples and are never read).
// Backward keeps the same trick: the gradient of a convolution's output comes
// with k-1 zero rows in front and zeros in the rows between samples, so the
// weight gradient is one product over all rows and the input gradient one
// product with the flipped weights.
//
// Fused passes: BatchNorm's normalisation and a following ReLU are one pass
// (forward and backward); a convolution bias right before BatchNorm is folded
// into BatchNorm's shift instead of being added to every row; in backward,
// max pooling (stride = kernel) after BatchNorm is folded into BatchNorm's two
// passes. Reductions over rows (statistics, parameter gradients) add float
// partial sums of a few rows into double totals.
//
// The matrix products are gemm_packed (gemm_packed.h), several times faster
// than at::mm at these shapes (tall, thin, K of a few hundred), and they read
// the overlapping rows directly.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "kernels/conv_plan.h"

namespace hst::kernels::conv {

// What backward reads: every op's input (and the final output), and per
// BatchNorm the mean and 1/sqrt(var + eps) it normalised with (float).
struct Saved {
  std::vector<at::Tensor> acts;
  std::vector<at::Tensor> stats;  // [2, C] per op, undefined for other ops
};

// Runs the ops; returns the output [B, L', C'] (contiguous, channels-last).
at::Tensor run_forward(const Plan& plan, const at::Tensor& x, const std::vector<at::Tensor>& params, Saved* saved);

// Gradients of the parameters (in parameter order) and, when asked, of x.
void run_backward(const Plan& plan, const Saved& saved, const std::vector<at::Tensor>& params,
                  const at::Tensor& grad_out, bool need_x_grad, at::Tensor& dx_out, std::vector<at::Tensor>& dparams);

}  // namespace hst::kernels::conv
