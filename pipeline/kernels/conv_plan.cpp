// Building the plan of a convolution stack (conv_plan.h): which steps the
// native passes take, their shapes, and the row layouts that let each op
// read its input where the op before wrote it.
#include "kernels/conv_plan.h"

#include <cstddef>
#include <utility>

namespace hst::kernels::conv {

namespace {

bool is_vector(const at::Tensor& t, int64_t n) { return is_cpu_float(t) && t.dim() == 1 && t.size(0) == n; }

// Each sample's length from `lengths` into len, left empty when every sample
// has the full length L (then the layouts are the plain ones). False when
// lengths is not an int64 CPU vector [B] of entries in [1, L].
bool read_lengths(const at::Tensor& lengths, int64_t B, int64_t L, std::vector<int64_t>& len) {
  len.clear();
  if (!lengths.defined()) return true;
  if (lengths.dim() != 1 || lengths.scalar_type() != at::kLong || !lengths.device().is_cpu() ||
      lengths.layout() != at::kStrided || lengths.size(0) != B)
    return false;
  const at::Tensor lc = lengths.contiguous();
  len.assign(lc.data_ptr<int64_t>(), lc.data_ptr<int64_t>() + B);
  bool all_full = true;
  for (int64_t v : len) {
    if (v < 1 || v > L) return false;
    all_full = all_full && v == L;
  }
  if (all_full) len.clear();
  return true;
}

// The shape entering and leaving an op: channels, positions, and each
// sample's length (empty: all L).
struct Shape {
  int64_t C = 0, L = 0;
  std::vector<int64_t> len;
};

// A convolution with stride 1, dilation 1 and one group; updates the shape.
bool conv_op(const ConvLayer& cv, Shape& sh, Op& op) {
  if (!is_cpu_float(cv.weight) || cv.weight.dim() != 3 || cv.weight.size(1) != sh.C) return false;
  if (cv.stride != 1 || cv.dilation != 1 || cv.groups != 1 || cv.padding < 0) return false;
  const int64_t cout = cv.weight.size(0), k = cv.weight.size(2);
  if (cout < 1 || k < 1) return false;
  if (cv.bias.defined() && !is_vector(cv.bias, cout)) return false;
  const int64_t lout = conv_output_length(sh.L, cv);
  if (lout < 1) return false;
  for (int64_t& v : sh.len)
    if ((v = conv_output_length(v, cv)) < 1) return false;
  op.kind = Op::CONV;
  op.k = k;
  op.pad = cv.padding;
  op.nparams = cv.bias.defined() ? 2 : 1;
  sh.C = cout;
  sh.L = lout;
  return true;
}

// BatchNorm over C channels: affine or not, with running statistics or not.
bool bn_op(const BatchNormLayer& bn, int64_t C, Op& op) {
  if (bn.weight.defined() != bn.bias.defined()) return false;
  if (bn.weight.defined() && (!is_vector(bn.weight, C) || !is_vector(bn.bias, C))) return false;
  if (bn.running_mean.defined() != bn.running_var.defined()) return false;
  if (bn.running_mean.defined() &&
      (!is_vector(bn.running_mean, C) || !is_vector(bn.running_var, C) || !bn.running_mean.is_contiguous() ||
       !bn.running_var.is_contiguous()))
    return false;
  if (bn.num_batches_tracked.defined() &&
      (!bn.num_batches_tracked.device().is_cpu() || bn.num_batches_tracked.numel() != 1))
    return false;
  op.kind = Op::BN;
  op.batch_stats = bn.training || !bn.running_mean.defined();
  if (bn.weight.defined()) op.nparams = 2;
  return true;
}

// Max pooling without padding; updates the shape.
bool pool_op(const CnnStep& s, Shape& sh, Op& op) {
  if (s.pool_kernel < 1 || s.pool_stride < 1 || sh.L < s.pool_kernel) return false;
  op.kind = Op::POOL;
  op.k = s.pool_kernel;
  op.stride = s.pool_stride;
  sh.L = pool_output_length(sh.L, s.pool_kernel, s.pool_stride);
  for (int64_t& v : sh.len)
    if ((v = pool_output_length(v, s.pool_kernel, s.pool_stride)) < 1) return false;
  return true;
}

// The ops of the steps, and the shape entering each op and leaving the last
// (shapes: ops + 1 entries). A ReLU right after BatchNorm joins its pass; a
// convolution followed by another convolution, or ending the stack, gets a
// COPY op after it. False when a step is not supported.
bool plan_ops(const std::vector<CnnStep>& steps, Shape sh, std::vector<Op>& ops, std::vector<Shape>& shapes) {
  int64_t nparams = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    const CnnStep& s = steps[i];
    Op op;
    op.step = static_cast<int64_t>(i);
    shapes.push_back(sh);
    bool ok = false;
    switch (s.kind) {
      case CnnStep::CONV:
        ok = conv_op(s.conv, sh, op);
        break;
      case CnnStep::BATCH_NORM:
        ok = bn_op(s.bn, sh.C, op);
        if (ok && i + 1 < steps.size() && steps[i + 1].kind == CnnStep::RELU) {
          op.relu = true;
          ++i;
        }
        break;
      case CnnStep::RELU:
        op.kind = Op::RELU;
        ok = true;
        break;
      case CnnStep::MAX_POOL:
        ok = pool_op(s, sh, op);
        break;
    }
    if (!ok) return false;
    if (op.nparams) op.param = nparams;
    if (op.kind == Op::BN && !ops.empty() && ops.back().kind == Op::CONV && ops.back().nparams == 2) {
      ops.back().bias_deferred = true;
      op.pre_bias = ops.back().param + 1;
    }
    nparams += op.nparams;
    ops.push_back(op);
    // a convolution's output rows are spaced for its input; one more pass
    // moves them where the next convolution, or the caller, wants them
    const bool next_conv = i + 1 < steps.size() && steps[i + 1].kind == CnnStep::CONV;
    if (op.kind == Op::CONV && (next_conv || i + 1 == steps.size())) {
      shapes.push_back(sh);
      ops.push_back(Op{});
    }
  }
  if (ops.empty()) return false;
  shapes.push_back(sh);
  return true;
}

// Samples of unequal length: each keeps the rows of its own length, so a
// layout's spans follow its lengths (with_lengths leaves the plain layouts
// of full-length samples unchanged). Sample b spans its length and `extra`
// rows ...
auto spans_of(const std::vector<int64_t>& lv, int64_t extra) {
  return [&lv, extra](int64_t b) { return lv[b] + extra; };
}

// ... or the rows it spans in y.
auto same_spans(const Layout& y) {
  return [&y](int64_t b) { return y.start(b + 1) - y.start(b); };
}

// The layouts of the activations: a convolution's input padded for it, its
// output spaced like its input; any other op writes where the next one reads.
void activation_layouts(int64_t B, const std::vector<Shape>& shapes, std::vector<Op>& ops) {
  const int64_t n = static_cast<int64_t>(ops.size());
  for (int64_t i = 0; i < n; ++i) {
    Op& op = ops[i];
    const int64_t cin = shapes[i].C, lin = shapes[i].L;
    const int64_t cout = shapes[i + 1].C, lout = shapes[i + 1].L;
    const std::vector<int64_t>&len_in = shapes[i].len, &len_out = shapes[i + 1].len;
    if (op.kind == Op::CONV)
      op.in = with_lengths(padded(B, lin, cin, op.pad), len_in, spans_of(len_in, 2 * op.pad));
    else
      op.in = i == 0 ? with_lengths(compact(B, lin, cin), len_in, spans_of(len_in, 0)) : ops[i - 1].out;
    if (op.kind == Op::CONV) {
      op.out = with_lengths(Layout{B, lout, cout, op.in.S, 0, 0}, len_out, same_spans(op.in));
    } else if (i + 1 < n && ops[i + 1].kind == Op::CONV) {
      const int64_t p = ops[i + 1].pad;
      op.out = with_lengths(padded(B, lout, cout, p), len_out, spans_of(len_out, 2 * p));
    } else if (i + 1 < n) {
      op.out = with_lengths(compact(B, lout, cout), len_out, spans_of(len_out, 0));
    } else {
      // the caller's [B, L', C'], zeros after each sample's own length
      op.out = with_lengths(compact(B, lout, cout), len_out, [lout](int64_t) { return lout; });
    }
  }
}

// The layouts of the gradients: a convolution's input gradient fills its
// padding rows too; the gradient of a convolution's output comes with k-1
// zero rows in front, spaced like that output.
void gradient_layouts(int64_t B, const std::vector<Shape>& shapes, std::vector<Op>& ops) {
  const int64_t n = static_cast<int64_t>(ops.size());
  for (int64_t i = 0; i < n; ++i) {
    Op& op = ops[i];
    const std::vector<int64_t>& len = shapes[i].len;
    if (op.kind == Op::CONV) {
      op.gin = op.in;  // the product fills the padding rows too
    } else if (i > 0 && ops[i - 1].kind == Op::CONV) {
      const Op& cv = ops[i - 1];
      op.gin = with_lengths(Layout{B, cv.out.L, cv.out.C, cv.out.S, 0, cv.k - 1}, len, same_spans(cv.out));
    } else {
      op.gin = with_lengths(compact(B, op.in.L, op.in.C), len, spans_of(len, 0));
    }
  }
  for (int64_t i = 0; i < n; ++i) ops[i].gout = i + 1 < n ? ops[i + 1].gin : ops[i].out;
}

}  // namespace

