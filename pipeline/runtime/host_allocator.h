// A caching host allocator for the training and prediction loops.
#pragma once

namespace hst {

// Installs the caching allocator as torch's CPU allocator, once per process
// (later calls do nothing). Outside a scope it hands every request to the
// allocator it replaced, so nothing changes for other code. Called when the
// module is imported, so the one write of torch's allocator slot happens
// before any training thread runs; a scope installs it too if needed.
void install_host_allocator();

// While a thread holds one of these, the CPU tensors that thread makes come
// from the cache: a freed block is kept and handed out again for the next
// request of the same size, so the loops, which make the same tensors batch
// after batch, stop returning memory to the system and faulting it back in.
// Other threads' tensors keep coming from torch's own allocator. When the
// last scope of the process ends, the cached blocks are released; tensors
// made inside a scope stay valid and free their memory normally later.
// Cached blocks are reported to torch's memory profiler like torch's own.
class HostAllocatorScope {
 public:
  HostAllocatorScope();
  ~HostAllocatorScope();
  HostAllocatorScope(const HostAllocatorScope&) = delete;
  HostAllocatorScope& operator=(const HostAllocatorScope&) = delete;
};

}  // namespace hst
