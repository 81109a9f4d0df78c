// The recurrent layer's entry points (rnn_native.h) and its autograd nodes.
// NativeRecurrent: a full batch, inputs x_tm and the flat weights, output
// [T, B, D*H]. NativePackedRecurrent: samples of unequal lengths, inputs the
// batch-first x and the flat weights, output [B, T, D*H]; it packs and
// unpacks the rows itself.
#include "kernels/rnn_native.h"

#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/graph_task.h>

#include <cstdint>
#include <vector>

#include "kernels/rnn_stack.h"

namespace hst::kernels {

namespace {

using rnn::Config;
using rnn::config_of;
using rnn::full_steps;
using rnn::gate_count;
using rnn::Grads;
using rnn::pack_rows;
using rnn::packed_steps;
using rnn::run_backward;
using rnn::run_forward;
using rnn::Saved;
using rnn::Steps;
using rnn::unit_rows;
using rnn::unpack_rows;
using rnn::Weights;
using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

void save_buffers(AutogradContext* ctx, const Config& cfg, const Saved& saved) {
  ctx->saved_data["kind"] = static_cast<int64_t>(cfg.kind);
  ctx->saved_data["layers"] = cfg.layers;
  ctx->saved_data["dirs"] = cfg.dirs;
  ctx->saved_data["hidden"] = cfg.hidden;
  ctx->saved_data["inputs"] = saved.inputs;
  ctx->saved_data["w_in"] = saved.w_in;
  ctx->saved_data["gates"] = saved.gates;
  ctx->saved_data["extra"] = saved.extra;
  ctx->saved_data["cell_tanh"] = saved.cell_tanh;
  ctx->saved_data["outputs"] = saved.outputs;
  ctx->saved_data["masks"] = saved.masks;
}

void refuse_double_backward() {
  TORCH_CHECK(!at::GradMode::is_enabled(),
              "the native float32 CPU recurrent kernels have no double backward; to differentiate "
              "through gradients run the model in float64 (model.double()), which uses torch's own layers");
}

Config saved_config(AutogradContext* ctx) {
  Config cfg;
  cfg.kind = static_cast<RnnKind>(ctx->saved_data["kind"].toInt());
  cfg.gates = gate_count(cfg.kind);
  cfg.layers = ctx->saved_data["layers"].toInt();
  cfg.dirs = ctx->saved_data["dirs"].toInt();
  cfg.hidden = ctx->saved_data["hidden"].toInt();
  return cfg;
}

Saved saved_buffers(AutogradContext* ctx) {
  Saved saved;
  saved.inputs = ctx->saved_data["inputs"].toTensorVector();
  saved.w_in = ctx->saved_data["w_in"].toTensorVector();
  saved.gates = ctx->saved_data["gates"].toTensorVector();
  saved.extra = ctx->saved_data["extra"].toTensorVector();
  saved.cell_tanh = ctx->saved_data["cell_tanh"].toTensorVector();
  saved.outputs = ctx->saved_data["outputs"].toTensorVector();
  saved.masks = ctx->saved_data["masks"].toTensorVector();
  return saved;
}

struct NativeRecurrent : public torch::autograd::Function<NativeRecurrent> {
  static at::Tensor forward(AutogradContext* ctx, const Config& cfg, const at::Tensor& x_tm, at::TensorList weights) {
    std::vector<at::Tensor> flat(weights.begin(), weights.end());
    Saved saved;
    at::Tensor out = run_forward(cfg, full_steps(x_tm.size(0), x_tm.size(1)), x_tm, Weights{&flat, cfg.dirs}, &saved);

    std::vector<at::Tensor> to_save = flat;
    to_save.push_back(x_tm);
    to_save.push_back(out);
    ctx->save_for_backward(to_save);
    saved.inputs.erase(saved.inputs.begin());  // x_tm itself, kept above
    saved.outputs.pop_back();                  // out, kept above
    save_buffers(ctx, cfg, saved);
    return out;
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    refuse_double_backward();
    // first: raises the usual error when the graph was already freed
    variable_list vars = ctx->get_saved_variables();
    const Config cfg = saved_config(ctx);
    at::Tensor out = vars.back();
    vars.pop_back();
    at::Tensor x_tm = vars.back();
    vars.pop_back();
    std::vector<at::Tensor> flat = std::move(vars);

    Saved saved = saved_buffers(ctx);
    saved.inputs.insert(saved.inputs.begin(), x_tm.view({x_tm.size(0) * x_tm.size(1), x_tm.size(2)}));
    saved.outputs.push_back(out);

    // Without a retained graph nothing reads the saved buffers again: reuse
    // them for the gradients and let them go as soon as this returns.
    const bool reuse = !torch::autograd::get_current_graph_task_keep_graph();
    if (reuse) ctx->saved_data.clear();

    at::Tensor grad = grad_outputs[0];
    if (!grad.defined()) grad = at::zeros_like(out);
    Grads g = run_backward(cfg, full_steps(x_tm.size(0), x_tm.size(1)), saved, Weights{&flat, cfg.dirs}, grad,
                           ctx->needs_input_grad(0), reuse);

    variable_list result;
    result.reserve(2 + g.weights.size());
    result.emplace_back();  // cfg
    result.push_back(g.x);
    for (auto& t : g.weights) result.push_back(std::move(t));
    return result;
  }
};

struct NativePackedRecurrent : public torch::autograd::Function<NativePackedRecurrent> {
  static at::Tensor forward(AutogradContext* ctx, const Config& cfg, const Steps& steps, const at::Tensor& x,
                            at::TensorList weights) {
    std::vector<at::Tensor> flat(weights.begin(), weights.end());
    Saved saved;
    // every buffer of the pass, the input and the top output included, is
    // internal to this node (the caller's tensors are x and the unpacked output)
    at::Tensor out = run_forward(cfg, steps, pack_rows(x, steps), Weights{&flat, cfg.dirs}, &saved);
    ctx->save_for_backward(flat);
    save_buffers(ctx, cfg, saved);
    ctx->saved_data["steps"] = steps.T;
    std::vector<int64_t> len(steps.B);
    for (int64_t i = 0; i < steps.B; ++i) len[steps.order[i]] = steps.lengths[i];
    ctx->saved_data["lengths"] = c10::IValue(len);
    return unpack_rows(out, steps);
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    refuse_double_backward();
    std::vector<at::Tensor> flat = ctx->get_saved_variables();  // first, as above
    const Config cfg = saved_config(ctx);
    const Steps steps = packed_steps(ctx->saved_data["steps"].toInt(), ctx->saved_data["lengths"].toIntVector());
    const Saved saved = saved_buffers(ctx);
    const bool reuse = !torch::autograd::get_current_graph_task_keep_graph();
    if (reuse) ctx->saved_data.clear();

    const at::Tensor& grad = grad_outputs[0];
    const at::Tensor dy = grad.defined() ? pack_rows(grad, steps)
                                         : at::zeros({steps.rows(), cfg.dirs * cfg.hidden}, flat[0].options());
    Grads g = run_backward(cfg, steps, saved, Weights{&flat, cfg.dirs}, dy, ctx->needs_input_grad(0), reuse);

    variable_list result;
    result.reserve(3 + g.weights.size());
    result.emplace_back();  // cfg
    result.emplace_back();  // steps
    result.push_back(g.x.defined() ? unpack_rows(g.x, steps) : at::Tensor());
    for (auto& t : g.weights) result.push_back(std::move(t));
    return result;
  }
};

// Every entry of lengths (int64 [B] on the CPU, checked) is T.
bool all_full(const at::Tensor& lengths, int64_t T) {
  const auto a = lengths.accessor<int64_t, 1>();
  for (int64_t b = 0; b < a.size(0); ++b)
    if (a[b] != T) return false;
  return true;
}


}  // namespace

bool native_recurrent_weights_fit(const RnnLayer& r, int64_t input_width) {
  if (!r.batch_first || !r.has_biases || r.hidden_size < 1 || r.num_layers < 1) return false;
  if (!(r.dropout >= 0.0 && r.dropout <= 1.0)) return false;
  const int64_t D = r.bidirectional ? 2 : 1, H = r.hidden_size, GH = gate_count(r.kind) * H;
  if (static_cast<int64_t>(r.flat_weights.size()) != r.num_layers * D * 4) return false;
  for (int64_t l = 0; l < r.num_layers; ++l) {
    const int64_t in = l == 0 ? input_width : D * H;
    for (int64_t d = 0; d < D; ++d) {
      const at::Tensor* w = &r.flat_weights[(l * D + d) * 4];
      for (int k = 0; k < 4; ++k)
        if (!is_cpu_float(w[k])) return false;
      if (w[0].sizes() != at::IntArrayRef{GH, in} || w[1].sizes() != at::IntArrayRef{GH, H} ||
          w[2].sizes() != at::IntArrayRef{GH} || w[3].sizes() != at::IntArrayRef{GH})
        return false;
    }
  }
  return true;
}

bool native_recurrent_supported(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths) {
  if (!is_cpu_float(x) || x.dim() != 3 || x.numel() == 0 || !native_recurrent_weights_fit(r, x.size(2)))
    return false;
  if (lengths.defined()) {
    if (!lengths.device().is_cpu() || lengths.layout() != at::kStrided || lengths.scalar_type() != at::kLong ||
        lengths.dim() != 1 || lengths.size(0) != x.size(0))
      return false;
    const int64_t T = x.size(1);
    const auto a = lengths.accessor<int64_t, 1>();
    for (int64_t b = 0; b < a.size(0); ++b)
      if (a[b] < 1 || a[b] > T) return false;
  }
  return true;
}

at::Tensor native_recurrent_forward(const RnnLayer& r, const at::Tensor& x, const at::Tensor& lengths) {
  TORCH_CHECK(native_recurrent_supported(r, x, lengths),
              "native_recurrent_forward: expected float32 CPU input [B, T, I], weights matching the layer and "
              "lengths undefined or int64 [B] in [1, T], got input ",
              x.sizes(), " ", x.scalar_type(), (lengths.defined() ? ", lengths " : ""),
              (lengths.defined() ? lengths.sizes() : at::IntArrayRef{}));
  const Config cfg = config_of(r);
  bool needs_grad = false;
  if (at::GradMode::is_enabled()) {
    needs_grad = x.requires_grad();
    for (const auto& t : r.flat_weights) needs_grad = needs_grad || t.requires_grad();
  }
  if (lengths.defined() && !all_full(lengths, x.size(1))) {
    std::vector<int64_t> len(lengths.size(0));
    const auto a = lengths.accessor<int64_t, 1>();
    for (int64_t b = 0; b < a.size(0); ++b) len[b] = a[b];
    const Steps steps = packed_steps(x.size(1), len);
    if (needs_grad) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
      return NativePackedRecurrent::apply(cfg, steps, x, at::TensorList(r.flat_weights));
#pragma GCC diagnostic pop
    }
    at::NoGradGuard no_grad;
    return unpack_rows(run_forward(cfg, steps, pack_rows(x, steps), Weights{&r.flat_weights, cfg.dirs}, nullptr),
                       steps);
  }
  at::Tensor out;
  if (needs_grad) {
// GCC 14 reports -Warray-bounds inside torch's Function::apply (a
// vector<bool>::reserve inlined from custom_function.h): a false positive in
// torch's header, reported at this call. Kept silent here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    // backward's weight gradients read the input time-major
    out = NativeRecurrent::apply(cfg, x.transpose(0, 1).contiguous(), at::TensorList(r.flat_weights));
#pragma GCC diagnostic pop
  } else {
    at::NoGradGuard no_grad;
    const at::Tensor x_tm = x.transpose(0, 1);
    out = run_forward(cfg, full_steps(x.size(1), x.size(0)), unit_rows(x_tm) ? x_tm : x_tm.contiguous(),
                      Weights{&r.flat_weights, cfg.dirs}, nullptr);
  }
  return out.transpose(0, 1);
}

}  // namespace hst::kernels
