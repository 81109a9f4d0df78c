// The caching host allocator of the training and prediction loops.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/CPUAllocator.h>

#include <cstring>
#include <thread>
#include <vector>

#include "runtime/host_allocator.h"

namespace {

// The deleter of a fresh 256 KiB block on this thread.
c10::DeleterFnPtr deleter_now() { return at::empty({64, 1024}).storage().data_ptr().get_deleter(); }

TEST(HostAllocator, ReusesFreedBlocksOnlyInsideTheScope) {
  const c10::DeleterFnPtr torch_deleter = deleter_now();
  at::Tensor kept;
  {
    hst::HostAllocatorScope scope;
    c10::Allocator* ours = c10::GetCPUAllocator();
    const c10::DeleterFnPtr cached_deleter = deleter_now();
    EXPECT_NE(cached_deleter, torch_deleter);
    void* first;
    {
      at::Tensor t = at::empty({64, 1024});  // 256 KiB
      first = t.data_ptr();
      t.fill_(1.5f);
    }
    at::Tensor again = at::empty({64, 1024});
    EXPECT_EQ(again.data_ptr(), first) << "a freed block of the same size is handed out again";
    at::Tensor other = at::empty({64, 1023});
    EXPECT_NE(other.data_ptr(), first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(other.data_ptr()) % 64, 0u);
    {
      void* block;
      {
        at::Tensor a = at::empty({64, 1000});
        block = a.data_ptr();
      }
      at::Tensor b = at::empty({64, 990});  // 1 % smaller: the same size class
      EXPECT_EQ(b.data_ptr(), block) << "batches of slightly different sizes reuse each other's blocks";
    }
    kept = at::arange(100000, at::kFloat);  // outlives the scope
    {
      hst::HostAllocatorScope nested;  // a second scope (another thread's call) changes nothing
      EXPECT_EQ(c10::GetCPUAllocator(), ours);
    }
    EXPECT_EQ(deleter_now(), cached_deleter) << "the outer scope is still open";
  }
  EXPECT_EQ(deleter_now(), torch_deleter) << "after the last scope, blocks are torch's own again";
  // A tensor made inside the scope is intact and frees normally afterwards.
  EXPECT_FLOAT_EQ(kept[99999].item<float>(), 99999.0f);
  EXPECT_DOUBLE_EQ(kept.sum(at::kDouble).item<double>(), 99999.0 * 100000.0 / 2.0);
  kept.reset();
}

TEST(HostAllocator, OtherThreadsKeepTorchsAllocatorWhileAScopeIsOpen) {
  const c10::DeleterFnPtr torch_deleter = deleter_now();
  hst::HostAllocatorScope scope;
  const c10::DeleterFnPtr cached_deleter = deleter_now();
  ASSERT_NE(cached_deleter, torch_deleter);
  at::Tensor mine = at::empty({64, 1024});
  EXPECT_EQ(mine.storage().data_ptr().get_deleter(), cached_deleter);
  c10::DeleterFnPtr theirs = nullptr;
  std::thread other([&] {
    at::Tensor t = at::empty({64, 1024});
    theirs = t.storage().data_ptr().get_deleter();
  });
  other.join();
  EXPECT_EQ(theirs, torch_deleter) << "a thread without a scope must get torch's own blocks";
}

// raw_allocate()/raw_deallocate() go through the installed allocator's one
// raw_deleter(), whichever allocator served the block: inside a scope or not,
// on this thread or another, each kind of block must go back where it came from.
TEST(HostAllocator, RawBlocksFromEitherSideAreFreedWhereTheyCameFrom) {
  hst::install_host_allocator();
  c10::Allocator* installed = c10::GetCPUAllocator();
  for (size_t n : {size_t(100), size_t(4096), size_t(300000)}) {
    void* outside = installed->raw_allocate(n);  // served by torch's allocator
    void* inside = nullptr;
    {
      hst::HostAllocatorScope scope;
      inside = installed->raw_allocate(n);  // one of ours
      std::memset(outside, 1, n);
      std::memset(inside, 2, n);
      installed->raw_deallocate(outside);  // a foreign block, freed inside a scope
    }
    std::thread other([&] { installed->raw_deallocate(inside); });  // ours, freed on a thread without a scope
    other.join();
  }
}

TEST(HostAllocator, ConcurrentScopesAndAllocations) {
  hst::install_host_allocator();
  c10::Allocator* installed = c10::GetCPUAllocator();
  std::vector<std::thread> threads;
  std::vector<double> sums(4, 0.0);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i, &sums] {
      hst::HostAllocatorScope scope;
      double s = 0;
      for (int rep = 0; rep < 200; ++rep) {
        at::Tensor a = at::full({32 + i, 257}, static_cast<float>(i + 1));
        at::Tensor b = a.matmul(a.t());
        s += b[0][0].item<double>();
      }
      sums[i] = s;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(sums[i], 200.0 * 257.0 * (i + 1) * (i + 1));
  EXPECT_EQ(c10::GetCPUAllocator(), installed) << "torch's allocator slot is written once, never swapped back";
}

}  // namespace
