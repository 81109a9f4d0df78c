// Data-parallel runs: finds the process group of torch.distributed the
// caller initialised and drives it from the native loop through c10d's C++
// API (gloo, NCCL or whatever backend the group was created with).
#include <torch/csrc/distributed/c10d/ProcessGroup.hpp>

#include "binding/stages.h"

namespace hst {

namespace {

class ProcessGroupCollective final : public Collective {
 public:
  explicit ProcessGroupCollective(c10::intrusive_ptr<c10d::ProcessGroup> group)
      : group_(std::move(group)), rank_(group_->getRank()), world_(group_->getSize()) {}

  int rank() const override { return rank_; }
  int world_size() const override { return world_; }

  void allreduce_sum(const std::vector<at::Tensor>& tensors) override {
    // Every bucket is issued before the first wait, so the backend may
    // overlap them.
    std::vector<c10::intrusive_ptr<c10d::Work>> pending;
    for (const at::Tensor& t : tensors) {
      std::vector<at::Tensor> one{t};
      c10d::AllreduceOptions opts;
      opts.reduceOp = c10d::ReduceOp::SUM;
      pending.push_back(group_->allreduce(one, opts));
    }
    for (auto& work : pending) work->wait();
  }

  void broadcast(const at::Tensor& tensor, int root) override {
    std::vector<at::Tensor> one{tensor};
    c10d::BroadcastOptions opts;
    opts.rootRank = root;
    opts.rootTensor = 0;
    group_->broadcast(one, opts)->wait();
  }

 private:
  c10::intrusive_ptr<c10d::ProcessGroup> group_;
  int rank_, world_;
};

}  // namespace

std::shared_ptr<Collective> default_process_group() {
  py::module_ dist = py::module_::import("torch.distributed");
  if (!python_bool(dist.attr("is_available")()) || !python_bool(dist.attr("is_initialized")())) return nullptr;
  if (dist.attr("get_world_size")().cast<int>() <= 1) return nullptr;
  py::object group = dist.attr("distributed_c10d").attr("_get_default_group")();
  // The Python object holds a reference; the collective takes its own.
  auto* raw = group.cast<c10d::ProcessGroup*>();
  return std::make_shared<ProcessGroupCollective>(c10::intrusive_ptr<c10d::ProcessGroup>::reclaim_copy(raw));
}

}  // namespace hst
