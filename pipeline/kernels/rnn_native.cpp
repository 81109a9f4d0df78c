// Hand-written CPU kernels for the recurrent layer: the whole stack (every
// layer and direction) runs as one autograd node whose backward is written out
// by hand (backpropagation through time), instead of a graph of small ATen ops
// per step.
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
#include "kernels/rnn_native.h"

#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/graph_task.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/simd.h"

#include "kernels/gemm_packed.h"
#include "kernels/parallel.h"

namespace hst::kernels {

namespace {

// ---------------------------------------------------------------------------
// Activations written so that the compiler vectorises the loops around them
// (no calls into libm). Relative error about 1.5e-7 over the whole range; NaN
// and the infinities give what std::exp gives (NaN, inf, 0).

HST_ALWAYS_INLINE float exp_approx(float in) {
  float x = select(in < -87.0f, -87.0f, in);
  x = select(x > 88.0f, 88.0f, x);
  // x = n ln2 + r, |r| <= ln2 / 2; n rounded to nearest by the 1.5 * 2^23
  // shift, which leaves n in the low bits of `shifted`. The scale 2^n is
  // built from those bits in unsigned arithmetic: no float-to-int
  // conversion, so a NaN (which the clamps keep) is no undefined behaviour;
  // it passes through r and the polynomial and comes out NaN.
  const float shifted = x * 1.44269504088896341f + 12582912.0f;
  const float n = shifted - 12582912.0f;
  float r = x - n * 0.693359375f;
  r = r - n * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * (r * r) + r + 1.0f;
  uint32_t bits;
  std::memcpy(&bits, &shifted, sizeof bits);
  bits = (bits - 0x4B400000u + 127u) << 23;  // 0x4B400000: the bits of 1.5 * 2^23
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  const float out = p * scale;
  // The clamps keep the infinities finite: give std::exp's inf and 0.
  return select(in == INFINITY, INFINITY, select(in == -INFINITY, 0.0f, out));
}

HST_ALWAYS_INLINE float sigmoid_approx(float x) { return 1.0f / (1.0f + exp_approx(-x)); }

HST_ALWAYS_INLINE float tanh_approx(float x) {
  const float a = std::fabs(x);
  const float large = std::copysign(1.0f - 2.0f / (exp_approx(2.0f * a) + 1.0f), x);
  // odd polynomial near zero, where 1 - 2 / (e + 1) would cancel
  const float z = x * x;
  float p = -5.70498872745e-3f;
  p = p * z + 2.06390887954e-2f;
  p = p * z - 5.37397155531e-2f;
  p = p * z + 1.33314422036e-1f;
  p = p * z - 3.33332819422e-1f;
  const float small = p * z * x + x;
  return select(a < 0.625f, small, large);
}

// ---------------------------------------------------------------------------
// Fused per-step loops, one batch row at a time. kFirst: the first step a
// direction processes, whose previous state is zero. Gate blocks follow
// torch.nn: LSTM i, f, g, o; GRU r, z, n.

template <bool kFirst, bool kKeepTanh>
HST_ALWAYS_INLINE void lstm_forward_row(int64_t H, float* HST_RESTRICT gi, float* HST_RESTRICT gf,
                                        float* HST_RESTRICT gg, float* HST_RESTRICT go,
                                        const float* HST_RESTRICT bias, const float* HST_RESTRICT c_prev,
                                        float* HST_RESTRICT c, float* HST_RESTRICT tc, float* HST_RESTRICT h) {
  for (int64_t j = 0; j < H; ++j) {
    const float i = sigmoid_approx(gi[j] + bias[j]);
    const float f = sigmoid_approx(gf[j] + bias[H + j]);
    const float g = tanh_approx(gg[j] + bias[2 * H + j]);
    const float o = sigmoid_approx(go[j] + bias[3 * H + j]);
    const float cn = kFirst ? i * g : f * c_prev[j] + i * g;
    gi[j] = i;
    gf[j] = f;
    gg[j] = g;
    go[j] = o;
    const float t = tanh_approx(cn);
    c[j] = cn;
    if (kKeepTanh) tc[j] = t;
    h[j] = o * t;
  }
}

// Backward loops overwrite the activations they read with the gradients of
// the pre-activations.
template <bool kFirst>
HST_ALWAYS_INLINE void lstm_backward_row(int64_t H, const float* HST_RESTRICT dy, const float* HST_RESTRICT dh_next,
                                         float* HST_RESTRICT gi, float* HST_RESTRICT gf, float* HST_RESTRICT gg,
                                         float* HST_RESTRICT go, const float* HST_RESTRICT tanh_c,
                                         const float* HST_RESTRICT c_prev, float* HST_RESTRICT dc) {
  for (int64_t j = 0; j < H; ++j) {
    const float dh = dy[j] + dh_next[j];
    const float i = gi[j], f = gf[j], g = gg[j], o = go[j];
    const float tc = tanh_c[j];
    const float dcell = dc[j] + dh * o * (1.0f - tc * tc);
    gi[j] = dcell * g * i * (1.0f - i);
    gf[j] = kFirst ? 0.0f : dcell * c_prev[j] * f * (1.0f - f);
    gg[j] = dcell * i * (1.0f - g * g);
    go[j] = dh * tc * o * (1.0f - o);
    dc[j] = dcell * f;
  }
}

template <bool kFirst>
HST_ALWAYS_INLINE void gru_forward_row(int64_t H, float* HST_RESTRICT gr, float* HST_RESTRICT gz,
                                       float* HST_RESTRICT gn, const float* HST_RESTRICT bias,
                                       const float* HST_RESTRICT hr, const float* HST_RESTRICT hz,
                                       const float* HST_RESTRICT hn_in, const float* HST_RESTRICT b_hn,
                                       const float* HST_RESTRICT h_prev, float* HST_RESTRICT hn_out,
                                       float* HST_RESTRICT h) {
  for (int64_t j = 0; j < H; ++j) {
    const float r = sigmoid_approx(kFirst ? gr[j] + bias[j] : (gr[j] + bias[j]) + hr[j]);
    const float z = sigmoid_approx(kFirst ? gz[j] + bias[H + j] : (gz[j] + bias[H + j]) + hz[j]);
    const float hn = kFirst ? b_hn[j] : hn_in[j] + b_hn[j];
    const float n = tanh_approx((gn[j] + bias[2 * H + j]) + r * hn);
    gr[j] = r;
    gz[j] = z;
    gn[j] = n;
    hn_out[j] = hn;
    h[j] = ((kFirst ? 0.0f : h_prev[j]) - n) * z + n;
  }
}

// GRU: r, z, n become the input-side gradients and hn becomes the gradient of
// W_hn h + b_hn; the hidden-side gradients of this step (r, z as on the input
// side, n scaled by r) also go to step_h for the recurrent GEMM.
template <bool kFirst>
HST_ALWAYS_INLINE void gru_backward_row(int64_t H, const float* HST_RESTRICT dy, float* HST_RESTRICT dh_carry,
                                        float* HST_RESTRICT gr, float* HST_RESTRICT gz, float* HST_RESTRICT gn,
                                        float* HST_RESTRICT hn, const float* HST_RESTRICT h_prev,
                                        float* HST_RESTRICT sr, float* HST_RESTRICT sz, float* HST_RESTRICT sn) {
  for (int64_t j = 0; j < H; ++j) {
    const float dh = dy[j] + dh_carry[j];
    const float r = gr[j], z = gz[j], n = gn[j];
    const float dn_pre = dh * (1.0f - z) * (1.0f - n * n);
    const float dz_pre = dh * ((kFirst ? 0.0f : h_prev[j]) - n) * z * (1.0f - z);
    const float dr_pre = dn_pre * hn[j] * r * (1.0f - r);
    const float dn_h = dn_pre * r;
    gr[j] = dr_pre;
    gz[j] = dz_pre;
    gn[j] = dn_pre;
    hn[j] = dn_h;
    sr[j] = dr_pre;
    sz[j] = dz_pre;
    sn[j] = dn_h;
    dh_carry[j] = dh * z;  // direct path to h_prev; the GEMM adds the rest
  }
}

template <bool kRelu>
HST_ALWAYS_INLINE void rnn_forward_row(int64_t H, const float* HST_RESTRICT pre, const float* HST_RESTRICT bias,
                                       float* HST_RESTRICT h) {
  for (int64_t j = 0; j < H; ++j) {
    const float a = pre[j] + bias[j];
    h[j] = kRelu ? std::max(a, 0.0f) : tanh_approx(a);
  }
}

template <bool kRelu>
HST_ALWAYS_INLINE void rnn_backward_row(int64_t H, const float* HST_RESTRICT dy, const float* HST_RESTRICT dh_next,
                                        const float* HST_RESTRICT h, float* HST_RESTRICT dpre) {
  for (int64_t j = 0; j < H; ++j) {
    const float dh = dy[j] + dh_next[j];
    dpre[j] = kRelu ? select(h[j] > 0.0f, dh, 0.0f) : dh * (1.0f - h[j] * h[j]);
  }
}

// Row pointers: `ld*` are row strides in floats. The gate buffers arrive
// without the bias, which the loops add.
struct LstmStep {
  int64_t H;
  float* gates;  // ld_g; pre-activations in, activations out
  int64_t ld_g;
  const float* bias;  // [4H]
  const float* c_prev;  // null on the first step
  float* c;
  float* tc;  // tanh(c), kept for backward; null: not kept
  float* h;
  int64_t ld_s;  // c, c_prev, tc, h
};

HST_VECTOR_CLONES void lstm_forward_rows(const LstmStep& s, int64_t B) {
  const int64_t H = s.H;
  for (int64_t b = 0; b < B; ++b) {
    float* g = s.gates + b * s.ld_g;
    float* c = s.c + b * s.ld_s;
    float* h = s.h + b * s.ld_s;
    const float* c_prev = s.c_prev ? s.c_prev + b * s.ld_s : nullptr;
    if (s.tc) {
      float* tc = s.tc + b * s.ld_s;
      if (c_prev)
        lstm_forward_row<false, true>(H, g, g + H, g + 2 * H, g + 3 * H, s.bias, c_prev, c, tc, h);
      else
        lstm_forward_row<true, true>(H, g, g + H, g + 2 * H, g + 3 * H, s.bias, nullptr, c, tc, h);
    } else if (c_prev) {
      lstm_forward_row<false, false>(H, g, g + H, g + 2 * H, g + 3 * H, s.bias, c_prev, c, nullptr, h);
    } else {
      lstm_forward_row<true, false>(H, g, g + H, g + 2 * H, g + 3 * H, s.bias, nullptr, c, nullptr, h);
    }
  }
}

struct LstmBackStep {
  int64_t H;
  const float* dy;  // ld_dy
  int64_t ld_dy;
  const float* dh_next;  // [B, H]
  float* gates;  // ld_g; activations in, gradients out
  int64_t ld_g;
  const float* tc;  // tanh of the cell state
  const float* c_prev;  // null on the first step
  int64_t ld_s;
  float* dc;  // [B, H], carried between steps
};

HST_VECTOR_CLONES void lstm_backward_rows(const LstmBackStep& s, int64_t B) {
  const int64_t H = s.H;
  for (int64_t b = 0; b < B; ++b) {
    float* g = s.gates + b * s.ld_g;
    const float* dy = s.dy + b * s.ld_dy;
    const float* tc = s.tc + b * s.ld_s;
    if (s.c_prev)
      lstm_backward_row<false>(H, dy, s.dh_next + b * H, g, g + H, g + 2 * H, g + 3 * H, tc, s.c_prev + b * s.ld_s,
                               s.dc + b * H);
    else
      lstm_backward_row<true>(H, dy, s.dh_next + b * H, g, g + H, g + 2 * H, g + 3 * H, tc, nullptr, s.dc + b * H);
  }
}

struct GruStep {
  int64_t H;
  float* gates;  // ld_g
  int64_t ld_g;
  const float* bias;  // [3H]: b_ir + b_hr, b_iz + b_hz, b_in
  const float* hgates;  // h_prev @ W_hh^T, [B, 3H]; null on the first step
  const float* b_hn;
  const float* h_prev;  // null on the first step
  float* hn;
  float* h;
  int64_t ld_s;  // hn, h, h_prev
};

HST_VECTOR_CLONES void gru_forward_rows(const GruStep& s, int64_t B) {
  const int64_t H = s.H;
  for (int64_t b = 0; b < B; ++b) {
    float* g = s.gates + b * s.ld_g;
    float* hn = s.hn + b * s.ld_s;
    float* h = s.h + b * s.ld_s;
    if (s.h_prev) {
      const float* hg = s.hgates + b * 3 * H;
      gru_forward_row<false>(H, g, g + H, g + 2 * H, s.bias, hg, hg + H, hg + 2 * H, s.b_hn, s.h_prev + b * s.ld_s, hn,
                             h);
    } else {
      gru_forward_row<true>(H, g, g + H, g + 2 * H, s.bias, nullptr, nullptr, nullptr, s.b_hn, nullptr, hn, h);
    }
  }
}

struct GruBackStep {
  int64_t H;
  const float* dy;  // ld_dy
  int64_t ld_dy;
  float* dh_carry;  // [B, H]
  float* gates;  // ld_g; activations in, input-side gradients out
  int64_t ld_g;
  float* hn;  // hn in, its gradient out
  const float* h_prev;  // null on the first step
  int64_t ld_s;
  float* step_h;  // [B, 3H] hidden-side gradients of this step
};

HST_VECTOR_CLONES void gru_backward_rows(const GruBackStep& s, int64_t B) {
  const int64_t H = s.H;
  for (int64_t b = 0; b < B; ++b) {
    float* g = s.gates + b * s.ld_g;
    float* sh = s.step_h + b * 3 * H;
    const float* dy = s.dy + b * s.ld_dy;
    float* hn = s.hn + b * s.ld_s;
    if (s.h_prev)
      gru_backward_row<false>(H, dy, s.dh_carry + b * H, g, g + H, g + 2 * H, hn, s.h_prev + b * s.ld_s, sh, sh + H,
                              sh + 2 * H);
    else
      gru_backward_row<true>(H, dy, s.dh_carry + b * H, g, g + H, g + 2 * H, hn, nullptr, sh, sh + H, sh + 2 * H);
  }
}

HST_VECTOR_CLONES void rnn_forward_rows(bool relu, int64_t H, const float* pre, int64_t ld_g, const float* bias,
                                        float* h, int64_t ld_s, int64_t B) {
  for (int64_t b = 0; b < B; ++b) {
    if (relu)
      rnn_forward_row<true>(H, pre + b * ld_g, bias, h + b * ld_s);
    else
      rnn_forward_row<false>(H, pre + b * ld_g, bias, h + b * ld_s);
  }
}

HST_VECTOR_CLONES void rnn_backward_rows(bool relu, int64_t H, const float* dy, int64_t ld_dy, const float* dh_next,
                                         const float* h, int64_t ld_s, float* dpre, int64_t ld_g, int64_t B) {
  for (int64_t b = 0; b < B; ++b) {
    if (relu)
      rnn_backward_row<true>(H, dy + b * ld_dy, dh_next + b * H, h + b * ld_s, dpre + b * ld_g);
    else
      rnn_backward_row<false>(H, dy + b * ld_dy, dh_next + b * H, h + b * ld_s, dpre + b * ld_g);
  }
}

// Adds the column sums of `rows` rows (ld floats apart) of `cols` floats to
// `total`: a float partial over the rows (one step's batch), then into the
// double total, so the sum over all steps loses nothing to rounding.
HST_VECTOR_CLONES void add_column_sums(const float* base, int64_t ld, int64_t rows, int64_t cols,
                                       float* HST_RESTRICT partial, double* HST_RESTRICT total) {
  for (int64_t j = 0; j < cols; ++j) partial[j] = 0.0f;
  for (int64_t r = 0; r < rows; ++r) {
    const float* HST_RESTRICT row = base + r * ld;
    for (int64_t j = 0; j < cols; ++j) partial[j] += row[j];
  }
  for (int64_t j = 0; j < cols; ++j) total[j] += static_cast<double>(partial[j]);
}

// ---------------------------------------------------------------------------
// The stack

// [T, B, n] whose rows (the last dimension) can be read as n consecutive floats.
bool unit_rows(const at::Tensor& t) { return t.size(2) == 1 || t.stride(2) == 1; }

struct Config {
  RnnKind kind = RnnKind::LSTM;
  int64_t gates = 4, layers = 1, dirs = 1, hidden = 0;
  double dropout = 0.0;  // applied between layers only when training
  bool training = false;
  at::Generator generator;  // the dropout's draws; undefined: the default generator
};

int64_t gate_count(RnnKind kind) {
  switch (kind) {
    case RnnKind::LSTM:
      return 4;
    case RnnKind::GRU:
      return 3;
    default:
      return 1;
  }
}

struct Weights {
  const std::vector<at::Tensor>* flat;
  int64_t dirs;
  const at::Tensor& w_ih(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 0]; }
  const at::Tensor& w_hh(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 1]; }
  const at::Tensor& b_ih(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 2]; }
  const at::Tensor& b_hh(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 3]; }
};

