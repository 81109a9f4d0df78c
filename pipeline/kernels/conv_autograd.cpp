// The convolution stack's entry points (conv_native.h) and its autograd
// node: inputs x and the parameters; output [B, L', C'].
#include "kernels/conv_native.h"

#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/custom_function.h>

#include <vector>

#include "kernels/conv_stack.h"

namespace hst::kernels {

namespace {

using conv::make_plan;
using conv::Plan;
using conv::plan_params;
using conv::run_backward;
using conv::run_forward;
using conv::Saved;
using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

struct NativeConvStack : public torch::autograd::Function<NativeConvStack> {
  static at::Tensor forward(AutogradContext* ctx, const c10::intrusive_ptr<Plan>& plan, const at::Tensor& x,
                            at::TensorList params) {
    std::vector<at::Tensor> ps(params.begin(), params.end());
    Saved saved;
    at::Tensor out = run_forward(*plan, x, ps, &saved);
    // The returned output goes through save_for_backward (last of the saved
    // variables), so autograd's version check catches an in-place edit of it
    // before backward would read the edited values.
    std::vector<at::Tensor> to_save = ps;
    to_save.push_back(out);
    ctx->save_for_backward(to_save);
    saved.acts.pop_back();  // out, kept above
    ctx->saved_data["plan"] = c10::IValue::make_capsule(plan);
    ctx->saved_data["acts"] = saved.acts;
    std::vector<at::Tensor> stats;
    for (auto& t : saved.stats) stats.push_back(t.defined() ? t : at::empty({0}, x.options()));
    ctx->saved_data["stats"] = stats;
    return out;
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "the native float32 CPU convolution kernels have no double backward; to differentiate "
                "through gradients run the model in float64 (model.double()), which uses torch's own layers");
    variable_list params = ctx->get_saved_variables();
    at::Tensor out = params.back();
    params.pop_back();
    auto plan = c10::static_intrusive_pointer_cast<Plan>(ctx->saved_data["plan"].toCapsule());
    Saved saved;
    saved.acts = ctx->saved_data["acts"].toTensorVector();
    saved.acts.push_back(out);
    saved.stats = ctx->saved_data["stats"].toTensorVector();
    at::Tensor grad = grad_outputs[0];
    if (!grad.defined()) grad = at::zeros({plan->B, plan->ops.back().out.L, plan->ops.back().out.C}, out.options());
    at::Tensor dx;
    std::vector<at::Tensor> dparams;
    run_backward(*plan, saved, params, grad, ctx->needs_input_grad(0), dx, dparams);  // x: the first tensor input
    variable_list result;
    result.reserve(2 + dparams.size());
    result.emplace_back();  // plan
    result.push_back(dx);
    for (auto& t : dparams) result.push_back(std::move(t));
    return result;
  }
};

}  // namespace

bool native_conv_supported(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths) {
  Plan plan;
  return make_plan(steps, x, lengths, plan);
}

at::Tensor native_conv_forward(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths) {
  auto plan = c10::make_intrusive<Plan>();
  TORCH_CHECK(make_plan(steps, x, lengths, *plan),
              "native_conv_forward: expected float32 CPU input [B, C, L], supported steps and lengths (int64 [B] in "
              "[1, L], every sample long enough for the stack), got input ",
              x.sizes(), " ", x.scalar_type());
  std::vector<at::Tensor> params = plan_params(*plan);
  bool needs_grad = false;
  if (at::GradMode::is_enabled()) {
    needs_grad = x.requires_grad();
    for (const auto& t : params) needs_grad = needs_grad || t.requires_grad();
  }
  at::Tensor out;
  if (needs_grad) {
// GCC 14 reports -Warray-bounds inside torch's Function::apply (a
// vector<bool>::reserve inlined from custom_function.h): a false positive in
// torch's header, reported at this call. Kept silent here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    out = NativeConvStack::apply(plan, x, at::TensorList(params));
#pragma GCC diagnostic pop
  } else {
    at::NoGradGuard no_grad;
    out = run_forward(*plan, x, params, nullptr);
  }
  return out.transpose(1, 2);
}

}  // namespace hst::kernels
