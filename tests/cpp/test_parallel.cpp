// The kernels' thread split: an exception inside the parallel region (an
// allocation that fails on one thread) reaches the caller instead of ending
// the process; the passes over the samples of a buffer visit each sample
// once, balance uneven samples by rows, and sum the same on any thread count.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kernels/parallel.h"

namespace {

TEST(ParallelChunks, AnExceptionOfOneChunkReachesTheCaller) {
  const int threads = at::get_num_threads();
  at::set_num_threads(2);
  struct Case {
    const char* name;
    int64_t failing_chunk_start;  // the chunk starting here throws
  };
  for (const Case& c : {Case{"first chunk", 0}, Case{"last chunk", 50}}) {
    std::atomic<int> ran{0};
    auto body = [&](int64_t begin, int64_t) {
      ran.fetch_add(1);
      if (begin == c.failing_chunk_start) throw std::bad_alloc();
    };
    EXPECT_THROW(hst::kernels::parallel_chunks(100, 50, body), std::bad_alloc) << c.name;
    EXPECT_GE(ran.load(), 1) << c.name;
  }
  // Afterwards the split works as before.
  std::atomic<int64_t> items{0};
  hst::kernels::parallel_chunks(100, 50, [&](int64_t b, int64_t e) { items.fetch_add(e - b); });
  EXPECT_EQ(items.load(), 100);
  at::set_num_threads(threads);
}

}  // namespace

namespace {

// A buffer of B samples as the sample passes see it: S rows of C values per
// sample, or with `first`, sample b spanning rows first[b]..first[b+1]-1.
struct SampleRows {
  int64_t B = 0, L = 0, C = 0, S = 0;
  std::vector<int64_t> first;
  bool ragged() const { return !first.empty(); }
  int64_t start(int64_t b) const { return ragged() ? first[b] : b * S; }
};

SampleRows ragged_rows(int64_t B, int64_t C, int64_t seed) {
  SampleRows y{B, 0, C, 0, {0}};
  for (int64_t b = 0; b < B; ++b) {
    const int64_t len = 1 + (b * 37 + seed) % 300;  // uneven, some samples far longer than others
    y.first.push_back(y.first.back() + len);
    y.L = std::max(y.L, len);
  }
  y.S = y.L;
  return y;
}

struct SplitCase {
  const char* name;
  SampleRows y;
  int threads;
  int chunks;  // expected: one per thread once the pass is large enough
};

std::vector<SplitCase> split_cases() {
  return {{"one sample", SampleRows{1, 500, 64, 500, {}}, 4, 1},
          {"small pass stays on one thread", SampleRows{16, 8, 4, 8, {}}, 4, 1},
          {"even samples, 2 threads", SampleRows{64, 100, 16, 100, {}}, 2, 2},
          {"even samples, 4 threads", SampleRows{61, 128, 32, 130, {}}, 4, 4},
          {"ragged samples, 3 threads", ragged_rows(50, 32, 5), 3, 3},
          {"ragged samples, 4 threads", ragged_rows(97, 16, 11), 4, 4}};
}

// Every sample is passed exactly once, in chunks of whole samples: one per
// thread for a large pass, one for a small pass.
TEST(SamplePasses, OverSamplesVisitsEverySampleOnce) {
  const int threads = at::get_num_threads();
  for (const SplitCase& c : split_cases()) {
    at::set_num_threads(c.threads);
    std::vector<std::atomic<int>> seen(c.y.B);
    std::atomic<int> chunks{0};
    hst::kernels::over_samples(c.y, [&](int64_t b0, int64_t b1) {
      chunks.fetch_add(1);
      for (int64_t b = b0; b < b1; ++b) seen[b].fetch_add(1);
    });
    for (int64_t b = 0; b < c.y.B; ++b) EXPECT_EQ(seen[b].load(), 1) << c.name << ", sample " << b;
    EXPECT_EQ(chunks.load(), c.chunks) << c.name;
  }
  at::set_num_threads(threads);
}

// The chunks of weighted_chunks tile [0, n) in order; when the weight
// warrants several threads, each chunk's rows stay within one item of an
// equal share.
TEST(SamplePasses, WeightedChunksSplitByRows) {
  const int threads = at::get_num_threads();
  for (const SplitCase& c : split_cases()) {
    if (!c.y.ragged()) continue;
    at::set_num_threads(c.threads);
    const auto rows_before = [&](int64_t b) { return c.y.start(b) - c.y.start(0); };
    std::mutex m;
    std::vector<std::pair<int64_t, int64_t>> got;
    hst::kernels::weighted_chunks(c.y.B, c.y.C, rows_before, [&](int64_t i0, int64_t i1) {
      std::lock_guard<std::mutex> lock(m);
      got.emplace_back(i0, i1);
    });
    std::sort(got.begin(), got.end());
    ASSERT_FALSE(got.empty()) << c.name;
    EXPECT_EQ(got.front().first, 0) << c.name;
    EXPECT_EQ(got.back().second, c.y.B) << c.name;
    for (size_t k = 1; k < got.size(); ++k) EXPECT_EQ(got[k].first, got[k - 1].second) << c.name;
    EXPECT_EQ(static_cast<int>(got.size()), c.chunks) << c.name;
    int64_t longest = 0;
    for (int64_t b = 0; b < c.y.B; ++b) longest = std::max(longest, rows_before(b + 1) - rows_before(b));
    const int64_t share = rows_before(c.y.B) / static_cast<int64_t>(got.size());
    for (const auto& [i0, i1] : got)
      EXPECT_LE(std::abs(rows_before(i1) - rows_before(i0) - share), longest + 1) << c.name << ", chunk at " << i0;
  }
  at::set_num_threads(threads);
}

// Sums over samples come out bit for bit the same whatever the thread count.
TEST(SamplePasses, ReduceOverSamplesIgnoresTheThreadCount) {
  const int threads = at::get_num_threads();
  for (const SplitCase& c : split_cases()) {
    const int64_t rows = c.y.ragged() ? c.y.first.back() : c.y.B * c.y.S;
    const at::Tensor values = at::randn({rows, c.y.C}, at::TensorOptions().dtype(at::kFloat));
    const float* v = values.data_ptr<float>();
    auto sums_at = [&](int t) {
      at::set_num_threads(t);
      std::vector<double> out(c.y.C, -1.0);
      hst::kernels::reduce_over_samples(c.y, c.y.C, out.data(), [&](int64_t b0, int64_t b1, double* total) {
        for (int64_t r = c.y.start(b0); r < (b1 < c.y.B ? c.y.start(b1) : rows); ++r)
          for (int64_t j = 0; j < c.y.C; ++j) total[j] += v[r * c.y.C + j] * (1.0 + 1e-3 * r);
      });
      return out;
    };
    const std::vector<double> one = sums_at(1), many = sums_at(c.threads);
    double reference = 0.0;  // column 0 summed in one pass: equal up to rounding
    for (int64_t r = 0; r < rows; ++r) reference += v[r * c.y.C] * (1.0 + 1e-3 * r);
    EXPECT_NEAR(one[0], reference, 1e-9 * rows) << c.name;
    for (int64_t j = 0; j < c.y.C; ++j) EXPECT_EQ(one[j], many[j]) << c.name << ", column " << j;
  }
  at::set_num_threads(threads);
}

}  // namespace
