// Passes over the rows of the convolution stack's buffers (conv_layout.h):
// the input into rows, bias, BatchNorm's moments and affine map, ReLU, max
// pooling, and their gradients. Each walks the valid rows of its buffers,
// channels innermost; the element-wise ones take a range of samples
// [b0, b1) (for over_samples), the sums add samples b0..b1-1 into zeroed
// doubles (for reduce_over_samples). Reductions over rows keep float partial
// sums over a few rows and add them into double totals. Compiled once per
// instruction set and chosen at load time (conv_rows.cpp).
#pragma once

#include <cstdint>

#include "kernels/conv_layout.h"
#include "kernels/simd.h"

namespace hst::kernels::conv {

// The input [B, C, L] (any strides) into the channels-last rows of y.
void input_rows(const float* x, int64_t sb, int64_t sc, int64_t sl, float* base, const Layout& y, int64_t b0,
                int64_t b1);

void add_bias_rows(float* base, const Layout& y, const float* HST_RESTRICT bias, int64_t b0, int64_t b1);

// Per-channel mean and biased variance, accumulated around the first row's
// values (so that a large mean does not cancel the variance).
void moments_rows(const float* base, const Layout& y, double* mean, double* var);

// out = x * scale + shift per channel, then ReLU when asked.
void affine_rows(const float* in, const Layout& li, float* out, const Layout& lo, const float* HST_RESTRICT scale,
                 const float* HST_RESTRICT shift, bool relu, int64_t b0, int64_t b1);

void relu_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t b0, int64_t b1);

// Gradient through ReLU given its output y, as the library's threshold_backward.
void relu_backward_rows(const float* dy, const Layout& lg, const float* y, const Layout& ly, float* dx,
                        const Layout& ld, int64_t b0, int64_t b1);

// Max pooling without padding. Of equal values the first in the window is
// the maximum; a NaN always is (as the library's own kernel picks them).
void max_pool_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t k, int64_t s, int64_t b0,
                   int64_t b1);

// dx += dy at each window's maximum, found again from the input; dx must be
// zero beforehand (windows may overlap).
void max_pool_backward_rows(const float* dy, const Layout& lg, const float* in, const Layout& li, float* dx,
                            const Layout& ld, int64_t k, int64_t s, int64_t b0, int64_t b1);

// Sums over the valid rows of BatchNorm's output gradient (after a fused ReLU
// when y is given): sg = sum g, sgx = sum g * xhat.
void bn_grad_sums(const float* dy, const Layout& lg, const float* y, const Layout& ly, const float* x, const Layout& lx,
                  const float* HST_RESTRICT mean, const float* HST_RESTRICT invstd, int64_t b0, int64_t b1,
                  double* HST_RESTRICT sg, double* HST_RESTRICT sgx);

// dx = (g - a - xhat * m) * scale per channel, where for batch statistics
// a = mean(g), m = mean(g * xhat), scale = invstd * weight; for running
// statistics a = m = 0.
void bn_grad_input(const float* dy, const Layout& lg, const float* y, const Layout& ly, const float* x,
                   const Layout& lx, const float* HST_RESTRICT mean, const float* HST_RESTRICT invstd,
                   const float* HST_RESTRICT a, const float* HST_RESTRICT m, const float* HST_RESTRICT scale, float* dx,
                   const Layout& ld, int64_t b0, int64_t b1);

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

// bn_grad_sums and bn_grad_input with the gradient of a following max
// pooling (PooledGrad) in place of BatchNorm's output gradient.
void bn_pool_grad_sums(const PooledGrad& pg, const float* x, const Layout& lx, const float* HST_RESTRICT mean,
                       const float* HST_RESTRICT invstd, int64_t b0, int64_t b1, double* HST_RESTRICT sg,
                       double* HST_RESTRICT sgx);

void bn_pool_grad_input(const PooledGrad& pg, const float* x, const Layout& lx, const float* HST_RESTRICT mean,
                        const float* HST_RESTRICT invstd, const float* HST_RESTRICT a, const float* HST_RESTRICT m,
                        const float* HST_RESTRICT scale, float* dx, const Layout& ld, int64_t b0, int64_t b1);

// Per-channel sums over the valid rows of samples b0..b1-1.
void column_sums(const float* base, const Layout& y, int64_t b0, int64_t b1, double* HST_RESTRICT out);

}  // namespace hst::kernels::conv
