#include "kernels/linear_native.h"

#include "kernels/gemm_packed.h"
#include "kernels/layers.h"

#include <ATen/Parallel.h>
#include <algorithm>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/custom_function.h>

namespace hst::kernels {

namespace {

// dW[k, :] = sum_i g[i, k] x[i, :] and db[k] = sum_i g[i, k], i in order.
void weight_gradients(const at::Tensor& g, const at::Tensor& x, at::Tensor& dw, at::Tensor& db) {
  const int64_t B = x.size(0), D = x.size(1), K = g.size(1);
  const float* gp = g.data_ptr<float>();
  const float* xp = x.data_ptr<float>();
  float* dwp = dw.data_ptr<float>();
  float* dbp = db.data_ptr<float>();
  at::parallel_for(0, K, 1, [&](int64_t k0, int64_t k1) {
    for (int64_t k = k0; k < k1; ++k) {
      float* row = dwp + k * D;
      float bias = 0;
      for (int64_t d = 0; d < D; ++d) row[d] = 0;
      for (int64_t i = 0; i < B; ++i) {
        const float gik = gp[i * K + k];
        const float* xi = xp + i * D;
        for (int64_t d = 0; d < D; ++d) row[d] += gik * xi[d];
        bias += gik;
      }
      dbp[k] = bias;
    }
  });
}

}  // namespace

// On the packed product, whose sums run in the same order at any thread count
// (a library's small products need not: torch's MKL gives other bits for a
// handful of rows on two threads than on one).
at::Tensor linear_rows(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias) {
  const at::Tensor xc = x.contiguous(), b = bias.contiguous();
  const int64_t B = xc.size(0), K = weight.size(0);
  at::Tensor out = at::empty({B, K}, x.options());
  for (int64_t i = 0; i < B; ++i) std::copy_n(b.data_ptr<float>(), K, out.data_ptr<float>() + i * K);
  gemm_packed(B, xc.data_ptr<float>(), xc.size(1), 1, pack_b(weight.t()), out.data_ptr<float>(), K,
              /*accumulate=*/true);
  return out;
}

void linear_gradients(const at::Tensor& g, const at::Tensor& x, const at::Tensor& weight, at::Tensor* dx,
                      at::Tensor& dw, at::Tensor& db) {
  if (dx) {
    *dx = at::empty({x.size(0), weight.size(1)}, x.options());
    gemm_packed(x.size(0), g.data_ptr<float>(), g.size(1), 1, pack_b(weight), dx->data_ptr<float>(), weight.size(1),
                /*accumulate=*/false);
  }
  dw = at::empty(weight.sizes(), weight.options());
  db = at::empty({weight.size(0)}, weight.options());
  weight_gradients(g, x, dw, db);
}

namespace {

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

struct NativeLinear : public torch::autograd::Function<NativeLinear> {
  static at::Tensor forward(AutogradContext* ctx, const at::Tensor& x, const at::Tensor& weight,
                            const at::Tensor& bias) {
    ctx->save_for_backward({x, weight});
    return linear_rows(x, weight, bias);
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "the native float32 CPU classifier has no double backward; to differentiate through gradients "
                "run the model in float64 (model.double()), which uses torch's own layers");
    const variable_list saved = ctx->get_saved_variables();
    const at::Tensor x = saved[0].contiguous(), weight = saved[1];
    at::Tensor g = grad_outputs[0];
    if (!g.defined()) g = at::zeros({x.size(0), weight.size(0)}, x.options());
    g = g.contiguous();
    at::Tensor dx, dw, db;
    linear_gradients(g, x, weight, ctx->needs_input_grad(0) ? &dx : nullptr, dw, db);
    return {dx, dw, db};
  }
};

}  // namespace

bool native_linear_supported(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias) {
  return is_cpu_float(x) && is_cpu_float(weight) && is_cpu_float(bias) && x.dim() == 2 && weight.dim() == 2 &&
         bias.dim() == 1 && weight.size(1) == x.size(1) && bias.size(0) == weight.size(0) && x.size(0) > 0;
}

at::Tensor native_linear(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias) {
  return NativeLinear::apply(x, weight, bias);
}

}  // namespace hst::kernels