// Where each step's rows lie in a layer's [rows, n] buffers. A full batch
// (every sample runs all T steps): step t's B rows start at row t * B.
// Samples of unequal lengths use the packed layout of PackedSequence: the
// samples sorted by length, longest first (ties keep their batch order), so
// that the samples still running at step t are the first n[t] sorted ones,
// and step t's rows start at off[t] = n[0] + ... + n[t-1]. Row i of any step
// belongs to sorted sample i, so a buffer indexed by sorted sample (a
// carried state) serves every step.
struct Steps {
  int64_t T = 0, B = 0;
  std::vector<int64_t> off;  // [T + 1]: first row of each step; off[T]: all rows
  std::vector<int64_t> n;    // [T + 1]: rows of each step, non-increasing; n[T] = 0
  bool full = true;
  std::vector<int64_t> order;    // packed: sorted sample i is batch sample order[i]
  std::vector<int64_t> lengths;  // packed: steps of sorted sample i, descending
  int64_t rows() const { return off[T]; }
};

Steps full_steps(int64_t T, int64_t B) {
  Steps s;
  s.T = T;
  s.B = B;
  s.n.assign(T + 1, B);
  s.n[T] = 0;
  s.off.resize(T + 1);
  for (int64_t t = 0; t <= T; ++t) s.off[t] = t * B;
  return s;
}

