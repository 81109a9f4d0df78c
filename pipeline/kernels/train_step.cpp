#include "kernels/train_step.h"

#include <ATen/CPUGeneratorImpl.h>
#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

#include <cstring>
#include <optional>

#include "kernels/conv_stack.h"
#include "kernels/linear_native.h"
#include "kernels/rnn_native.h"
#include "kernels/rnn_stack.h"

namespace hst::kernels {

namespace {

// Puts `value` (contiguous, p's number of elements) where the optimiser reads
// p's gradient: into the gradient's own memory when it has one (the fused
// optimiser's flat buffer), else as a new gradient. Undefined: zeros.
void set_gradient(at::Tensor p, const at::Tensor& value) {
  at::Tensor& g = p.mutable_grad();
  if (g.defined() && is_cpu_float(g) && g.is_contiguous() && g.numel() == p.numel()) {
    float* dst = g.data_ptr<float>();
    if (value.defined()) std::memcpy(dst, value.contiguous().data_ptr<float>(), sizeof(float) * g.numel());
    else std::memset(dst, 0, sizeof(float) * g.numel());
    return;
  }
  g = value.defined() ? value.reshape(p.sizes()).clone() : at::zeros_like(p);
}

// Where each sample's summary lies among the recurrent layer's output rows
// (the rows of `steps`): its last step, and step 0 for the second half of the
// columns when two directions are joined.
struct SummaryRows {
  std::vector<int64_t> last, first;
};

SummaryRows summary_rows(const rnn::Steps& steps) {
  SummaryRows r{std::vector<int64_t>(steps.B), std::vector<int64_t>(steps.B)};
  for (int64_t i = 0; i < steps.B; ++i) {
    const int64_t b = steps.full ? i : steps.order[i], len = steps.full ? steps.T : steps.lengths[i];
    r.last[b] = steps.off[len - 1] + i;
    r.first[b] = steps.off[0] + i;
  }
  return r;
}

// summary [B, W] from the output rows [rows, W]: the first `half` columns of
// each sample's last row and the rest of its first; `scatter` puts a
// summary's gradient back into a zeroed gradient of the rows.
void gather_summary(const float* out, const SummaryRows& at, int64_t W, int64_t half, float* summary) {
  for (size_t b = 0; b < at.last.size(); ++b) {
    std::memcpy(summary + b * W, out + at.last[b] * W, sizeof(float) * half);
    std::memcpy(summary + b * W + half, out + at.first[b] * W + half, sizeof(float) * (W - half));
  }
}

void scatter_summary(const float* ds, const SummaryRows& at, int64_t W, int64_t half, float* dout) {
  for (size_t b = 0; b < at.last.size(); ++b) {
    std::memcpy(dout + at.last[b] * W, ds + b * W, sizeof(float) * half);
    std::memcpy(dout + at.first[b] * W + half, ds + b * W + half, sizeof(float) * (W - half));
  }
}

// The recurrent layer's steps for the stack's output lengths: the packed
// layout when they differ from T.
rnn::Steps recurrent_steps(int64_t T, int64_t B, const at::Tensor& lengths) {
  if (!lengths.defined()) return rnn::full_steps(T, B);
  std::vector<int64_t> len(lengths.data_ptr<int64_t>(), lengths.data_ptr<int64_t>() + B);
  for (int64_t l : len)
    if (l != T) return rnn::packed_steps(T, len);
  return rnn::full_steps(T, B);
}

void multiply_in_place(at::Tensor& a, const at::Tensor& b) {
  float* ap = a.data_ptr<float>();
  const float* bp = b.data_ptr<float>();
  for (int64_t i = 0, n = a.numel(); i < n; ++i) ap[i] *= bp[i];
}

// The dropout noise at::dropout draws for a [B, W] input from `gen`: kept
// entries 1/(1-p), dropped 0. Undefined when nothing is dropped.
at::Tensor summary_noise(const StepNetwork& net, int64_t B, int64_t W, const at::TensorOptions& options) {
  const double p = net.dropout_p;
  if (p == 0 || B * W == 0) return at::Tensor();
  if (p >= 1) return at::zeros({B, W}, options);
  at::Tensor noise = at::empty({B, W}, options);
  noise.bernoulli_(1 - p, net.dropout_generator.defined() ? net.dropout_generator
                                                          : at::detail::getDefaultCPUGenerator());
  noise.div_(1 - p);
  return noise;
}

// The convolution stack's plan for this batch when the step runs this
// network on it; false otherwise.
bool plan_step(const StepNetwork& net, const at::Tensor& x, const at::Tensor& lengths,
               const at::Tensor& class_weights, conv::Plan& plan) {
  if (!is_cpu_float(x) || x.dim() != 3 || x.size(0) == 0) return false;
  if (lengths.defined() && !(lengths.device().is_cpu() && lengths.layout() == at::kStrided &&
                             lengths.scalar_type() == at::kLong && lengths.dim() == 1 && lengths.size(0) == x.size(0)))
    return false;
  if (!(net.dropout_p >= 0 && net.dropout_p <= 1)) return false;
  if (!conv::make_plan(*net.cnn, x, lengths, plan)) return false;  // checks the lengths against the stack too
  const conv::Layout& out = plan.ops.back().out;
  if (out.L < 1 || !native_recurrent_weights_fit(*net.rnn, out.C)) return false;
  const int64_t width = (net.rnn->bidirectional ? 2 : 1) * net.rnn->hidden_size;
  if (net.bidirectional_summary && width % 2 != 0) return false;
  const at::Tensor& w = net.fc_weight;
  if (!is_cpu_float(w) || !is_cpu_float(net.fc_bias) || w.dim() != 2 || w.size(1) != width ||
      net.fc_bias.dim() != 1 || net.fc_bias.size(0) != w.size(0))
    return false;
  return !class_weights.defined() ||
         (is_cpu_float(class_weights) && class_weights.dim() == 1 && class_weights.size(0) == w.size(0));
}

}  // namespace

std::optional<LossResult> native_training_step(const StepNetwork& net, const at::Tensor& x, const at::Tensor& lengths,
                                               const at::Tensor& target, const at::Tensor& class_weights,
                                               double denominator) {
  const at::Tensor own_lengths = lengths.defined() && lengths.is_cpu() ? lengths.contiguous() : lengths;
  conv::Plan plan;
  if (!plan_step(net, x, own_lengths, class_weights, plan)) return std::nullopt;
  // one range in torch's profiler: everything below belongs to it
  RECORD_FUNCTION("hst::native_training_step", std::vector<c10::IValue>());
  at::NoGradGuard no_grad;
  const std::vector<at::Tensor> conv_params = conv::plan_params(plan);
  conv::Saved conv_saved;
  const at::Tensor features = conv::run_forward(plan, x, conv_params, &conv_saved);  // [B, T, C]
  const int64_t B = features.size(0), T = features.size(1);

  const rnn::Config cfg = rnn::config_of(*net.rnn);
  const rnn::Steps steps =
      recurrent_steps(T, B, own_lengths.defined() ? cnn_output_lengths(*net.cnn, own_lengths) : at::Tensor());
  const rnn::Weights weights{&net.rnn->flat_weights, cfg.dirs};
  rnn::Saved rnn_saved;
  const at::Tensor rnn_in = steps.full ? features.transpose(0, 1).contiguous() : rnn::pack_rows(features, steps);
  const at::Tensor out = rnn::run_forward(cfg, steps, rnn_in, weights, &rnn_saved);  // rows of `steps`
  const int64_t W = out.size(-1), half = net.bidirectional_summary ? W / 2 : W;
  const SummaryRows rows = summary_rows(steps);

  at::Tensor summary = at::empty({B, W}, x.options());
  gather_summary(out.data_ptr<float>(), rows, W, half, summary.data_ptr<float>());
  const at::Tensor noise = summary_noise(net, B, W, x.options());
  if (noise.defined()) multiply_in_place(summary, noise);
  const at::Tensor logits = linear_rows(summary, net.fc_weight, net.fc_bias);
  at::Tensor dlogits;
  const LossResult result = softmax_cross_entropy(logits, target, class_weights, denominator, dlogits);

  at::Tensor dsummary, dw, db;
  linear_gradients(dlogits, summary, net.fc_weight, &dsummary, dw, db);
  if (noise.defined()) multiply_in_place(dsummary, noise);
  at::Tensor dout = at::zeros(out.sizes(), x.options());
  scatter_summary(dsummary.data_ptr<float>(), rows, W, half, dout.data_ptr<float>());
  rnn::Grads rnn_grads = rnn::run_backward(cfg, steps, rnn_saved, weights, dout, /*need_x_grad=*/true,
                                           /*reuse=*/true);
  // a full batch's input gradient comes back batch-first in memory: the stack's output layout
  const at::Tensor dfeatures = steps.full ? rnn_grads.x.transpose(0, 1) : rnn::unpack_rows(rnn_grads.x, steps);
  at::Tensor unused_dx;
  std::vector<at::Tensor> conv_grads;
  conv::run_backward(plan, conv_saved, conv_params, dfeatures, /*need_x_grad=*/false, unused_dx, conv_grads);

  for (size_t i = 0; i < conv_params.size(); ++i) set_gradient(conv_params[i], conv_grads[i]);
  for (size_t i = 0; i < net.rnn->flat_weights.size(); ++i) set_gradient(net.rnn->flat_weights[i], rnn_grads.weights[i]);
  set_gradient(net.fc_weight, dw);
  set_gradient(net.fc_bias, db);
  return result;
}

}  // namespace hst::kernels
