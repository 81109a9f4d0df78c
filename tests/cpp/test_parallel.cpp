// The kernels' thread split: an exception inside the parallel region (an
// allocation that fails on one thread) reaches the caller instead of ending
// the process.
#include <gtest/gtest.h>

#include <ATen/Parallel.h>

#include <atomic>
#include <new>
#include <stdexcept>

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