// The packed layout of a batch whose sample b runs len[b] steps (1 <= len[b] <= T).
Steps packed_steps(int64_t T, const std::vector<int64_t>& len) {
  Steps s;
  s.T = T;
  s.B = static_cast<int64_t>(len.size());
  s.full = false;
  s.order.resize(s.B);
  for (int64_t b = 0; b < s.B; ++b) s.order[b] = b;
  std::stable_sort(s.order.begin(), s.order.end(), [&](int64_t a, int64_t b) { return len[a] > len[b]; });
  s.lengths.resize(s.B);
  for (int64_t i = 0; i < s.B; ++i) s.lengths[i] = len[s.order[i]];
  // n[t]: samples longer than t
  s.n.assign(T + 1, 0);
  for (int64_t l : s.lengths) ++s.n[l - 1];
  for (int64_t t = T - 1; t > 0; --t) s.n[t - 1] += s.n[t];
  s.off.assign(T + 1, 0);
  for (int64_t t = 0; t < T; ++t) s.off[t + 1] = s.off[t] + s.n[t];
  return s;
}

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

// Input-side bias with whatever of the hidden-side bias can be added before
// the recurrence (all of it, except GRU's b_hn which sits inside r * (...)).
at::Tensor folded_bias(const Config& cfg, const at::Tensor& b_ih, const at::Tensor& b_hh) {
  if (cfg.kind != RnnKind::GRU) return b_ih + b_hh;
  at::Tensor b = b_ih.clone();
  b.narrow(0, 0, 2 * cfg.hidden).add_(b_hh.narrow(0, 0, 2 * cfg.hidden));
  return b;
}

// The batch rows of a recurrence are independent of each other: a direction
// runs as blocks of kRowBlock rows, each block through all steps on one
// thread, so the per-step products and loops split over torch's intra-op
// threads with nothing to synchronise per step, and every row is computed the
// same way whatever the thread count.
constexpr int64_t kRowBlock = 8;
// Multiply-adds a thread takes at least (row blocks here; steps of the input gradient).
constexpr int64_t kMinBlockWork = int64_t(1) << 20;

// Runs fn(b0, b1) over row ranges that start at multiples of kRowBlock; a
// row costs `work_per_step` multiply-adds per step it runs. A full batch
// splits into ranges of as many blocks each; the packed layout's blocks
// (the longest samples first) split by their share of the work.
template <typename F>
void over_row_blocks(const Steps& steps, int64_t work_per_step, const F& fn) {
  const int64_t B = steps.B, blocks = (B + kRowBlock - 1) / kRowBlock;
  if (steps.full) {
    const int64_t work_per_row = steps.T * work_per_step;
    const int64_t grain = std::max<int64_t>(1, kMinBlockWork / std::max<int64_t>(1, kRowBlock * work_per_row));
    parallel_chunks(blocks, grain, [&](int64_t lo, int64_t hi) { fn(lo * kRowBlock, std::min(B, hi * kRowBlock)); });
    return;
  }
  std::vector<int64_t> cum(blocks + 1, 0);  // steps run by the blocks before
  for (int64_t k = 0; k < blocks; ++k) {
    cum[k + 1] = cum[k];
    for (int64_t i = k * kRowBlock; i < std::min(B, (k + 1) * kRowBlock); ++i) cum[k + 1] += steps.lengths[i];
  }
  const int64_t total = cum[blocks] * std::max<int64_t>(1, work_per_step);
  const int64_t chunks = std::min<int64_t>({at::get_num_threads(), blocks, total / kMinBlockWork});
  if (chunks < 2) {
    fn(int64_t{0}, B);
    return;
  }
  std::vector<int64_t> first(chunks + 1, blocks);  // chunk c: blocks first[c] .. first[c+1]
  for (int64_t c = 0; c < chunks; ++c)
    first[c] = std::lower_bound(cum.begin(), cum.end(), (cum[blocks] * c + chunks - 1) / chunks) - cum.begin();
  parallel_chunks(chunks, 1, [&](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const int64_t b0 = first[c] * kRowBlock, b1 = std::min(B, first[c + 1] * kRowBlock);
      if (b0 < b1) fn(b0, b1);
    }
  });
}

// The rows b0..e (e <= b1) of a block that run step t, and the end c of those
// among them that carry a state from the step before (tp: t - 1 forward,
// t + 1 reverse); rows c..e start there from a zero state (the first step a
// forward direction runs, the last valid step of a sample for the reverse).
struct StepSpan {
  int64_t e, c;
};

HST_ALWAYS_INLINE StepSpan step_span(const Steps& steps, int64_t d, int64_t t, int64_t b0, int64_t b1) {
  const int64_t e = std::min(b1, steps.n[t]);
  const int64_t c = d == 0 ? (t > 0 ? e : b0) : std::max(b0, std::min(e, steps.n[t + 1]));
  return {e, c};
}

