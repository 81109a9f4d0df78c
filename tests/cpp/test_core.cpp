// The ATen-only core: the engine's guarantees when a run ends early, the
// per-tensor optimiser against torch's own optimisers, and the data
// preparation helpers.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/CPUGeneratorImpl.h>
#include <ATen/core/grad_mode.h>
#include <torch/types.h>
#include <torch/nn/utils/clip_grad.h>
#include <torch/optim.h>
#include <torch/csrc/autograd/autograd.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/data_prep.h"
#include "core/engine.h"
#include "core/optimizer.h"
#include "kernels/train_step.h"

namespace {

hst::NetParams small_network(int64_t features, int64_t classes) {
  hst::NetParams p;
  hst::CnnStep conv;
  conv.kind = hst::CnnStep::CONV;
  conv.conv.weight = (at::randn({4, features, 3}) * 0.3).requires_grad_(true);
  conv.conv.bias = at::zeros({4}).requires_grad_(true);
  conv.conv.padding = 1;
  hst::CnnStep bn;
  bn.kind = hst::CnnStep::BATCH_NORM;
  bn.bn.weight = at::ones({4}).requires_grad_(true);
  bn.bn.bias = at::zeros({4}).requires_grad_(true);
  bn.bn.running_mean = at::zeros({4});
  bn.bn.running_var = at::ones({4});
  bn.bn.num_batches_tracked = at::zeros({}, at::kLong);
  hst::CnnStep relu;
  relu.kind = hst::CnnStep::RELU;
  p.cnn = {conv, bn, relu};
  p.rnn.kind = hst::RnnKind::LSTM;
  p.rnn.hidden_size = 5;
  for (auto shape : std::vector<std::vector<int64_t>>{{20, 4}, {20, 5}, {20}, {20}})
    p.rnn.flat_weights.push_back((at::randn(shape) * 0.3).requires_grad_(true));
  p.fc_weight = (at::randn({classes, 5}) * 0.3).requires_grad_(true);
  p.fc_bias = at::zeros({classes}).requires_grad_(true);
  return p;
}

TEST(Engine, AnInterruptedRunLeavesEvalModeAndParametersOwningTheirMemory) {
  at::manual_seed(0);
  hst::NetParams net = small_network(/*features=*/3, /*classes=*/2);
  const std::vector<at::Tensor> params = net.parameters();
  at::Tensor x = at::randn({40, 3, 6});
  at::Tensor y = at::arange(40, at::kLong).remainder(2);
  hst::EngineConfig cfg;
  cfg.batch_size = 8;
  cfg.max_epochs = 3;
  int calls = 0;
  hst::EngineHooks hooks;
  hooks.check_interrupt = [&] {
    if (++calls == 3) throw std::runtime_error("interrupted");
  };
  EXPECT_THROW(hst::train_network(net, x, y, at::arange(32, at::kLong), at::arange(32, 40, at::kLong), cfg, hooks),
               std::runtime_error);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(net.cnn[1].bn.training);
  EXPECT_FALSE(net.rnn.training);
  EXPECT_FALSE(net.dropout_training);
  // The fused optimiser had packed the parameters into one buffer; each owns its storage again.
  for (size_t i = 0; i < params.size(); ++i)
    for (size_t j = i + 1; j < params.size(); ++j)
      EXPECT_FALSE(params[i].storage().is_alias_of(params[j].storage())) << "parameters " << i << " and " << j;
  for (const auto& p : params) EXPECT_EQ(p.storage().nbytes(), static_cast<size_t>(p.numel()) * sizeof(float));
}

// The per-tensor optimiser (other dtypes and devices) against torch's own
// optimisers after clip_grad_norm_, in float64 where both must agree closely.
TEST(Optimizer, PerTensorMatchesTorchOptimisersInFloat64) {
  struct Case {
    hst::Solver solver;
    const char* name;
  };
  for (const Case& c : {Case{hst::Solver::ADAM, "adam"}, Case{hst::Solver::SGDM, "sgdm"},
                        Case{hst::Solver::RMSPROP, "rmsprop"}}) {
    at::manual_seed(1);
    std::vector<at::Tensor> ours, theirs;
    for (auto shape : std::vector<std::vector<int64_t>>{{7, 3}, {5}, {2, 2, 2}}) {
      at::Tensor init = at::randn(shape, at::kDouble);
      ours.push_back(init.clone().requires_grad_(true));
      theirs.push_back(init.clone().requires_grad_(true));
    }
    const double lr = 0.01, max_norm = 5.0;
    std::unique_ptr<hst::Optimizer> opt = hst::make_optimizer(ours, c.solver);
    std::unique_ptr<torch::optim::Optimizer> ref;
    if (c.solver == hst::Solver::ADAM) ref = std::make_unique<torch::optim::Adam>(theirs, torch::optim::AdamOptions(lr));
    if (c.solver == hst::Solver::SGDM)
      ref = std::make_unique<torch::optim::SGD>(theirs, torch::optim::SGDOptions(lr).momentum(0.9));
    if (c.solver == hst::Solver::RMSPROP)
      ref = std::make_unique<torch::optim::RMSprop>(theirs, torch::optim::RMSpropOptions(lr));
    for (int step = 0; step < 6; ++step) {
      // Large gradients on even steps, so clipping is exercised both ways.
      const double scale = step % 2 == 0 ? 10.0 : 0.1;
      for (size_t i = 0; i < ours.size(); ++i) {
        at::Tensor g = at::randn(ours[i].sizes(), at::kDouble) * scale;
        ours[i].mutable_grad() = g.clone();
        theirs[i].mutable_grad() = g.clone();
      }
      opt->clip_and_step(max_norm, lr);
      torch::nn::utils::clip_grad_norm_(theirs, max_norm);
      ref->step();
    }
    for (size_t i = 0; i < ours.size(); ++i)
      EXPECT_TRUE(at::allclose(ours[i], theirs[i], 1e-10, 1e-12)) << c.name << " parameter " << i << ": "
                                                                  << (ours[i] - theirs[i]).abs().max().item<double>();
  }
}

// An optimiser that takes over another's state (a resumed run) steps on
// exactly as the one it came from: the fused float32 optimiser and the
// per-tensor one (float64 here), every solver.
TEST(Optimizer, LoadedStateStepsOnBitForBit) {
  for (at::ScalarType dtype : {at::kFloat, at::kDouble}) {
    for (hst::Solver solver : {hst::Solver::ADAM, hst::Solver::SGDM, hst::Solver::RMSPROP}) {
      at::manual_seed(2);
      std::vector<at::Tensor> a, b, grads;
      for (auto shape : std::vector<std::vector<int64_t>>{{6, 4}, {3}})
        a.push_back(at::randn(shape, dtype).requires_grad_(true));
      for (int i = 0; i < 12; ++i) grads.push_back(at::randn({27}, dtype) * (i % 2 ? 0.1 : 20.0));
      auto set_grads = [&](std::vector<at::Tensor>& ps, const at::Tensor& g) {
        int64_t off = 0;
        for (auto& p : ps) {
          at::Tensor part = g.narrow(0, off, p.numel()).view(p.sizes());
          if (p.grad().defined()) p.mutable_grad().copy_(part);
          else p.mutable_grad() = part.clone();
          off += p.numel();
        }
      };
      std::unique_ptr<hst::Optimizer> first = hst::make_optimizer(a, solver);
      for (int i = 0; i < 3; ++i) {
        first->zero_grad();
        set_grads(a, grads[i]);
        first->clip_and_step(5.0, 0.01);
      }
      for (const auto& p : a) b.push_back(p.detach().clone().requires_grad_(true));
      std::unique_ptr<hst::Optimizer> second = hst::make_optimizer(b, solver);
      second->load(first->state());
      for (int i = 3; i < 12; ++i) {
        first->zero_grad();
        set_grads(a, grads[i]);
        first->clip_and_step(5.0, 0.01);
        second->zero_grad();
        set_grads(b, grads[i]);
        second->clip_and_step(5.0, 0.01);
      }
      for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(at::equal(a[i], b[i])) << int(solver) << " " << dtype;
      // a state of other parameters does not fit
      std::vector<at::Tensor> other{at::randn({5}, dtype)};
      EXPECT_THROW(hst::make_optimizer(other, solver)->load(first->state()), std::invalid_argument);
    }
  }
}

TEST(DataPrep, BalancedClassWeightsCountExactlyBeyondFloatPrecision) {
  // Beyond 2^24 rows a float count stops growing; the weights must not.
  const int64_t big = (int64_t{1} << 24) + 3;
  const std::vector<float> w = hst::balanced_class_weights({big, 1});
  const double total = static_cast<double>(big) + 1;
  EXPECT_FLOAT_EQ(w[0], static_cast<float>(total / (2.0 * big)));
  EXPECT_FLOAT_EQ(w[1], static_cast<float>(total / 2.0));
  // A class without rows keeps a finite weight.
  EXPECT_EQ(hst::balanced_class_weights({4, 0})[1], 4.0f);

  const std::vector<int64_t> codes = {0, 1, 1, 2, 2, 2};
  const std::vector<int64_t> rows = {5, 4, 1, 0};
  EXPECT_EQ(hst::count_classes(codes.data(), rows.data(), 4, 3), (std::vector<int64_t>{1, 1, 2}));
}

TEST(DataPrep, StandardisesWithTrainingRowStatistics) {
  // 3 rows, 2 features, 2 steps; statistics from rows 0 and 2 only.
  std::vector<float> x = {1, 3, 10, 10,   // row 0
                          100, 100, 7, 7,  // row 1 (not a training row)
                          5, 7, 10, 10};   // row 2
  const std::vector<int64_t> rows = {0, 2};
  hst::FeatureStats s = hst::feature_statistics(x.data(), 2, 2, rows.data(), 2);
  EXPECT_FLOAT_EQ(s.mean[0], 4.0f);
  EXPECT_FLOAT_EQ(s.stdev[0], std::sqrt(5.0f));
  EXPECT_FLOAT_EQ(s.mean[1], 10.0f);
  EXPECT_FLOAT_EQ(s.stdev[1], 1.0f) << "a constant feature keeps its scale";
  hst::standardise(x.data(), 3, 2, 2, s);
  EXPECT_FLOAT_EQ(x[0], (1 - 4) / std::sqrt(5.0f));
  EXPECT_FLOAT_EQ(x[4], (100 - 4) / std::sqrt(5.0f));
  EXPECT_FLOAT_EQ(x[6], -3.0f);
  hst::FeatureStats none = hst::feature_statistics(x.data(), 2, 2, rows.data(), 0);
  EXPECT_TRUE(std::isnan(none.mean[0]) && std::isnan(none.stdev[0]));
}

TEST(DataPrep, UnequalLengthsCountAndStandardiseTheirOwnStepsOnly) {
  // 2 rows, 1 feature, 4 steps padded; row 0 has 2 steps, row 1 all 4.
  std::vector<float> x = {1, 3, 99, 99,  // padding 99 must not count
                          2, 2, 6, 6};
  const std::vector<int64_t> rows = {0, 1}, lengths = {2, 4};
  hst::FeatureStats s = hst::feature_statistics(x.data(), 1, 4, rows.data(), 2, lengths.data());
  EXPECT_FLOAT_EQ(s.mean[0], 20.0f / 6.0f);
  hst::standardise(x.data(), 2, 1, 4, s, lengths.data());
  EXPECT_EQ(x[2], 99.0f) << "the padding stays as it is";
  EXPECT_FLOAT_EQ(x[1], (3 - 20.0f / 6.0f) / s.stdev[0]);
}

TEST(DataPrep, MomentsOfPartsMergedInOrderEqualTheWholes) {
  // 40 rows, 2 features (one far from zero), 6 steps, lengths 3..6; cut into
  // parts as shards of a data-parallel run would be, some empty.
  const int64_t n = 40, f = 2, l = 6;
  std::vector<float> x(n * f * l);
  std::vector<int64_t> lengths(n), all(n);
  for (int64_t i = 0; i < n; ++i) {
    lengths[i] = 3 + i % 4;
    all[i] = i;
    for (int64_t t = 0; t < l; ++t) {
      x[(i * f + 0) * l + t] = static_cast<float>(std::sin(0.7 * i + t));
      x[(i * f + 1) * l + t] = 1e4f + static_cast<float>(std::cos(1.3 * i * t));
    }
  }
  const hst::FeatureStats whole = hst::feature_statistics(x.data(), f, l, all.data(), n, lengths.data());
  const std::vector<std::vector<int64_t>> cuts = {{20}, {12}, {4, 12}, {0, 40}, {1, 2, 39}};
  for (const auto& cut : cuts) {
    hst::FeatureMoments merged;
    int64_t begin = 0;
    for (size_t p = 0; p <= cut.size(); ++p) {
      const int64_t end = p < cut.size() ? cut[p] : n;
      const hst::FeatureMoments part =
          hst::feature_moments(x.data(), f, l, all.data() + begin, end - begin, lengths.data());
      merged = p == 0 ? part : hst::merge_moments(merged, part);
      begin = end;
    }
    const hst::FeatureStats s = hst::statistics_of(merged);
    for (int64_t j = 0; j < f; ++j) {
      EXPECT_NEAR(s.mean[j], whole.mean[j], 1e-6 * std::abs(whole.mean[j]) + 1e-7) << "cut at " << cut[0];
      EXPECT_NEAR(s.stdev[j], whole.stdev[j], 1e-5 * whole.stdev[j]) << "cut at " << cut[0];
    }
  }
}

TEST(Engine, BatchesOfUnequalLengthAreCutToTheirLongestRow) {
  const at::Tensor x = at::arange(4 * 2 * 6, at::kFloat).view({4, 2, 6});
  const at::Tensor lengths = at::tensor(std::vector<int64_t>{3, 5, 2, 3});
  struct Case {
    std::vector<int64_t> rows;
    int64_t steps;
    bool keeps_lengths;
  };
  for (const Case& c : {Case{{0, 1, 2}, 5, true}, Case{{3, 0}, 3, false}, Case{{2}, 2, false}}) {
    const at::Tensor rows = at::tensor(c.rows);
    const hst::Batch b = hst::gather_rows(x, lengths, rows, at::kCPU);
    EXPECT_EQ(b.x.size(2), c.steps);
    EXPECT_TRUE(at::equal(b.x, x.index_select(0, rows).narrow(2, 0, c.steps)));
    EXPECT_EQ(b.lengths.defined(), c.keeps_lengths);
    if (c.keeps_lengths) {
      EXPECT_TRUE(at::equal(b.lengths, lengths.index_select(0, rows)));
    }
  }
  EXPECT_FALSE(hst::gather_rows(x, at::Tensor(), at::tensor(std::vector<int64_t>{1}), at::kCPU).lengths.defined());
}

// A network of the engine's shape for the whole-batch training step: conv,
// BatchNorm, ReLU, pooling, then the recurrent layer and the classifier.
struct StepCase {
  hst::RnnKind kind;
  int64_t layers;
  bool bidirectional;
  double rnn_dropout, dropout;
  bool class_weights;
  double denominator;  // < 0: the batch's own weighted mean
  bool unequal_lengths;
};

hst::NetParams step_network_of(const StepCase& c, int64_t features, int64_t classes) {
  hst::NetParams p = small_network(features, classes);
  hst::CnnStep pool;
  pool.kind = hst::CnnStep::MAX_POOL;
  pool.pool_kernel = pool.pool_stride = 2;
  p.cnn.push_back(pool);
  const int64_t H = 5, D = c.bidirectional ? 2 : 1, G = (c.kind == hst::RnnKind::LSTM ? 4 : c.kind == hst::RnnKind::GRU ? 3 : 1);
  p.rnn.kind = c.kind;
  p.rnn.num_layers = c.layers;
  p.rnn.bidirectional = p.bidirectional_summary = c.bidirectional;
  p.rnn.dropout = c.rnn_dropout;
  p.rnn.flat_weights.clear();
  for (int64_t l = 0; l < c.layers; ++l)
    for (int64_t d = 0; d < D; ++d)
      for (auto shape : std::vector<std::vector<int64_t>>{{G * H, l == 0 ? 4 : D * H}, {G * H, H}, {G * H}, {G * H}})
        p.rnn.flat_weights.push_back((at::randn(shape) * 0.3).requires_grad_(true));
  p.fc_weight = (at::randn({classes, D * H}) * 0.3).requires_grad_(true);
  p.dropout_p = c.dropout;
  return p;
}

hst::NetParams deep_copy(const hst::NetParams& p) {
  hst::NetParams q = p;
  for (auto& s : q.cnn)
    for (at::Tensor* t : {&s.conv.weight, &s.conv.bias, &s.bn.weight, &s.bn.bias, &s.bn.running_mean,
                          &s.bn.running_var, &s.bn.num_batches_tracked})
      if (t->defined()) *t = t->detach().clone().requires_grad_(t->requires_grad());
  for (auto& w : q.rnn.flat_weights) w = w.detach().clone().requires_grad_(true);
  q.fc_weight = q.fc_weight.detach().clone().requires_grad_(true);
  q.fc_bias = q.fc_bias.detach().clone().requires_grad_(true);
  return q;
}

TEST(TrainingStep, MatchesAutogradThroughTheSameKernels) {
  using K = hst::RnnKind;
  for (const StepCase& c :
       {StepCase{K::LSTM, 1, false, 0, 0, false, -1, false}, StepCase{K::GRU, 2, false, 0.3, 0.2, true, -1, false},
        StepCase{K::LSTM, 2, true, 0.5, 0.5, false, -1, false}, StepCase{K::GRU, 1, true, 0, 0, true, 40, false},
        StepCase{K::RNN_TANH, 1, false, 0, 1.0, false, -1, false}, StepCase{K::LSTM, 1, true, 0, 0.2, true, -1, true},
        StepCase{K::GRU, 2, false, 0.3, 0, false, 40, true}}) {
    SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(c.kind) << " layers " << c.layers << " bi "
                                    << c.bidirectional << " weights " << c.class_weights << " denom " << c.denominator
                                    << " unequal lengths " << c.unequal_lengths);
    at::manual_seed(3);
    const int64_t classes = 3;
    hst::NetParams a = step_network_of(c, /*features=*/3, classes);
    hst::NetParams b = deep_copy(a);
    const at::Tensor x = at::randn({12, 3, 9});
    const at::Tensor y = at::arange(12, at::kLong).remainder(classes);
    const at::Tensor weights = c.class_weights ? at::tensor({0.5f, 2.0f, 1.0f}) : at::Tensor();
    // lengths 2..9 (2 and 3 keep one step after the pooling)
    const at::Tensor lengths = c.unequal_lengths ? at::tensor(std::vector<int64_t>{9, 2, 7, 9, 3, 5, 9, 8, 4, 6, 9, 2})
                                                 : at::Tensor();
    for (hst::NetParams* n : {&a, &b}) {
      n->set_training(true);
      n->dropout_generator = at::make_generator<at::CPUGeneratorImpl>(11);
      n->rnn.generator = n->dropout_generator;
    }
    const std::optional<hst::kernels::LossResult> step =
        hst::kernels::native_training_step(hst::step_network(a), x, lengths, y, weights, c.denominator);
    ASSERT_TRUE(step.has_value());
    const hst::kernels::LossResult& r = *step;
    const at::Tensor logits = hst::network_forward(b, x, lengths, hst::Kernels::Native);
    const at::Tensor loss = c.denominator < 0
                                ? at::cross_entropy_loss(logits, y, weights, at::Reduction::Mean, -100, 0.0)
                                : at::cross_entropy_loss(logits, y, weights, at::Reduction::Sum, -100, 0.0) /
                                      c.denominator;
    torch::autograd::backward({loss});
    EXPECT_NEAR(r.loss, loss.item<double>(), 1e-6 * std::abs(loss.item<double>()) + 1e-7);
    EXPECT_EQ(r.hits, logits.argmax(1).eq(y).sum().item<int64_t>());
    const std::vector<at::Tensor> pa = a.parameters(), pb = b.parameters();
    for (size_t i = 0; i < pa.size(); ++i) {
      ASSERT_TRUE(pa[i].grad().defined()) << "parameter " << i;
      EXPECT_TRUE(at::allclose(pa[i].grad(), pb[i].grad(), 1e-4, 1e-6)) << "parameter " << i;
    }
    // BatchNorm's running statistics took the same batch
    EXPECT_TRUE(at::equal(a.cnn[1].bn.running_mean, b.cnn[1].bn.running_mean));
    EXPECT_TRUE(at::equal(a.cnn[1].bn.num_batches_tracked, b.cnn[1].bn.num_batches_tracked));
  }
  // left to autograd, nothing touched: a sample too short for the stack, float64, a classifier of another width
  hst::NetParams n = step_network_of(StepCase{K::LSTM, 1, false, 0, 0, false, -1, false}, 3, 2);
  const at::Tensor x = at::randn({4, 3, 9}), y = at::zeros({4}, at::kLong);
  const at::Tensor short_sample = at::tensor(std::vector<int64_t>{9, 1, 9, 9});
  EXPECT_FALSE(hst::kernels::native_training_step(hst::step_network(n), x, short_sample, y, {}, -1).has_value());
  EXPECT_FALSE(hst::kernels::native_training_step(hst::step_network(n), x.to(at::kDouble), {}, y, {}, -1).has_value());
  n.fc_weight = at::randn({2, 6});
  EXPECT_FALSE(hst::kernels::native_training_step(hst::step_network(n), x, {}, y, {}, -1).has_value());
  for (const at::Tensor& p : n.parameters()) EXPECT_FALSE(p.grad().defined());
}

}  // namespace
