// The convolution stack's forward pass (conv_stack.h): the input into rows,
// then each op of the plan from one buffer into the next.
#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernels/conv_rows.h"
#include "kernels/conv_stack.h"
#include "kernels/gemm_packed.h"
#include "kernels/parallel.h"

namespace hst::kernels::conv {

namespace {

// x [B, C, L] (any strides) into the rows of the first op's input.
at::Tensor input_buffer(const Plan& plan, const at::Tensor& x) {
  const Layout& li = plan.ops[0].in;
  at::Tensor cur = alloc_zero_gaps(li, x.options());
  const float* xp = x.data_ptr<float>();
  float* cp = cur.data_ptr<float>();
  over_samples(li, [&](int64_t b0, int64_t b1) {
    input_rows(xp, x.stride(0), x.stride(1), x.stride(2), cp, li, b0, b1);
  });
  return cur;
}

// The convolution as one product over the overlapping rows of its padded
// input, then its bias unless BatchNorm takes it.
void conv_forward(const Op& op, const std::vector<at::Tensor>& params, const float* xp, float* yp) {
  const at::Tensor& w = params[op.param];
  const int64_t cin = op.in.C, cout = op.out.C, k = op.k;
  const PackedB wt = pack_b(w.permute({2, 1, 0}).reshape({k * cin, cout}));
  gemm_packed(op.in.rows() - (k - 1), xp, cin, 1, wt, yp, cout, /*accumulate=*/false);
  if (op.nparams == 2 && !op.bias_deferred) {
    const at::Tensor bias = params[op.param + 1].contiguous();
    const float* bias_p = bias.data_ptr<float>();
    over_samples(op.out, [&](int64_t b0, int64_t b1) { add_bias_rows(yp, op.out, bias_p, b0, b1); });
  }
}

// The mean and variance BatchNorm normalises with: of the batch (updating
// the running statistics in training) or the running ones. The mean is of
// the values as stored, i.e. without a folded convolution bias pb.
void bn_statistics(const Op& op, const BatchNormLayer& bn, const std::vector<double>& pb, const float* xp,
                   std::vector<double>& mean, std::vector<double>& var) {
  const int64_t C = op.in.C;
  // samples of unequal length count their valid positions only
  const std::vector<int64_t> sizes =
      op.in.ragged() ? std::vector<int64_t>{1, C, op.in.valid()} : std::vector<int64_t>{op.in.B, C, op.in.L};
  const double factor = batch_norm_step_factor(bn, sizes);
  if (op.batch_stats) {
    moments_rows(xp, op.in, mean.data(), var.data());
    if (bn.training && bn.track_running_stats && bn.running_mean.defined()) {
      const double n_rows = static_cast<double>(op.in.valid());
      float* rm = bn.running_mean.data_ptr<float>();
      float* rv = bn.running_var.data_ptr<float>();
      for (int64_t c = 0; c < C; ++c) {
        rm[c] = static_cast<float>(factor * (mean[c] + pb[c]) + (1.0 - factor) * rm[c]);
        rv[c] = static_cast<float>(factor * var[c] * n_rows / (n_rows - 1.0) + (1.0 - factor) * rv[c]);
      }
    }
  } else {
    const float* rm = bn.running_mean.data_ptr<float>();
    const float* rv = bn.running_var.data_ptr<float>();
    for (int64_t c = 0; c < C; ++c) {
      mean[c] = rm[c] - pb[c];
      var[c] = rv[c];
    }
  }
}

// BatchNorm (and a fused ReLU) as one affine pass per channel; returns the
// mean and 1/sqrt(var + eps) it normalised with, [2, C].
at::Tensor bn_forward(const Plan& plan, const Op& op, const std::vector<at::Tensor>& params, const float* xp,
                      float* yp, const at::TensorOptions& opts) {
  const BatchNormLayer& bn = plan.steps[op.step].bn;
  const int64_t C = op.in.C;
  std::vector<double> mean(C), var(C), pb(C, 0.0);
  if (op.pre_bias >= 0) {
    const at::Tensor b = params[op.pre_bias].contiguous();
    std::copy(b.data_ptr<float>(), b.data_ptr<float>() + C, pb.begin());
  }
  bn_statistics(op, bn, pb, xp, mean, var);
  at::Tensor stats = at::empty({2, C}, opts);
  float* mp = stats.data_ptr<float>();
  float* ip = mp + C;
  std::vector<float> scale(C), shift(C);
  const at::Tensor weight = op.nparams ? params[op.param].contiguous() : at::Tensor();
  const at::Tensor bias = op.nparams ? params[op.param + 1].contiguous() : at::Tensor();
  const float* wp = op.nparams ? weight.data_ptr<float>() : nullptr;
  const float* bp = op.nparams ? bias.data_ptr<float>() : nullptr;
  for (int64_t c = 0; c < C; ++c) {
    const double invstd = 1.0 / std::sqrt(var[c] + bn.eps);
    mp[c] = static_cast<float>(mean[c]);
    ip[c] = static_cast<float>(invstd);
    const double a = wp ? invstd * wp[c] : invstd;
    scale[c] = static_cast<float>(a);
    shift[c] = static_cast<float>((bp ? bp[c] : 0.0) - mean[c] * a);
  }
  over_samples(op.in, [&](int64_t b0, int64_t b1) {
    affine_rows(xp, op.in, yp, op.out, scale.data(), shift.data(), op.relu, b0, b1);
  });
  return stats;
}

}  // namespace

at::Tensor run_forward(const Plan& plan, const at::Tensor& x, const std::vector<at::Tensor>& params, Saved* saved) {
  const auto opts = x.options();
  const int64_t n = static_cast<int64_t>(plan.ops.size());
  at::Tensor cur = input_buffer(plan, x);
  if (saved) {
    saved->acts.assign(n + 1, at::Tensor());
    saved->stats.assign(n, at::Tensor());
  }
  for (int64_t i = 0; i < n; ++i) {
    const Op& op = plan.ops[i];
    if (saved) saved->acts[i] = cur;
    at::Tensor out = op.kind == Op::CONV ? alloc(op.out, opts) : alloc_zero_gaps(op.out, opts);
    const float* xp = cur.data_ptr<float>();
    float* yp = out.data_ptr<float>();
    switch (op.kind) {
      case Op::CONV:
        conv_forward(op, params, xp, yp);
        break;
      case Op::BN: {
        at::Tensor stats = bn_forward(plan, op, params, xp, yp, opts);
        if (saved) saved->stats[i] = stats;
        break;
      }
      case Op::RELU:
        over_samples(op.in, [&](int64_t b0, int64_t b1) { relu_rows(xp, op.in, yp, op.out, b0, b1); });
        break;
      case Op::POOL:
        over_samples(op.in, [&](int64_t b0, int64_t b1) {
          max_pool_rows(xp, op.in, yp, op.out, op.k, op.stride, b0, b1);
        });
        break;
      case Op::COPY:
        if (op.in.ragged())
          over_samples(op.in, [&](int64_t b0, int64_t b1) { copy_rows(xp, op.in, yp, op.out, b0, b1); });
        else
          valid_view(out, op.out).copy_(valid_view(cur, op.in));
        break;
    }
    cur = out;
  }
  if (saved) saved->acts[n] = cur;
  return cur.view({plan.B, plan.ops.back().out.L, plan.ops.back().out.C});
}

}  // namespace hst::kernels::conv
