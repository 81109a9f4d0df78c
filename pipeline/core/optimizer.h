// Gradient clipping and the optimisers (Adam, SGD with momentum 0.9,
// RMSprop; torch.optim's default settings otherwise). On the CPU the
// parameters are packed into one flat buffer with one flat gradient buffer,
// so clearing, clipping and the update are single passes over memory.
#pragma once

#include <ATen/ATen.h>

#include <memory>
#include <vector>

namespace hst {

enum class Solver;

// What an optimiser carries from step to step, as CPU tensors: the number
// of steps taken and the solver's running averages (Adam: first and second
// moments; SGD: the velocity; RMSprop: the square average), each list in the
// optimiser's own layout; an undefined entry is one not started yet.
struct OptimizerState {
  int64_t steps = 0;
  std::vector<at::Tensor> first, second;
};

class Optimizer {
 public:
  virtual ~Optimizer() = default;
  virtual void zero_grad() = 0;
  // Scales the gradients to a joint L2 norm of at most max_norm, then
  // updates the parameters with learning rate lr.
  virtual void clip_and_step(double max_norm, double lr) = 0;
  virtual OptimizerState state() const = 0;
  // Puts back a state taken from an optimiser of the same parameters and
  // solver; throws std::invalid_argument when its layout does not fit.
  virtual void load(const OptimizerState& state) = 0;
};

// Packs the parameters when they are float32 CPU tensors (they become views
// of one buffer, shared with the module) and returns the fused optimiser;
// otherwise a per-tensor one.
std::unique_ptr<Optimizer> make_optimizer(const std::vector<at::Tensor>& params, Solver solver);

}  // namespace hst
