#include "core/optimizer.h"

#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include <cmath>
#include <stdexcept>

#include "core/engine.h"
#include "kernels/simd.h"

namespace hst {

namespace {

at::Tensor to_host(const at::Tensor& t) { return t.defined() ? t.detach().to(at::kCPU).clone() : at::Tensor(); }

// `saved` (a CPU copy, or undefined) put back in the place of `slot`, on the
// device and with the dtype of `like`.
void put_back(at::Tensor& slot, const at::Tensor& saved, const at::Tensor& like) {
  if (!saved.defined()) {
    slot = at::Tensor();
    return;
  }
  if (saved.sizes() != like.sizes() || saved.scalar_type() != like.scalar_type())
    throw std::invalid_argument("optimiser state does not fit the parameters");
  slot = saved.to(like.device()).clone();
}

void check_count(const std::vector<at::Tensor>& list, size_t n) {
  if (list.size() != n) throw std::invalid_argument("optimiser state does not fit the parameters");
}

constexpr double kBeta1 = 0.9, kBeta2 = 0.999, kAdamEps = 1e-8;
constexpr double kMomentum = 0.9;
constexpr double kAlpha = 0.99, kRmsEps = 1e-8;

// The solvers' update maths, written once for both optimisers: T is one
// float element (the fused loops over the flat buffers) or a whole tensor
// (the per-tensor optimiser, any device or dtype); S is the type the
// settings are computed in. Each returns the new value of one state.
HST_ALWAYS_INLINE float root(float x) { return std::sqrt(x); }
inline at::Tensor root(const at::Tensor& x) { return x.sqrt(); }

template <typename S, typename T>
HST_ALWAYS_INLINE T adam_first_moment(const T& m, const T& g) {
  return m * S(kBeta1) + g * (1 - S(kBeta1));
}
template <typename S, typename T>
HST_ALWAYS_INLINE T adam_second_moment(const T& v, const T& g) {
  return v * S(kBeta2) + g * g * (1 - S(kBeta2));
}
// What Adam subtracts from the parameter; step_size = lr / (1 - beta1^t),
// bias2_sqrt = sqrt(1 - beta2^t).
template <typename S, typename T>
HST_ALWAYS_INLINE T adam_change(const T& m, const T& v, S step_size, S bias2_sqrt) {
  return step_size * m / (root(v) / bias2_sqrt + S(kAdamEps));
}
template <typename S, typename T>
HST_ALWAYS_INLINE T sgdm_velocity(const T& velocity, const T& g, bool first) {
  return first ? g : velocity * S(kMomentum) + g;
}
template <typename S, typename T>
HST_ALWAYS_INLINE T rmsprop_square_average(const T& square_avg, const T& g) {
  return square_avg * S(kAlpha) + g * g * (1 - S(kAlpha));
}
template <typename S, typename T>
HST_ALWAYS_INLINE T rmsprop_change(const T& g, const T& square_avg, S rate) {
  return rate * g / (root(square_avg) + S(kRmsEps));
}

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
          m.copy_(adam_first_moment<double>(m, g));
          v.copy_(adam_second_moment<double>(v, g));
          const double step_size = lr / (1 - std::pow(kBeta1, double(step_)));
          const double bias2_sqrt = std::sqrt(1 - std::pow(kBeta2, double(step_)));
          p.sub_(adam_change(m, v, step_size, bias2_sqrt));
          break;
        }
        case Solver::SGDM: {
          at::Tensor& velocity = first_moment_[i];
          velocity = velocity.defined() ? sgdm_velocity<double>(velocity, g, false) : g.clone();
          p.sub_(lr * velocity);
          break;
        }
        case Solver::RMSPROP: {
          at::Tensor& square_avg = second_moment_[i];
          if (!square_avg.defined()) square_avg = at::zeros_like(p);
          square_avg.copy_(rmsprop_square_average<double>(square_avg, g));
          p.sub_(rmsprop_change(g, square_avg, lr));
          break;
        }
      }
    }
  }

  OptimizerState state() const override {
    OptimizerState s;
    s.steps = step_;
    for (const auto& t : first_moment_) s.first.push_back(to_host(t));
    for (const auto& t : second_moment_) s.second.push_back(to_host(t));
    return s;
  }

  void load(const OptimizerState& s) override {
    check_count(s.first, params_.size());
    check_count(s.second, params_.size());
    for (size_t i = 0; i < params_.size(); ++i) {
      put_back(first_moment_[i], s.first[i], params_[i]);
      put_back(second_moment_[i], s.second[i], params_[i]);
    }
    step_ = s.steps;
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
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    m[i] = adam_first_moment<float>(m[i], gi);
    v[i] = adam_second_moment<float>(v[i], gi);
    p[i] -= adam_change(m[i], v[i], step_size, bias2_sqrt);
  }
}

HST_VECTOR_CLONES void sgdm_update(int64_t lo, int64_t hi, float coef, float rate, bool first,
                                   float* HST_RESTRICT p, float* HST_RESTRICT g, float* HST_RESTRICT velocity) {
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    velocity[i] = sgdm_velocity<float>(velocity[i], gi, first);
    p[i] -= rate * velocity[i];
  }
}

HST_VECTOR_CLONES void rmsprop_update(int64_t lo, int64_t hi, float coef, float rate, float* HST_RESTRICT p,
                                      float* HST_RESTRICT g, float* HST_RESTRICT square_avg) {
  for (int64_t i = lo; i < hi; ++i) {
    const float gi = g[i] * coef;
    g[i] = gi;
    square_avg[i] = rmsprop_square_average<float>(square_avg[i], gi);
    p[i] -= rmsprop_change(gi, square_avg[i], rate);
  }
}

// The Euclidean norm of g[0, n), summed in double over eight lanes in a fixed
// order: the same bits at any thread count (a library's parallel reduction
// regroups the sum by threads, and the clipping coefficient would follow).
HST_VECTOR_CLONES double norm_of(const float* HST_RESTRICT g, int64_t n) {
  constexpr int64_t kLanes = 8;
  double lane[kLanes] = {};
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (int64_t k = 0; k < kLanes; ++k) lane[k] += static_cast<double>(g[i + k]) * g[i + k];
  for (; i < n; ++i) lane[0] += static_cast<double>(g[i]) * g[i];
  double total = 0;
  for (double x : lane) total += x;
  return std::sqrt(total);
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
    const double total = norm_of(grad_.data_ptr<float>(), grad_.numel());
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

  OptimizerState state() const override {
    OptimizerState s;
    s.steps = step_;
    s.first.push_back(to_host(first_moment_));
    s.second.push_back(to_host(second_moment_));
    return s;
  }

  void load(const OptimizerState& s) override {
    check_count(s.first, 1);
    check_count(s.second, 1);
    if (!s.first[0].defined() || s.second[0].defined() != second_moment_.defined())
      throw std::invalid_argument("optimiser state does not fit the parameters");
    at::NoGradGuard no_grad;
    put_back(first_moment_, s.first[0], data_);
    if (second_moment_.defined()) put_back(second_moment_, s.second[0], data_);
    step_ = s.steps;
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
