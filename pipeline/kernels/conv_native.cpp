// Hand-written CPU kernels for the convolution stack: all its steps run as
// one autograd node whose backward is written out by hand, instead of a graph
// of ATen operators (each with its own layout conversions and passes).
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
#include "kernels/conv_native.h"

#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/custom_function.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/simd.h"

#include "kernels/gemm_packed.h"
#include "kernels/parallel.h"

namespace hst::kernels {

namespace {

// ---------------------------------------------------------------------------
// Buffers

// Per-sample spans of a buffer whose samples differ in length: sample b
// spans rows first[b] .. first[b+1]-1 (first[0] = the lead rows) and holds
// len[b] values.
struct Spans {
  std::vector<int64_t> first, len;
  int64_t valid = 0;  // sum of len
};

struct Layout {
  int64_t B = 0, L = 0, C = 0;  // samples, positions, channels
  int64_t S = 0;                // rows per sample
  int64_t off = 0;              // first valid row within a sample
  int64_t lead = 0;             // rows before the first sample
  // When the samples differ in length: their spans (S and L then bound them,
  // B * S and lead the rows no longer); null when each has S rows, L valid.
  std::shared_ptr<const Spans> spans;
  const int64_t* first_ = nullptr;
  const int64_t* len_ = nullptr;
  Layout() = default;
  Layout(int64_t B_, int64_t L_, int64_t C_, int64_t S_, int64_t off_, int64_t lead_)
      : B(B_), L(L_), C(C_), S(S_), off(off_), lead(lead_) {}
  bool ragged() const { return len_ != nullptr; }
  int64_t start(int64_t b) const { return first_ ? first_[b] : lead + b * S; }  // first row of sample b
  int64_t len(int64_t b) const { return len_ ? len_[b] : L; }
  int64_t rows() const { return first_ ? first_[B] : lead + B * S; }
  int64_t valid() const { return spans ? spans->valid : B * L; }  // valid rows, all samples
  int64_t row(int64_t b, int64_t l) const { return start(b) + off + l; }
};

Layout compact(int64_t B, int64_t L, int64_t C) { return Layout{B, L, C, L, 0, 0}; }
Layout padded(int64_t B, int64_t L, int64_t C, int64_t p) { return Layout{B, L, C, L + 2 * p, p, 0}; }

// `u` with sample b holding len[b] values in span(b) rows (after u's lead
// rows); `u` unchanged when len is empty (every sample of full length).
template <typename Span>
Layout with_lengths(Layout u, const std::vector<int64_t>& len, const Span& span) {
  if (len.empty()) return u;
  auto sp = std::make_shared<Spans>();
  sp->first.resize(u.B + 1);
  sp->first[0] = u.lead;
  for (int64_t b = 0; b < u.B; ++b) {
    sp->first[b + 1] = sp->first[b] + span(b);
    sp->valid += len[b];
  }
  sp->len = len;
  u.first_ = sp->first.data();
  u.len_ = sp->len.data();
  u.spans = std::move(sp);
  return u;
}

at::Tensor alloc(const Layout& y, const at::TensorOptions& o) { return at::empty({y.rows(), y.C}, o); }

// Zeroes every row that holds no value.
void zero_gaps(const at::Tensor& buf, const Layout& y) {
  float* base = buf.data_ptr<float>();
  const size_t row_bytes = sizeof(float) * y.C;
  if (y.lead) std::memset(base, 0, row_bytes * y.lead);
  if (y.ragged()) {
    for (int64_t b = 0; b < y.B; ++b) {
      float* s = base + y.start(b) * y.C;
      const int64_t span = y.start(b + 1) - y.start(b), end = y.off + y.len(b);
      if (y.off) std::memset(s, 0, row_bytes * y.off);
      if (span > end) std::memset(s + end * y.C, 0, row_bytes * (span - end));
    }
    return;
  }
  if (y.off == 0 && y.L == y.S) return;
  for (int64_t b = 0; b < y.B; ++b) {
    float* s = base + (y.lead + b * y.S) * y.C;
    if (y.off) std::memset(s, 0, row_bytes * y.off);
    if (y.S > y.off + y.L) std::memset(s + (y.off + y.L) * y.C, 0, row_bytes * (y.S - y.off - y.L));
  }
}

at::Tensor alloc_zero_gaps(const Layout& y, const at::TensorOptions& o) {
  at::Tensor t = alloc(y, o);
  zero_gaps(t, y);
  return t;
}

// The valid rows as a [B, L, C] view (samples of full length only).
at::Tensor valid_view(const at::Tensor& buf, const Layout& y) {
  return buf.as_strided({y.B, y.L, y.C}, {y.S * y.C, y.C, 1}, buf.storage_offset() + (y.lead + y.off) * y.C);
}

// The valid rows of samples b0..b1-1 of `in` into the valid rows of `out`
// (a sample's rows are consecutive in both).
void copy_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t b0, int64_t b1) {
  for (int64_t b = b0; b < b1; ++b)
    std::memcpy(out + lo.row(b, 0) * lo.C, in + li.row(b, 0) * li.C, sizeof(float) * li.len(b) * li.C);
}

// ---------------------------------------------------------------------------
// Row passes. Each walks the valid rows of its buffers, channels innermost;
// the element-wise ones take a range of samples [b0, b1).

// Runs an element-wise row pass over the samples of y, on torch's intra-op
// threads when the pass is large enough, each thread taking whole samples:
// every row is computed as on one thread, so the result does not depend on
// the thread count.
constexpr int64_t kMinValues = int64_t{1} << 15;  // values per thread at least

// Items 0..n-1 where items 0..i-1 weigh rows_before(i) rows of `width`
// values (rows_before(n) in all): fn(i0, i1) over chunks of about equal
// weight, one per thread, as many as the weight warrants.
template <typename RowsBefore, typename F>
void weighted_chunks(int64_t n, int64_t width, const RowsBefore& rows_before, const F& fn) {
  const int64_t total = rows_before(n);
  const int64_t chunks = std::min<int64_t>({int64_t{at::get_num_threads()}, n, total * width / kMinValues});
  if (chunks < 2) {
    if (n > 0) fn(int64_t{0}, n);
    return;
  }
  // the first item of chunk c: the first whose rows begin at c / chunks of the total or later
  auto first_of = [&](int64_t c) {
    if (c >= chunks) return n;
    const int64_t target = total * c / chunks;
    int64_t lo = 0, hi = n;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      if (rows_before(mid) < target)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  };
  parallel_chunks(chunks, 1, [&](int64_t c0, int64_t c1) {
    for (int64_t c = c0; c < c1; ++c) {
      const int64_t i0 = first_of(c), i1 = first_of(c + 1);
      if (i0 < i1) fn(i0, i1);
    }
  });
}

template <typename Pass>
void over_samples(const Layout& y, const Pass& pass) {
  if (y.ragged()) {  // chunks of about equal rows rather than equal samples
    weighted_chunks(y.B, y.C, [&](int64_t b) { return y.start(b) - y.start(0); }, pass);
    return;
  }
  const int64_t per_sample = std::max<int64_t>(1, y.S * y.C);
  parallel_chunks(y.B, (kMinValues + per_sample - 1) / per_sample, pass);
}

// Reductions over the rows of y run over fixed groups of kGroupSamples
// samples: sum(b0, b1, totals) adds the rows of samples b0..b1-1 into that
// group's `width` zeroed doubles; the groups run on the threads and their
// totals are added in group order into out[width]. The groups do not depend
// on the thread count, so neither do the sums.
constexpr int64_t kGroupSamples = 4;

template <typename Sum>
void reduce_over_samples(const Layout& y, int64_t width, double* out, const Sum& sum) {
  const int64_t groups = (y.B + kGroupSamples - 1) / kGroupSamples;
  std::vector<double> totals(groups * width, 0.0);
  auto run = [&](int64_t lo, int64_t hi) {
    for (int64_t g = lo; g < hi; ++g)
      sum(g * kGroupSamples, std::min(y.B, (g + 1) * kGroupSamples), totals.data() + g * width);
  };
  if (y.ragged()) {
    weighted_chunks(groups, y.C,
                    [&](int64_t g) { return y.start(std::min(y.B, g * kGroupSamples)) - y.start(0); }, run);
  } else {
    const int64_t per_group = std::max<int64_t>(1, kGroupSamples * y.L * y.C);
    parallel_chunks(groups, (kMinValues + per_group - 1) / per_group, run);
  }
  for (int64_t j = 0; j < width; ++j) out[j] = 0.0;
  for (int64_t g = 0; g < groups; ++g)
    for (int64_t j = 0; j < width; ++j) out[j] += totals[g * width + j];
}

// The input [B, C, L] (any strides) into the channels-last rows of y.
HST_VECTOR_CLONES void input_rows(const float* x, int64_t sb, int64_t sc, int64_t sl, float* base, const Layout& y,
                                  int64_t b0, int64_t b1) {
  const int64_t C = y.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < y.len(b); ++l) {
      float* HST_RESTRICT r = base + y.row(b, l) * C;
      const float* HST_RESTRICT xs = x + b * sb + l * sl;
      for (int64_t c = 0; c < C; ++c) r[c] = xs[c * sc];
    }
}

