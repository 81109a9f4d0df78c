// Softmax cross-entropy over the classifier's logits with its gradient in
// the same pass, on float32 CPU rows.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

namespace hst::kernels {

struct LossResult {
  double loss = 0;   // rounded to float, as a float32 loss tensor holds it
  int64_t hits = 0;  // rows whose largest logit is the target
};

// Rows of logits [rows, k] whose largest entry (the first of equal ones, a
// NaN above any number, as argmax) is at y[i].
int64_t argmax_hits(const float* logits, int64_t rows, int64_t k, const int64_t* y);

// loss = sum_i w[y_i] (logsumexp(z_i) - z_i[y_i]) / denominator over logits z
// [B, K] (contiguous float32 CPU), targets y (int64 [B], each in [0, K)) and
// class weights w (float32 [K]; undefined: every class 1). A negative
// denominator stands for sum_i w[y_i], the weighted mean. dlogits receives the
// loss's gradient with respect to z: w[y_i] (softmax(z_i) - onehot(y_i)) /
// denominator. Sums run in double, row by row, on one thread.
LossResult softmax_cross_entropy(const at::Tensor& logits, const at::Tensor& target, const at::Tensor& weights,
                                 double denominator, at::Tensor& dlogits);

}  // namespace hst::kernels
