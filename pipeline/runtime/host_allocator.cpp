// Caching CPU allocator used inside the training and prediction loops.
//
// glibc serves large requests with mmap and gives them back with munmap on
// free; the loops allocate and free the same few hundred kilobyte-to-megabyte
// tensors every batch, so every batch pays for system calls and page faults
// again (several times the arithmetic on some virtual machines). Here a freed
// block of a cached size goes onto a free list keyed by its size and is reused.
#include "runtime/host_allocator.h"

#include <c10/core/Allocator.h>
#include <c10/core/CPUAllocator.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace hst {
namespace {

constexpr size_t kAlignment = 64;          // as torch's own CPU allocator
constexpr size_t kHeader = kAlignment;      // block size stored in front of the data
constexpr size_t kMinCached = 1024;         // smaller requests are cheap for malloc
constexpr size_t kMaxCached = 64u << 20;    // larger ones (the data set) are not cached
constexpr size_t kCacheLimit = 512u << 20;  // free bytes kept at most

size_t block_size(void* data) {
  size_t n;
  std::memcpy(&n, static_cast<char*>(data) - kHeader, sizeof n);
  return n;
}

class CachingHostAllocator final : public c10::Allocator {
 public:
  // Both forms so that the override matches the base class of either torch
  // generation (const in 1.x, non-const in 2.x).
  c10::DataPtr allocate(size_t n) const { return make(n); }
  c10::DataPtr allocate(size_t n) { return make(n); }
  c10::DeleterFnPtr raw_deleter() const override { return &release; }
  // Required by newer torch generations (storage copies); unused by older ones.
  void copy_data(void* dest, const void* src, size_t count) const {
    if (count) std::memcpy(dest, src, count);
  }

  // The first scope installs this allocator in place of the current one
  // (unless that one was registered with a higher priority: then nothing
  // changes and nothing is cached).
  void enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scopes_++ == 0) {
      previous_ = c10::GetCPUAllocator();
      if (previous_ != this) c10::SetCPUAllocator(this, /*priority=*/0);
    }
  }

  void leave() {
    std::vector<void*> drop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--scopes_ != 0) return;
      if (c10::GetCPUAllocator() == this && previous_ != this) c10::SetCPUAllocator(previous_, /*priority=*/0);
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
  c10::DataPtr make(size_t n) const {
    return const_cast<CachingHostAllocator*>(this)->make_impl(n);
  }

  c10::DataPtr make_impl(size_t n) {
    const size_t size = std::max<size_t>(n, 1);
    const c10::Device cpu(c10::DeviceType::CPU);
    if (size >= kMinCached && size <= kMaxCached) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = free_.find(size);
      if (it != free_.end() && !it->second.empty()) {
        void* p = it->second.back();
        it->second.pop_back();
        cached_bytes_ -= size;
        return {p, p, &release, cpu};
      }
    }
    void* raw = nullptr;
    if (posix_memalign(&raw, kAlignment, size + kHeader) != 0 || raw == nullptr) {
      TORCH_CHECK(false, "DefaultCPUAllocator: not enough memory: you tried to allocate ", n, " bytes.");
    }
    std::memcpy(raw, &size, sizeof size);
    void* data = static_cast<char*>(raw) + kHeader;
    return {data, data, &release, cpu};
  }

  static void release(void* data) {
    if (data == nullptr) return;
    const size_t size = block_size(data);
    if (size >= kMinCached && size <= kMaxCached) {
      CachingHostAllocator& a = instance();
      std::lock_guard<std::mutex> lock(a.mutex_);
      if (a.scopes_ > 0 && c10::GetCPUAllocator() == &a && a.cached_bytes_ + size <= kCacheLimit) {
        a.free_[size].push_back(data);
        a.cached_bytes_ += size;
        return;
      }
    }
    std::free(static_cast<char*>(data) - kHeader);
  }

  std::mutex mutex_;
  int scopes_ = 0;
  c10::Allocator* previous_ = nullptr;
  std::unordered_map<size_t, std::vector<void*>> free_;
  size_t cached_bytes_ = 0;
};

}  // namespace

HostAllocatorScope::HostAllocatorScope() { CachingHostAllocator::instance().enter(); }
HostAllocatorScope::~HostAllocatorScope() { CachingHostAllocator::instance().leave(); }

}  // namespace hst
