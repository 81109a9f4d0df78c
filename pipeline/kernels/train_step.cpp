#include "kernels/train_step.h"

#include <ATen/CPUGeneratorImpl.h>
#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

#include <cstring>

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

// The summary of outputs [T, B, D*H]: each sample's last step, or with two
// directions joined, the first `half` columns of the last step and the rest
// of step 0. `scatter` runs the other way: a summary's gradient into a zeroed
// gradient of the outputs.
void gather_summary(const at::Tensor& out, int64_t half, at::Tensor& summary) {
  const int64_t T = out.size(0), B = out.size(1), W = out.size(2);
  const float* last = out.data_ptr<float>() + (T - 1) * B * W;
  const float* first = out.data_ptr<float>();
  float* s = summary.data_ptr<float>();
  for (int64_t b = 0; b < B; ++b) {
    std::memcpy(s + b * W, last + b * W, sizeof(float) * half);
    std::memcpy(s + b * W + half, first + b * W + half, sizeof(float) * (W - half));
  }
}

void scatter_summary(const at::Tensor& ds, int64_t half, at::Tensor& dout) {
  const int64_t T = dout.size(0), B = dout.size(1), W = dout.size(2);
  float* last = dout.data_ptr<float>() + (T - 1) * B * W;
  float* first = dout.data_ptr<float>();
  const float* s = ds.data_ptr<float>();
  for (int64_t b = 0; b < B; ++b) {
    std::memcpy(last + b * W, s + b * W, sizeof(float) * half);
    std::memcpy(first + b * W + half, s + b * W + half, sizeof(float) * (W - half));
  }
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

}  // namespace

bool native_training_step_supported(const StepNetwork& net, const at::Tensor& x, const at::Tensor& lengths,
                                    const at::Tensor& class_weights) {
  if (lengths.defined() || !is_cpu_float(x) || x.dim() != 3 || x.size(0) == 0) return false;
  if (!(net.dropout_p >= 0 && net.dropout_p <= 1)) return false;
  conv::Plan plan;
  if (!conv::make_plan(*net.cnn, x, at::Tensor(), plan)) return false;
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

LossResult native_training_step(const StepNetwork& net, const at::Tensor& x, const at::Tensor& target,
                                const at::Tensor& class_weights, double denominator) {
  // one range in torch's profiler: everything below belongs to it
  RECORD_FUNCTION("hst::native_training_step", std::vector<c10::IValue>());
  at::NoGradGuard no_grad;
  conv::Plan plan;
  TORCH_CHECK(conv::make_plan(*net.cnn, x, at::Tensor(), plan), "native_training_step: unsupported network or input");
  const std::vector<at::Tensor> conv_params = conv::plan_params(plan);
  conv::Saved conv_saved;
  const at::Tensor features = conv::run_forward(plan, x, conv_params, &conv_saved);  // [B, T, C]
  const int64_t B = features.size(0), T = features.size(1);

  const rnn::Config cfg = rnn::config_of(*net.rnn);
  const rnn::Steps steps = rnn::full_steps(T, B);
  const rnn::Weights weights{&net.rnn->flat_weights, cfg.dirs};
  rnn::Saved rnn_saved;
  const at::Tensor out = rnn::run_forward(cfg, steps, features.transpose(0, 1).contiguous(), weights, &rnn_saved);
  const int64_t W = out.size(2), half = net.bidirectional_summary ? W / 2 : W;

  at::Tensor summary = at::empty({B, W}, x.options());
  gather_summary(out, half, summary);
  const at::Tensor noise = summary_noise(net, B, W, x.options());
  if (noise.defined()) multiply_in_place(summary, noise);
  const at::Tensor logits = linear_rows(summary, net.fc_weight, net.fc_bias);
  at::Tensor dlogits;
  const LossResult result = softmax_cross_entropy(logits, target, class_weights, denominator, dlogits);

  at::Tensor dsummary, dw, db;
  linear_gradients(dlogits, summary, net.fc_weight, &dsummary, dw, db);
  if (noise.defined()) multiply_in_place(dsummary, noise);
  at::Tensor dout = at::zeros({T, B, W}, x.options());
  scatter_summary(dsummary, half, dout);
  rnn::Grads rnn_grads = rnn::run_backward(cfg, steps, rnn_saved, weights, dout, /*need_x_grad=*/true,
                                           /*reuse=*/true);
  at::Tensor unused_dx;
  std::vector<at::Tensor> conv_grads;
  // the input gradient comes back batch-first in memory: the stack's output layout
  conv::run_backward(plan, conv_saved, conv_params, rnn_grads.x.transpose(0, 1), /*need_x_grad=*/false, unused_dx,
                     conv_grads);

  for (size_t i = 0; i < conv_params.size(); ++i) set_gradient(conv_params[i], conv_grads[i]);
  for (size_t i = 0; i < net.rnn->flat_weights.size(); ++i) set_gradient(net.rnn->flat_weights[i], rnn_grads.weights[i]);
  set_gradient(net.fc_weight, dw);
  set_gradient(net.fc_bias, db);
  return result;
}

}  // namespace hst::kernels
