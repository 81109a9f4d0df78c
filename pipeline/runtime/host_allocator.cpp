// Caching CPU allocator used inside the training and prediction loops.
//
// glibc serves large requests with mmap and gives them back with munmap on
// free; the loops allocate and free the same few hundred kilobyte-to-megabyte
// tensors every batch, so every batch pays for system calls and page faults
// again (several times the arithmetic on some virtual machines). Here a freed
// block of a cached size goes onto a free list keyed by its size and is reused.
// Sizes are rounded up to classes of an eighth of an octave, so that batches
// whose tensors differ a little in size (sequences of unequal length, cut to
// each batch's longest) reuse each other's blocks too.
#include "runtime/host_allocator.h"

#include <c10/core/Allocator.h>
#include <c10/core/CPUAllocator.h>

#include "runtime/torch_compat.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace hst {
namespace {

constexpr size_t kAlignment = 64;          // as torch's own CPU allocator
constexpr size_t kHeader = kAlignment;      // block size stored in front of the data
constexpr size_t kMinCached = 1024;         // smaller requests are cheap for malloc
constexpr size_t kMaxCached = 64u << 20;    // larger ones (the data set) are not cached
constexpr size_t kCacheLimit = 512u << 20;  // free bytes kept at most

// The size class of a cached request: n rounded up to a multiple of an
// eighth of the power of two below it (at most 12.5 % more).
size_t size_class(size_t n) {
  size_t top = 1;
  while (top * 2 <= n) top *= 2;
  const size_t step = std::max<size_t>(top / 8, kAlignment);
  return (n + step - 1) / step * step;
}

size_t block_size(void* data) {
  size_t n;
  std::memcpy(&n, static_cast<char*>(data) - kHeader, sizeof n);
  return n;
}

// Scopes held by the current thread: only those threads allocate from the cache.
thread_local int t_thread_scopes = 0;

class CachingHostAllocator final : public c10::Allocator {
 public:
  c10::DataPtr allocate(size_t n) HST_ALLOCATE_CONST override {
    c10::Allocator* previous = previous_.load(std::memory_order_acquire);
    if (t_thread_scopes == 0 && previous != nullptr) return previous->allocate(n);
    return const_cast<CachingHostAllocator*>(this)->allocate_cached(n);
  }
  c10::DeleterFnPtr raw_deleter() const override { return &release; }
#if HST_ALLOCATOR_HAS_COPY_DATA
  void copy_data(void* dest, const void* src, size_t count) const override {
    if (count) std::memcpy(dest, src, count);
  }
#endif

  // Puts this allocator in place of the current one, once per process
  // (unless that one was registered with a higher priority: then nothing
  // changes and nothing is cached). It stays installed: threads without a
  // scope are served by the allocator it replaced, so torch's global slot is
  // written once and never swapped while other threads allocate.
  void install() {
    std::call_once(installed_, [this] {
      c10::Allocator* current = c10::GetCPUAllocator();
      if (current == this) return;
      previous_.store(current, std::memory_order_release);
      c10::SetCPUAllocator(this, /*priority=*/0);
    });
  }

  void enter() {
    install();
    std::lock_guard<std::mutex> lock(mutex_);
    ++t_thread_scopes;
    ++scopes_;
  }

  // The last scope of the process gives the cached blocks back.
  void leave() {
    std::vector<void*> drop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --t_thread_scopes;
      if (--scopes_ != 0) return;
      for (auto& kv : free_)
        for (void* p : kv.second) drop.push_back(p);
      free_.clear();
      cached_bytes_ = 0;
    }
    for (void* p : drop) std::free(static_cast<char*>(p) - kHeader);
  }

  static CachingHostAllocator& instance() {
    static CachingHostAllocator* a = new CachingHostAllocator();  // never destroyed: deleters may run at exit
    return *a;
  }

 private:
  c10::DataPtr allocate_cached(size_t n) {
    size_t size = std::max<size_t>(n, 1);
    if (size >= kMinCached && size <= kMaxCached) size = std::min(size_class(size), kMaxCached);
    const c10::Device cpu(c10::DeviceType::CPU);
    void* data = nullptr;
    if (size >= kMinCached && size <= kMaxCached) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = free_.find(size);
      if (it != free_.end() && !it->second.empty()) {
        data = it->second.back();
        it->second.pop_back();
        cached_bytes_ -= size;
      }
    }
    if (data == nullptr) {
      void* raw = nullptr;
      if (posix_memalign(&raw, kAlignment, size + kHeader) != 0 || raw == nullptr) {
        TORCH_CHECK(false, "DefaultCPUAllocator: not enough memory: you tried to allocate ", n, " bytes.");
      }
      std::memcpy(raw, &size, sizeof size);
      data = static_cast<char*>(raw) + kHeader;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      live_.insert(data);
    }
    report(data, static_cast<int64_t>(size));
    return {data, data, &release, cpu};
  }

  // The deleter of our blocks, and raw_deleter(): raw_deallocate() hands it
  // blocks that raw_allocate() took from the replaced allocator too (on a
  // thread without a scope), which go back there.
  static void release(void* data) {
    if (data == nullptr) return;
    CachingHostAllocator& a = instance();
    size_t size = 0;
    bool cached = false;
    {
      std::lock_guard<std::mutex> lock(a.mutex_);
      auto it = a.live_.find(data);
      if (it == a.live_.end()) {
        c10::Allocator* previous = a.previous_.load(std::memory_order_acquire);
        TORCH_INTERNAL_ASSERT(previous != nullptr, "host allocator: a block it never handed out");
        previous->raw_deleter()(data);
        return;
      }
      a.live_.erase(it);
      size = block_size(data);
      if (size >= kMinCached && size <= kMaxCached && a.scopes_ > 0 && a.cached_bytes_ + size <= kCacheLimit) {
        a.free_[size].push_back(data);
        a.cached_bytes_ += size;
        cached = true;
      }
    }
    a.report(data, -static_cast<int64_t>(size));
    if (!cached) std::free(static_cast<char*>(data) - kHeader);
  }

  // Tells torch's memory profiler, when it records, what torch's own
  // allocator would have told it.
  void report(void* data, int64_t delta) {
    const int64_t live = live_bytes_.fetch_add(delta, std::memory_order_relaxed) + delta;
    if (c10::memoryProfilingEnabled()) {
      const int64_t reserved = live + static_cast<int64_t>(cached_bytes_.load(std::memory_order_relaxed));
      c10::reportMemoryUsageToProfiler(data, delta, live, reserved, c10::Device(c10::DeviceType::CPU));
    }
  }

  std::once_flag installed_;
  std::mutex mutex_;
  int scopes_ = 0;
  std::atomic<c10::Allocator*> previous_{nullptr};
  std::unordered_map<size_t, std::vector<void*>> free_;  // guarded by mutex_
  std::unordered_set<void*> live_;                        // our blocks in use; guarded by mutex_
  std::atomic<size_t> cached_bytes_{0};                  // written under mutex_
  std::atomic<int64_t> live_bytes_{0};
};

}  // namespace

void install_host_allocator() { CachingHostAllocator::instance().install(); }

HostAllocatorScope::HostAllocatorScope() { CachingHostAllocator::instance().enter(); }
HostAllocatorScope::~HostAllocatorScope() { CachingHostAllocator::instance().leave(); }

}  // namespace hst
