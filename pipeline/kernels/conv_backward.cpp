// The convolution stack's backward pass (conv_stack.h): the ops of the plan
// in reverse, each turning the gradient of its output into the gradients of
// its parameters and of its input.
#include <ATen/ATen.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/conv_rows.h"
#include "kernels/conv_stack.h"
#include "kernels/gemm_packed.h"
#include "kernels/parallel.h"

namespace hst::kernels::conv {

namespace {

// Sums kept in double, rounded once into a float32 gradient.
at::Tensor as_float_vector(const std::vector<double>& v) {
  at::Tensor t = at::empty({static_cast<int64_t>(v.size())}, at::kFloat);
  std::transform(v.begin(), v.end(), t.data_ptr<float>(), [](double x) { return static_cast<float>(x); });
  return t;
}

// What one op's backward reads and writes: its input x and the gradient g of
// its output (rows laid out as op.in and op.gout).
struct OpGrad {
  const Op& op;
  const float* xp;
  const float* gp;
  const at::TensorOptions& opts;
};

// dW^T [k*Cin, Cout] = (overlapping im2col)^T dy, all rows at once; the bias
// gradient as column sums; the input gradient as one product with the
// flipped weights (undefined unless need_dx).
at::Tensor conv_backward(const OpGrad& o, const at::Tensor& dy, const std::vector<at::Tensor>& params, bool need_dx,
                         std::vector<at::Tensor>& dparams) {
  const Op& op = o.op;
  const at::Tensor& w = params[op.param];
  const int64_t cin = op.in.C, cout = op.out.C, k = op.k, rows = op.in.rows();
  const int64_t depth = rows - (k - 1);
  const PackedB dyp = pack_b(dy.narrow(0, k - 1, depth));
  at::Tensor dwt = at::empty({k * cin, cout}, o.opts);
  gemm_packed(k * cin, o.xp, 1, cin, dyp, dwt.data_ptr<float>(), cout, /*accumulate=*/false);
  dparams[op.param] = dwt.view({k, cin, cout}).permute({2, 1, 0}).contiguous();
  if (op.nparams == 2) {
    std::vector<double> s(cout);
    reduce_over_samples(op.gout, cout, s.data(),
                        [&](int64_t b0, int64_t b1, double* t) { column_sums(o.gp, op.gout, b0, b1, t); });
    dparams[op.param + 1] = as_float_vector(s);
  }
  at::Tensor dx;
  if (need_dx) {
    const PackedB wf = pack_b(w.flip({2}).permute({2, 0, 1}).reshape({k * cout, cin}));
    dx = at::empty({rows, cin}, o.opts);
    gemm_packed(rows, o.gp, cout, 1, wf, dx.data_ptr<float>(), cin, /*accumulate=*/false);
  }
  return dx;
}

// BatchNorm's backward (through a fused ReLU when y is given, and through
// the max pooling after it when `pool` is): sums[2C] = sum g, then
// sum g * xhat, over the valid rows.
void bn_grad_totals(const OpGrad& o, const Op* pool, const PooledGrad& pg, const float* mp, const float* ip,
                    const float* yp, double* sums) {
  const Op& op = o.op;
  const int64_t C = op.in.C;
  reduce_over_samples(op.in, 2 * C, sums, [&](int64_t b0, int64_t b1, double* t) {
    if (pool)
      bn_pool_grad_sums(pg, o.xp, op.in, mp, ip, b0, b1, t, t + C);
    else
      bn_grad_sums(o.gp, op.gout, yp, op.out, o.xp, op.in, mp, ip, b0, b1, t, t + C);
  });
}

// The gradients of BatchNorm's weight and bias and (need_dx) of its input;
// y: its saved output, the input of a fused ReLU or of `pool`.
at::Tensor bn_backward(const OpGrad& o, const at::Tensor& stats, const at::Tensor& y, const Op* pool,
                       const std::vector<at::Tensor>& params, bool need_dx, std::vector<at::Tensor>& dparams) {
  const Op& op = o.op;
  const int64_t C = op.in.C;
  const float* mp = stats.data_ptr<float>();
  const float* ip = mp + C;
  const float* yp = op.relu ? y.data_ptr<float>() : nullptr;
  const bool affine = op.nparams == 2;
  std::vector<double> sums(2 * C);  // sum g, then sum g * xhat
  const PooledGrad pg = pool ? PooledGrad{o.gp, pool->gout, y.data_ptr<float>(), op.out, pool->k, op.relu}
                             : PooledGrad{};
  if (op.batch_stats || affine) bn_grad_totals(o, pool, pg, mp, ip, yp, sums.data());
  const std::vector<double> sg(sums.begin(), sums.begin() + C), sgx(sums.begin() + C, sums.end());
  if (affine) {
    dparams[op.param] = as_float_vector(sgx);
    dparams[op.param + 1] = as_float_vector(sg);
  }
  if (!need_dx) return at::Tensor();
  const at::Tensor weight = affine ? params[op.param].contiguous() : at::Tensor();
  const float* wp = affine ? weight.data_ptr<float>() : nullptr;
  std::vector<float> a(C, 0.0f), m(C, 0.0f), scale(C);
  const double rows = static_cast<double>(op.in.valid());
  for (int64_t c = 0; c < C; ++c) {
    if (op.batch_stats) {
      a[c] = static_cast<float>(sg[c] / rows);
      m[c] = static_cast<float>(sgx[c] / rows);
    }
    scale[c] = wp ? ip[c] * wp[c] : ip[c];
  }
  at::Tensor dx = alloc_zero_gaps(op.gin, o.opts);
  float* dxp = dx.data_ptr<float>();
  if (pool)
    over_samples(op.in, [&](int64_t b0, int64_t b1) {
      bn_pool_grad_input(pg, o.xp, op.in, mp, ip, a.data(), m.data(), scale.data(), dxp, op.gin, b0, b1);
    });
  else
    over_samples(op.in, [&](int64_t b0, int64_t b1) {
      bn_grad_input(o.gp, op.gout, yp, op.out, o.xp, op.in, mp, ip, a.data(), m.data(), scale.data(), dxp, op.gin,
                    b0, b1);
    });
  return dx;
}

// ReLU, given its output y.
at::Tensor relu_backward(const OpGrad& o, const at::Tensor& y) {
  const Op& op = o.op;
  at::Tensor dx = alloc_zero_gaps(op.gin, o.opts);
  const float* yp = y.data_ptr<float>();
  float* dxp = dx.data_ptr<float>();
  over_samples(op.out, [&](int64_t b0, int64_t b1) {
    relu_backward_rows(o.gp, op.gout, yp, op.out, dxp, op.gin, b0, b1);
  });
  return dx;
}

at::Tensor pool_backward(const OpGrad& o) {
  const Op& op = o.op;
  at::Tensor dx = at::zeros({op.gin.rows(), op.gin.C}, o.opts);
  float* dxp = dx.data_ptr<float>();
  over_samples(op.in, [&](int64_t b0, int64_t b1) {
    max_pool_backward_rows(o.gp, op.gout, o.xp, op.in, dxp, op.gin, op.k, op.stride, b0, b1);
  });
  return dx;
}

at::Tensor copy_backward(const OpGrad& o, const at::Tensor& dy) {
  const Op& op = o.op;
  at::Tensor dx = alloc_zero_gaps(op.gin, o.opts);
  if (op.gin.ragged()) {
    float* dxp = dx.data_ptr<float>();
    over_samples(op.gout, [&](int64_t b0, int64_t b1) { copy_rows(o.gp, op.gout, dxp, op.gin, b0, b1); });
  } else {
    valid_view(dx, op.gin).copy_(valid_view(dy, op.gout));
  }
  return dx;
}

// The first op with parameters (ops.size() if none): every op after it
// passes its input gradient on towards parameters, so it must compute it;
// ops before it compute theirs only when x itself needs a gradient.
int64_t first_param_op(const Plan& plan) {
  const int64_t n = static_cast<int64_t>(plan.ops.size());
  for (int64_t i = 0; i < n; ++i)
    if (plan.ops[i].nparams) return i;
  return n;
}

// The gradient of the first op's input rows as the caller's x [B, C, L],
// zero after each sample's own length.
at::Tensor x_grad(const Plan& plan, const at::Tensor& dy, const at::TensorOptions& opts) {
  const Layout& g0 = plan.ops[0].gin;
  if (!g0.ragged()) return valid_view(dy, g0).transpose(1, 2).contiguous();
  at::Tensor rows = at::zeros({plan.B * plan.L, g0.C}, opts);
  const Layout full = compact(plan.B, plan.L, g0.C);
  const float* gp = dy.data_ptr<float>();
  float* rp = rows.data_ptr<float>();
  over_samples(g0, [&](int64_t b0, int64_t b1) { copy_rows(gp, g0, rp, full, b0, b1); });
  return rows.view({plan.B, plan.L, g0.C}).transpose(1, 2).contiguous();
}

}  // namespace

void run_backward(const Plan& plan, const Saved& saved, const std::vector<at::Tensor>& params,
                  const at::Tensor& grad_out, bool need_x_grad, at::Tensor& dx_out, std::vector<at::Tensor>& dparams) {
  const int64_t n = static_cast<int64_t>(plan.ops.size());
  const auto opts = grad_out.options();
  dparams.assign(params.size(), at::Tensor());
  const int64_t first_param = first_param_op(plan);
  at::Tensor dy = grad_out.contiguous().view({-1, plan.ops.back().out.C});
  const Op* pool = nullptr;  // a pooling whose backward the BatchNorm before it does
  for (int64_t i = n - 1; i >= 0; --i) {
    const Op& op = plan.ops[i];
    const bool need_dx = need_x_grad || i > first_param;
    if (op.kind == Op::POOL && op.stride == op.k && i > 0 && plan.ops[i - 1].kind == Op::BN) {
      pool = &op;
      continue;
    }
    const OpGrad o{op, saved.acts[i].data_ptr<float>(), dy.data_ptr<float>(), opts};
    at::Tensor dx;
    switch (op.kind) {
      case Op::CONV:
        dx = conv_backward(o, dy, params, need_dx, dparams);
        break;
      case Op::BN:
        dx = bn_backward(o, saved.stats[i], saved.acts[i + 1], pool, params, need_dx, dparams);
        break;
      case Op::RELU:
        if (need_dx) dx = relu_backward(o, saved.acts[i + 1]);
        break;
      case Op::POOL:
        if (need_dx) dx = pool_backward(o);
        break;
      case Op::COPY:
        if (need_dx) dx = copy_backward(o, dy);
        break;
    }
    pool = nullptr;
    if (!need_dx) break;
    dy = dx;
  }
  if (need_x_grad) dx_out = x_grad(plan, dy, opts);
}

}  // namespace hst::kernels::conv