// One direction of one layer over all steps. gates holds the input
// projection (without bias) on entry, or, with `step_in` (a full batch
// [T, B, I] with rows of unit stride, or packed [rows, I]), each step projects
// its own rows of it with w_ih first; bias is the folded bias of both directions [D*G*H].
void forward_direction(const Config& cfg, int64_t d, const Steps& steps, const at::Tensor* step_in,
                       const at::Tensor& w_ih, const at::Tensor& w_hh, const at::Tensor& b_hh, const at::Tensor& bias,
                       at::Tensor& gates, at::Tensor& extra, at::Tensor& cell_tanh, at::Tensor& out) {
  const int64_t H = cfg.hidden, GH = cfg.gates * H, D = cfg.dirs, T = steps.T, B = steps.B;
  const int64_t ld_g = D * GH, ld_s = D * H;
  const PackedB w_hh_t = pack_b(w_hh.t());
  const PackedB w_ih_t = step_in ? pack_b(w_ih.t()) : PackedB{};
  const float* in_p = step_in ? step_in->data_ptr<float>() : nullptr;
  const int64_t in_st = step_in ? step_in->stride(0) : 0;
  const int64_t in_sb = step_in ? step_in->stride(steps.full ? 1 : 0) : 0;  // between batch rows
  float* gates_p = gates.data_ptr<float>() + d * GH;
  float* out_p = out.data_ptr<float>() + d * H;
  float* extra_p = extra.defined() ? extra.data_ptr<float>() + d * H : nullptr;
  float* tanh_p = cell_tanh.defined() ? cell_tanh.data_ptr<float>() + d * H : nullptr;
  const float* bias_p = bias.data_ptr<float>() + d * GH;
  at::Tensor hgates;  // GRU: h_prev @ W_hh^T kept apart from the input part
  if (cfg.kind == RnnKind::GRU) hgates = at::empty({B, GH}, gates.options());
  float* hgates_p = hgates.defined() ? hgates.data_ptr<float>() : nullptr;
  at::Tensor b_hn = cfg.kind == RnnKind::GRU ? b_hh.narrow(0, 2 * H, H).contiguous() : at::Tensor();
  const float* b_hn_p = b_hn.defined() ? b_hn.data_ptr<float>() : nullptr;
  const int64_t work_per_step = GH * (H + (step_in ? step_in->size(-1) : 0));

  over_row_blocks(steps, work_per_step, [&](int64_t b0, int64_t b1) {
    for (int64_t s = 0; s < T; ++s) {
      const int64_t t = d == 0 ? s : T - 1 - s;
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const auto [e, c] = step_span(steps, d, t, b0, b1);
      if (e <= b0) {
        if (d == 0) break;  // forward: fewer rows at every later step
        continue;
      }
      const int64_t row = steps.off[t] + b0, prow = c > b0 ? steps.off[tp] + b0 : 0;
      if (step_in)
        gemm_packed(e - b0, in_p + (steps.full ? t * in_st + b0 * in_sb : row * in_sb), in_sb, 1, w_ih_t,
                    gates_p + row * ld_g, ld_g, /*accumulate=*/false);
      if (c > b0) {
        const float* h_prev = out_p + prow * ld_s;
        if (cfg.kind == RnnKind::GRU)
          gemm_packed(c - b0, h_prev, ld_s, 1, w_hh_t, hgates_p + b0 * GH, GH, /*accumulate=*/false);
        else
          gemm_packed(c - b0, h_prev, ld_s, 1, w_hh_t, gates_p + row * ld_g, ld_g, /*accumulate=*/true);
      }
      // the rows with a previous state, then the rows starting from zero
      for (int part = 0; part < 2; ++part) {
        const int64_t r0 = part == 0 ? b0 : c, r1 = part == 0 ? c : e;
        if (r1 <= r0) continue;
        const bool first = part == 1;
        const int64_t rr = row + (r0 - b0), pr = prow + (r0 - b0);
        float* g = gates_p + rr * ld_g;
        float* h = out_p + rr * ld_s;
        switch (cfg.kind) {
          case RnnKind::LSTM: {
            LstmStep st{H, g, ld_g, bias_p, first ? nullptr : extra_p + pr * ld_s, extra_p + rr * ld_s,
                        tanh_p ? tanh_p + rr * ld_s : nullptr, h, ld_s};
            lstm_forward_rows(st, r1 - r0);
            break;
          }
          case RnnKind::GRU: {
            GruStep st{H,
                       g,
                       ld_g,
                       bias_p,
                       first ? nullptr : hgates_p + r0 * GH,
                       b_hn_p,
                       first ? nullptr : out_p + pr * ld_s,
                       extra_p + rr * ld_s,
                       h,
                       ld_s};
            gru_forward_rows(st, r1 - r0);
            break;
          }
          default: {
            const bool relu = cfg.kind == RnnKind::RNN_RELU;
            rnn_forward_rows(relu, H, g, ld_g, bias_p, h, ld_s, r1 - r0);
            break;
          }
        }
      }
    }
  });
}

// ---------------------------------------------------------------------------
// Between the batch-first tensors of the caller and the packed layout.

// Copies of n floats from a row of stride `stride`.
HST_ALWAYS_INLINE void copy_row(const float* src, int64_t stride, int64_t n, float* dst) {
  if (stride == 1) {
    std::memcpy(dst, src, sizeof(float) * n);
  } else {
    for (int64_t j = 0; j < n; ++j) dst[j] = src[j * stride];
  }
}

// Sorted samples a thread takes at least when copying rows of `width` floats.
int64_t copy_grain(const Steps& steps, int64_t width) {
  return std::max<int64_t>(1, (int64_t(1) << 16) / std::max<int64_t>(1, steps.T * width));
}

// x [B, T, C] (any strides) -> [rows, C]: each sample's valid steps in the packed layout.
at::Tensor pack_rows(const at::Tensor& x, const Steps& steps) {
  const int64_t C = x.size(2);
  at::Tensor out = at::empty({steps.rows(), C}, x.options());
  const float* src = x.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  const int64_t sb = x.stride(0), st = x.stride(1), sc = x.stride(2);
  parallel_chunks(steps.B, copy_grain(steps, C), [&](int64_t i0, int64_t i1) {
    for (int64_t i = i0; i < i1; ++i) {
      const float* s = src + steps.order[i] * sb;
      for (int64_t t = 0; t < steps.lengths[i]; ++t) copy_row(s + t * st, sc, C, dst + (steps.off[t] + i) * C);
    }
  });
  return out;
}

// [rows, C] in the packed layout -> [B, T, C], zero at each sample's steps
// past its length.
at::Tensor unpack_rows(const at::Tensor& packed, const Steps& steps) {
  const int64_t C = packed.size(1), T = steps.T;
  at::Tensor out = at::empty({steps.B, T, C}, packed.options());
  const float* src = packed.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  parallel_chunks(steps.B, copy_grain(steps, C), [&](int64_t i0, int64_t i1) {
    for (int64_t i = i0; i < i1; ++i) {
      float* d = dst + steps.order[i] * T * C;
      const int64_t len = steps.lengths[i];
      for (int64_t t = 0; t < len; ++t) std::memcpy(d + t * C, src + (steps.off[t] + i) * C, sizeof(float) * C);
      std::memset(d + len * C, 0, sizeof(float) * (T - len) * C);
    }
  });
  return out;
}

