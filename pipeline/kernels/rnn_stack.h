// The recurrent stack's forward and backward passes: every layer and
// direction as one autograd node whose backward is written out by hand
// (backpropagation through time), instead of a graph of small ATen ops per
// step. rnn_forward.cpp and rnn_backward.cpp hold the passes, rnn_autograd.cpp
// the nodes.
//
// Layout: everything runs time-major. A layer's input is a [T*B, I] matrix
// whose rows are ordered (step, batch), so the rows of one step are a
// contiguous block. Per layer:
//   gates  [T*B, D*G*H]  input projection of all steps and both directions
//                        (one product; the loops add the bias), turned in place
//                        into gate activations and in backward into the
//                        gradients of the pre-activations;
//   extra  [T*B, D*H]    LSTM: cell state; GRU: W_hn h + b_hn; RNN: none;
//   tanh   [T*B, D*H]    LSTM, in training: tanh of the cell state, which
//                        backward reads instead of computing it again;
//   output [T, B, D*H]   hidden state of every step, direction d in columns
//                        d*H..(d+1)*H (the next layer's input).
// Each step adds h_prev @ W_hh^T with one product (W_hh packed once per pass)
// and then runs one fused loop over the gates. Backward mirrors this, and the
// weight gradients are one product each over all steps.
//
// Without gradients the first layer reads the batch-first input in place
// (each step projects its own rows); the output gradient is read in place
// too, and the input gradient is written batch-first, the layout of the layer
// below. The batch rows of a direction are independent: blocks of rows run
// through all steps on separate threads.
//
// Samples of unequal lengths run in the packed layout of PackedSequence
// instead (struct Steps): the samples sorted by length, longest first, and
// step t's rows holding only the n[t] samples still running, so that every
// buffer above has sum(lengths) rows and each step's products and loops run
// over its n[t] rows only. That node packs the batch-first input (one copy)
// and unpacks the output into [B, T, D*H] with zeros past each sample's end;
// backward packs the incoming gradient and unpacks the input gradient.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "kernels/rnn_steps.h"

namespace hst::kernels::rnn {

// What backward reads, per layer. Rows follow the layer's Steps.
struct Saved {
  std::vector<at::Tensor> inputs;   // [rows, I_l], after dropout
  std::vector<at::Tensor> w_in;     // input weights of both directions stacked, [D*G*H, I_l]
  std::vector<at::Tensor> gates;    // activations [rows, D*G*H] (plain RNN: pre-activations)
  std::vector<at::Tensor> extra;    // LSTM cell / GRU hn [rows, D*H]
  std::vector<at::Tensor> cell_tanh;  // LSTM: tanh of the cell state [rows, D*H]
  std::vector<at::Tensor> outputs;  // [T, B, D*H] (full batch) or [rows, D*H] (packed)
  std::vector<at::Tensor> masks;    // dropout noise applied to outputs[l], l < layers - 1
};

struct Grads {
  at::Tensor x;                     // full batch: [T, B, I] (batch-first in memory); packed: [rows, I]
  std::vector<at::Tensor> weights;  // flat order
};

// Runs the stack; returns the top layer's output, [T, B, D*H] for a full
// batch and [rows, D*H] in the packed layout. The input is either a full
// batch [T, B, I] whose rows have unit stride, or packed [rows, I]
// (contiguous). A contiguous full batch is projected for all steps with one
// product; any other layout (the batch-first input seen through a transpose)
// step by step, without a copy; a packed input step by step without
// gradients, else with one product. Fills `saved` when given, which needs a
// contiguous input.
at::Tensor run_forward(const Config& cfg, const Steps& steps, const at::Tensor& x, const Weights& w, Saved* saved);

// Gradients of the whole stack. With `reuse`, the saved activation buffers
// are overwritten (nothing reads them afterwards); otherwise they are copied
// first so that a retained graph can run backward again. For a full batch
// grad_out is [T, B, D*H] (rows of unit stride) and the input gradient comes
// back batch-first in memory ([B, T, I] seen as [T, B, I]), the layout the
// layer below produced its output in, so nothing is copied on either side.
// In the packed layout both are [rows, n].
Grads run_backward(const Config& cfg, const Steps& steps, const Saved& saved, const Weights& w,
                   const at::Tensor& grad_out, bool need_x_grad, bool reuse);

}  // namespace hst::kernels::rnn
