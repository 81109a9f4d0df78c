#include "kernels/classifier_loss.h"

#include <c10/util/Exception.h>

#include <cmath>
#include <vector>

namespace hst::kernels {

int64_t argmax_hits(const float* logits, int64_t rows, int64_t k, const int64_t* y) {
  int64_t hits = 0;
  for (int64_t i = 0; i < rows && k > 0; ++i) {
    const float* row = logits + i * k;
    int64_t best = 0;
    for (int64_t j = 1; j < k; ++j)
      if (row[j] > row[best] || (std::isnan(row[j]) && !std::isnan(row[best]))) best = j;
    hits += best == y[i];
  }
  return hits;
}

LossResult softmax_cross_entropy(const at::Tensor& logits, const at::Tensor& target, const at::Tensor& weights,
                                 double denominator, at::Tensor& dlogits) {
  const int64_t B = logits.size(0), K = logits.size(1);
  const at::Tensor t = target.contiguous();
  const float* z = logits.data_ptr<float>();
  const int64_t* y = t.data_ptr<int64_t>();
  const float* w = weights.defined() ? weights.data_ptr<float>() : nullptr;
  for (int64_t i = 0; i < B; ++i)
    TORCH_CHECK(y[i] >= 0 && y[i] < K, "softmax_cross_entropy: target ", y[i], " out of range for ", K, " classes");
  dlogits = at::empty({B, K}, logits.options());
  float* d = dlogits.data_ptr<float>();
  std::vector<double> prob(B * K);  // softmax, kept in double until the weights are known
  double total = 0, weight_sum = 0;
  for (int64_t i = 0; i < B; ++i) {
    const float* zi = z + i * K;
    double* pi = prob.data() + i * K;
    double top = zi[0];
    for (int64_t k = 1; k < K; ++k) top = std::max<double>(top, zi[k]);
    double sum = 0;
    for (int64_t k = 0; k < K; ++k) sum += pi[k] = std::exp(zi[k] - top);
    for (int64_t k = 0; k < K; ++k) pi[k] /= sum;
    const double wi = w ? w[y[i]] : 1.0;
    total += wi * (top + std::log(sum) - zi[y[i]]);
    weight_sum += wi;
  }
  const double denom = denominator < 0 ? weight_sum : denominator;
  for (int64_t i = 0; i < B; ++i) {
    const double scale = (w ? w[y[i]] : 1.0) / denom;
    for (int64_t k = 0; k < K; ++k)
      d[i * K + k] = static_cast<float>(scale * (prob[i * K + k] - (k == y[i] ? 1.0 : 0.0)));
  }
  LossResult r;
  r.loss = static_cast<float>(total / denom);
  r.hits = argmax_hits(z, B, K, y);
  return r;
}

}  // namespace hst::kernels