HST_ALWAYS_INLINE float relu_of(float v) { return std::max(v, 0.0f); }  // NaN stays NaN

// Gradient through ReLU given its output, as the library's threshold_backward.
HST_ALWAYS_INLINE float relu_grad(float y, float g) { return select(y <= 0.0f, 0.0f, g); }

HST_VECTOR_CLONES void add_bias_rows(float* base, const Layout& y, const float* HST_RESTRICT bias, int64_t b0,
                                     int64_t b1) {
  const int64_t C = y.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < y.len(b); ++l) {
      float* HST_RESTRICT r = base + y.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) r[c] += bias[c];
    }
}

// Reductions over rows keep float partial sums over blocks of kBlockRows
// rows (so that the loops run at vector speed) and add them into double
// totals after each block.
constexpr int kBlockRows = 32;

HST_ALWAYS_INLINE void flush(int64_t C, float* HST_RESTRICT part, double* HST_RESTRICT total) {
  for (int64_t c = 0; c < C; ++c) {
    total[c] += part[c];
    part[c] = 0.0f;
  }
}

// Sums of (x - shift) and (x - shift)^2 per channel over samples b0..b1-1
// into s[C], q[C].
HST_VECTOR_CLONES void moment_sums(const float* base, const Layout& y, const float* HST_RESTRICT sh, int64_t b0,
                                   int64_t b1, double* HST_RESTRICT s, double* HST_RESTRICT q) {
  const int64_t C = y.C;
  std::vector<float> ps(C, 0.0f), pq(C, 0.0f);
  float* HST_RESTRICT fs = ps.data();
  float* HST_RESTRICT fq = pq.data();
  int rows = 0;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < y.len(b); ++l) {
      const float* HST_RESTRICT r = base + y.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) {
        const float d = r[c] - sh[c];
        fs[c] += d;
        fq[c] += d * d;
      }
      if (++rows == kBlockRows) {
        flush(C, fs, s);
        flush(C, fq, q);
        rows = 0;
      }
    }
  flush(C, fs, s);
  flush(C, fq, q);
}

// Per-channel mean and biased variance, accumulated around the first row's
// values (so that a large mean does not cancel the variance).
void moments_rows(const float* base, const Layout& y, double* mean, double* var) {
  const int64_t C = y.C;
  std::vector<double> sq(2 * C);
  const std::vector<float> shift(base + y.row(0, 0) * C, base + y.row(0, 0) * C + C);
  reduce_over_samples(y, 2 * C, sq.data(), [&](int64_t b0, int64_t b1, double* t) {
    moment_sums(base, y, shift.data(), b0, b1, t, t + C);
  });
  const double n = static_cast<double>(y.valid());
  for (int64_t c = 0; c < C; ++c) {
    const double m = sq[c] / n;
    mean[c] = m + shift[c];
    var[c] = std::max(sq[C + c] / n - m * m, 0.0);
  }
}

// out = x * scale + shift per channel, then ReLU when asked.
HST_VECTOR_CLONES void affine_rows(const float* in, const Layout& li, float* out, const Layout& lo,
                                   const float* HST_RESTRICT scale, const float* HST_RESTRICT shift, bool relu,
                                   int64_t b0, int64_t b1) {
  const int64_t C = li.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < li.len(b); ++l) {
      const float* HST_RESTRICT x = in + li.row(b, l) * C;
      float* HST_RESTRICT y = out + lo.row(b, l) * C;
      if (relu)
        for (int64_t c = 0; c < C; ++c) y[c] = relu_of(x[c] * scale[c] + shift[c]);
      else
        for (int64_t c = 0; c < C; ++c) y[c] = x[c] * scale[c] + shift[c];
    }
}

HST_VECTOR_CLONES void relu_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t b0,
                                 int64_t b1) {
  const int64_t C = li.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < li.len(b); ++l) {
      const float* HST_RESTRICT x = in + li.row(b, l) * C;
      float* HST_RESTRICT y = out + lo.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) y[c] = relu_of(x[c]);
    }
}

