// Data preparation before training: standardisation with training statistics
// and the balanced class weights. Plain C++ over raw arrays (no Python, no
// autograd), so the binding can run it with the GIL released.
#pragma once

#include <cstdint>
#include <vector>

namespace hst {

// Per-feature mean and population standard deviation of x [n, F, L] over the
// rows `rows` (m of them) and their steps, accumulated in double: all L
// steps, or with `lengths` ([n], sequences of unequal length padded to L)
// the first lengths[i] steps of row i only. A feature whose deviation is
// below 1e-8 gets 1 (a constant feature keeps its scale); with no rows both
// are NaN.
struct FeatureStats {
  std::vector<float> mean, stdev;
};
FeatureStats feature_statistics(const float* x, int64_t features, int64_t steps, const int64_t* rows, int64_t m,
                                const int64_t* lengths = nullptr);

// The same statistics in parts: the moments of some rows (count of steps,
// per-feature mean and sum of squared deviations, in double), merged part by
// part (Chan's pairwise update), then turned into the statistics. Moments of
// disjoint parts merged in a fixed order give the same bits on every machine.
struct FeatureMoments {
  double count = 0;
  std::vector<double> mean, m2;
};
FeatureMoments feature_moments(const float* x, int64_t features, int64_t steps, const int64_t* rows, int64_t m,
                               const int64_t* lengths = nullptr);
FeatureMoments merge_moments(const FeatureMoments& a, const FeatureMoments& b);
FeatureStats statistics_of(const FeatureMoments& moments);

// x[i, j, t] = (x[i, j, t] - mean[j]) / stdev[j] for all n rows, over all L
// steps or the first lengths[i] (the padding stays as it is).
void standardise(float* x, int64_t n, int64_t features, int64_t steps, const FeatureStats& stats,
                 const int64_t* lengths = nullptr);

// How often each class code 0..k-1 occurs among codes[rows[i]], counted exactly.
std::vector<int64_t> count_classes(const int64_t* codes, const int64_t* rows, int64_t m, int64_t k);

// Weight total / (k * count) per class, a class without rows counting as
// 1/k rows (so its weight stays finite); computed in double.
std::vector<float> balanced_class_weights(const std::vector<int64_t>& counts);

}  // namespace hst
