// The register-tiled matrix product shared by the hand-written CPU kernels:
// C (+)= A B with A read through arbitrary row / column strides (so that A may
// be a transposed view, or a matrix whose rows overlap) and B packed once into
// column panels. Compiled for AVX-512, AVX2 and the baseline, chosen at load
// time (gemm_packed.cpp).
#pragma once

#include <ATen/ATen.h>

#include <cstdint>


namespace hst::kernels {

// Matrix products. The BLAS behind at::mm repacks its operands on every call,
// which dominates at these sizes (tens of rows per step); here the right-hand
// side is packed once (for the per-step products a weight matrix that stays
// fixed for the whole pass) and every call runs only the register-tiled loop.

constexpr int64_t kPanel = 16;  // columns per packed panel (one 64-byte vector)

// B [K, N] as ceil(N / 16) panels of [K, 16]: column panel p, row k starts at
// ptr() + p * panel_stride + k * row_stride. Either a packed copy (panels one
// after the other, zero-padded on the right) or, where B's rows already hold
// whole panels, B itself.
struct PackedB {
  at::Tensor data;
  int64_t K = 0, N = 0;
  int64_t panel_stride = 0, row_stride = kPanel;
  const float* ptr() const { return data.data_ptr<float>(); }
};

// A 2-d float tensor of any strides as panels. Rows of unit column stride, a
// width that is a multiple of 16 and at most 256 floats apart are used in place
// (no copy: the product reads 16 consecutive floats of a row either way);
// anything else is packed. Either way B must not change while it is in use.
PackedB pack_b(const at::Tensor& b);

// C [M, N] (+)= A [M, K] B, A read at a[m * sm + k * sk], C rows ldc apart.
// Large products are split over torch's intra-op threads by whole row blocks,
// so results do not depend on the thread count.
void gemm_packed(int64_t M, const float* a, int64_t sm, int64_t sk, const PackedB& b, float* c, int64_t ldc,
                 bool accumulate);

}  // namespace hst::kernels
