// The register-tiled matrix product of the hand-written CPU kernels.
#include "kernels/gemm_packed.h"


#include <algorithm>
#include <cstring>

#include "kernels/parallel.h"
#include "kernels/simd.h"

namespace hst::kernels {

// Packs a 2-d float tensor of any strides.
PackedB pack_b(const at::Tensor& b) {
  const int64_t K = b.size(0), N = b.size(1), sk = b.stride(0), sn = b.stride(1);
  // Rows up to 1 KB apart are read in place. Farther apart, the rows of one
  // depth slice fall on a few cache sets and evict each other, so they are
  // packed (bench/README.md, gemm_kernels.cpp).
  if (sn == 1 && N % kPanel == 0 && K > 0 && N > 0 && sk <= 256) return PackedB{b, K, N, kPanel, sk};
  const int64_t panels = (N + kPanel - 1) / kPanel;
  PackedB out{at::empty({panels, K, kPanel}, b.options()), K, N, K * kPanel, kPanel};
  const float* src = b.data_ptr<float>();
  float* dst = out.data.data_ptr<float>();
  for (int64_t p = 0; p < panels; ++p) {
    const int64_t n0 = p * kPanel, width = std::min(kPanel, N - n0);
    for (int64_t k = 0; k < K; ++k) {
      float* row = dst + (p * K + k) * kPanel;
      if (sn == 1 && width == kPanel)
        std::memcpy(row, src + k * sk + n0, sizeof(float) * kPanel);
      else
        for (int64_t j = 0; j < width; ++j) row[j] = src[k * sk + (n0 + j) * sn];
      for (int64_t j = width; j < kPanel; ++j) row[j] = 0.0f;
    }
  }
  return out;
}

// GCC / Clang vector types; each build of the product below uses the widest
// one its instruction set has registers for.
namespace {

typedef float vec4 __attribute__((vector_size(16)));
typedef float vec8 __attribute__((vector_size(32)));
typedef float vec16 __attribute__((vector_size(64)));

// C[R rows, up to C vectors of columns] (+)= A[R, K] B[K, those columns];
// A(r, k) at a[r * ar + k * ak], where kUnitRow fixes ar = 1 (a transposed
// view): then one pointer reaches every row of the tile and the broadcasts
// use constant offsets, instead of R row pointers that, with 12 rows, do not
// fit in the general registers. b points at the first panel of the tile,
// whose panels lie ps apart and rows rs apart. The sums are written back
// vector by vector, so that they never leave the registers.
template <typename V, int R, int C, bool kUnitRow>
HST_ALWAYS_INLINE void gemm_tile(int64_t K, const float* a, int64_t ar, int64_t ak, const float* b, int64_t ps,
                                 int64_t rs, float* c, int64_t ldc, int64_t cols, bool accumulate) {
  constexpr int kLanes = sizeof(V) / sizeof(float);
  if constexpr (kUnitRow) ar = 1;
  V acc[R][C];
  for (int r = 0; r < R; ++r)
    for (int j = 0; j < C; ++j) acc[r][j] = V{};
  for (int64_t k = 0; k < K; ++k) {
    V bv[C];
    for (int j = 0; j < C; ++j)
      std::memcpy(&bv[j], b + (j * kLanes / kPanel) * ps + k * rs + (j * kLanes) % kPanel, sizeof(V));
    for (int r = 0; r < R; ++r) {
      const float av = a[r * ar + k * ak];
      for (int j = 0; j < C; ++j) acc[r][j] += av * bv[j];
    }
  }
  for (int r = 0; r < R; ++r) {
    float* row = c + r * ldc;
    for (int j = 0; j < C; ++j) {
      const int64_t left = cols - j * kLanes;
      if (left <= 0) break;
      V v = acc[r][j];
      if (left >= kLanes) {
        if (accumulate) {
          V old;
          std::memcpy(&old, row + j * kLanes, sizeof(V));
          v += old;
        }
        std::memcpy(row + j * kLanes, &v, sizeof(V));
      } else {
        float tmp[kLanes];
        std::memcpy(tmp, &v, sizeof(V));
        for (int64_t i = 0; i < left; ++i) row[j * kLanes + i] = accumulate ? row[j * kLanes + i] + tmp[i] : tmp[i];
      }
    }
  }
}

// One tile of `rows` < R rows (the end of a row block).
template <typename V, int R, int C, bool kUnitRow>
HST_ALWAYS_INLINE void gemm_tail(int64_t rows, int64_t K, const float* a, int64_t ar, int64_t ak, const float* b,
                                 int64_t ps, int64_t rs, float* c, int64_t ldc, int64_t cols, bool accumulate) {
  if constexpr (R >= 1) {
    if (rows == R)
      gemm_tile<V, R, C, kUnitRow>(K, a, ar, ak, b, ps, rs, c, ldc, cols, accumulate);
    else
      gemm_tail<V, R - 1, C, kUnitRow>(rows, K, a, ar, ak, b, ps, rs, c, ldc, cols, accumulate);
  }
}

// Rows m0..m1: tiles of R rows, then one smaller tile.
template <typename V, int R, int C, bool kUnitRow>
HST_ALWAYS_INLINE void gemm_rows(int64_t m0, int64_t m1, int64_t K, const float* a, int64_t ar, int64_t ak,
                                 const float* b, int64_t ps, int64_t rs, float* c, int64_t ldc, int64_t cols,
                                 bool accumulate) {
  int64_t m = m0;
  for (; m + R <= m1; m += R)
    gemm_tile<V, R, C, kUnitRow>(K, a + m * ar, ar, ak, b, ps, rs, c + m * ldc, ldc, cols, accumulate);
  if (m < m1)
    gemm_tail<V, R - 1, C, kUnitRow>(m1 - m, K, a + m * ar, ar, ak, b, ps, rs, c + m * ldc, ldc, cols, accumulate);
}

// One column tile of rows m0..m1. (No lambdas in this code: a lambda's body
// is a function of its own, compiled without the instruction set of the clone
// it sits in.)
template <typename V, int R, int C>
HST_ALWAYS_INLINE void gemm_columns(int64_t m0, int64_t m1, int64_t K, const float* a, int64_t sm, int64_t sk,
                                    const float* b, int64_t ps, int64_t rs, float* c, int64_t ldc, int64_t cols,
                                    bool accumulate) {
  if (sm == 1)
    gemm_rows<V, R, C, true>(m0, m1, K, a, 1, sk, b, ps, rs, c, ldc, cols, accumulate);
  else
    gemm_rows<V, R, C, false>(m0, m1, K, a, sm, sk, b, ps, rs, c, ldc, cols, accumulate);
}

// C[M, N] (row stride ldc) = A B, or += A B with `accumulate`; A(m, k) at
// a[m * sm + k * sk]. Tiles of R rows by C vectors of columns: R * C
// independent sums in registers, enough of them to cover the latency of the
// multiply-adds on both ports while the B vectors and a broadcast still fit
// beside them: 12 x 2 of the 32 AVX-512 registers, 6 x 2 of the 16 AVX2 ones.
// A tile's rows each sum over K in the same order, so the choice never
// changes a result.
//
// A transposed view of A (sm == 1) is read through one pointer (kUnitRow).
// Row-major blocks of A are read in place through R row pointers rather than
// copied into that layout first as BLAS libraries do: at the depths of the
// training (45-320) the copy costs more than it saves. The measurements
// behind these choices are in bench/README.md (gemm_kernels.cpp).
template <typename V, int R, int C>
HST_ALWAYS_INLINE void gemm_blocked(int64_t M, const float* a, int64_t sm, int64_t sk, const PackedB& b, float* c,
                                    int64_t ldc, bool accumulate) {
  constexpr int64_t kCols = C * sizeof(V) / sizeof(float);
  constexpr int kPanelVectors = kPanel * sizeof(float) / sizeof(V);
  static_assert(kCols % kPanel == 0, "a tile spans whole panels");
  constexpr int64_t kDepthBlock = 256;         // a slice of B small enough to stay in cache
  constexpr int64_t kRowBlock = R * (32 / R);  // rows of A kept in cache while that slice streams by
  const int64_t K = b.K, N = b.N, ps = b.panel_stride, rs = b.row_stride;
  const float* bp = b.ptr();
  for (int64_t k0 = 0; k0 < K; k0 += kDepthBlock) {
    const int64_t depth = std::min(kDepthBlock, K - k0);
    const bool acc = accumulate || k0 > 0;
    const float* ak = a + k0 * sk;
    for (int64_t m0 = 0; m0 < M; m0 += kRowBlock) {
      const int64_t m1 = std::min(M, m0 + kRowBlock);
      for (int64_t n0 = 0; n0 < N; n0 += kCols) {
        const int64_t cols = std::min(kCols, N - n0);
        const float* bn = bp + (n0 / kPanel) * ps + k0 * rs;
        float* cn = c + n0;
        if (kCols > kPanel && cols <= kPanel)  // last panel alone
          gemm_columns<V, R, kPanelVectors>(m0, m1, depth, ak, sm, sk, bn, ps, rs, cn, ldc, cols, acc);
        else
          gemm_columns<V, R, C>(m0, m1, depth, ak, sm, sk, bn, ps, rs, cn, ldc, cols, acc);
      }
    }
  }
}

#if HST_MULTIVERSION
__attribute__((target("arch=x86-64-v4"))) void gemm_packed_serial(int64_t M, const float* a, int64_t sm,
                                                                   int64_t sk, const PackedB& b, float* c,
                                                                   int64_t ldc, bool accumulate) {
  gemm_blocked<vec16, 12, 2>(M, a, sm, sk, b, c, ldc, accumulate);
}
__attribute__((target("arch=x86-64-v3"))) void gemm_packed_serial(int64_t M, const float* a, int64_t sm,
                                                                   int64_t sk, const PackedB& b, float* c,
                                                                   int64_t ldc, bool accumulate) {
  gemm_blocked<vec8, 6, 2>(M, a, sm, sk, b, c, ldc, accumulate);
}
__attribute__((target("default"))) void gemm_packed_serial(int64_t M, const float* a, int64_t sm, int64_t sk,
                                                            const PackedB& b, float* c, int64_t ldc, bool accumulate) {
  gemm_blocked<vec4, 2, 4>(M, a, sm, sk, b, c, ldc, accumulate);
}
#else
void gemm_packed_serial(int64_t M, const float* a, int64_t sm, int64_t sk, const PackedB& b, float* c,
                        int64_t ldc, bool accumulate) {
#if defined(__AVX512F__)
  gemm_blocked<vec16, 12, 2>(M, a, sm, sk, b, c, ldc, accumulate);
#elif defined(__AVX2__)
  gemm_blocked<vec8, 6, 2>(M, a, sm, sk, b, c, ldc, accumulate);
#else
  gemm_blocked<vec4, 2, 4>(M, a, sm, sk, b, c, ldc, accumulate);
#endif
}
#endif

}  // namespace

// C (+)= A B over all of torch's intra-op threads when the product is large
// enough to pay for them: each thread takes whole blocks of rows, so every
// element is summed in the same order as on one thread (results do not depend
// on the thread count). Small products, such as the per-step ones of the
// recurrent layers, stay on the calling thread.
void gemm_packed(int64_t M, const float* a, int64_t sm, int64_t sk, const PackedB& b, float* c, int64_t ldc,
                 bool accumulate) {
  if (b.K == 0) {  // an empty sum: C = 0, or C unchanged when accumulating
    if (!accumulate)
      for (int64_t m = 0; m < M; ++m) std::fill(c + m * ldc, c + m * ldc + b.N, 0.0f);
    return;
  }
  // Rows go to the threads in groups of 8, so that a short product (the
  // weight gradients have as many rows as a kernel's taps times channels, 140
  // or 160) still splits evenly: whole 32-row blocks split 140 rows 96 / 44.
  constexpr int64_t kRows = 8;           // rows per group
  constexpr int64_t kMinWork = 1 << 21;  // multiply-adds per thread at least
  const int64_t per_block = kRows * std::max<int64_t>(b.K, 1) * std::max<int64_t>(b.N, 1);
  const int64_t blocks = (M + kRows - 1) / kRows;
  const int64_t grain = std::max<int64_t>(1, kMinWork / per_block);
  parallel_chunks(blocks, grain, [&](int64_t lo, int64_t hi) {
    const int64_t m0 = lo * kRows, m1 = std::min(M, hi * kRows);
    gemm_packed_serial(m1 - m0, a + m0 * sm, sm, sk, b, c + m0 * ldc, ldc, accumulate);
  });
}


}  // namespace hst::kernels