HST_VECTOR_CLONES void relu_backward_rows(const float* dy, const Layout& lg, const float* y, const Layout& ly,
                                          float* dx, const Layout& ld, int64_t b0, int64_t b1) {
  const int64_t C = ly.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < ly.len(b); ++l) {
      const float* HST_RESTRICT g = dy + lg.row(b, l) * C;
      const float* HST_RESTRICT o = y + ly.row(b, l) * C;
      float* HST_RESTRICT d = dx + ld.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) d[c] = relu_grad(o[c], g[c]);
    }
}

// Max pooling without padding. Of equal values the first in the window is
// the maximum; a NaN always is (as the library's own kernel picks them).
HST_ALWAYS_INLINE bool pool_takes(float v, float m) { return v > m || v != v; }

// Per channel, the maximum of a window of k rows of C values starting at x0
// and its place in the window (0..k-1, exact for any window that fits an
// int32; the first maximum wins).
HST_ALWAYS_INLINE void window_argmax(const float* x0, int64_t C, int64_t k, float* HST_RESTRICT best,
                                     int32_t* HST_RESTRICT at) {
  for (int64_t c = 0; c < C; ++c) {
    best[c] = x0[c];
    at[c] = 0;
  }
  for (int64_t j = 1; j < k; ++j) {
    const float* HST_RESTRICT x = x0 + j * C;
    const int32_t place = static_cast<int32_t>(j);
    for (int64_t c = 0; c < C; ++c) {
      const bool takes = pool_takes(x[c], best[c]);
      best[c] = select(takes, x[c], best[c]);
      at[c] = takes ? place : at[c];
    }
  }
}

HST_VECTOR_CLONES void max_pool_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t k,
                                     int64_t s, int64_t b0, int64_t b1) {
  const int64_t C = li.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < lo.len(b); ++l) {
      float* HST_RESTRICT y = out + lo.row(b, l) * C;
      const float* x0 = in + li.row(b, l * s) * C;
      std::memcpy(y, x0, sizeof(float) * C);
      for (int64_t j = 1; j < k; ++j) {
        const float* HST_RESTRICT x = x0 + j * C;
        for (int64_t c = 0; c < C; ++c) y[c] = select(pool_takes(x[c], y[c]), x[c], y[c]);
      }
    }
}

// dx += dy at each window's maximum, found again from the input; dx must be
// zero beforehand (windows may overlap).
HST_VECTOR_CLONES void max_pool_backward_rows(const float* dy, const Layout& lg, const float* in, const Layout& li,
                                              float* dx, const Layout& ld, int64_t k, int64_t s, int64_t b0,
                                              int64_t b1) {
  const int64_t C = li.C;
  std::vector<float> best_v(C);  // the maximum and its place in the window
  std::vector<int32_t> at_v(C);
  float* HST_RESTRICT best = best_v.data();
  int32_t* HST_RESTRICT at = at_v.data();
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < lg.len(b); ++l) {
      window_argmax(in + li.row(b, l * s) * C, C, k, best, at);
      const float* HST_RESTRICT g = dy + lg.row(b, l) * C;
      float* d0 = dx + ld.row(b, l * s) * C;
      for (int64_t j = 0; j < k; ++j) {
        float* HST_RESTRICT d = d0 + j * C;
        const int32_t place = static_cast<int32_t>(j);
        for (int64_t c = 0; c < C; ++c) d[c] += select(at[c] == place, g[c], 0.0f);
      }
    }
}

// Sums over the valid rows of BatchNorm's output gradient (after a fused ReLU
// when y is given): sg = sum g, sgx = sum g * xhat.
HST_VECTOR_CLONES void bn_grad_sums(const float* dy, const Layout& lg, const float* y, const Layout& ly,
                                    const float* x, const Layout& lx, const float* HST_RESTRICT mean,
                                    const float* HST_RESTRICT invstd, int64_t b0, int64_t b1,
                                    double* HST_RESTRICT sg, double* HST_RESTRICT sgx) {
  const int64_t C = lx.C;
  std::vector<float> pg(C, 0.0f), pgx(C, 0.0f);
  float* HST_RESTRICT fg = pg.data();
  float* HST_RESTRICT fgx = pgx.data();
  int rows = 0;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < lx.len(b); ++l) {
      const float* HST_RESTRICT g = dy + lg.row(b, l) * C;
      const float* HST_RESTRICT xr = x + lx.row(b, l) * C;
      if (y) {
        const float* HST_RESTRICT o = y + ly.row(b, l) * C;
        for (int64_t c = 0; c < C; ++c) {
          const float gc = relu_grad(o[c], g[c]);
          fg[c] += gc;
          fgx[c] += gc * ((xr[c] - mean[c]) * invstd[c]);
        }
      } else {
        for (int64_t c = 0; c < C; ++c) {
          fg[c] += g[c];
          fgx[c] += g[c] * ((xr[c] - mean[c]) * invstd[c]);
        }
      }
      if (++rows == kBlockRows) {
        flush(C, fg, sg);
        flush(C, fgx, sgx);
        rows = 0;
      }
    }
  flush(C, fg, sg);
  flush(C, fgx, sgx);
}

// dx = (g - a - xhat * m) * scale per channel, where for batch statistics
// a = mean(g), m = mean(g * xhat), scale = invstd * weight; for running
// statistics a = m = 0.
HST_VECTOR_CLONES void bn_grad_input(const float* dy, const Layout& lg, const float* y, const Layout& ly,
                                     const float* x, const Layout& lx, const float* HST_RESTRICT mean,
                                     const float* HST_RESTRICT invstd, const float* HST_RESTRICT a,
                                     const float* HST_RESTRICT m, const float* HST_RESTRICT scale, float* dx,
                                     const Layout& ld, int64_t b0, int64_t b1) {
  const int64_t C = lx.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < lx.len(b); ++l) {
      const float* HST_RESTRICT g = dy + lg.row(b, l) * C;
      const float* HST_RESTRICT xr = x + lx.row(b, l) * C;
      float* HST_RESTRICT d = dx + ld.row(b, l) * C;
      if (y) {
        const float* HST_RESTRICT o = y + ly.row(b, l) * C;
        for (int64_t c = 0; c < C; ++c) {
          const float xh = (xr[c] - mean[c]) * invstd[c];
          d[c] = (relu_grad(o[c], g[c]) - a[c] - xh * m[c]) * scale[c];
        }
      } else {
        for (int64_t c = 0; c < C; ++c) {
          const float xh = (xr[c] - mean[c]) * invstd[c];
          d[c] = (g[c] - a[c] - xh * m[c]) * scale[c];
        }
      }
    }
}