// A full-batch [T, B, C] tensor's rows at the packed layout's positions.
at::Tensor packed_rows_of_full(const at::Tensor& full, const Steps& steps) {
  at::Tensor index = at::empty({steps.rows()}, at::TensorOptions().dtype(at::kLong));
  int64_t* p = index.data_ptr<int64_t>();
  for (int64_t t = 0; t < steps.T; ++t)
    for (int64_t i = 0; i < steps.n[t]; ++i) p[steps.off[t] + i] = t * steps.B + steps.order[i];
  return full.reshape({steps.T * steps.B, full.size(2)}).index_select(0, index);
}

// Runs the stack; returns the top layer's output, [T, B, D*H] for a full
// batch and [rows, D*H] in the packed layout. The input is either a full
// batch [T, B, I] whose rows have unit stride, or packed [rows, I]
// (contiguous). A contiguous full batch is projected for all steps with one
// product; any other layout (the batch-first input seen through a transpose)
// step by step, without a copy; a packed input step by step without
// gradients, else with one product. Fills `saved` when given, which needs a
// contiguous input.
at::Tensor run_forward(const Config& cfg, const Steps& steps, const at::Tensor& x, const Weights& w, Saved* saved) {
  const int64_t T = steps.T, B = steps.B, N = steps.rows(), H = cfg.hidden, D = cfg.dirs;
  TORCH_CHECK(steps.full ? unit_rows(x) && (saved == nullptr || x.is_contiguous()) : x.is_contiguous(),
              "run_forward: unexpected input layout");
  at::Tensor layer_in = x;  // [T, B, I_l] or [rows, I_l]
  at::Tensor out;
  for (int64_t l = 0; l < cfg.layers; ++l) {
    const int64_t I = layer_in.size(-1);
    // Each step projects its own rows for the batch-first input of a full
    // batch (read in place) and, without gradients, for the packed input too
    // (a step's gates are then still in cache when its loop reads them);
    // otherwise one product over all rows.
    const bool per_step = steps.full ? !layer_in.is_contiguous() : l == 0 && saved == nullptr;
    // input weights of both directions stacked: for the one product over all
    // steps, and for backward (the step-by-step path reads each direction's own)
    at::Tensor w_in, bias;
    if (D == 1) {
      w_in = w.w_ih(l, 0);
      bias = folded_bias(cfg, w.b_ih(l, 0), w.b_hh(l, 0));
    } else {
      if (!per_step || saved) w_in = at::cat({w.w_ih(l, 0), w.w_ih(l, 1)}, 0);
      bias = at::cat({folded_bias(cfg, w.b_ih(l, 0), w.b_hh(l, 0)), folded_bias(cfg, w.b_ih(l, 1), w.b_hh(l, 1))}, 0);
    }
    // [rows, D*G*H]; the loops add the bias
    at::Tensor gates = at::empty({N, D * cfg.gates * H}, x.options());
    if (!per_step)
      gemm_packed(N, layer_in.data_ptr<float>(), I, 1, pack_b(w_in.t()), gates.data_ptr<float>(), gates.size(1),
                  /*accumulate=*/false);
    at::Tensor extra;
    if (cfg.kind == RnnKind::LSTM || cfg.kind == RnnKind::GRU) extra = at::empty({N, D * H}, x.options());
    at::Tensor cell_tanh;
    if (saved && cfg.kind == RnnKind::LSTM) cell_tanh = at::empty({N, D * H}, x.options());
    out = steps.full ? at::empty({T, B, D * H}, x.options()) : at::empty({N, D * H}, x.options());
    for (int64_t d = 0; d < D; ++d)
      forward_direction(cfg, d, steps, per_step ? &layer_in : nullptr, w.w_ih(l, d), w.w_hh(l, d), w.b_hh(l, d),
                        bias, gates, extra, cell_tanh, out);

    if (saved) {
      saved->inputs.push_back(layer_in.view({N, I}));
      saved->w_in.push_back(w_in);
      saved->gates.push_back(gates);  // backward overwrites it with gradients
      if (extra.defined()) saved->extra.push_back(extra);
      if (cell_tanh.defined()) saved->cell_tanh.push_back(cell_tanh);
      saved->outputs.push_back(out);
    }
    if (l + 1 == cfg.layers) break;
    layer_in = out;
    if (cfg.training && cfg.dropout > 0) {
      // Drawn the way at::dropout draws it for the [T, B, D*H] layer output,
      // so a seeded run matches the library's own recurrent layers; the
      // packed layout keeps the valid positions' draws.
      at::Tensor noise;
      if (cfg.dropout >= 1.0) {
        noise = at::zeros({T, B, D * H}, x.options());
      } else {
        noise = at::empty({T, B, D * H}, x.options());
        noise.bernoulli_(1.0 - cfg.dropout, cfg.generator);
        noise.div_(1.0 - cfg.dropout);
      }
      if (!steps.full) noise = packed_rows_of_full(noise, steps);
      layer_in = out * noise;
      if (saved) saved->masks.push_back(noise);
    }
  }
  return out;
}

struct Grads {
  at::Tensor x;                     // full batch: [T, B, I] (batch-first in memory); packed: [rows, I]
  std::vector<at::Tensor> weights;  // flat order
};

// The gradient of a layer's output, read in place: step t, batch row b at
// p + t * s_t + b * s_b, or with `off` at p + (off[t] + b) * s_b (unit stride
// along the row).
struct StepRows {
  const float* p;
  int64_t s_t, s_b;
  const int64_t* off = nullptr;
  const float* at(int64_t t, int64_t b) const { return p + (off ? (off[t] + b) * s_b : t * s_t + b * s_b); }
};