bool make_plan(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths, Plan& plan) {
  if (!is_cpu_float(x) || x.dim() != 3 || x.numel() == 0) return false;
  const int64_t B = x.size(0);
  plan.B = B;
  plan.C = x.size(1);
  plan.L = x.size(2);
  plan.steps = steps;
  plan.ops.clear();
  Shape sh{plan.C, plan.L, {}};
  if (!read_lengths(lengths, B, plan.L, sh.len)) return false;
  std::vector<Shape> shapes;  // entering each op, and leaving the last
  if (!plan_ops(steps, std::move(sh), plan.ops, shapes)) return false;
  activation_layouts(B, shapes, plan.ops);
  gradient_layouts(B, shapes, plan.ops);
  return true;
}

std::vector<at::Tensor> plan_params(const Plan& plan) {
  std::vector<at::Tensor> out;
  for (const Op& op : plan.ops) {
    if (op.nparams == 0) continue;
    const CnnStep& s = plan.steps[op.step];
    if (op.kind == Op::CONV) {
      out.push_back(s.conv.weight);
      if (s.conv.bias.defined()) out.push_back(s.conv.bias);
    } else {
      out.push_back(s.bn.weight);
      out.push_back(s.bn.bias);
    }
  }
  return out;
}

}  // namespace hst::kernels::conv