// BatchNorm (+ ReLU) followed by max pooling with stride = kernel: the
// gradient reaching BatchNorm's output is the pooled gradient at each
// window's maximum and zero elsewhere (also after the last window). These
// two passes take the pooled gradient dyp and find the maxima again from the
// pooling input y, instead of materialising that sparse gradient.
struct PooledGrad {
  const float* dyp;  // gradient of the pooled output
  Layout lp;
  const float* y;  // BatchNorm's output, the pooling input
  Layout ly;
  int64_t k;
  bool relu;
};

// g for the k rows of window (b, w) into rows g[j * C ...].
HST_ALWAYS_INLINE void window_grad(const PooledGrad& pg, int64_t b, int64_t w, int32_t* HST_RESTRICT at,
                                   float* HST_RESTRICT best, float* HST_RESTRICT g) {
  const int64_t C = pg.ly.C, k = pg.k;
  const float* y0 = pg.y + pg.ly.row(b, w * k) * C;
  window_argmax(y0, C, k, best, at);
  const float* HST_RESTRICT d = pg.dyp + pg.lp.row(b, w) * C;
  for (int64_t j = 0; j < k; ++j) {
    const float* HST_RESTRICT yr = y0 + j * C;
    float* HST_RESTRICT gj = g + j * C;
    const int32_t place = static_cast<int32_t>(j);
    if (pg.relu)
      for (int64_t c = 0; c < C; ++c) gj[c] = relu_grad(yr[c], select(at[c] == place, d[c], 0.0f));
    else
      for (int64_t c = 0; c < C; ++c) gj[c] = select(at[c] == place, d[c], 0.0f);
  }
}

HST_VECTOR_CLONES void bn_pool_grad_sums(const PooledGrad& pg, const float* x, const Layout& lx,
                                         const float* HST_RESTRICT mean, const float* HST_RESTRICT invstd, int64_t b0,
                                         int64_t b1, double* HST_RESTRICT sg, double* HST_RESTRICT sgx) {
  const int64_t C = lx.C, k = pg.k;
  std::vector<float> scratch((k + 3) * C, 0.0f);
  std::vector<int32_t> places(C);
  float* HST_RESTRICT fg = scratch.data();
  float* HST_RESTRICT fgx = fg + C;
  int32_t* HST_RESTRICT at = places.data();
  float* HST_RESTRICT best = fgx + C;
  float* HST_RESTRICT g = best + C;
  int rows = 0;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t w = 0; w < pg.lp.len(b); ++w) {
      window_grad(pg, b, w, at, best, g);
      for (int64_t j = 0; j < k; ++j) {
        const float* HST_RESTRICT xr = x + lx.row(b, w * k + j) * C;
        const float* HST_RESTRICT gj = g + j * C;
        for (int64_t c = 0; c < C; ++c) {
          fg[c] += gj[c];
          fgx[c] += gj[c] * ((xr[c] - mean[c]) * invstd[c]);
        }
      }
      rows += static_cast<int>(k);
      if (rows >= kBlockRows) {
        flush(C, fg, sg);
        flush(C, fgx, sgx);
        rows = 0;
      }
    }
  flush(C, fg, sg);
  flush(C, fgx, sgx);
}

HST_VECTOR_CLONES void bn_pool_grad_input(const PooledGrad& pg, const float* x, const Layout& lx,
                                          const float* HST_RESTRICT mean, const float* HST_RESTRICT invstd,
                                          const float* HST_RESTRICT a, const float* HST_RESTRICT m,
                                          const float* HST_RESTRICT scale, float* dx, const Layout& ld, int64_t b0,
                                          int64_t b1) {
  const int64_t C = lx.C, k = pg.k;
  std::vector<float> scratch((k + 1) * C, 0.0f);
  std::vector<int32_t> places(C);
  int32_t* HST_RESTRICT at = places.data();
  float* HST_RESTRICT best = scratch.data();
  float* HST_RESTRICT g = best + C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l0 = 0, len = lx.len(b), windows = pg.lp.len(b); l0 < len; l0 += k) {
      const int64_t w = l0 / k;
      const int64_t n = std::min(k, len - l0);
      if (w < windows)
        window_grad(pg, b, w, at, best, g);
      else
        std::fill(g, g + k * C, 0.0f);  // rows after the last window
      for (int64_t j = 0; j < n; ++j) {
        const float* HST_RESTRICT xr = x + lx.row(b, l0 + j) * C;
        const float* HST_RESTRICT gj = g + j * C;
        float* HST_RESTRICT d = dx + ld.row(b, l0 + j) * C;
        for (int64_t c = 0; c < C; ++c) {
          const float xh = (xr[c] - mean[c]) * invstd[c];
          d[c] = (gj[c] - a[c] - xh * m[c]) * scale[c];
        }
      }
    }
}

// Per-channel sums over the valid rows of samples b0..b1-1.
HST_VECTOR_CLONES void column_sums(const float* base, const Layout& y, int64_t b0, int64_t b1,
                                   double* HST_RESTRICT out) {
  const int64_t C = y.C;
  std::vector<float> part(C, 0.0f);
  float* HST_RESTRICT p = part.data();
  int rows = 0;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < y.len(b); ++l) {
      const float* HST_RESTRICT r = base + y.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) p[c] += r[c];
      if (++rows == kBlockRows) {
        flush(C, p, out);
        rows = 0;
      }
    }
  flush(C, p, out);
}

// ---------------------------------------------------------------------------
// The plan: the steps as operations with their shapes and buffer layouts.

struct Op {
  enum Kind { CONV, BN, RELU, POOL, COPY } kind = COPY;
  int64_t step = -1;                   // index into the steps (COPY: none)
  int64_t k = 0, pad = 0, stride = 0;  // conv: kernel, padding; pool: kernel, stride
  bool relu = false;                   // BN: a ReLU follows, applied in the same pass
  bool batch_stats = false;            // BN: normalise with the batch's statistics
  int64_t param = -1;                  // first of its parameters in the parameter list, -1 if none
  int64_t nparams = 0;
  // A convolution's bias followed by BatchNorm is not added to the
  // convolution's output but folded into BatchNorm's shift (one pass less):
  // conv: bias_deferred; BN: pre_bias, the parameter index of that bias.
  bool bias_deferred = false;
  int64_t pre_bias = -1;
  Layout in, out;    // activations
  Layout gin, gout;  // gradients of input and output
};

