// A caching host allocator for the training and prediction loops.
#pragma once

namespace hst {

// While at least one of these is alive, torch's CPU tensors are allocated by a
// caching allocator: a freed block is kept and handed out again for the next
// request of the same size, so the loops, which make the same tensors batch
// after batch, stop returning memory to the system and faulting it back in.
// When the last scope ends, the cached blocks are released and the previous
// allocator is back in place; tensors made inside the scope stay valid and
// free their memory normally later.
class HostAllocatorScope {
 public:
  HostAllocatorScope();
  ~HostAllocatorScope();
  HostAllocatorScope(const HostAllocatorScope&) = delete;
  HostAllocatorScope& operator=(const HostAllocatorScope&) = delete;
};

}  // namespace hst
