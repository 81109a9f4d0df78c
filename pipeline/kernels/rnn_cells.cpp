// The cells' fused per-step loops (rnn_cells.h). The row functions below are
// inlined into each instruction-set clone of the loops over rows; nothing
// here may use a lambda, whose body would be compiled without the clone's
// instruction set.
#include "kernels/rnn_cells.h"

#include <algorithm>
#include <cmath>

#include "kernels/fast_math.h"

namespace hst::kernels::rnn {

namespace {

// Fused per-step loops, one batch row at a time. kFirst: the first step a
// direction processes, whose previous state is zero.

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

}  // namespace

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

HST_VECTOR_CLONES void add_column_sums(const float* base, int64_t ld, int64_t rows, int64_t cols,
                                       float* HST_RESTRICT partial, double* HST_RESTRICT total) {
  for (int64_t j = 0; j < cols; ++j) partial[j] = 0.0f;
  for (int64_t r = 0; r < rows; ++r) {
    const float* HST_RESTRICT row = base + r * ld;
    for (int64_t j = 0; j < cols; ++j) partial[j] += row[j];
  }
  for (int64_t j = 0; j < cols; ++j) total[j] += static_cast<double>(partial[j]);
}

}  // namespace hst::kernels::rnn