struct Plan : torch::CustomClassHolder {
  std::vector<Op> ops;
  std::vector<CnnStep> steps;  // settings and buffers (running statistics)
  int64_t B = 0, C = 0, L = 0;
};

bool is_vector(const at::Tensor& t, int64_t n) { return is_cpu_float(t) && t.dim() == 1 && t.size(0) == n; }

// Fills `plan` when the steps are supported for this input (and these
// lengths, when defined).
bool make_plan(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths, Plan& plan) {
  if (!is_cpu_float(x) || x.dim() != 3 || x.numel() == 0) return false;
  const int64_t B = x.size(0);
  int64_t C = x.size(1), L = x.size(2);
  plan.B = B;
  plan.C = C;
  plan.L = L;
  plan.steps = steps;
  std::vector<Op>& ops = plan.ops;
  ops.clear();
  // Each sample's length entering the current op; empty while every sample
  // has the full length (then the layouts are the plain ones).
  std::vector<int64_t> len;
  if (lengths.defined()) {
    if (lengths.dim() != 1 || lengths.scalar_type() != at::kLong || !lengths.device().is_cpu() ||
        lengths.layout() != at::kStrided || lengths.size(0) != B)
      return false;
    const at::Tensor lc = lengths.contiguous();
    len.assign(lc.data_ptr<int64_t>(), lc.data_ptr<int64_t>() + B);
    bool all_full = true;
    for (int64_t v : len) {
      if (v < 1 || v > L) return false;
      all_full = all_full && v == L;
    }
    if (all_full) len.clear();
  }
  std::vector<std::pair<int64_t, int64_t>> shapes;  // (C, L) entering each op
  std::vector<std::vector<int64_t>> lens;           // and the samples' lengths (empty: all L)
  int64_t nparams = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    const CnnStep& s = steps[i];
    Op op;
    op.step = static_cast<int64_t>(i);
    shapes.emplace_back(C, L);
    lens.push_back(len);
    switch (s.kind) {
      case CnnStep::CONV: {
        const ConvLayer& cv = s.conv;
        if (!is_cpu_float(cv.weight) || cv.weight.dim() != 3 || cv.weight.size(1) != C) return false;
        if (cv.stride != 1 || cv.dilation != 1 || cv.groups != 1 || cv.padding < 0) return false;
        const int64_t cout = cv.weight.size(0), k = cv.weight.size(2);
        if (cout < 1 || k < 1) return false;
        if (cv.bias.defined() && !is_vector(cv.bias, cout)) return false;
        const int64_t lout = L + 2 * cv.padding - k + 1;
        if (lout < 1) return false;
        for (int64_t& v : len)
          if ((v += 2 * cv.padding - k + 1) < 1) return false;
        op.kind = Op::CONV;
        op.k = k;
        op.pad = cv.padding;
        op.param = nparams;
        op.nparams = cv.bias.defined() ? 2 : 1;
        C = cout;
        L = lout;
        break;
      }
      case CnnStep::BATCH_NORM: {
        const BatchNormLayer& bn = s.bn;
        if (bn.weight.defined() != bn.bias.defined()) return false;
        if (bn.weight.defined() && (!is_vector(bn.weight, C) || !is_vector(bn.bias, C))) return false;
        if (bn.running_mean.defined() != bn.running_var.defined()) return false;
        if (bn.running_mean.defined() &&
            (!is_vector(bn.running_mean, C) || !is_vector(bn.running_var, C) || !bn.running_mean.is_contiguous() ||
             !bn.running_var.is_contiguous()))
          return false;
        if (bn.num_batches_tracked.defined() &&
            (!bn.num_batches_tracked.device().is_cpu() || bn.num_batches_tracked.numel() != 1))
          return false;
        op.kind = Op::BN;
        op.batch_stats = bn.training || !bn.running_mean.defined();
        if (bn.weight.defined()) {
          op.param = nparams;
          op.nparams = 2;
        }
        if (i + 1 < steps.size() && steps[i + 1].kind == CnnStep::RELU) {
          op.relu = true;
          ++i;
        }
        break;
      }
      case CnnStep::RELU:
        op.kind = Op::RELU;
        break;
      case CnnStep::MAX_POOL:
        if (s.pool_kernel < 1 || s.pool_stride < 1 || L < s.pool_kernel) return false;
        op.kind = Op::POOL;
        op.k = s.pool_kernel;
        op.stride = s.pool_stride;
        L = (L - s.pool_kernel) / s.pool_stride + 1;
        for (int64_t& v : len) {
          if (v < s.pool_kernel) return false;
          v = (v - s.pool_kernel) / s.pool_stride + 1;
        }
        break;
      default:
        return false;
    }
    if (op.kind == Op::BN && !ops.empty() && ops.back().kind == Op::CONV && ops.back().nparams == 2) {
      ops.back().bias_deferred = true;
      op.pre_bias = ops.back().param + 1;
    }
    nparams += op.nparams;
    ops.push_back(op);
    // a convolution's output rows are spaced for its input; one more pass
    // moves them where the next convolution, or the caller, wants them
    const bool next_conv = i + 1 < steps.size() && steps[i + 1].kind == CnnStep::CONV;
    if (op.kind == Op::CONV && (next_conv || i + 1 == steps.size())) {
      shapes.emplace_back(C, L);
      lens.push_back(len);
      ops.push_back(Op{});
    }
  }
  if (ops.empty()) return false;
  shapes.emplace_back(C, L);
  lens.push_back(len);

  const int64_t n = static_cast<int64_t>(ops.size());
  // Samples of unequal length: each keeps the rows of its own length, so a
  // layout's spans follow its lengths (with_lengths leaves the plain layouts
  // of full-length samples unchanged).
  auto spans_of = [](const std::vector<int64_t>& lv, int64_t extra) {
    return [&lv, extra](int64_t b) { return lv[b] + extra; };
  };
  auto same_spans = [](const Layout& y) { return [&y](int64_t b) { return y.start(b + 1) - y.start(b); }; };
  // activations
  for (int64_t i = 0; i < n; ++i) {
    Op& op = ops[i];
    const int64_t cin = shapes[i].first, lin = shapes[i].second;
    const int64_t cout = shapes[i + 1].first, lout = shapes[i + 1].second;
    const std::vector<int64_t>&len_in = lens[i], &len_out = lens[i + 1];
    if (op.kind == Op::CONV)
      op.in = with_lengths(padded(B, lin, cin, op.pad), len_in, spans_of(len_in, 2 * op.pad));
    else
      op.in = i == 0 ? with_lengths(compact(B, lin, cin), len_in, spans_of(len_in, 0)) : ops[i - 1].out;
    if (op.kind == Op::CONV) {
      op.out = with_lengths(Layout{B, lout, cout, op.in.S, 0, 0}, len_out, same_spans(op.in));
    } else if (i + 1 < n && ops[i + 1].kind == Op::CONV) {
      const int64_t p = ops[i + 1].pad;
      op.out = with_lengths(padded(B, lout, cout, p), len_out, spans_of(len_out, 2 * p));
    } else if (i + 1 < n) {
      op.out = with_lengths(compact(B, lout, cout), len_out, spans_of(len_out, 0));
    } else {
      // the caller's [B, L', C'], zeros after each sample's own length
      op.out = with_lengths(compact(B, lout, cout), len_out, [lout](int64_t) { return lout; });
    }
  }
  // gradients
  for (int64_t i = 0; i < n; ++i) {
    Op& op = ops[i];
    if (op.kind == Op::CONV) {
      op.gin = op.in;  // the product fills the padding rows too
    } else if (i > 0 && ops[i - 1].kind == Op::CONV) {
      const Op& cv = ops[i - 1];
      op.gin = with_lengths(Layout{B, cv.out.L, cv.out.C, cv.out.S, 0, cv.k - 1}, lens[i], same_spans(cv.out));
    } else {
      op.gin = with_lengths(compact(B, op.in.L, op.in.C), lens[i], spans_of(lens[i], 0));
    }
  }
  for (int64_t i = 0; i < n; ++i) ops[i].gout = i + 1 < n ? ops[i + 1].gin : ops[i].out;
  return true;
}

