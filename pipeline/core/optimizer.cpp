#include "core/optimizer.h"

#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include <cmath>

#include "core/engine.h"
#include "kernels/simd.h"

namespace hst {

namespace {

constexpr double kBeta1 = 0.9, kBeta2 = 0.999, kAdamEps = 1e-8;
constexpr double kMomentum = 0.9;
constexpr double kAlpha = 0.99, kRmsEps = 1e-8;

// Per-tensor optimiser, used for GPU tensors and other dtypes.
class TensorOptimizer final : public Optimizer {
 public:
  TensorOptimizer(std::vector<at::Tensor> params, Solver solver)
      : params_(std::move(params)), solver_(solver), first_moment_(params_.size()), second_moment_(params_.size()) {}

  void zero_grad() override {
    for (auto& p : params_) {
      at::Tensor& g = p.mutable_grad();
      if (g.defined()) g.zero_();
    }
  }

  void clip_and_step(double max_norm, double lr) override {
    at::NoGradGuard no_grad;
    std::vector<at::Tensor> grads, norms;
    for (const auto& p : params_)
      if (p.grad().defined()) {
        grads.push_back(p.grad());
        norms.push_back(at::norm(p.grad(), 2.0));
      }
    if (grads.empty()) return;
    at::Tensor total = at::norm(at::stack(norms), 2.0);
    at::Tensor coef = at::clamp_max(max_norm / (total + 1e-6), 1.0);
    for (auto& g : grads) g.mul_(coef);
    ++step_;
    for (size_t i = 0; i < params_.size(); ++i) {
      at::Tensor& p = params_[i];
      const at::Tensor& g = p.grad();
      if (!g.defined()) continue;
      switch (solver_) {
        case Solver::ADAM: {
          at::Tensor& m = first_moment_[i];
          at::Tensor& v = second_moment_[i];
          if (!m.defined()) {
            m = at::zeros_like(p);
            v = at::zeros_like(p);
          }
          m.mul_(kBeta1).add_(g, 1 - kBeta1);
          v.mul_(kBeta2).addcmul_(g, g, 1 - kBeta2);
          const double bias1 = 1 - std::pow(kBeta1, double(step_));
          const double bias2 = 1 - std::pow(kBeta2, double(step_));
          at::Tensor denom = (v.sqrt() / std::sqrt(bias2)).add_(kAdamEps);
          p.addcdiv_(m, denom, -lr / bias1);
          break;
        }
        case Solver::SGDM: {
          at::Tensor& velocity = first_moment_[i];
          if (!velocity.defined()) velocity = g.clone();
          else velocity.mul_(kMomentum).add_(g);
          p.add_(velocity, -lr);
          break;
        }
        case Solver::RMSPROP: {
          at::Tensor& square_avg = second_moment_[i];
          if (!square_avg.defined()) square_avg = at::zeros_like(p);
          square_avg.mul_(kAlpha).addcmul_(g, g, 1 - kAlpha);
          p.addcdiv_(g, square_avg.sqrt().add_(kRmsEps), -lr);
          break;
        }
      }
    }
  }

 private:
  std::vector<at::Tensor> params_;
  Solver solver_;
  // Adam's moments; SGD's velocity is the first, RMSprop's square average the second.
  std::vector<at::Tensor> first_moment_, second_moment_;
  int64_t step_ = 0;
};

// The fused updates over elements [lo, hi) of the flat buffers: the gradient
// is scaled by `coef` (clipping) and kept, then the solver's state and the
// parameter are updated. Compiled for each vector width like the kernels.
HST_VECTOR_CLONES void adam_update(int64_t lo, int64_t hi, float coef, float step_size, float bias2_sqrt,
                                   float* HST_RESTRICT p, float* HST_RESTRICT g, float* HST_RESTRICT m,
                                   float* HST_RESTRICT v) {
  const float b1 = kBeta1, b2 = kBeta2, eps = kAdamEps;
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    m[i] = m[i] * b1 + gi * (1 - b1);
    v[i] = v[i] * b2 + gi * gi * (1 - b2);
    p[i] -= step_size * m[i] / (std::sqrt(v[i]) / bias2_sqrt + eps);
  }
}

HST_VECTOR_CLONES void sgdm_update(int64_t lo, int64_t hi, float coef, float rate, bool first,
                                   float* HST_RESTRICT p, float* HST_RESTRICT g, float* HST_RESTRICT velocity) {
  const float mom = kMomentum;
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    velocity[i] = first ? gi : velocity[i] * mom + gi;
    p[i] -= rate * velocity[i];
  }
}

