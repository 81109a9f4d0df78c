#include "core/data_prep.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hst {

namespace {
// A feature whose spread is below this is constant: dividing by it would only amplify noise.
constexpr float kConstantFeatureStd = 1e-8f;
}  // namespace

FeatureMoments feature_moments(const float* x, int64_t features, int64_t steps, const int64_t* rows, int64_t m,
                               const int64_t* lengths) {
  FeatureMoments out;
  out.mean.assign(features, 0.0);
  out.m2.assign(features, 0.0);
  const int64_t row_size = features * steps;
  for (int64_t i = 0; i < m; ++i) {
    const float* row = x + rows[i] * row_size;
    const int64_t own = lengths ? lengths[rows[i]] : steps;
    out.count += static_cast<double>(own);
    for (int64_t j = 0; j < features; ++j) {
      double s = 0;
      for (int64_t t = 0; t < own; ++t) s += row[j * steps + t];
      out.mean[j] += s;
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int64_t j = 0; j < features; ++j) out.mean[j] = out.count > 0 ? out.mean[j] / out.count : nan;
  // Second pass around the mean: no cancellation for features far from zero.
  for (int64_t i = 0; i < m; ++i) {
    const float* row = x + rows[i] * row_size;
    const int64_t own = lengths ? lengths[rows[i]] : steps;
    for (int64_t j = 0; j < features; ++j) {
      double s = 0;
      for (int64_t t = 0; t < own; ++t) {
        const double d = row[j * steps + t] - out.mean[j];
        s += d * d;
      }
      out.m2[j] += s;
    }
  }
  return out;
}

FeatureMoments merge_moments(const FeatureMoments& a, const FeatureMoments& b) {
  if (b.count <= 0) return a;
  if (a.count <= 0) return b;
  FeatureMoments out;
  out.count = a.count + b.count;
  const size_t f = a.mean.size();
  out.mean.resize(f);
  out.m2.resize(f);
  for (size_t j = 0; j < f; ++j) {
    const double delta = b.mean[j] - a.mean[j];
    out.mean[j] = a.mean[j] + delta * (b.count / out.count);
    out.m2[j] = a.m2[j] + b.m2[j] + delta * delta * (a.count * b.count / out.count);
  }
  return out;
}

FeatureStats statistics_of(const FeatureMoments& moments) {
  const size_t f = moments.mean.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  FeatureStats stats;
  stats.mean.resize(f);
  stats.stdev.resize(f);
  for (size_t j = 0; j < f; ++j) {
    stats.mean[j] = static_cast<float>(moments.count > 0 ? moments.mean[j] : nan);
    const float sd = static_cast<float>(moments.count > 0 ? std::sqrt(moments.m2[j] / moments.count) : nan);
    stats.stdev[j] = sd < kConstantFeatureStd ? 1.0f : sd;  // NaN stays NaN
  }
  return stats;
}

FeatureStats feature_statistics(const float* x, int64_t features, int64_t steps, const int64_t* rows, int64_t m,
                                const int64_t* lengths) {
  return statistics_of(feature_moments(x, features, steps, rows, m, lengths));
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
