// The packed matrix product against at::mm in double precision: B packed or
// read in place, A read through row or column strides, partial panels and
// tiles, accumulation, and the row split over threads.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <string>

#include "kernels/gemm_packed.h"

namespace {

using hst::kernels::gemm_packed;
using hst::kernels::pack_b;

struct Case {
  std::string name;
  int64_t M, K, N;
  bool a_transposed;  // A read as the transpose of a [K, M] tensor
  int64_t b_row_pad;  // B's rows lie N + pad apart (pad 0: contiguous)
  bool b_transposed;  // B read as the transpose of a [N, K] tensor (always packed)
  bool accumulate;
  bool in_place;      // the packing is expected to read B where it lies
};

const Case kCases[] = {
    {"recurrent step", 64, 64, 256, false, 0, true, false, false},
    {"hidden gradient", 64, 256, 64, false, 0, false, true, true},
    {"weight gradient, steps inside", 256, 2048, 64, true, 0, false, false, true},
    {"rows of a wider matrix", 37, 50, 32, false, 32, false, true, true},
    {"odd width packed", 13, 45, 9, false, 0, false, false, false},
    {"width 48: last panel alone", 21, 70, 48, false, 0, false, true, true},
    {"width 17: padded panel", 9, 300, 17, true, 0, false, false, false},
    {"wide rows packed", 40, 30, 512, false, 0, false, false, false},
    {"one row", 1, 7, 16, false, 0, false, false, true},
    {"depth over one block", 70, 600, 80, false, 0, false, true, true},
    {"empty inner dimension", 5, 0, 20, false, 0, false, false, false},
    {"empty inner dimension, accumulating", 5, 0, 32, false, 0, false, true, true},
};

at::Tensor product(const Case& c, const at::Tensor& a_store, const at::Tensor& b, at::Tensor out) {
  const at::Tensor a = c.a_transposed ? a_store.t() : a_store;
  const auto pb = pack_b(b);
  if (c.K > 0) {  // empty: no data either way
    EXPECT_EQ(pb.data.data_ptr() == b.data_ptr(), c.in_place) << c.name;
  }
  gemm_packed(c.M, a.data_ptr<float>(), a.stride(0), a.stride(1), pb, out.data_ptr<float>(), out.stride(0),
              c.accumulate);
  return out;
}

TEST(GemmPacked, MatchesTheLibraryProduct) {
  for (const Case& c : kCases) {
    at::manual_seed(1);
    const at::Tensor a_store = c.a_transposed ? at::randn({c.K, c.M}) : at::randn({c.M, c.K});
    at::Tensor b = c.b_transposed ? at::randn({c.N, c.K}).t() : at::randn({c.K, c.N + c.b_row_pad}).narrow(1, 0, c.N);
    const at::Tensor start = at::randn({c.M, c.N});
    at::Tensor got = product(c, a_store, b, start.clone());
    const at::Tensor a = c.a_transposed ? a_store.t() : a_store;
    at::Tensor want = at::mm(a.to(at::kDouble), b.to(at::kDouble));
    if (c.accumulate) want += start.to(at::kDouble);
    EXPECT_LT((got.to(at::kDouble) - want).abs().max().item<double>(), 1e-4 * std::max<int64_t>(1, c.K / 64))
        << c.name;
  }
}

TEST(GemmPacked, EveryTileHeightAndWidthInBothLayoutsOfA) {
  // Rows 1..50 reach every height of the last tile (and of a second row
  // block) for tiles of 2 to 12 rows; the widths end in a whole tile, a whole
  // panel and a part of one.
  for (const bool transposed : {false, true})
    for (const int64_t N : {16, 40, 64})
      for (int64_t M = 1; M <= 50; ++M) {
        at::manual_seed(M * 7 + N);
        const int64_t K = 19;
        const at::Tensor a = transposed ? at::randn({K, M}).t() : at::randn({M, K});
        const at::Tensor b = at::randn({K, N}), start = at::randn({M, N});
        const bool accumulate = M % 2 == 1;
        at::Tensor got = start.clone();
        gemm_packed(M, a.data_ptr<float>(), a.stride(0), a.stride(1), pack_b(b), got.data_ptr<float>(), N,
                    accumulate);
        at::Tensor want = at::mm(a.to(at::kDouble), b.to(at::kDouble));
        if (accumulate) want += start.to(at::kDouble);
        EXPECT_LT((got.to(at::kDouble) - want).abs().max().item<double>(), 1e-4)
            << "M " << M << " N " << N << (transposed ? " transposed" : "");
      }
}

TEST(GemmPacked, SplitOverThreadsGivesTheSameBits) {
  // large enough to be split by row blocks when more than one thread is allowed
  at::manual_seed(2);
  const at::Tensor a = at::randn({1000, 96}), b = at::randn({96, 64});
  at::Tensor one = at::empty({1000, 64}), two = at::empty({1000, 64});
  const int threads = at::get_num_threads();
  at::set_num_threads(1);
  gemm_packed(1000, a.data_ptr<float>(), 96, 1, pack_b(b), one.data_ptr<float>(), 64, false);
  at::set_num_threads(2);
  gemm_packed(1000, a.data_ptr<float>(), 96, 1, pack_b(b), two.data_ptr<float>(), 64, false);
  at::set_num_threads(threads);
  EXPECT_TRUE(at::equal(one, two));
  EXPECT_LT((one - at::mm(a, b)).abs().max().item<double>(), 1e-3);
}

}  // namespace