std::vector<at::Tensor> plan_params(const Plan& plan) {
  std::vector<at::Tensor> out;
  for (const Op& op : plan.ops) {
    if (op.nparams == 0) continue;
    const CnnStep& s = plan.steps[op.step];
    if (op.kind == Op::CONV) {
      out.push_back(s.conv.weight);
      if (s.conv.bias.defined()) out.push_back(s.conv.bias);
    } else {
      out.push_back(s.bn.weight);
      out.push_back(s.bn.bias);
    }
  }
  return out;
}

at::Tensor as_double_vector(const std::vector<double>& v) {
  at::Tensor t = at::empty({static_cast<int64_t>(v.size())}, at::kDouble);
  std::copy(v.begin(), v.end(), t.data_ptr<double>());
  return t;
}

// What backward reads: every op's input (and the final output), and per
// BatchNorm the mean and 1/sqrt(var + eps) it normalised with (float).
struct Saved {
  std::vector<at::Tensor> acts;
  std::vector<at::Tensor> stats;  // [2, C] per op, undefined for other ops
};

// Runs the ops; returns the output [B, L', C'] (contiguous, channels-last).
at::Tensor run_forward(const Plan& plan, const at::Tensor& x, const std::vector<at::Tensor>& params, Saved* saved) {
  const auto opts = x.options();
  const int64_t n = static_cast<int64_t>(plan.ops.size());
  at::Tensor cur = alloc_zero_gaps(plan.ops[0].in, opts);
  {
    const Layout& li = plan.ops[0].in;
    const float* xp = x.data_ptr<float>();
    float* cp = cur.data_ptr<float>();
    over_samples(li, [&](int64_t b0, int64_t b1) {
      input_rows(xp, x.stride(0), x.stride(1), x.stride(2), cp, li, b0, b1);
    });
  }
  if (saved) {
    saved->acts.assign(n + 1, at::Tensor());
    saved->stats.assign(n, at::Tensor());
  }
  for (int64_t i = 0; i < n; ++i) {
    const Op& op = plan.ops[i];
    if (saved) saved->acts[i] = cur;
    at::Tensor out = op.kind == Op::CONV ? alloc(op.out, opts) : alloc_zero_gaps(op.out, opts);
    const float* xp = cur.data_ptr<float>();
    float* yp = out.data_ptr<float>();
    switch (op.kind) {
      case Op::CONV: {
        const at::Tensor& w = params[op.param];
        const int64_t cin = op.in.C, cout = op.out.C, k = op.k;
        const PackedB wt = pack_b(w.permute({2, 1, 0}).reshape({k * cin, cout}));
        gemm_packed(op.in.rows() - (k - 1), xp, cin, 1, wt, yp, cout, /*accumulate=*/false);
        if (op.nparams == 2 && !op.bias_deferred) {
          const at::Tensor bias = params[op.param + 1].contiguous();
          const float* bias_p = bias.data_ptr<float>();
          over_samples(op.out, [&](int64_t b0, int64_t b1) { add_bias_rows(yp, op.out, bias_p, b0, b1); });
        }
        break;
      }
      case Op::BN: {
        const BatchNormLayer& bn = plan.steps[op.step].bn;
        const int64_t C = op.in.C;
        // samples of unequal length count their valid positions only
        const std::vector<int64_t> sizes =
            op.in.ragged() ? std::vector<int64_t>{1, C, op.in.valid()} : std::vector<int64_t>{op.in.B, C, op.in.L};
        const double factor = batch_norm_step_factor(bn, sizes);
        // mean: of the values as stored, i.e. without a folded bias pb
        std::vector<double> mean(C), var(C), pb(C, 0.0);
        if (op.pre_bias >= 0) {
          const at::Tensor b = params[op.pre_bias].contiguous();
          std::copy(b.data_ptr<float>(), b.data_ptr<float>() + C, pb.begin());
        }
        if (op.batch_stats) {
          moments_rows(xp, op.in, mean.data(), var.data());
          if (bn.training && bn.track_running_stats && bn.running_mean.defined()) {
            const double n_rows = static_cast<double>(op.in.valid());
            float* rm = bn.running_mean.data_ptr<float>();
            float* rv = bn.running_var.data_ptr<float>();
            for (int64_t c = 0; c < C; ++c) {
              rm[c] = static_cast<float>(factor * (mean[c] + pb[c]) + (1.0 - factor) * rm[c]);
              rv[c] = static_cast<float>(factor * var[c] * n_rows / (n_rows - 1.0) + (1.0 - factor) * rv[c]);
            }
          }
        } else {
          const float* rm = bn.running_mean.data_ptr<float>();
          const float* rv = bn.running_var.data_ptr<float>();
          for (int64_t c = 0; c < C; ++c) {
            mean[c] = rm[c] - pb[c];
            var[c] = rv[c];
          }
        }
        at::Tensor stats = at::empty({2, C}, opts);
        float* mp = stats.data_ptr<float>();
        float* ip = mp + C;
        std::vector<float> scale(C), shift(C);
        const at::Tensor weight = op.nparams ? params[op.param].contiguous() : at::Tensor();
        const at::Tensor bias = op.nparams ? params[op.param + 1].contiguous() : at::Tensor();
        const float* wp = op.nparams ? weight.data_ptr<float>() : nullptr;
        const float* bp = op.nparams ? bias.data_ptr<float>() : nullptr;
        for (int64_t c = 0; c < C; ++c) {
          const double invstd = 1.0 / std::sqrt(var[c] + bn.eps);
          mp[c] = static_cast<float>(mean[c]);
          ip[c] = static_cast<float>(invstd);
          const double a = wp ? invstd * wp[c] : invstd;
          scale[c] = static_cast<float>(a);
          shift[c] = static_cast<float>((bp ? bp[c] : 0.0) - mean[c] * a);
        }
        over_samples(op.in, [&](int64_t b0, int64_t b1) {
          affine_rows(xp, op.in, yp, op.out, scale.data(), shift.data(), op.relu, b0, b1);
        });
        if (saved) saved->stats[i] = stats;
        break;
      }
      case Op::RELU:
        over_samples(op.in, [&](int64_t b0, int64_t b1) { relu_rows(xp, op.in, yp, op.out, b0, b1); });
        break;
      case Op::POOL:
        over_samples(op.in, [&](int64_t b0, int64_t b1) {
          max_pool_rows(xp, op.in, yp, op.out, op.k, op.stride, b0, b1);
        });
        break;
      case Op::COPY:
        if (op.in.ragged())
          over_samples(op.in, [&](int64_t b0, int64_t b1) { copy_rows(xp, op.in, yp, op.out, b0, b1); });
        else
          valid_view(out, op.out).copy_(valid_view(cur, op.in));
        break;
    }
    cur = out;
  }
  if (saved) saved->acts[n] = cur;
  return cur.view({plan.B, plan.ops.back().out.L, plan.ops.back().out.C});
}