HST_VECTOR_CLONES void rmsprop_update(int64_t lo, int64_t hi, float coef, float rate, float* HST_RESTRICT p,
                                      float* HST_RESTRICT g, float* HST_RESTRICT square_avg) {
  const float alpha = kAlpha, eps = kRmsEps;
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    square_avg[i] = square_avg[i] * alpha + gi * gi * (1 - alpha);
    p[i] -= rate * gi / (std::sqrt(square_avg[i]) + eps);
  }
}

// All parameters in one float32 buffer; the update is one fused loop.
class FlatOptimizer final : public Optimizer {
 public:
  FlatOptimizer(const std::vector<at::Tensor>& params, Solver solver) : solver_(solver) {
    int64_t total = 0;
    for (const auto& p : params) total += p.numel();
    at::NoGradGuard no_grad;
    data_ = at::empty({total}, params[0].options().requires_grad(false));
    grad_ = at::zeros({total}, data_.options());
    int64_t offset = 0;
    for (auto p : params) {
      const int64_t n = p.numel();
      data_.narrow(0, offset, n).view(p.sizes()).copy_(p);
      p.set_(data_.storage(), data_.storage_offset() + offset, p.sizes(), c10::contiguous_strides(p.sizes()));
      p.mutable_grad() = grad_.narrow(0, offset, n).view(p.sizes());
      offset += n;
    }
    // Adam: first and second moment; SGD: velocity; RMSprop: square average.
    first_moment_ = at::zeros_like(data_);
    if (solver == Solver::ADAM) second_moment_ = at::zeros_like(data_);
  }

  void zero_grad() override { grad_.zero_(); }

  void clip_and_step(double max_norm, double lr) override {
    at::NoGradGuard no_grad;
    const double total = at::norm(grad_, 2.0).item<double>();
    const float coef = static_cast<float>(std::min(max_norm / (total + 1e-6), 1.0));
    ++step_;
    float* p = data_.data_ptr<float>();
    float* g = grad_.data_ptr<float>();
    float* a = first_moment_.data_ptr<float>();
    const int64_t n = data_.numel();
    switch (solver_) {
      case Solver::ADAM: {
        float* b = second_moment_.data_ptr<float>();
        const float step_size = static_cast<float>(lr / (1 - std::pow(kBeta1, double(step_))));
        const float bias2_sqrt = static_cast<float>(std::sqrt(1 - std::pow(kBeta2, double(step_))));
        at::parallel_for(0, n, 1 << 14, [&](int64_t lo, int64_t hi) {
          adam_update(lo, hi, coef, step_size, bias2_sqrt, p, g, a, b);
        });
        break;
      }
      case Solver::SGDM: {
        const float rate = static_cast<float>(lr);
        const bool first = step_ == 1;
        at::parallel_for(0, n, 1 << 14, [&](int64_t lo, int64_t hi) { sgdm_update(lo, hi, coef, rate, first, p, g, a); });
        break;
      }
      case Solver::RMSPROP: {
        const float rate = static_cast<float>(lr);
        at::parallel_for(0, n, 1 << 14, [&](int64_t lo, int64_t hi) { rmsprop_update(lo, hi, coef, rate, p, g, a); });
        break;
      }
    }
  }

 private:
  Solver solver_;
  at::Tensor data_, grad_, first_moment_, second_moment_;
  int64_t step_ = 0;
};

bool packable(const std::vector<at::Tensor>& params) {
  if (params.empty()) return false;
  for (const auto& p : params)
    if (!p.device().is_cpu() || p.scalar_type() != at::kFloat || p.is_sparse()) return false;
  return true;
}

}  // namespace

std::unique_ptr<Optimizer> make_optimizer(const std::vector<at::Tensor>& params, Solver solver) {
  if (packable(params)) return std::make_unique<FlatOptimizer>(params, solver);
  return std::make_unique<TensorOptimizer>(params, solver);
}

}  // namespace hst
