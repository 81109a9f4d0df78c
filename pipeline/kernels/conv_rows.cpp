// The convolution stack's row passes (conv_rows.h). The helpers below are
// inlined into each instruction-set clone of the passes; nothing inside a
// pass may use a lambda, whose body would be compiled without the clone's
// instruction set.
#include "kernels/conv_rows.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/parallel.h"

namespace hst::kernels::conv {

namespace {

HST_ALWAYS_INLINE float relu_of(float v) { return std::max(v, 0.0f); }  // NaN stays NaN

// Gradient through ReLU given its output, as the library's threshold_backward.
HST_ALWAYS_INLINE float relu_grad(float y, float g) { return select(y <= 0.0f, 0.0f, g); }

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

// Whether v replaces the window's maximum m so far: of equal values the first
// stays; a NaN always takes it (as the library's own kernel picks them).
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

}  // namespace

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

HST_VECTOR_CLONES void add_bias_rows(float* base, const Layout& y, const float* HST_RESTRICT bias, int64_t b0,
                                     int64_t b1) {
  const int64_t C = y.C;
  for (int64_t b = b0; b < b1; ++b)
    for (int64_t l = 0; l < y.len(b); ++l) {
      float* HST_RESTRICT r = base + y.row(b, l) * C;
      for (int64_t c = 0; c < C; ++c) r[c] += bias[c];
    }
}

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

}  // namespace hst::kernels::conv