// Backward of one direction of one layer over all steps. Turns this
// direction's columns of `gates` into the gradients of the pre-activations
// (GRU: and `extra` into the gradient of W_hn h + b_hn), and adds their sums
// over all rows to db [G*H] (GRU: the gradient of b_hn to db_hn [H]). Runs by
// row blocks like the forward; the sums are kept per block and added in block
// order, so they too are the same for any thread count.
void backward_direction(const Config& cfg, int64_t d, const Steps& steps, const at::Tensor& w_hh,
                        const StepRows& dy, at::Tensor& gates, at::Tensor& extra, const at::Tensor& cell_tanh,
                        const at::Tensor& out2d, double* db, double* db_hn) {
  const int64_t H = cfg.hidden, GH = cfg.gates * H, D = cfg.dirs, T = steps.T, B = steps.B;
  const int64_t ld_g = D * GH, ld_s = D * H;
  const at::TensorOptions opts = gates.options();
  const bool gru = cfg.kind == RnnKind::GRU;
  // carried per sorted sample; zero until the sample's first step backward
  at::Tensor dh_next = at::zeros({B, H}, opts);
  at::Tensor dc, step_h;
  if (cfg.kind == RnnKind::LSTM) dc = at::zeros({B, H}, opts);
  if (gru) step_h = at::empty({B, GH}, opts);
  float* dh_next_p = dh_next.data_ptr<float>();
  float* dc_p = dc.defined() ? dc.data_ptr<float>() : nullptr;
  float* step_h_p = step_h.defined() ? step_h.data_ptr<float>() : nullptr;
  const int64_t blocks = (B + kRowBlock - 1) / kRowBlock;
  std::vector<double> block_db(blocks * GH, 0.0), block_db_hn(gru ? blocks * H : 0, 0.0);
  const PackedB w_hh_p = pack_b(w_hh);
  const StepRows dy_d{dy.p + d * H, dy.s_t, dy.s_b, dy.off};
  const float* out_p = out2d.data_ptr<float>() + d * H;
  float* gates_p = gates.data_ptr<float>() + d * GH;
  float* extra_p = extra.defined() ? extra.data_ptr<float>() + d * H : nullptr;
  const float* tanh_p = cell_tanh.defined() ? cell_tanh.data_ptr<float>() + d * H : nullptr;

  over_row_blocks(steps, 2 * GH * H, [&](int64_t b0, int64_t b1) {
    std::vector<float> partial(GH);
    for (int64_t s = T - 1; s >= 0; --s) {
      const int64_t t = d == 0 ? s : T - 1 - s;
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const auto [e, c] = step_span(steps, d, t, b0, b1);
      if (e <= b0) {
        if (d == 1) break;  // reverse, read forward in time: fewer rows at every later step
        continue;
      }
      const int64_t row = steps.off[t] + b0, prow = c > b0 ? steps.off[tp] + b0 : 0;
      // the rows with a previous state, then those whose state started at zero
      for (int part = 0; part < 2; ++part) {
        const int64_t r0 = part == 0 ? b0 : c, r1 = part == 0 ? c : e;
        if (r1 <= r0) continue;
        const bool first = part == 1;
        const int64_t rr = row + (r0 - b0), pr = prow + (r0 - b0);
        const float* dy_t = dy_d.at(t, r0);
        switch (cfg.kind) {
          case RnnKind::LSTM: {
            LstmBackStep st{H,
                            dy_t,
                            dy.s_b,
                            dh_next_p + r0 * H,
                            gates_p + rr * ld_g,
                            ld_g,
                            tanh_p + rr * ld_s,
                            first ? nullptr : extra_p + pr * ld_s,
                            ld_s,
                            dc_p + r0 * H};
            lstm_backward_rows(st, r1 - r0);
            break;
          }
          case RnnKind::GRU: {
            GruBackStep st{H,
                           dy_t,
                           dy.s_b,
                           dh_next_p + r0 * H,
                           gates_p + rr * ld_g,
                           ld_g,
                           extra_p + rr * ld_s,
                           first ? nullptr : out_p + pr * ld_s,
                           ld_s,
                           step_h_p + r0 * GH};
            gru_backward_rows(st, r1 - r0);
            break;
          }
          default: {
            const bool relu = cfg.kind == RnnKind::RNN_RELU;
            rnn_backward_rows(relu, H, dy_t, dy.s_b, dh_next_p + r0 * H, out_p + rr * ld_s, ld_s,
                              gates_p + rr * ld_g, ld_g, r1 - r0);
            break;
          }
        }
      }
      for (int64_t r = b0; r < e; r += kRowBlock) {
        const int64_t k = r / kRowBlock, n = std::min(kRowBlock, e - r);
        add_column_sums(gates_p + (steps.off[t] + r) * ld_g, ld_g, n, GH, partial.data(), block_db.data() + k * GH);
        if (gru)
          add_column_sums(extra_p + (steps.off[t] + r) * ld_s, ld_s, n, H, partial.data(),
                          block_db_hn.data() + k * H);
      }
      if (c <= b0) continue;  // no row carries a state back to another step
      if (gru)  // dh_next already holds the direct path dh * z
        gemm_packed(c - b0, step_h_p + b0 * GH, GH, 1, w_hh_p, dh_next_p + b0 * H, H, /*accumulate=*/true);
      else
        gemm_packed(c - b0, gates_p + row * ld_g, ld_g, 1, w_hh_p, dh_next_p + b0 * H, H, /*accumulate=*/false);
    }
  });
  for (int64_t k = 0; k < blocks; ++k) {
    for (int64_t j = 0; j < GH; ++j) db[j] += block_db[k * GH + j];
    if (gru)
      for (int64_t j = 0; j < H; ++j) db_hn[j] += block_db_hn[k * H + j];
  }
}

// Float tensor of the double sums.
at::Tensor float_vector(const std::vector<double>& v, const at::TensorOptions& opts) {
  at::Tensor t = at::empty({static_cast<int64_t>(v.size())}, opts);
  float* p = t.data_ptr<float>();
  for (size_t i = 0; i < v.size(); ++i) p[i] = static_cast<float>(v[i]);
  return t;
}

// The packed layout's rows k0..k1 of the state each row read (direction d's
// columns of out2d [rows, D*H]): the previous step's for the forward
// direction, the next step's for the reverse, zero for a row that started
// from zero. -> [k1 - k0, H]
at::Tensor read_states(const Steps& steps, int64_t d, int64_t H, const at::Tensor& out2d, int64_t k0, int64_t k1) {
  at::Tensor prev = at::empty({k1 - k0, H}, out2d.options());
  const int64_t ld_s = out2d.size(1);
  const float* src = out2d.data_ptr<float>() + d * H;
  float* dst = prev.data_ptr<float>();
  const int64_t grain = std::max<int64_t>(1, (int64_t(1) << 16) / std::max<int64_t>(1, steps.B * H));
  parallel_chunks(steps.T, grain, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const int64_t carried = tp < 0 ? 0 : std::min(steps.n[t], steps.n[tp]);
      for (int64_t i = 0; i < steps.n[t]; ++i) {
        const int64_t r = steps.off[t] + i;
        if (r < k0 || r >= k1) continue;
        float* o = dst + (r - k0) * H;
        if (i < carried)
          std::memcpy(o, src + (steps.off[tp] + i) * ld_s, sizeof(float) * H);
        else
          std::memset(o, 0, sizeof(float) * H);
      }
    }
  });
  return prev;
}

