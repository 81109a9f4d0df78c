// One step of the recurrent cells over a block of batch rows, forward and
// backward: LSTM, GRU and RNN (tanh or ReLU). Each function runs the fused
// loop of one step over B rows; the step structs carry the row pointers and
// strides (`ld*`, in floats). Gate blocks follow torch.nn: LSTM i, f, g, o;
// GRU r, z, n. The gate buffers arrive without the bias, which the loops add.
// Compiled once per instruction set and chosen at load time (rnn_cells.cpp).
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace hst::kernels::rnn {

struct LstmStep {
  int64_t H;
  float* gates;  // ld_g; pre-activations in, activations out
  int64_t ld_g;
  const float* bias;    // [4H]
  const float* c_prev;  // null on the first step
  float* c;
  float* tc;  // tanh(c), kept for backward; null: not kept
  float* h;
  int64_t ld_s;  // c, c_prev, tc, h
};

void lstm_forward_rows(const LstmStep& s, int64_t B);

struct LstmBackStep {
  int64_t H;
  const float* dy;  // ld_dy
  int64_t ld_dy;
  const float* dh_next;  // [B, H]
  float* gates;          // ld_g; activations in, gradients out
  int64_t ld_g;
  const float* tc;      // tanh of the cell state
  const float* c_prev;  // null on the first step
  int64_t ld_s;
  float* dc;  // [B, H], carried between steps
};

// Overwrites the activations in `gates` with the gradients of the
// pre-activations and carries dc to the step before.
void lstm_backward_rows(const LstmBackStep& s, int64_t B);

struct GruStep {
  int64_t H;
  float* gates;  // ld_g
  int64_t ld_g;
  const float* bias;    // [3H]: b_ir + b_hr, b_iz + b_hz, b_in
  const float* hgates;  // h_prev @ W_hh^T, [B, 3H]; null on the first step
  const float* b_hn;
  const float* h_prev;  // null on the first step
  float* hn;
  float* h;
  int64_t ld_s;  // hn, h, h_prev
};

void gru_forward_rows(const GruStep& s, int64_t B);

struct GruBackStep {
  int64_t H;
  const float* dy;  // ld_dy
  int64_t ld_dy;
  float* dh_carry;  // [B, H]
  float* gates;     // ld_g; activations in, input-side gradients out
  int64_t ld_g;
  float* hn;            // hn in, its gradient out
  const float* h_prev;  // null on the first step
  int64_t ld_s;
  float* step_h;  // [B, 3H] hidden-side gradients of this step
};

// GRU: r, z, n become the input-side gradients and hn becomes the gradient of
// W_hn h + b_hn; the hidden-side gradients of this step go to step_h for the
// recurrent product, and dh_carry keeps the direct path to h_prev.
void gru_backward_rows(const GruBackStep& s, int64_t B);

// Plain RNN: h = act(pre + bias), act tanh or (relu) ReLU.
void rnn_forward_rows(bool relu, int64_t H, const float* pre, int64_t ld_g, const float* bias, float* h, int64_t ld_s,
                      int64_t B);

// dpre = dh * act'(h), dh = dy + dh_next.
void rnn_backward_rows(bool relu, int64_t H, const float* dy, int64_t ld_dy, const float* dh_next, const float* h,
                       int64_t ld_s, float* dpre, int64_t ld_g, int64_t B);

// Adds the column sums of `rows` rows (ld floats apart) of `cols` floats to
// `total`: a float partial over the rows (one step's batch), then into the
// double total, so the sum over all steps loses nothing to rounding.
void add_column_sums(const float* base, int64_t ld, int64_t rows, int64_t cols, float* HST_RESTRICT partial,
                     double* HST_RESTRICT total);

}  // namespace hst::kernels::rnn