// Gradients of the parameters (in parameter order) and, when asked, of x.
void run_backward(const Plan& plan, const Saved& saved, const std::vector<at::Tensor>& params,
                  const at::Tensor& grad_out, bool need_x_grad, at::Tensor& dx_out, std::vector<at::Tensor>& dparams) {
  const int64_t n = static_cast<int64_t>(plan.ops.size());
  const auto opts = grad_out.options();
  dparams.assign(params.size(), at::Tensor());
  // The first op with parameters: every op after it passes its input
  // gradient on towards parameters, so it must compute it; ops before it
  // compute theirs only when x itself needs a gradient.
  int64_t first_param_op = n;
  for (int64_t i = 0; i < n; ++i)
    if (plan.ops[i].nparams) {
      first_param_op = i;
      break;
    }
  at::Tensor dy = grad_out.contiguous().view({-1, plan.ops.back().out.C});
  const Op* pool = nullptr;  // a pooling whose backward the BatchNorm before it does
  for (int64_t i = n - 1; i >= 0; --i) {
    const Op& op = plan.ops[i];
    const bool need_dx = need_x_grad || i > first_param_op;
    if (op.kind == Op::POOL && op.stride == op.k && i > 0 && plan.ops[i - 1].kind == Op::BN) {
      pool = &op;
      continue;
    }
    const at::Tensor& x = saved.acts[i];
    const float* xp = x.data_ptr<float>();
    const float* gp = dy.data_ptr<float>();
    at::Tensor dx;
    switch (op.kind) {
      case Op::CONV: {
        const at::Tensor& w = params[op.param];
        const int64_t cin = op.in.C, cout = op.out.C, k = op.k, rows = op.in.rows();
        const int64_t depth = rows - (k - 1);
        // dW^T [k*Cin, Cout] = (overlapping im2col)^T dy, all rows at once
        const PackedB dyp = pack_b(dy.narrow(0, k - 1, depth));
        at::Tensor dwt = at::empty({k * cin, cout}, opts);
        gemm_packed(k * cin, xp, 1, cin, dyp, dwt.data_ptr<float>(), cout, /*accumulate=*/false);
        dparams[op.param] = dwt.view({k, cin, cout}).permute({2, 1, 0}).contiguous();
        if (op.nparams == 2) {
          std::vector<double> s(cout);
          reduce_over_samples(op.gout, cout, s.data(),
                              [&](int64_t b0, int64_t b1, double* t) { column_sums(gp, op.gout, b0, b1, t); });
          dparams[op.param + 1] = as_double_vector(s).to(at::kFloat);
        }
        if (need_dx) {
          const PackedB wf = pack_b(w.flip({2}).permute({2, 0, 1}).reshape({k * cout, cin}));
          dx = at::empty({rows, cin}, opts);
          gemm_packed(rows, gp, cout, 1, wf, dx.data_ptr<float>(), cin, /*accumulate=*/false);
        }
        break;
      }
      case Op::BN: {
        const int64_t C = op.in.C;
        const at::Tensor& stats = saved.stats[i];
        const float* mp = stats.data_ptr<float>();
        const float* ip = mp + C;
        const float* yp = op.relu ? saved.acts[i + 1].data_ptr<float>() : nullptr;
        const bool affine = op.nparams == 2;
        std::vector<double> sums(2 * C);  // sum g, then sum g * xhat
        const PooledGrad pg = pool ? PooledGrad{gp, pool->gout, saved.acts[i + 1].data_ptr<float>(), op.out, pool->k,
                                                op.relu}
                                   : PooledGrad{};
        if (op.batch_stats || affine) {
          reduce_over_samples(op.in, 2 * C, sums.data(), [&](int64_t b0, int64_t b1, double* t) {
            if (pool)
              bn_pool_grad_sums(pg, xp, op.in, mp, ip, b0, b1, t, t + C);
            else
              bn_grad_sums(gp, op.gout, yp, op.out, xp, op.in, mp, ip, b0, b1, t, t + C);
          });
        }
        const std::vector<double> sg(sums.begin(), sums.begin() + C), sgx(sums.begin() + C, sums.end());
        if (affine) {
          dparams[op.param] = as_double_vector(sgx).to(at::kFloat);
          dparams[op.param + 1] = as_double_vector(sg).to(at::kFloat);
        }
        if (need_dx) {
          const at::Tensor weight = affine ? params[op.param].contiguous() : at::Tensor();
          const float* wp = affine ? weight.data_ptr<float>() : nullptr;
          std::vector<float> a(C, 0.0f), m(C, 0.0f), scale(C);
          const double rows = static_cast<double>(op.in.valid());
          for (int64_t c = 0; c < C; ++c) {
            if (op.batch_stats) {
              a[c] = static_cast<float>(sg[c] / rows);
              m[c] = static_cast<float>(sgx[c] / rows);
            }
            scale[c] = wp ? ip[c] * wp[c] : ip[c];
          }
          dx = alloc_zero_gaps(op.gin, opts);
          float* dxp = dx.data_ptr<float>();
          if (pool)
            over_samples(op.in, [&](int64_t b0, int64_t b1) {
              bn_pool_grad_input(pg, xp, op.in, mp, ip, a.data(), m.data(), scale.data(), dxp, op.gin, b0, b1);
            });
          else
            over_samples(op.in, [&](int64_t b0, int64_t b1) {
              bn_grad_input(gp, op.gout, yp, op.out, xp, op.in, mp, ip, a.data(), m.data(), scale.data(), dxp, op.gin,
                            b0, b1);
            });
        }
        break;
      }
      case Op::RELU:
        if (need_dx) {
          dx = alloc_zero_gaps(op.gin, opts);
          const float* yp = saved.acts[i + 1].data_ptr<float>();
          float* dxp = dx.data_ptr<float>();
          over_samples(op.out, [&](int64_t b0, int64_t b1) {
            relu_backward_rows(gp, op.gout, yp, op.out, dxp, op.gin, b0, b1);
          });
        }
        break;
      case Op::POOL:
        if (need_dx) {
          dx = at::zeros({op.gin.rows(), op.gin.C}, opts);
          float* dxp = dx.data_ptr<float>();
          over_samples(op.in, [&](int64_t b0, int64_t b1) {
            max_pool_backward_rows(gp, op.gout, xp, op.in, dxp, op.gin, op.k, op.stride, b0, b1);
          });
        }
        break;
      case Op::COPY:
        if (need_dx) {
          dx = alloc_zero_gaps(op.gin, opts);
          if (op.gin.ragged()) {
            float* dxp = dx.data_ptr<float>();
            over_samples(op.gout, [&](int64_t b0, int64_t b1) { copy_rows(gp, op.gout, dxp, op.gin, b0, b1); });
          } else {
            valid_view(dx, op.gin).copy_(valid_view(dy, op.gout));
          }
        }
        break;
    }
    pool = nullptr;
    if (!need_dx) break;
    dy = dx;
  }
  if (!need_x_grad) return;
  const Layout& g0 = plan.ops[0].gin;
  if (g0.ragged()) {  // zeros after each sample's own length
    at::Tensor rows = at::zeros({plan.B * plan.L, g0.C}, opts);
    const Layout full = compact(plan.B, plan.L, g0.C);
    const float* gp = dy.data_ptr<float>();
    float* rp = rows.data_ptr<float>();
    over_samples(g0, [&](int64_t b0, int64_t b1) { copy_rows(gp, g0, rp, full, b0, b1); });
    dx_out = rows.view({plan.B, plan.L, g0.C}).transpose(1, 2).contiguous();
  } else {
    dx_out = valid_view(dy, g0).transpose(1, 2).contiguous();
  }
}