// Gradients of the whole stack. With `reuse`, the saved activation buffers
// are overwritten (nothing reads them afterwards); otherwise they are copied
// first so that a retained graph can run backward again. For a full batch
// grad_out is [T, B, D*H] (rows of unit stride) and the input gradient comes
// back batch-first in memory ([B, T, I] seen as [T, B, I]), the layout the
// layer below produced its output in, so nothing is copied on either side.
// In the packed layout both are [rows, n].
Grads run_backward(const Config& cfg, const Steps& steps, const Saved& saved, const Weights& w,
                   const at::Tensor& grad_out, bool need_x_grad, bool reuse) {
  const int64_t L = cfg.layers, D = cfg.dirs, H = cfg.hidden, GH = cfg.gates * H;
  const int64_t T = steps.T, B = steps.B, N = steps.rows();
  const bool gru = cfg.kind == RnnKind::GRU;
  Grads grads;
  grads.weights.resize(L * D * 4);
  // the incoming gradient is read in place (it usually arrives batch-first)
  at::Tensor dy_holder;
  StepRows dy{nullptr, 0, 0};
  if (steps.full) {
    dy_holder = unit_rows(grad_out) ? grad_out : grad_out.contiguous();
    dy = StepRows{dy_holder.data_ptr<float>(), dy_holder.stride(0), dy_holder.stride(1)};
  } else {
    dy_holder = grad_out.contiguous();
    dy = StepRows{dy_holder.data_ptr<float>(), 0, D * H, steps.off.data()};
  }

  for (int64_t l = L - 1; l >= 0; --l) {
    at::Tensor dgates = reuse ? saved.gates[l] : saved.gates[l].clone();
    at::Tensor dhn;  // GRU: gradient of W_hn h + b_hn
    if (gru) dhn = reuse ? saved.extra[l] : saved.extra[l].clone();
    const bool lstm = cfg.kind == RnnKind::LSTM;
    at::Tensor extra = gru ? dhn : lstm ? saved.extra[l] : at::Tensor();
    const at::Tensor cell_tanh = lstm ? saved.cell_tanh[l] : at::Tensor();
    at::Tensor out2d = saved.outputs[l].view({N, D * H});
    std::vector<std::vector<double>> db(D, std::vector<double>(GH, 0.0)), db_hn(D, std::vector<double>(H, 0.0));
    for (int64_t d = 0; d < D; ++d)
      backward_direction(cfg, d, steps, w.w_hh(l, d), dy, dgates, extra, cell_tanh, out2d, db[d].data(),
                         db_hn[d].data());

    // Weight gradients: sums over all steps of (gate gradient)^T (input it
    // multiplied), one product each with the steps as the inner dimension.
    const at::Tensor& layer_in = saved.inputs[l];
    const PackedB in_p = pack_b(layer_in);
    const int64_t I = layer_in.size(1), ld_g = D * GH;
    for (int64_t d = 0; d < D; ++d) {
      const float* dg_p = dgates.data_ptr<float>() + d * GH;
      const int64_t base = (l * D + d) * 4;
      at::Tensor dw_ih = at::empty({GH, I}, dgates.options());
      gemm_packed(GH, dg_p, 1, ld_g, in_p, dw_ih.data_ptr<float>(), I, /*accumulate=*/false);
      grads.weights[base + 0] = dw_ih;
      grads.weights[base + 2] = float_vector(db[d], dgates.options());
      // step t's hidden-side gradient pairs with the state it read: the
      // previous step for the forward direction, the next for the reverse.
      // Rows g0..g1 of the gradients are those that read one (a full batch:
      // all steps but the first; packed, the rows that start from zero within
      // that range read zeros).
      const int64_t g0 = d == 0 ? steps.off[std::min<int64_t>(1, T)] : 0, g1 = d == 0 ? N : steps.off[T - 1];
      at::Tensor dw_hh = g1 > g0 ? at::empty({GH, H}, dgates.options()) : at::zeros({GH, H}, dgates.options());
      if (g1 > g0) {
        const PackedB h_p = pack_b(steps.full ? out2d.narrow(1, d * H, H).narrow(0, d == 0 ? 0 : B, g1 - g0)
                                              : read_states(steps, d, H, out2d, g0, g1));
        float* dw = dw_hh.data_ptr<float>();
        if (gru) {  // the n rows pair with the gradient of W_hn h + b_hn
          gemm_packed(2 * H, dg_p + g0 * ld_g, 1, ld_g, h_p, dw, H, /*accumulate=*/false);
          gemm_packed(H, dhn.data_ptr<float>() + d * H + g0 * D * H, 1, D * H, h_p, dw + 2 * H * H, H,
                      /*accumulate=*/false);
        } else {
          gemm_packed(GH, dg_p + g0 * ld_g, 1, ld_g, h_p, dw, H, /*accumulate=*/false);
        }
      }
      grads.weights[base + 1] = dw_hh;
      if (gru) std::copy(db_hn[d].begin(), db_hn[d].end(), db[d].begin() + 2 * H);
      grads.weights[base + 3] = float_vector(db[d], dgates.options());
    }
    if (l == 0 && !need_x_grad) break;
    const int64_t I_l = saved.w_in[l].size(1);
    const PackedB w_in_p = pack_b(saved.w_in[l]);
    const float* dg_all = dgates.data_ptr<float>();
    if (l == 0 && steps.full) {
      // [B, T, I], both directions: one product per step, the steps split
      // over the threads (each row is computed whole by one of them)
      at::Tensor dx = at::empty({B, T, I_l}, dgates.options());
      float* dx_p = dx.data_ptr<float>();
      const int64_t grain = std::max<int64_t>(1, kMinBlockWork / std::max<int64_t>(1, B * I_l * ld_g));
      parallel_chunks(T, grain, [&](int64_t t0, int64_t t1) {
        for (int64_t t = t0; t < t1; ++t)
          gemm_packed(B, dg_all + t * B * ld_g, ld_g, 1, w_in_p, dx_p + t * I_l, T * I_l, /*accumulate=*/false);
      });
      grads.x = dx.transpose(0, 1);
    } else {
      // [rows, I_l], both directions
      at::Tensor dx = at::empty({N, I_l}, dgates.options());
      gemm_packed(N, dg_all, ld_g, 1, w_in_p, dx.data_ptr<float>(), I_l, /*accumulate=*/false);
      if (l == 0) {
        grads.x = dx;
        break;
      }
      const int64_t m = l - 1;
      if (m < static_cast<int64_t>(saved.masks.size())) dx.mul_(saved.masks[m].view({N, D * H}));
      dy_holder = dx;
      dy = StepRows{dx.data_ptr<float>(), 0, I_l, steps.off.data()};
    }
  }
  return grads;
}

Config config_of(const RnnLayer& r) {
  Config cfg;
  cfg.kind = r.kind;
  cfg.gates = gate_count(r.kind);
  cfg.layers = r.num_layers;
  cfg.dirs = r.bidirectional ? 2 : 1;
  cfg.hidden = r.hidden_size;
  cfg.dropout = r.dropout;
  cfg.training = r.training;
  cfg.generator = r.generator;
  return cfg;
}

// ---------------------------------------------------------------------------
// Autograd nodes. NativeRecurrent: a full batch, inputs x_tm and the flat
// weights, output [T, B, D*H]. NativePackedRecurrent: samples of unequal
// lengths, inputs the batch-first x and the flat weights, output [B, T, D*H];
// it packs and unpacks the rows itself.

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

void save_buffers(AutogradContext* ctx, const Config& cfg, const Saved& saved) {
  ctx->saved_data["kind"] = static_cast<int64_t>(cfg.kind);
  ctx->saved_data["layers"] = cfg.layers;
  ctx->saved_data["dirs"] = cfg.dirs;
  ctx->saved_data["hidden"] = cfg.hidden;
  ctx->saved_data["inputs"] = saved.inputs;
  ctx->saved_data["w_in"] = saved.w_in;
  ctx->saved_data["gates"] = saved.gates;
  ctx->saved_data["extra"] = saved.extra;
  ctx->saved_data["cell_tanh"] = saved.cell_tanh;
  ctx->saved_data["outputs"] = saved.outputs;
  ctx->saved_data["masks"] = saved.masks;
}

void refuse_double_backward() {
  TORCH_CHECK(!at::GradMode::is_enabled(),
              "the native float32 CPU recurrent kernels have no double backward; to differentiate "
              "through gradients run the model in float64 (model.double()), which uses torch's own layers");
}

Config saved_config(AutogradContext* ctx) {
  Config cfg;
  cfg.kind = static_cast<RnnKind>(ctx->saved_data["kind"].toInt());
  cfg.gates = gate_count(cfg.kind);
  cfg.layers = ctx->saved_data["layers"].toInt();
  cfg.dirs = ctx->saved_data["dirs"].toInt();
  cfg.hidden = ctx->saved_data["hidden"].toInt();
  return cfg;
}

Saved saved_buffers(AutogradContext* ctx) {
  Saved saved;
  saved.inputs = ctx->saved_data["inputs"].toTensorVector();
  saved.w_in = ctx->saved_data["w_in"].toTensorVector();
  saved.gates = ctx->saved_data["gates"].toTensorVector();
  saved.extra = ctx->saved_data["extra"].toTensorVector();
  saved.cell_tanh = ctx->saved_data["cell_tanh"].toTensorVector();
  saved.outputs = ctx->saved_data["outputs"].toTensorVector();
  saved.masks = ctx->saved_data["masks"].toTensorVector();
  return saved;
}

