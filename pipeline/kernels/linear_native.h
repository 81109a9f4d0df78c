// The classifier's linear layer on float32 CPU tensors whose output and
// gradients are the same to the bit at any number of threads.
#pragma once

#include <ATen/ATen.h>

namespace hst::kernels {

// True for float32 CPU x [B, D], weight [K, D] and bias [K].
bool native_linear_supported(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias);

// x W^T + b; forward and input gradient on the packed product, and the
// backward sums the weight's and the bias's gradients over the rows in row
// order, each output element on one thread (a library product may regroup
// its sums by its thread count).
at::Tensor native_linear(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias);

// Its two passes without autograd (contiguous float32 CPU tensors): x W^T + b;
at::Tensor linear_rows(const at::Tensor& x, const at::Tensor& weight, const at::Tensor& bias);
// and from the gradient g [B, K] of that output the gradients of the weight,
// the bias and, when dx is given, of x.
void linear_gradients(const at::Tensor& g, const at::Tensor& x, const at::Tensor& weight, at::Tensor* dx,
                      at::Tensor& dw, at::Tensor& db);

}  // namespace hst::kernels