// ---------------------------------------------------------------------------
// Autograd node: inputs x and the parameters; output [B, L', C'].

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

struct NativeConvStack : public torch::autograd::Function<NativeConvStack> {
  static at::Tensor forward(AutogradContext* ctx, const c10::intrusive_ptr<Plan>& plan, const at::Tensor& x,
                            at::TensorList params) {
    std::vector<at::Tensor> ps(params.begin(), params.end());
    Saved saved;
    at::Tensor out = run_forward(*plan, x, ps, &saved);
    // The returned output goes through save_for_backward (last of the saved
    // variables), so autograd's version check catches an in-place edit of it
    // before backward would read the edited values.
    std::vector<at::Tensor> to_save = ps;
    to_save.push_back(out);
    ctx->save_for_backward(to_save);
    saved.acts.pop_back();  // out, kept above
    ctx->saved_data["plan"] = c10::IValue::make_capsule(plan);
    ctx->saved_data["acts"] = saved.acts;
    std::vector<at::Tensor> stats;
    for (auto& t : saved.stats) stats.push_back(t.defined() ? t : at::empty({0}, x.options()));
    ctx->saved_data["stats"] = stats;
    return out;
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "the native float32 CPU convolution kernels have no double backward; to differentiate "
                "through gradients run the model in float64 (model.double()), which uses torch's own layers");
    variable_list params = ctx->get_saved_variables();
    at::Tensor out = params.back();
    params.pop_back();
    auto plan = c10::static_intrusive_pointer_cast<Plan>(ctx->saved_data["plan"].toCapsule());
    Saved saved;
    saved.acts = ctx->saved_data["acts"].toTensorVector();
    saved.acts.push_back(out);
    saved.stats = ctx->saved_data["stats"].toTensorVector();
    at::Tensor grad = grad_outputs[0];
    if (!grad.defined()) grad = at::zeros({plan->B, plan->ops.back().out.L, plan->ops.back().out.C}, out.options());
    at::Tensor dx;
    std::vector<at::Tensor> dparams;
    run_backward(*plan, saved, params, grad, ctx->needs_input_grad(0), dx, dparams);  // x: the first tensor input
    variable_list result;
    result.reserve(2 + dparams.size());
    result.emplace_back();  // plan
    result.push_back(dx);
    for (auto& t : dparams) result.push_back(std::move(t));
    return result;
  }
};

}  // namespace

bool native_conv_supported(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths) {
  Plan plan;
  return make_plan(steps, x, lengths, plan);
}

at::Tensor native_conv_forward(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths) {
  auto plan = c10::make_intrusive<Plan>();
  TORCH_CHECK(make_plan(steps, x, lengths, *plan),
              "native_conv_forward: expected float32 CPU input [B, C, L], supported steps and lengths (int64 [B] in "
              "[1, L], every sample long enough for the stack), got input ",
              x.sizes(), " ", x.scalar_type());
  std::vector<at::Tensor> params = plan_params(*plan);
  bool needs_grad = false;
  if (at::GradMode::is_enabled()) {
    needs_grad = x.requires_grad();
    for (const auto& t : params) needs_grad = needs_grad || t.requires_grad();
  }
  at::Tensor out;
  if (needs_grad) {
// GCC 14 reports -Warray-bounds inside torch's Function::apply (a
// vector<bool>::reserve inlined from custom_function.h): a false positive in
// torch's header, reported at this call. Kept silent here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    out = NativeConvStack::apply(plan, x, at::TensorList(params));
#pragma GCC diagnostic pop
  } else {
    at::NoGradGuard no_grad;
    out = run_forward(*plan, x, params, nullptr);
  }
  return out.transpose(1, 2);
}

}  // namespace hst::kernels
