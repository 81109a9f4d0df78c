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

}  // namespace hst::kernels
