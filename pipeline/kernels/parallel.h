// Splitting the hand-written kernels' work over torch's intra-op threads.
//
// torch's own at::parallel_for is a header template whose OpenMP pragma only
// takes effect in code compiled with OpenMP, and a torch wheel carries its own
// copy of the OpenMP runtime, whose thread count ours would not see. So the
// kernels split their work here, into at most at::get_num_threads() chunks, on
// the OpenMP runtime this library is built with (serially without one).
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace hst::kernels {

// Runs fn(begin, end) over contiguous chunks of [0, n), each at least `grain`
// items long and at most at::get_num_threads() of them, in parallel where the
// build has OpenMP. Callers compute every item the same way whatever chunk it
// falls in, so results do not depend on the thread count. An exception of fn
// (an allocation that fails, say) leaves the parallel region as the first one
// thrown, after every thread has stopped: one escaping an OpenMP region
// would end the process.
template <typename F>
void parallel_chunks(int64_t n, int64_t grain, const F& fn) {
  if (n <= 0) return;
  grain = std::max<int64_t>(grain, 1);
  const int64_t chunks = std::min<int64_t>(at::get_num_threads(), n / grain);
#ifdef _OPENMP
  if (chunks >= 2 && !omp_in_parallel() && !at::in_parallel_region()) {
    const int64_t size = (n + chunks - 1) / chunks;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
#pragma omp parallel for num_threads(static_cast<int>(chunks)) schedule(static, 1)
    for (int64_t c = 0; c < chunks; ++c) {
      const int64_t begin = c * size, end = std::min(n, begin + size);
      if (begin >= end || failed.load(std::memory_order_relaxed)) continue;
      try {
        fn(begin, end);
      } catch (...) {
#pragma omp critical(hst_parallel_chunks_failure)
        if (!failure) failure = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
    if (failure) std::rethrow_exception(failure);
    return;
  }
#endif
  fn(int64_t{0}, n);
}

// Values (rows times their width) a thread takes at least in the passes
// below.
constexpr int64_t kMinValues = int64_t{1} << 15;

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

// The passes over the samples of a buffer take its layout `y`: any type with
// B (samples), L (positions), C (values per row), S (rows per sample), and
// ragged() and start(b) (first row of sample b; start(B) ends the buffer)
// when the samples differ in length (kernels/conv_layout.h's Layout).

// Runs an element-wise row pass over the samples of y, on torch's intra-op
// threads when the pass is large enough, each thread taking whole samples:
// every row is computed as on one thread, so the result does not depend on
// the thread count.
template <typename Layout, typename Pass>
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

template <typename Layout, typename Sum>
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

}  // namespace hst::kernels
