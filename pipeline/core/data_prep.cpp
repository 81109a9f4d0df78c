#include "core/data_prep.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hst {

namespace {
// A feature whose spread is below this is constant: dividing by it would only amplify noise.
constexpr float kConstantFeatureStd = 1e-8f;
}  // namespace

FeatureStats feature_statistics(const float* x, int64_t features, int64_t steps, const int64_t* rows, int64_t m,
                                const int64_t* lengths) {
  std::vector<double> sum(features, 0.0), squares(features, 0.0);
  const int64_t row_size = features * steps;
  double count = 0;
  for (int64_t i = 0; i < m; ++i) {
    const float* row = x + rows[i] * row_size;
    const int64_t own = lengths ? lengths[rows[i]] : steps;
    count += static_cast<double>(own);
    for (int64_t j = 0; j < features; ++j) {
      double s = 0;
      for (int64_t t = 0; t < own; ++t) s += row[j * steps + t];
      sum[j] += s;
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int64_t j = 0; j < features; ++j) sum[j] = count > 0 ? sum[j] / count : nan;
  // Second pass around the mean: no cancellation for features far from zero.
  for (int64_t i = 0; i < m; ++i) {
    const float* row = x + rows[i] * row_size;
    const int64_t own = lengths ? lengths[rows[i]] : steps;
    for (int64_t j = 0; j < features; ++j) {
      double s = 0;
      for (int64_t t = 0; t < own; ++t) {
        const double d = row[j * steps + t] - sum[j];
        s += d * d;
      }
      squares[j] += s;
    }
  }
  FeatureStats stats;
  stats.mean.resize(features);
  stats.stdev.resize(features);
  for (int64_t j = 0; j < features; ++j) {
    stats.mean[j] = static_cast<float>(sum[j]);
    const float sd = static_cast<float>(count > 0 ? std::sqrt(squares[j] / count) : nan);
    stats.stdev[j] = sd < kConstantFeatureStd ? 1.0f : sd;  // NaN stays NaN
  }
  return stats;
}

void standardise(float* x, int64_t n, int64_t features, int64_t steps, const FeatureStats& stats,
                 const int64_t* lengths) {
  for (int64_t i = 0; i < n; ++i) {
    float* row = x + i * features * steps;
    const int64_t own = lengths ? lengths[i] : steps;
    for (int64_t j = 0; j < features; ++j) {
      const float mu = stats.mean[j], sd = stats.stdev[j];
      float* v = row + j * steps;
      for (int64_t t = 0; t < own; ++t) v[t] = (v[t] - mu) / sd;
    }
  }
}

std::vector<int64_t> count_classes(const int64_t* codes, const int64_t* rows, int64_t m, int64_t k) {
  std::vector<int64_t> counts(k, 0);
  for (int64_t i = 0; i < m; ++i) ++counts[codes[rows[i]]];
  return counts;
}

std::vector<float> balanced_class_weights(const std::vector<int64_t>& counts) {
  const double k = static_cast<double>(counts.size());
  double total = 0;
  for (int64_t c : counts) total += static_cast<double>(c);
  std::vector<float> weights(counts.size());
  for (size_t j = 0; j < counts.size(); ++j)
    weights[j] = static_cast<float>(total / std::max(static_cast<double>(counts[j]) * k, 1.0));
  return weights;
}

}  // namespace hst
