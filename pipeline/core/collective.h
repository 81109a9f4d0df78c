// The collectives data-parallel training needs, over whatever process group
// the caller set up. The engine issues them on tensors of its own device;
// an implementation blocks until the operation has finished on this rank and
// throws when it fails (a peer gone, the group's timeout reached).
#pragma once

#include <ATen/ATen.h>

#include <vector>

namespace hst {

class Collective {
 public:
  virtual ~Collective() = default;
  virtual int rank() const = 0;
  virtual int world_size() const = 0;
  // In place: every tensor becomes the element-wise sum over all ranks. The
  // tensors are contiguous and the same shapes on every rank; the sums are
  // the same bits on every rank.
  virtual void allreduce_sum(const std::vector<at::Tensor>& tensors) = 0;
  // In place: every rank's tensor becomes rank `root`'s.
  virtual void broadcast(const at::Tensor& tensor, int root) = 0;
};

}  // namespace hst