struct NativeRecurrent : public torch::autograd::Function<NativeRecurrent> {
  static at::Tensor forward(AutogradContext* ctx, const Config& cfg, const at::Tensor& x_tm, at::TensorList weights) {
    std::vector<at::Tensor> flat(weights.begin(), weights.end());
    Saved saved;
    at::Tensor out = run_forward(cfg, full_steps(x_tm.size(0), x_tm.size(1)), x_tm, Weights{&flat, cfg.dirs}, &saved);

    std::vector<at::Tensor> to_save = flat;
    to_save.push_back(x_tm);
    to_save.push_back(out);
    ctx->save_for_backward(to_save);
    saved.inputs.erase(saved.inputs.begin());  // x_tm itself, kept above
    saved.outputs.pop_back();                  // out, kept above
    save_buffers(ctx, cfg, saved);
    return out;
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    refuse_double_backward();
    // first: raises the usual error when the graph was already freed
    variable_list vars = ctx->get_saved_variables();
    const Config cfg = saved_config(ctx);
    at::Tensor out = vars.back();
    vars.pop_back();
    at::Tensor x_tm = vars.back();
    vars.pop_back();
    std::vector<at::Tensor> flat = std::move(vars);

    Saved saved = saved_buffers(ctx);
    saved.inputs.insert(saved.inputs.begin(), x_tm.view({x_tm.size(0) * x_tm.size(1), x_tm.size(2)}));
    saved.outputs.push_back(out);

    // Without a retained graph nothing reads the saved buffers again: reuse
    // them for the gradients and let them go as soon as this returns.
    const bool reuse = !torch::autograd::get_current_graph_task_keep_graph();
    if (reuse) ctx->saved_data.clear();

    at::Tensor grad = grad_outputs[0];
    if (!grad.defined()) grad = at::zeros_like(out);
    Grads g = run_backward(cfg, full_steps(x_tm.size(0), x_tm.size(1)), saved, Weights{&flat, cfg.dirs}, grad,
                           ctx->needs_input_grad(0), reuse);

    variable_list result;
    result.reserve(2 + g.weights.size());
    result.emplace_back();  // cfg
    result.push_back(g.x);
    for (auto& t : g.weights) result.push_back(std::move(t));
    return result;
  }
};

struct NativePackedRecurrent : public torch::autograd::Function<NativePackedRecurrent> {
  static at::Tensor forward(AutogradContext* ctx, const Config& cfg, const Steps& steps, const at::Tensor& x,
                            at::TensorList weights) {
    std::vector<at::Tensor> flat(weights.begin(), weights.end());
    Saved saved;
    // every buffer of the pass, the input and the top output included, is
    // internal to this node (the caller's tensors are x and the unpacked output)
    at::Tensor out = run_forward(cfg, steps, pack_rows(x, steps), Weights{&flat, cfg.dirs}, &saved);
    ctx->save_for_backward(flat);
    save_buffers(ctx, cfg, saved);
    ctx->saved_data["steps"] = steps.T;
    std::vector<int64_t> len(steps.B);
    for (int64_t i = 0; i < steps.B; ++i) len[steps.order[i]] = steps.lengths[i];
    ctx->saved_data["lengths"] = c10::IValue(len);
    return unpack_rows(out, steps);
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    refuse_double_backward();
    std::vector<at::Tensor> flat = ctx->get_saved_variables();  // first, as above
    const Config cfg = saved_config(ctx);
    const Steps steps = packed_steps(ctx->saved_data["steps"].toInt(), ctx->saved_data["lengths"].toIntVector());
    const Saved saved = saved_buffers(ctx);
    const bool reuse = !torch::autograd::get_current_graph_task_keep_graph();
    if (reuse) ctx->saved_data.clear();

    const at::Tensor& grad = grad_outputs[0];
    const at::Tensor dy = grad.defined() ? pack_rows(grad, steps)
                                         : at::zeros({steps.rows(), cfg.dirs * cfg.hidden}, flat[0].options());
    Grads g = run_backward(cfg, steps, saved, Weights{&flat, cfg.dirs}, dy, ctx->needs_input_grad(0), reuse);

    variable_list result;
    result.reserve(3 + g.weights.size());
    result.emplace_back();  // cfg
    result.emplace_back();  // steps
    result.push_back(g.x.defined() ? unpack_rows(g.x, steps) : at::Tensor());
    for (auto& t : g.weights) result.push_back(std::move(t));
    return result;
  }
};

// Every entry of lengths (int64 [B] on the CPU, checked) is T.
bool all_full(const at::Tensor& lengths, int64_t T) {
  const auto a = lengths.accessor<int64_t, 1>();
  for (int64_t b = 0; b < a.size(0); ++b)
    if (a[b] != T) return false;
  return true;
}

}  // namespace

bool native_recurrent_supported(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths) {
  if (!is_cpu_float(x) || x.dim() != 3 || x.numel() == 0) return false;
  if (!r.batch_first || !r.has_biases || r.hidden_size < 1 || r.num_layers < 1) return false;
  if (!(r.dropout >= 0.0 && r.dropout <= 1.0)) return false;
  const int64_t D = r.bidirectional ? 2 : 1, H = r.hidden_size, GH = gate_count(r.kind) * H;
  if (static_cast<int64_t>(r.flat_weights.size()) != r.num_layers * D * 4) return false;
  for (int64_t l = 0; l < r.num_layers; ++l) {
    const int64_t in = l == 0 ? x.size(2) : D * H;
    for (int64_t d = 0; d < D; ++d) {
      const at::Tensor* w = &r.flat_weights[(l * D + d) * 4];
      for (int k = 0; k < 4; ++k)
        if (!is_cpu_float(w[k])) return false;
      if (w[0].sizes() != at::IntArrayRef{GH, in} || w[1].sizes() != at::IntArrayRef{GH, H} ||
          w[2].sizes() != at::IntArrayRef{GH} || w[3].sizes() != at::IntArrayRef{GH})
        return false;
    }
  }
  if (lengths.defined()) {
    if (!lengths.device().is_cpu() || lengths.layout() != at::kStrided || lengths.scalar_type() != at::kLong ||
        lengths.dim() != 1 || lengths.size(0) != x.size(0))
      return false;
    const int64_t T = x.size(1);
    const auto a = lengths.accessor<int64_t, 1>();
    for (int64_t b = 0; b < a.size(0); ++b)
      if (a[b] < 1 || a[b] > T) return false;
  }
  return true;
}

at::Tensor native_recurrent_forward(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths) {
  TORCH_CHECK(native_recurrent_supported(r, x, lengths),
              "native_recurrent_forward: expected float32 CPU input [B, T, I], weights matching the layer and "
              "lengths undefined or int64 [B] in [1, T], got input ",
              x.sizes(), " ", x.scalar_type(), (lengths.defined() ? ", lengths " : ""),
              (lengths.defined() ? lengths.sizes() : at::IntArrayRef{}));
  const Config cfg = config_of(r);
  bool needs_grad = false;
  if (at::GradMode::is_enabled()) {
    needs_grad = x.requires_grad();
    for (const auto& t : r.flat_weights) needs_grad = needs_grad || t.requires_grad();
  }
  if (lengths.defined() && !all_full(lengths, x.size(1))) {
    std::vector<int64_t> len(lengths.size(0));
    const auto a = lengths.accessor<int64_t, 1>();
    for (int64_t b = 0; b < a.size(0); ++b) len[b] = a[b];
    const Steps steps = packed_steps(x.size(1), len);
    if (needs_grad) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
      return NativePackedRecurrent::apply(cfg, steps, x, at::TensorList(r.flat_weights));
#pragma GCC diagnostic pop
    }
    at::NoGradGuard no_grad;
    return unpack_rows(run_forward(cfg, steps, pack_rows(x, steps), Weights{&r.flat_weights, cfg.dirs}, nullptr),
                       steps);
  }
  at::Tensor out;
  if (needs_grad) {
// GCC 14 reports -Warray-bounds inside torch's Function::apply (a
// vector<bool>::reserve inlined from custom_function.h): a false positive in
// torch's header, reported at this call. Kept silent here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    // backward's weight gradients read the input time-major
    out = NativeRecurrent::apply(cfg, x.transpose(0, 1).contiguous(), at::TensorList(r.flat_weights));
#pragma GCC diagnostic pop
  } else {
    at::NoGradGuard no_grad;
    const at::Tensor x_tm = x.transpose(0, 1);
    out = run_forward(cfg, full_steps(x.size(1), x.size(0)), unit_rows(x_tm) ? x_tm : x_tm.contiguous(),
                      Weights{&r.flat_weights, cfg.dirs}, nullptr);
  }
  return out.transpose(0, 1);
}

}  // namespace hst::kernels
